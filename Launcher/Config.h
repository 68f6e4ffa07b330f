#pragma once
// The launcher's build-time configuration. Each constant is built once, on first use, under a
// one-time guard.
#include <string>

namespace launcher {

// Product name of the managed application ("Vantorel" unless configured otherwise).
const std::string& APPLICATION_NAME();
// Version server: host, optional port and path prefix, without a scheme.
const std::string& APPLICATION_SERVER_URL();
// APPLICATION_SERVER_URL + "/v/version".
const std::string& APPLICATION_VERSION_PATH();
// Where the package comes from until the version server names another address.
const std::string& DEFAULT_PACKAGE_ADDRESS();

}  // namespace launcher
