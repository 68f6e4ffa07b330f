#include "Launcher/platform/FileManager.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/Text.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher::platform {
namespace fs = std::filesystem;
namespace {

// Copies the bytes of the open file `in` to `out`.
bool copyBytes(int in, int out) {
  for (;;) {
    const ssize_t sent = ::sendfile(out, in, nullptr, 1 << 30);
    if (sent > 0) continue;
    if (sent == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EINVAL && errno != ENOSYS) return false;
    break;  // no sendfile between these two: read and write
  }
  std::vector<char> buffer(std::size_t{256} * 1024);
  for (;;) {
    const ssize_t count = ::read(in, buffer.data(), buffer.size());
    if (count == 0) return true;
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 ||
        !writeAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(count))))
      return false;
  }
}

// Copies `from` to `to`, where nothing exists, as it is: a file with its bytes, a folder with
// everything in it, a symbolic link as a link whatever it points at; each keeps its permission
// bits and its access and modification times, a folder once its contents are in place.
FileResult copyItem(const std::string& from, const std::string& to) {
  struct stat status {};
  if (::lstat(from.c_str(), &status) != 0)
    return FileResult::failure(describeErrno("cannot copy", from, errno));
  const timespec times[2] = {status.st_atim, status.st_mtim};
  const mode_t mode = status.st_mode & 07777;

  if (S_ISLNK(status.st_mode)) {
    std::vector<char> target(static_cast<std::size_t>(status.st_size) + 2);
    const ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size())
      return FileResult::failure(
          describeErrno("cannot read the link", from, length < 0 ? errno : EIO));
    target[static_cast<std::size_t>(length)] = '\0';
    if (::symlink(target.data(), to.c_str()) != 0)
      return FileResult::failure(describeErrno("cannot make the link", to, errno));
    if (::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
      return FileResult::failure(describeErrno("cannot set the times of", to, errno));
    return FileResult::success();
  }

  if (S_ISDIR(status.st_mode)) {
    // Writable for its contents until they are in place.
    if (::mkdir(to.c_str(), 0700) != 0)
      return FileResult::failure(describeErrno("cannot create folder", to, errno));
    const auto names = folderEntries(from);
    if (!names) return FileResult::failure(describeErrno("cannot read the folder", from, EIO));
    for (const std::string& name : *names) {
      auto copied = copyItem(appendPathComponent(from, name), appendPathComponent(to, name));
      if (!copied) return copied;
    }
    if (::chmod(to.c_str(), mode) != 0)
      return FileResult::failure(describeErrno("cannot set the permissions of", to, errno));
    if (::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
      return FileResult::failure(describeErrno("cannot set the times of", to, errno));
    return FileResult::success();
  }

  if (!S_ISREG(status.st_mode))
    return FileResult::failure("cannot copy \"" + from +
                               "\": it is neither a file, a folder nor a symbolic link");
  const UniqueFd in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in) return FileResult::failure(describeErrno("cannot read", from, errno));
  UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) return FileResult::failure(describeErrno("cannot create", to, errno));
  if (!copyBytes(in.get(), out.get()))
    return FileResult::failure(describeErrno("cannot copy", from, errno));
  if (::fchmod(out.get(), mode) != 0)
    return FileResult::failure(describeErrno("cannot set the permissions of", to, errno));
  if (::futimens(out.get(), times) != 0)
    return FileResult::failure(describeErrno("cannot set the times of", to, errno));
  if (!out.reset()) return FileResult::failure(describeErrno("cannot write", to, errno));
  return FileResult::success();
}

}  // namespace

timespec toTimespec(FileTime date) {
  const auto since = date.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds);
  return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
}

