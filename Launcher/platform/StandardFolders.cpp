#include "Launcher/platform/StandardFolders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "Launcher/platform/Text.h"

namespace launcher::platform {
namespace {

std::optional<std::string> absoluteEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::string(value);
}

std::optional<std::string> homeFolder() {
  if (auto home = absoluteEnv("HOME")) return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || result == nullptr)
    return std::nullopt;
  if (result->pw_dir == nullptr || result->pw_dir[0] != '/') return std::nullopt;
  return std::string(result->pw_dir);
}

// A per-user base folder: $`variable` when set and absolute, else home + `homeRelative`.
std::optional<std::string> baseFolder(const char* variable, const char* homeRelative) {
  if (auto value = absoluteEnv(variable)) return std::string(withoutTrailingSlashes(*value));
  const auto home = homeFolder();
  if (!home) return std::nullopt;
  return std::string(withoutTrailingSlashes(*home)) + homeRelative;
}

// Makes `path` if missing, with its missing ancestors, each mode 0700.
FileResult makePrivateFolders(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return FileResult::success();
    return FileResult::failure(describeErrno("cannot create folder", path, ENOTDIR));
  }
  const std::string parent = std::filesystem::path(path).parent_path().string();
  if (!parent.empty() && parent != path)
    if (auto made = makePrivateFolders(parent); !made) return made;
  if (::mkdir(path.c_str(), 0700) != 0) {
    // Something there already (a link leading nowhere, say) counts only when it is a folder.
    if (errno != EEXIST)
      return FileResult::failure(describeErrno("cannot create folder", path, errno));
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      return FileResult::failure(describeErrno("cannot create folder", path, ENOTDIR));
  }
  return FileResult::success();
}

// Why another user could move the folder `path` away and put one of theirs in its place, or
// nothing: a folder above it that every user may change must be sticky (as /tmp is), where only
// an entry's owner may move it. Judged along the path as given and as the kernel resolves it, as
// a link on the way leads elsewhere. Owners are not judged: in a sandbox's user namespace the
// system's folders show an owner that is nobody's.
std::optional<std::string> ancestorProblem(const std::string& path) {
  std::vector<std::filesystem::path> above;
  const auto addAncestors = [&above](std::filesystem::path folder) {
    while (folder.has_parent_path() && folder.parent_path() != folder) {
      folder = folder.parent_path();
      above.push_back(folder);
    }
  };
  addAncestors(path);
  std::error_code error;
  const auto resolved = std::filesystem::canonical(path, error);
  if (error) return "cannot resolve \"" + path + "\": " + error.message();
  // Without a link on the way the resolved folders are the same ones.
  if (resolved != std::filesystem::path(path)) addAncestors(resolved);
  for (const auto& folder : above) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0)
      return describeErrno("cannot examine", folder.string(), errno);
    if ((info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0) {
      const std::string name = folder.string();
      return "\"" + name + "\" may be changed by other users";
    }
  }
  return std::nullopt;
}

// Makes `path` if missing, mode 0700; fails unless it is afterwards a real folder (not a link)
// of this user's own that not every user may change: whoever may put files in it could have this
// user run them. A folder its group may change stays usable: with a umask of 002 each user's group
// is their own, and install folders made so must go on working. Nor may another user be able to
// move it away: see ancestorProblem.
FileResult makeOwnFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    return FileResult::failure(describeErrno("cannot create folder", path, errno));
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0)
    return FileResult::failure(describeErrno("cannot examine", path, errno));
  if (!S_ISDIR(info.st_mode))
    return FileResult::failure("\"" + path + "\" is not a folder of its own (a link or a file)");
  if (info.st_uid != ::geteuid())
    return FileResult::failure("\"" + path + "\" belongs to another user");
  if ((info.st_mode & S_IWOTH) != 0)
    return FileResult::failure("\"" + path + "\" may be changed by other users");
  if (auto problem = ancestorProblem(path)) return FileResult::failure(*problem);
  return FileResult::success();
}

}  // namespace

std::optional<UserPaths> lookUpUserPaths(const std::string& applicationName) {
  const auto data = baseFolder("XDG_DATA_HOME", "/.local/share");
  if (!data) return std::nullopt;
  UserPaths paths;
  paths.dataFolder = *data;
  paths.installFolder = *data + "/" + applicationName;
  paths.versionFile = paths.installFolder + "/version.txt";
  if (const auto cache = baseFolder("XDG_CACHE_HOME", "/.cache")) {
    const auto temporary = std::filesystem::path(*cache + "/" + applicationName + "/tmp");
    paths.temporaryFolder = withoutTrailingSlashes(temporary.lexically_normal().string());
    paths.extractionFolder = paths.temporaryFolder + "/Content";
  }
  return paths;
}

FileResult createDataFolder(const UserPaths& paths) {
  if (paths.dataFolder.empty()) return FileResult::failure("no per-user data folder is known");
  return makePrivateFolders(paths.dataFolder);
}

FileResult createInstallFolder(const UserPaths& paths) {
  if (auto made = createDataFolder(paths); !made) return made;
  return makeOwnFolder(paths.installFolder);
}

FileResult createTemporaryFolder(const UserPaths& paths) {
  if (paths.temporaryFolder.empty()) return FileResult::failure("no cache folder is known");
  const std::filesystem::path temporary(paths.temporaryFolder);
  const std::string appFolder = temporary.parent_path().string();
  if (auto made = makePrivateFolders(temporary.parent_path().parent_path().string()); !made)
    return made;
  if (auto made = makeOwnFolder(appFolder); !made) return made;
  if (auto made = makeOwnFolder(paths.temporaryFolder); !made) return made;
  struct stat info {};
  if (::lstat(paths.temporaryFolder.c_str(), &info) != 0)
    return FileResult::failure(describeErrno("cannot examine", paths.temporaryFolder, errno));
  if ((info.st_mode & 07777) != 0700 && ::chmod(paths.temporaryFolder.c_str(), 0700) != 0)
    return FileResult::failure(describeErrno("cannot make private", paths.temporaryFolder, errno));
  // What the temporary folder holds is removed at will: an install folder inside it (a data
  // folder set inside the cache folder) would go with it. Compared as the kernel resolves both.
  if (!paths.installFolder.empty()) {
    std::error_code error;
    const auto temporaryReal = std::filesystem::canonical(paths.temporaryFolder, error);
    if (error)
      return FileResult::failure("cannot resolve \"" + paths.temporaryFolder +
                                 "\": " + error.message());
    const auto installReal = std::filesystem::weakly_canonical(paths.installFolder, error);
    if (error)
      return FileResult::failure("cannot resolve \"" + paths.installFolder +
                                 "\": " + error.message());
    if (isWithin(installReal, temporaryReal))
      return FileResult::failure("the install folder \"" + paths.installFolder +
                                 "\" lies inside the temporary folder \"" + paths.temporaryFolder +
                                 "\"");
  }
  return FileResult::success();
}

}  // namespace launcher::platform
