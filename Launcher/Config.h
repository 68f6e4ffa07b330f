#pragma once
// The launcher's build-time configuration. Each text is built once, on first use, under a
// one-time guard; the pauses are plain numbers.
#include <chrono>
#include <string>

namespace launcher {

// Product name of the managed application ("Vantorel" unless configured otherwise).
const std::string& APPLICATION_NAME();
// Version server: host, optional port and path prefix, without a scheme.
const std::string& APPLICATION_SERVER_URL();
// APPLICATION_SERVER_URL + "/v/version".
const std::string& APPLICATION_VERSION_PATH();
// The publisher's minisign public key, its base64 line; empty when packages are not verified.
const std::string& APPLICATION_PUBLIC_KEY();
// Where the package comes from until the version server names another address.
const std::string& DEFAULT_PACKAGE_ADDRESS();

// The display pacing: how long the main thread holds each progress step once drawn, and how long
// the worker waits between "Finishing" and "Up to date". Test builds have none.
std::chrono::microseconds PROGRESS_PAUSE();
std::chrono::microseconds FINISHING_PAUSE();
// The pause before a download cut by the network is taken up again (doubled each further time).
std::chrono::milliseconds DOWNLOAD_RETRY_PAUSE();

}  // namespace launcher
