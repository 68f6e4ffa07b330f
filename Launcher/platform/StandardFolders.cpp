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

// Makes `path` a folder if missing; true when it is a real folder (not a link).
bool ensureFolder(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return false;
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Makes `path` and its missing ancestors, mode 0700; failures show up later, when it is used.
void ensureFolders(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) == 0) return;
  const auto parent = std::filesystem::path(path).parent_path().string();
  if (!parent.empty() && parent != path) ensureFolders(parent);
  ::mkdir(path.c_str(), 0700);
}

// A per-user base folder: $`variable` when set and absolute, else home + `homeRelative`; made
// when missing.
std::optional<std::string> baseFolder(const char* variable, const char* homeRelative) {
  std::string folder;
  if (auto value = absoluteEnv(variable)) {
    folder = withoutTrailingSlashes(*value);
  } else {
    auto home = homeFolder();
    if (!home) return std::nullopt;
    folder = std::string(withoutTrailingSlashes(*home)) + homeRelative;
  }
  ensureFolders(folder);
  return folder;
}

}  // namespace

std::optional<std::string> userLibraryFolder() {
  // Like a Library folder, the data folder is always there for the launcher: a new account may
  // not have it yet, so it is made (private to the user, as base folders are made).
  return baseFolder("XDG_DATA_HOME", "/.local/share");
}

std::optional<std::string> temporaryFolder(const std::string& applicationName) {
  const auto cache = baseFolder("XDG_CACHE_HOME", "/.cache");
  if (!cache) return std::nullopt;
  const std::string appFolder = *cache + "/" + applicationName;
  const std::string tmp = appFolder + "/tmp";
  if (!ensureFolder(appFolder, 0700) || !ensureFolder(tmp, 0700)) return std::nullopt;
  struct stat info {};
  if (::lstat(tmp.c_str(), &info) != 0 || info.st_uid != ::getuid()) return std::nullopt;
  if ((info.st_mode & 07777) != 0700 && ::chmod(tmp.c_str(), 0700) != 0) return std::nullopt;
  return tmp;
}

}  // namespace launcher::platform
