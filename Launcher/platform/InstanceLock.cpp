#include "Launcher/platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "Launcher/platform/FileManager.h"

namespace launcher::platform {

namespace {

constexpr int kLockFlags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
// The lock file is the user's alone: flock needs no more than reading, so another user who may
// open it could take the lock and keep every launcher of this account out.
constexpr mode_t kLockMode = 0600;

// The lock file as it stands, to read and write; else to read: a file this user may only read
// (left by a run under another account, or on a read-only file system) still takes the lock, as
// flock needs no write access, except on NFS.
UniqueFd openRegular(const std::string& path) {
  UniqueFd file(::open(path.c_str(), kLockFlags, kLockMode));
  if (file || (errno != EACCES && errno != EROFS)) return file;
  const int error = errno;
  file = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!file && errno == ENOENT) errno = error;
  return file;
}

// Whatever else stands at the lock's name (a link, a folder, a pipe, a file this user may not
// even read) gives way to a new file: the install folder is the user's, and a lock that cannot be
// taken would let a second launcher in. A link is removed, never followed; a folder only when it
// is empty.
UniqueFd openLockFile(const std::string& path) {
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) != 0 || S_ISREG(entry.st_mode)) {
    UniqueFd file = openRegular(path);
    if (file || errno != EACCES) return file;
  }
  // Replaced under a lock on the folder, and looked at again there: two launchers that both saw
  // the odd entry would otherwise each make a file, the second removing the first one's, and
  // each hold a lock of its own.
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const UniqueFd guard(
      ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (guard) {
    int locked = 0;
    do {
      locked = ::flock(guard.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
  }
  if (::lstat(path.c_str(), &entry) != 0) return openRegular(path);
  if (S_ISREG(entry.st_mode)) {
    UniqueFd file = openRegular(path);
    if (file || errno != EACCES) return file;
  }
  if ((S_ISDIR(entry.st_mode) ? ::rmdir(path.c_str()) : ::unlink(path.c_str())) != 0)
    return openRegular(path);  // gives the reason
  UniqueFd file(::open(path.c_str(), kLockFlags | O_EXCL, kLockMode));
  // Another launcher made the file in the meantime: its file is the lock.
  if (!file && errno == EEXIST) file = openRegular(path);
  return file;
}

}  // namespace

InstanceLock InstanceLock::acquire(const std::string& path) {
  InstanceLock lock;
  lock.file_ = openLockFile(path);
  if (!lock.file_) {
    lock.error_ = describeErrno("cannot open", path, errno);
    return lock;
  }
  // A lock file of this user's that others may read (made so by an earlier launcher) is closed
  // to them. One that cannot be changed (another account's, a read-only file system) still
  // serves as the lock.
  struct stat opened {};
  if (::fstat(lock.file_.get(), &opened) == 0 && opened.st_uid == ::geteuid() &&
      (opened.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    static_cast<void>(::fchmod(lock.file_.get(), opened.st_mode & S_IRWXU));
  int status = 0;
  do {
    status = ::flock(lock.file_.get(), LOCK_EX | LOCK_NB);
  } while (status != 0 && errno == EINTR);
  if (status == 0) {
    lock.state_ = State::held;
  } else if (errno == EWOULDBLOCK) {
    lock.state_ = State::heldElsewhere;
    lock.file_.reset();
  } else {
    lock.error_ = describeErrno("cannot lock", path, errno);
    lock.file_.reset();
  }
  return lock;
}

}  // namespace launcher::platform
