#include "Launcher/platform/AtomicFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <vector>

#include "Launcher/platform/UniqueFd.h"

namespace launcher::platform {
namespace {

struct DirectoryCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
};
using UniqueDirectory = std::unique_ptr<DIR, DirectoryCloser>;

std::string parentOf(const std::string& path) {
  const std::string parent = std::filesystem::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

FileResult closeChecked(UniqueFd& file, const std::string& path) {
  if (!file.reset()) return FileResult::failure(describeErrno("cannot write", path, errno));
  return FileResult::success();
}

// Copies the regular file `name` of `fromFolder` into `toFolder` with its permissions and times.
FileResult copyFileAt(int fromFolder, int toFolder, const char* name, const struct stat& info,
                      const std::string& shownPath) {
  const UniqueFd source(::openat(fromFolder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!source) return FileResult::failure(describeErrno("cannot read", shownPath, errno));
  UniqueFd target(
      ::openat(toFolder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777));
  if (!target) return FileResult::failure(describeErrno("cannot copy", shownPath, errno));
  std::vector<char> buffer(std::size_t{128} * 1024);
  for (;;) {
    const ssize_t count = ::read(source.get(), buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return FileResult::failure(describeErrno("cannot read", shownPath, errno));
    }
    if (count == 0) break;
    if (!writeAll(target.get(), std::string_view(buffer.data(), static_cast<std::size_t>(count))))
      return FileResult::failure(describeErrno("cannot copy", shownPath, errno));
  }
  const timespec times[2] = {info.st_atim, info.st_mtim};
  if (::fchmod(target.get(), info.st_mode & 07777) != 0 || ::futimens(target.get(), times) != 0)
    return FileResult::failure(describeErrno("cannot keep the attributes of", shownPath, errno));
  return closeChecked(target, shownPath);
}

// Gives the clone of a folder the permissions and times of its original, once it is filled.
FileResult finishFolder(int folder, const struct stat& info, const std::string& shownPath) {
  const timespec times[2] = {info.st_atim, info.st_mtim};
  if (::fchmod(folder, info.st_mode & 07777) != 0 || ::futimens(folder, times) != 0)
    return FileResult::failure(describeErrno("cannot keep the attributes of", shownPath, errno));
  return FileResult::success();
}

FileResult cloneFolder(int fromFolder, int toFolder, const std::string& fromPath) {
  // The directory stream takes a descriptor of its own, so that `fromFolder` stays usable.
  const int streamFd = ::dup(fromFolder);
  if (streamFd < 0) return FileResult::failure(describeErrno("cannot read", fromPath, errno));
  UniqueDirectory stream(::fdopendir(streamFd));
  if (!stream) {
    const int error = errno;
    ::close(streamFd);
    return FileResult::failure(describeErrno("cannot read", fromPath, error));
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) return FileResult::failure(describeErrno("cannot read", fromPath, errno));
      return FileResult::success();
    }
    const char* name = entry->d_name;
    if (std::string_view(name) == "." || std::string_view(name) == "..") continue;
    const std::string shownPath = fromPath + "/" + name;

    unsigned char type = entry->d_type;
    struct stat info {};
    const bool needInfo = type == DT_UNKNOWN || type == DT_DIR;
    if (needInfo) {
      if (::fstatat(fromFolder, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return FileResult::failure(describeErrno("cannot examine", shownPath, errno));
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
    }

    if (type == DT_DIR) {
      // Writable while it is filled; its own permissions come last.
      if (::mkdirat(toFolder, name, 0700) != 0)
        return FileResult::failure(describeErrno("cannot create folder", shownPath, errno));
      const UniqueFd from(
          ::openat(fromFolder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      const UniqueFd to(::openat(toFolder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!from || !to) return FileResult::failure(describeErrno("cannot open", shownPath, errno));
      if (auto cloned = cloneFolder(from.get(), to.get(), shownPath); !cloned) return cloned;
      if (auto finished = finishFolder(to.get(), info, shownPath); !finished) return finished;
      continue;
    }

    if (type == DT_LNK) {
      std::string target(256, '\0');
      for (;;) {
        const ssize_t length = ::readlinkat(fromFolder, name, target.data(), target.size());
        if (length < 0) return FileResult::failure(describeErrno("cannot read", shownPath, errno));
        if (static_cast<std::size_t>(length) < target.size()) {
          target.resize(static_cast<std::size_t>(length));
          break;
        }
        target.resize(target.size() * 2);
      }
      if (::symlinkat(target.c_str(), toFolder, name) != 0)
        return FileResult::failure(describeErrno("cannot link", shownPath, errno));
      continue;
    }

    if (::linkat(fromFolder, name, toFolder, name, 0) == 0) continue;
    const int linkError = errno;
    // Refused hard links (another file system below a mount point, too many links, a file
    // system without them, protected links): a copy instead.
    if (linkError != EXDEV && linkError != EMLINK && linkError != EPERM && linkError != EACCES &&
        linkError != EOPNOTSUPP)
      return FileResult::failure(describeErrno("cannot link", shownPath, linkError));
    if (!needInfo && ::fstatat(fromFolder, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
      return FileResult::failure(describeErrno("cannot examine", shownPath, errno));
    if (!S_ISREG(info.st_mode))
      return FileResult::failure(describeErrno("cannot link", shownPath, linkError));
    if (auto copied = copyFileAt(fromFolder, toFolder, name, info, shownPath); !copied)
      return copied;
  }
}

// Gives the owner full access to the folder `name` in `folder` (left as it is when it is not a
// real folder), so that its entries can be listed and removed: a folder the application or the
// user made read-only must not keep a tree of ours from going. False when it could not be
// done; the removal that follows then says why it failed.
bool openToOwner(int folder, const char* name) {
  struct stat info {};
  if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode))
    return false;
  return (info.st_mode & S_IRWXU) == S_IRWXU ||
         ::fchmodat(folder, name, (info.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0;
}

// Empties the folder open as `folder`.
FileResult emptyFolder(int folder, const std::string& shownPath) {
  const int streamFd = ::dup(folder);
  if (streamFd < 0) return FileResult::failure(describeErrno("cannot read", shownPath, errno));
  UniqueDirectory stream(::fdopendir(streamFd));
  if (!stream) {
    const int error = errno;
    ::close(streamFd);
    return FileResult::failure(describeErrno("cannot read", shownPath, error));
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) return FileResult::failure(describeErrno("cannot read", shownPath, errno));
      return FileResult::success();
    }
    const char* name = entry->d_name;
    if (std::string_view(name) == "." || std::string_view(name) == "..") continue;
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info {};
      if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return FileResult::failure(describeErrno("cannot examine", shownPath + "/" + name, errno));
      isFolder = S_ISDIR(info.st_mode);
    }
    if (!isFolder) {
      if (::unlinkat(folder, name, 0) != 0)
        return FileResult::failure(describeErrno("cannot remove", shownPath + "/" + name, errno));
      continue;
    }
    const std::string inner = shownPath + "/" + name;
    openToOwner(folder, name);
    {
      const UniqueFd child(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!child) return FileResult::failure(describeErrno("cannot open", inner, errno));
      if (auto emptied = emptyFolder(child.get(), inner); !emptied) return emptied;
    }
    if (::unlinkat(folder, name, AT_REMOVEDIR) != 0)
      return FileResult::failure(describeErrno("cannot remove", inner, errno));
  }
}

}  // namespace

FileResult removeTree(const std::string& path) {
  openToOwner(AT_FDCWD, path.c_str());
  {
    const UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) return FileResult::failure(describeErrno("cannot remove", path, errno));
    if (auto emptied = emptyFolder(folder.get(), path); !emptied) return emptied;
  }
  if (::rmdir(path.c_str()) != 0)
    return FileResult::failure(describeErrno("cannot remove", path, errno));
  return FileResult::success();
}

FileResult exchangeItems(const std::string& first, const std::string& second) {
  if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) != 0)
    return FileResult::failure(describeErrno("cannot swap", first, errno) + " with \"" + second +
                               "\"");
  return FileResult::success();
}

FileResult renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0)
    return FileResult::failure(describeErrno("cannot move", from, errno) + " to \"" + to + "\"");
  return FileResult::success();
}

