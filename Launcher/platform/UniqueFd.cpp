#include "Launcher/platform/UniqueFd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace launcher::platform {

bool UniqueFd::reset() {
  if (fd_ < 0) return true;
  // Linux releases the descriptor even when close(2) reports EINTR: never retry.
  const bool closed = ::close(std::exchange(fd_, -1)) == 0 || errno == EINTR;
  return closed;
}

Pipe Pipe::make() {
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return {};
  return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

std::optional<std::string> readAt(int fd, std::uint64_t offset, std::uint64_t count) {
  std::string bytes(static_cast<std::size_t>(count), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got =
        ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    done += static_cast<std::size_t>(got);
  }
  return bytes;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd ready{fd, POLLOUT, 0};
      if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace launcher::platform
