#pragma once
// The publisher's signing key pair: a public key compiled into the launcher and an unencrypted
// secret key that `publish --secret-key` signs packages with. Both files are in minisign's
// format, so minisign can sign with the secret key and check with the public one.
#include <sys/types.h>

#include <filesystem>
#include <iosfwd>
#include <string>
#include <variant>

#include "tools/feed/Failure.h"

namespace launcher::feed {

// Far above the size of any key file; a larger file is not one.
inline constexpr off_t kMaxKeyFileBytes = off_t{64} * 1024;

struct KeygenRequest {
  std::filesystem::path folder;
  // The files are <name>.pub and <name>.key.
  std::string name = "publisher";
  // Replace existing files of those names.
  bool force = false;
};

struct KeygenReport {
  std::filesystem::path publicKeyPath;
  std::filesystem::path secretKeyPath;
  std::string publicKeyLine;  // what the launcher is built with
  std::string keyId;
};

// Writes a new key pair into the folder (created when missing): the secret key readable by its
// owner only, the public key by everyone. Each file is written under a temporary name and moved
// into place. Without `force`, an existing file of either name refuses the request and nothing
// is written; with it, a request that fails leaves the old pair as it was. `applicationName` goes
// into the files' comments.
std::variant<KeygenReport, Failure> generateKeys(const KeygenRequest& request,
                                                 const std::string& applicationName);

// The "keygen" command: writes the keys, prints the public key and how to build the launcher
// with it on `out`, the failure on `err`. Returns the process exit code.
int runKeygen(const KeygenRequest& request, std::ostream& out, std::ostream& err);

}  // namespace launcher::feed