FileResult syncFileSystem(const std::string& path) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return FileResult::failure(describeErrno("cannot open", path, errno));
  if (::syncfs(file.get()) != 0)
    return FileResult::failure(describeErrno("cannot write to the disk", path, errno));
  return FileResult::success();
}

FileResult syncFolder(const std::string& folder) {
  const UniqueFd file(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!file) return FileResult::failure(describeErrno("cannot open", folder, errno));
  if (::fsync(file.get()) != 0)
    return FileResult::failure(describeErrno("cannot write to the disk", folder, errno));
  return FileResult::success();
}

std::optional<std::string> readSmallFile(const std::string& path, off_t limit) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat status {};
  if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size > limit)
    return std::nullopt;
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count = ::read(file.get(), text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::nullopt;
    done += static_cast<std::size_t>(count);
  }
  return text;
}

FileResult writeFileDurably(const std::string& path, std::string_view content) {
  const std::string temporary = path + ".tmp";
  // Made afresh: a leftover of a write cut short goes, and a link in its place is never written
  // through (nor then renamed over `path`).
  ::unlink(temporary.c_str());
  UniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!file) return FileResult::failure(describeErrno("cannot create", temporary, errno));
  if (!writeAll(file.get(), content) || ::fsync(file.get()) != 0) {
    const int error = errno;
    file.reset();
    ::unlink(temporary.c_str());
    return FileResult::failure(describeErrno("cannot write", temporary, error));
  }
  if (auto closed = closeChecked(file, temporary); !closed) {
    ::unlink(temporary.c_str());
    return closed;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return FileResult::failure(describeErrno("cannot replace", path, error));
  }
  return syncFolder(parentOf(path));
}

FileResult cloneTree(const std::string& from, const std::string& to) {
  struct stat info {};
  if (::lstat(from.c_str(), &info) != 0)
    return FileResult::failure(describeErrno("cannot examine", from, errno));
  if (!S_ISDIR(info.st_mode))
    return FileResult::failure(describeErrno("cannot clone", from, ENOTDIR));
  if (::mkdir(to.c_str(), 0700) != 0)
    return FileResult::failure(describeErrno("cannot create folder", to, errno));
  const UniqueFd source(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  const UniqueFd target(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!source || !target) return FileResult::failure(describeErrno("cannot open", from, errno));
  if (auto cloned = cloneFolder(source.get(), target.get(), from); !cloned) return cloned;
  return finishFolder(target.get(), info, to);
}

bool isRealDirectory(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<ino_t> inodeOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_ino;
}

}  // namespace launcher::platform
