#include "Launcher/platform/AtomicFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

// Gives the clone of a folder the permissions and times of its original, once it is filled. With
// `closedFolders`, a folder closed to its owner stays open to them, and is noted there as `path`.
FileResult finishFolder(int folder, const struct stat& info, const std::string& shownPath,
                        std::vector<FolderPermissions>* closedFolders, const std::string& path) {
  mode_t mode = info.st_mode & 07777;
  if (closedFolders != nullptr && (mode & S_IRWXU) != S_IRWXU) {
    closedFolders->push_back({path, mode});
    mode |= S_IRWXU;
  }
  const timespec times[2] = {info.st_atim, info.st_mtim};
  if (::fchmod(folder, mode) != 0 || ::futimens(folder, times) != 0)
    return FileResult::failure(describeErrno("cannot keep the attributes of", shownPath, errno));
  return FileResult::success();
}

// A folder being walked and the way back up from it. Only the folder at hand is open, however
// deep the walk goes: a tree as deep as paths allow would otherwise take a descriptor per level
// and run the process out of them half-way (a tree that cannot be removed stops every later
// install). Going up reopens the parent through "..", and fails unless that is the folder the
// walk came down from.
class FolderWalk {
 public:
  explicit FolderWalk(UniqueFd top) : current_(std::move(top)) {}

  int fd() const { return current_.get(); }
  // The names of the folders entered from the top, outermost first.
  const std::vector<std::string>& names() const { return names_; }
  // The current folder's path, for messages.
  std::string pathOf(const std::string& top) const {
    std::string path = top;
    for (const std::string& name : names_) path.append("/").append(name);
    return path;
  }

