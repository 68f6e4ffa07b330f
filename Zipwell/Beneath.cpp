#include "Zipwell/Beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace launcher::zipwell {
namespace {

using platform::UniqueFd;

// Cleared for good when the kernel turns out not to know openat2.
std::atomic<bool> openat2Wanted{true};

int openat2Beneath(int folder, const std::string& relative, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0;; ++attempt) {
    const long fd = ::syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how);
    // EAGAIN: a rename elsewhere raced the lookup; EINTR: a signal. Both are worth another try.
    if (fd < 0 && (errno == EAGAIN || errno == EINTR) && attempt < 8) continue;
    return static_cast<int>(fd);
  }
}

// Opens the folder `name` in `folder` without following a link. A link there fails with ELOOP
// (O_DIRECTORY alone would say ENOTDIR).
UniqueFd openFolder(int folder, const char* name) {
  UniqueFd opened(::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!opened && errno == ENOTDIR) {
    struct stat status {};
    if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode))
      errno = ELOOP;
    else
      errno = ENOTDIR;
  }
  return opened;
}

}  // namespace

std::string joined(const Components& components) {
  std::string text;
  for (const std::string& component : components) {
    if (!text.empty()) text.push_back('/');
    text += component;
  }
  return text;
}

void useOpenat2(bool use) {
  openat2Wanted = use;
}

std::string Beneath::pathOf(const Components& relative) const {
  return pathOf(joined(relative));
}

std::string Beneath::pathOf(std::string_view relative) const {
  if (relative.empty()) return path_;
  return platform::appendPathComponent(path_, std::string(relative));
}

UniqueFd Beneath::open(const Components& relative, int flags, mode_t mode) const {
  flags |= O_CLOEXEC | O_NOFOLLOW;
  if (relative.empty()) return UniqueFd(::openat(fd(), ".", flags, mode));
  if (openat2Wanted) {
    const int fd = openat2Beneath(this->fd(), joined(relative), flags, mode);
    if (fd >= 0) return UniqueFd(fd);
    // A kernel without openat2 says ENOSYS (E2BIG for a larger request than it knows); a
    // sandbox that filters it says EPERM. The walk below is as safe, and tells real failures.
    if (errno == ENOSYS || errno == E2BIG)
      openat2Wanted = false;
    else if (errno != EPERM)
      return UniqueFd(fd);
  }
  // One component at a time: no component holds a slash or is "..", and O_NOFOLLOW refuses a
  // link in each, so the walk stays below the folder.
  UniqueFd current;
  for (std::size_t index = 0; index + 1 < relative.size(); ++index) {
    const int at = current ? current.get() : fd();
    UniqueFd next = openFolder(at, relative[index].c_str());
    if (!next) return next;
    current = std::move(next);
  }
  return UniqueFd(::openat(current ? current.get() : fd(), relative.back().c_str(), flags, mode));
}

UniqueFd Beneath::makeFolders(const Components& relative, std::optional<platform::FileTime> date,
                              std::string& error, int* cause) const {
  if (UniqueFd existing = open(relative, O_RDONLY | O_DIRECTORY)) return existing;
  const auto failure = [&](const char* what, const std::string& path, int number) {
    error = describeFailure(what, path, number);
    if (cause != nullptr) *cause = number;
  };
  UniqueFd current(::openat(fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current) {
    failure("cannot open folder", path_, errno);
    return current;
  }
  // A folder made now gets its date once its one folder below is made, which changes its time:
  // only two descriptors are open however many levels are made (one each, a path as long as the
  // system allows runs out of them).
  const auto dated = [&](const UniqueFd& folder) {
    if (!date) return;
    const timespec times[2] = {timespec{0, UTIME_OMIT}, platform::toTimespec(*date)};
    // A folder that keeps the time of its making is no failure of the extraction.
    static_cast<void>(::futimens(folder.get(), times));
  };
  bool currentMade = false;
  for (std::size_t index = 0; index < relative.size(); ++index) {
    const char* name = relative[index].c_str();
    UniqueFd next = openFolder(current.get(), name);
    bool made = false;
    if (!next && errno == ENOENT) {
      if (::mkdirat(current.get(), name, 0777) == 0) {
        made = true;
      } else if (errno != EEXIST) {
        const int number = errno;
        const Components prefix(relative.begin(),
                                relative.begin() + static_cast<std::ptrdiff_t>(index) + 1);
        failure("cannot create folder", pathOf(prefix), number);
        return UniqueFd();
      }
      next = openFolder(current.get(), name);
    }
    if (!next) {
      const int number = errno;
      const Components prefix(relative.begin(),
                              relative.begin() + static_cast<std::ptrdiff_t>(index) + 1);
      failure("cannot create folder", pathOf(prefix), number);
      return next;
    }
    if (currentMade) dated(current);
    current = std::move(next);
    currentMade = made;
  }
  if (currentMade) dated(current);
  return current;
}

std::string describeFailure(std::string_view what, const std::string& path, int error) {
  if (error == ELOOP || error == EXDEV)
    return std::string(what) + " \"" + path + "\": a symbolic link is in the way";
  return platform::describeErrno(what, path, error);
}

}  // namespace launcher::zipwell
