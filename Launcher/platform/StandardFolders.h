#pragma once
// Per-user standard folders.
#include <optional>
#include <string>

namespace launcher::platform {

// The per-user data folder that takes the place of the user's Library folder:
// $XDG_DATA_HOME when set and absolute, else <home>/.local/share, where home is $HOME when set
// and absolute, else the password database's entry. Empty when none can be determined.
std::optional<std::string> userLibraryFolder();

// The user's private scratch folder: $XDG_CACHE_HOME (when absolute, else <home>/.cache) + "/" +
// the application name + "/tmp". It is created on demand, owned by the user, mode 0700, and
// never a symbolic link; empty when it cannot be made so.
std::optional<std::string> temporaryFolder(const std::string& applicationName);

}  // namespace launcher::platform
