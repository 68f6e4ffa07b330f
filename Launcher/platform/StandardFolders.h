#pragma once
// The launcher's per-user folders, worked out once at start-up from the environment and the
// password database. Looking them up creates nothing; creating a folder is a separate step.
#include <optional>
#include <string>

#include "Launcher/platform/FileManager.h"

namespace launcher::platform {

struct UserPaths {
  // The per-user data folder that takes the place of the user's Library folder: $XDG_DATA_HOME
  // when set and absolute, else <home>/.local/share, where home is $HOME when set and absolute,
  // else the password database's entry. No trailing "/".
  std::string dataFolder;
  // dataFolder + "/" + the application name: the package, the installed application, the
  // version file.
  std::string installFolder;
  // installFolder + "/version.txt"
  std::string versionFile;
  // The user's private scratch folder: $XDG_CACHE_HOME (when absolute, else <home>/.cache) + "/" +
  // the application name + "/tmp", normalised, without a trailing "/". Empty when no cache folder
  // can be determined.
  std::string temporaryFolder;
  // temporaryFolder + "/Content"; empty with it.
  std::string extractionFolder;
};

// What a front end says, after its own name, when lookUpUserPaths finds nothing.
inline constexpr const char* kNoUserPathsMessage =
    "cannot determine the per-user data folder (set HOME or XDG_DATA_HOME)";

// The paths for `applicationName`; nothing when no per-user data folder can be determined.
std::optional<UserPaths> lookUpUserPaths(const std::string& applicationName);

// Makes the data folder when a new account lacks it, with its missing ancestors, each private to
// the user (mode 0700). Succeeds when it is a folder afterwards.
FileResult createDataFolder(const UserPaths& paths);

// Makes the install folder (mode 0700) and the data folder when they are missing. Fails unless
// the install folder is then a real folder (not a link) of the user's own that not every user may
// change, in folders that every user may change only when they are sticky, as /tmp is: the
// application in it runs as the user.
FileResult createInstallFolder(const UserPaths& paths);

// Makes the temporary folder and its missing ancestors when needed, and makes sure it is private:
// owned by the user, mode 0700, and neither it nor its application folder a symbolic link, of
// another user or open to every user's changes, nor in a folder that every user may change and
// that is not sticky, as /tmp is.
FileResult createTemporaryFolder(const UserPaths& paths);

}  // namespace launcher::platform
