#include "Launcher/platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "Launcher/platform/FileManager.h"

namespace launcher::platform {

InstanceLock InstanceLock::acquire(const std::string& path) {
  InstanceLock lock;
  lock.file_ = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  // A lock file that this user may read but not write (left by a run under another account, or
  // on a read-only file system) still takes the lock: flock needs no write access, except on NFS.
  if (!lock.file_ && (errno == EACCES || errno == EROFS))
    lock.file_ = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!lock.file_) {
    lock.error_ = describeErrno("cannot open", path, errno);
    return lock;
  }
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