  // Enters the folder `name` of the current one, never through a link; false with errno set.
  bool enter(const std::string& name) {
    struct stat here {};
    if (::fstat(fd(), &here) != 0) return false;
    UniqueFd child(::openat(fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child) return false;
    above_.emplace_back(here.st_dev, here.st_ino);
    names_.push_back(name);
    current_ = std::move(child);
    return true;
  }
  // Goes back to the folder the current one was entered from; the descriptor of the one left,
  // or an invalid one with errno set.
  UniqueFd leave() {
    UniqueFd parent(::openat(fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat there {};
    if (!parent || ::fstat(parent.get(), &there) != 0) return UniqueFd();
    if (above_.empty() || there.st_dev != above_.back().first ||
        there.st_ino != above_.back().second) {
      errno = ENOENT;  // moved away meanwhile: the walk cannot find its way back
      return UniqueFd();
    }
    above_.pop_back();
    names_.pop_back();
    return std::exchange(current_, std::move(parent));
  }

 private:
  UniqueFd current_;
  std::vector<std::pair<dev_t, ino_t>> above_;
  std::vector<std::string> names_;
};

}  // namespace

std::optional<std::vector<FolderEntry>> readFolder(int folder, const char* path) {
  const int streamFd = ::openat(folder, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (streamFd < 0) return std::nullopt;
  UniqueDirectory stream(::fdopendir(streamFd));
  if (!stream) {
    const int error = errno;
    ::close(streamFd);
    errno = error;
    return std::nullopt;
  }
  std::vector<FolderEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) return std::nullopt;
      return entries;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back({std::string(name), entry->d_type});
  }
}

namespace {

// Clones every entry of the current folder of `from` into that of `to` but the folders, whose
// names it gives back.
FileResult cloneEntries(const FolderWalk& from, const FolderWalk& to, const std::string& fromPath,
                        std::vector<std::string>& folders) {
  const int fromFolder = from.fd(), toFolder = to.fd();
  const auto entries = readFolder(fromFolder);
  if (!entries) return FileResult::failure(describeErrno("cannot read", fromPath, errno));
  for (const FolderEntry& entry : *entries) {
    const char* name = entry.name.c_str();
    const std::string shownPath = fromPath + "/" + entry.name;

    unsigned char type = entry.type;
    struct stat info {};
    const bool needInfo = type == DT_UNKNOWN;
    if (needInfo) {
      if (::fstatat(fromFolder, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return FileResult::failure(describeErrno("cannot examine", shownPath, errno));
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
    }

    if (type == DT_DIR) {
      folders.push_back(entry.name);
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
  return FileResult::success();
}

// Clones the contents of the folder open as `fromTop` into the one open as `toTop`, depth first
// with two descriptors whatever the depth; each folder of the clone gets the permissions and
// times of its original once it is filled (the top's are left to the caller). `fromPath` and
// `toPath` name the two tops in messages.
FileResult cloneFolder(UniqueFd fromTop, UniqueFd toTop, const std::string& fromPath,
                       const std::string& toPath, std::vector<FolderPermissions>* closedFolders) {
  FolderWalk from(std::move(fromTop)), to(std::move(toTop));
  // For each folder entered, the subfolders still to clone and its original's attributes.
  struct Level {
    std::vector<std::string> folders;
    struct stat info {};
  };
  std::vector<Level> levels(1);
  if (auto cloned = cloneEntries(from, to, fromPath, levels.back().folders); !cloned) return cloned;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (!level.folders.empty()) {
      const std::string name = std::move(level.folders.back());
      level.folders.pop_back();
      const std::string shownPath = from.pathOf(fromPath) + "/" + name;
      Level inner;
      if (::fstatat(from.fd(), name.c_str(), &inner.info, AT_SYMLINK_NOFOLLOW) != 0)
        return FileResult::failure(describeErrno("cannot examine", shownPath, errno));
      // Writable while it is filled; its own permissions come last.
      // The folder that cannot be made is the clone's, not the original that exists.
      if (::mkdirat(to.fd(), name.c_str(), 0700) != 0) {
        const int cause = errno;  // before the path is put together
        return FileResult::failure(
            describeErrno("cannot create folder", to.pathOf(toPath) + "/" + name, cause));
      }
      if (!from.enter(name) || !to.enter(name))
        return FileResult::failure(describeErrno("cannot open", shownPath, errno));
      levels.push_back(std::move(inner));
      if (auto cloned = cloneEntries(from, to, shownPath, levels.back().folders); !cloned)
        return cloned;
      continue;
    }
    const struct stat info = level.info;
    levels.pop_back();
    if (levels.empty()) break;
    const std::string shownPath = from.pathOf(fromPath);
    const std::string path = to.pathOf("").substr(1);
    const UniqueFd left = to.leave();
    if (!left || !from.leave())
      return FileResult::failure(describeErrno("cannot go back up from", shownPath, errno));
    if (auto finished = finishFolder(left.get(), info, shownPath, closedFolders, path); !finished)
      return finished;
  }
  return FileResult::success();
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

// True when the folder `name` in `folder` is where a file system is mounted (a bind mount of a
// folder of the same disk included): a removal stops there, or it would empty the user's files
// elsewhere.
bool isMountRoot(int folder, const char* name) {
  struct statx info {};
  return ::statx(folder, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &info) == 0 &&
         (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Removes every entry of the current folder of `walk` but the folders, whose names it gives back.
FileResult removeEntries(const FolderWalk& walk, const std::string& shownPath,
                         std::vector<std::string>& folders) {
  const auto entries = readFolder(walk.fd());
  if (!entries) return FileResult::failure(describeErrno("cannot read", shownPath, errno));
  for (const FolderEntry& entry : *entries) {
    const char* name = entry.name.c_str();
    bool isFolder = entry.type == DT_DIR;
    if (entry.type == DT_UNKNOWN) {
      struct stat info {};
      if (::fstatat(walk.fd(), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return FileResult::failure(
            describeErrno("cannot examine", shownPath + "/" + entry.name, errno));
      isFolder = S_ISDIR(info.st_mode);
    }
    if (isFolder) {
      folders.push_back(entry.name);
    } else if (::unlinkat(walk.fd(), name, 0) != 0) {
      return FileResult::failure(
          describeErrno("cannot remove", shownPath + "/" + entry.name, errno));
    }
  }
  return FileResult::success();
}

// Empties the folder open as `top`, depth first with one descriptor whatever the depth.
FileResult emptyFolder(UniqueFd top, const std::string& topPath) {
  FolderWalk walk(std::move(top));
  std::vector<std::vector<std::string>> levels(1);  // the subfolders still to remove
  if (auto removed = removeEntries(walk, topPath, levels.back()); !removed) return removed;
  while (!levels.empty()) {
    std::vector<std::string>& folders = levels.back();
    if (!folders.empty()) {
      const std::string name = std::move(folders.back());
      folders.pop_back();
      const std::string inner = walk.pathOf(topPath) + "/" + name;
      if (isMountRoot(walk.fd(), name.c_str()))
        return FileResult::failure(describeErrno("cannot remove", inner, EBUSY));
      openToOwner(walk.fd(), name.c_str());
      if (!walk.enter(name)) return FileResult::failure(describeErrno("cannot open", inner, errno));
      levels.emplace_back();
      if (auto removed = removeEntries(walk, inner, levels.back()); !removed) return removed;
      continue;
    }
    levels.pop_back();
    if (levels.empty()) break;
    const std::string inner = walk.pathOf(topPath);
    const std::string name = walk.names().back();
    if (!walk.leave()) return FileResult::failure(describeErrno("cannot remove", inner, errno));
    if (::unlinkat(walk.fd(), name.c_str(), AT_REMOVEDIR) != 0)
      return FileResult::failure(describeErrno("cannot remove", inner, errno));
  }
  return FileResult::success();
}

}  // namespace

// Declared with the other folder operations; walked like the tree copy and removal, one descriptor
// open however deep the tree is.
bool walkFolder(const std::string& folder, const std::function<bool(const std::string&)>& visit) {
  UniqueFd top(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!top) return false;
  FolderWalk walk(std::move(top));
  // For each folder entered, its entries and the next one to give.
  struct Level {
    std::vector<FolderEntry> entries;
    std::size_t next = 0;
  };
  auto topEntries = readFolder(walk.fd());
  if (!topEntries) return false;
  std::vector<Level> levels;
  levels.push_back({std::move(*topEntries)});
  std::string prefix;  // the current folder's path from the top, "" at the top
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.entries.size()) {
      levels.pop_back();
      if (levels.empty()) break;
      if (!walk.leave()) return false;
      const std::size_t slash = prefix.rfind('/');
      prefix.resize(slash == std::string::npos ? 0 : slash);
      continue;
    }
    const FolderEntry& entry = level.entries[level.next++];
    bool isFolder = entry.type == DT_DIR;
    if (entry.type == DT_UNKNOWN) {
      struct stat info {};
      if (::fstatat(walk.fd(), entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
      isFolder = S_ISDIR(info.st_mode);
    }
    const std::string path = prefix.empty() ? entry.name : prefix + "/" + entry.name;
    if (!visit(path)) return true;
    if (!isFolder) continue;
    if (!walk.enter(entry.name)) return false;
    auto inner = readFolder(walk.fd());
    if (!inner) return false;
    prefix = path;
    levels.push_back({std::move(*inner)});
  }
  return true;
}

std::optional<std::vector<std::string>> enumerateFolder(const std::string& folder) {
  std::vector<std::string> listed;
  if (!walkFolder(folder, [&listed](const std::string& path) {
        listed.push_back(path);
        return true;
      }))
    return std::nullopt;
  return listed;
}

FileResult removeTree(const std::string& path) {
  if (isMountRoot(AT_FDCWD, path.c_str()))
    return FileResult::failure(describeErrno("cannot remove", path, EBUSY));
  openToOwner(AT_FDCWD, path.c_str());
  UniqueFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder) return FileResult::failure(describeErrno("cannot remove", path, errno));
  if (auto emptied = emptyFolder(std::move(folder), path); !emptied) return emptied;
  if (::rmdir(path.c_str()) != 0)
    return FileResult::failure(describeErrno("cannot remove", path, errno));
  return FileResult::success();
}

namespace {

// A folder moves into another folder only when its owner may write it (its ".." changes). One of
// this user's made read-only is opened to them for the move; its permissions are given back.
std::optional<mode_t> openForMove(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & S_IWUSR) != 0 || !openToOwner(AT_FDCWD, path.c_str()))
    return std::nullopt;
  return info.st_mode & 07777;
}

// False when the permissions could not be given back: the folder then stays open to its owner
// alone, as the move needed, which is no reason to undo the move.
bool closeAfterMove(const std::string& path, std::optional<mode_t> mode) {
  return !mode || ::fchmodat(AT_FDCWD, path.c_str(), *mode, AT_SYMLINK_NOFOLLOW) == 0;
}

// renameat2, also for folders made read-only; 0, or -1 with errno set.
int moveOpening(const std::string& from, const std::string& to, unsigned int flags) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags) == 0) return 0;
  if (errno != EACCES) return -1;
  const auto fromMode = openForMove(from);
  const auto toMode = (flags & RENAME_EXCHANGE) != 0 ? openForMove(to) : std::nullopt;
  if (!fromMode && !toMode) {
    errno = EACCES;
    return -1;
  }
  const int moved = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags);
  const int error = errno;
  // Moved, each folder is at the other's name.
  closeAfterMove(moved == 0 ? to : from, fromMode);
  closeAfterMove(moved == 0 ? from : to, toMode);
  errno = error;
  return moved;
}

// Why a one-step move failed. A file system without the exchange or the no-replace move (ntfs-3g
// and exfat-fuse among others) answers EINVAL, which alone reads like a fault of the names.
FileResult moveFailure(std::string_view what, const std::string& from, std::string_view joint,
                       const std::string& to, int error) {
  std::string text =
      describeErrno(what, from, error) + " " + std::string(joint) + " \"" + to + "\"";
  if (error == EINVAL)
    text +=
        " (the file system there cannot swap or move entries in one step, which an update needs)";
  return FileResult::failure(text);
}

}  // namespace

FileResult exchangeItems(const std::string& first, const std::string& second) {
  if (moveOpening(first, second, RENAME_EXCHANGE) != 0)
    return moveFailure("cannot swap", first, "with", second, errno);
  return FileResult::success();
}

FileResult renameNoReplace(const std::string& from, const std::string& to) {
  if (moveOpening(from, to, RENAME_NOREPLACE) != 0)
    return moveFailure("cannot move", from, "to", to, errno);
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

std::optional<std::string> readSmallFile(const std::string& path, off_t limit, ReadFailure* why) {
  const auto failed = [why](ReadFailure failure) -> std::optional<std::string> {
    if (why) *why = failure;
    return std::nullopt;
  };
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file) {
    const bool absent = errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENXIO;
    return failed(absent ? ReadFailure::notAFile : ReadFailure::notReadNow);
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return failed(ReadFailure::notReadNow);
  if (!S_ISREG(status.st_mode) || status.st_size > limit) return failed(ReadFailure::notAFile);
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count = ::read(file.get(), text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    // Shorter than it was a moment ago: cut while it was read.
    if (count == 0) return failed(ReadFailure::notAFile);
    if (count < 0) return failed(ReadFailure::notReadNow);
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

FileResult cloneTree(const std::string& from, const std::string& to,
                     std::vector<FolderPermissions>* closedFolders) {
  struct stat info {};
  if (::lstat(from.c_str(), &info) != 0)
    return FileResult::failure(describeErrno("cannot examine", from, errno));
  if (!S_ISDIR(info.st_mode))
    return FileResult::failure(describeErrno("cannot clone", from, ENOTDIR));
  if (::mkdir(to.c_str(), 0700) != 0)
    return FileResult::failure(describeErrno("cannot create folder", to, errno));
  UniqueFd source(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  UniqueFd target(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!source || !target) return FileResult::failure(describeErrno("cannot open", from, errno));
  // The walk takes `target` down the tree; the top stays open for its attributes at the end.
  const UniqueFd top(::fcntl(target.get(), F_DUPFD_CLOEXEC, 0));
  if (!top) return FileResult::failure(describeErrno("cannot open", to, errno));
  if (auto cloned = cloneFolder(std::move(source), std::move(target), from, to, closedFolders);
      !cloned)
    return cloned;
  return finishFolder(top.get(), info, to, closedFolders, "");
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