std::optional<std::vector<std::string>> folderEntries(const std::string& folder) {
  // Read with readdir rather than std::filesystem::directory_iterator, whose step may not throw:
  // memory that ran out while it named an entry ended the process, where std::bad_alloc reaches
  // the workflow.
  auto entries = readFolder(AT_FDCWD, folder.c_str());
  if (!entries) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(entries->size());
  for (FolderEntry& entry : *entries) names.push_back(std::move(entry.name));
  return names;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool itemExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

namespace {

std::uint64_t availableBytes(const struct statvfs& fileSystem) {
  const std::uint64_t blocks = fileSystem.f_bavail;
  const std::uint64_t block = fileSystem.f_frsize;
  return block != 0 && blocks > UINT64_MAX / block ? UINT64_MAX : blocks * block;
}

}  // namespace

std::optional<std::uint64_t> freeBytes(int fd) {
  struct statvfs fileSystem {};
  if (::fstatvfs(fd, &fileSystem) != 0) return std::nullopt;
  return availableBytes(fileSystem);
}

std::optional<std::uint64_t> freeBytesAt(const std::string& path) {
  struct statvfs fileSystem {};
  if (::statvfs(path.c_str(), &fileSystem) != 0) return std::nullopt;
  return availableBytes(fileSystem);
}

FileResult createDirectory(const std::string& path, bool intermediate, std::optional<FileTime> date,
                           std::optional<mode_t> mode) {
  if (path.empty()) return FileResult::failure("cannot create a folder with an empty path");
  const auto settle = [&](const std::string& folder) {
    if (mode && ::chmod(folder.c_str(), *mode) != 0)
      return FileResult::failure(describeErrno("cannot set permissions of", folder, errno));
    if (date) setModificationDate(folder, *date);
    return FileResult::success();
  };
  if (!intermediate) {
    if (::mkdir(path.c_str(), 0777) != 0)
      return FileResult::failure(describeErrno("cannot create folder", path, errno));
    return settle(path);
  }
  // Find the missing ancestors, outermost first.
  std::vector<fs::path> missing;
  // Taken as the kernel resolves it: a ".." after a link leads to the parent of the link's target.
  fs::path current = fs::path(path);
  while (!current.empty()) {
    const std::string text(withoutTrailingSlashes(current.string()));
    if (isDirectory(text)) break;
    if (itemExists(text))
      return FileResult::failure(describeErrno("cannot create folder", text, EEXIST));
    missing.emplace_back(text);
    const fs::path parent = fs::path(text).parent_path();
    if (parent == fs::path(text)) break;
    current = parent;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0777) != 0 && !(errno == EEXIST && isDirectory(it->string())))
      return FileResult::failure(describeErrno("cannot create folder", it->string(), errno));
  }
  for (const auto& folder : missing)
    if (auto settled = settle(folder.string()); !settled) return settled;
  return FileResult::success();
}

FileResult removeItem(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0)
    return FileResult::failure(describeErrno("cannot remove", path, errno));
  // A folder goes by descriptors, one at a time however deep it is (std::filesystem keeps one
  // open per level and runs out of them in a deep tree, which then stays for good).
  if (S_ISDIR(info.st_mode)) return removeTree(path);
  if (::unlink(path.c_str()) != 0)
    return FileResult::failure(describeErrno("cannot remove", path, errno));
  return FileResult::success();
}

FileResult moveItem(const std::string& from, const std::string& to) {
  if (!itemExists(from)) return FileResult::failure(describeErrno("cannot move", from, ENOENT));
  if (itemExists(to)) return FileResult::failure(describeErrno("cannot move to", to, EEXIST));
  if (::rename(from.c_str(), to.c_str()) == 0) return FileResult::success();
  if (errno != EXDEV) return FileResult::failure(describeErrno("cannot move", from, errno));
  if (auto copied = copyItem(from, to); !copied) {
    std::error_code ignored;
    fs::remove_all(to, ignored);
    return copied;
  }
  return removeItem(from);
}

FileResult setModificationDate(const std::string& path, FileTime date) {
  const timespec times[2] = {timespec{0, UTIME_OMIT}, toTimespec(date)};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    return FileResult::failure(describeErrno("cannot set the modification date of", path, errno));
  return FileResult::success();
}

std::string appendPathComponent(const std::string& folder, const std::string& component) {
  std::string result(withoutTrailingSlashes(folder));
  std::size_t start = 0;
  while (start < component.size() && component[start] == '/') ++start;
  if (result != "/") result.push_back('/');
  result.append(component, start);
  return result;
}

bool isWithin(const fs::path& inner, const fs::path& outer) {
  return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first == outer.end();
}

std::string describeErrno(int error) {
  // Unlike strerror, safe from any thread.
  return std::generic_category().message(error);
}

std::string describeErrno(std::string_view what, const std::string& path, int error) {
  return std::string(what) + " \"" + path + "\": " + describeErrno(error);
}

}  // namespace launcher::platform
