#pragma once
// File descriptors owned by one object, and reading and writing whole buffers with them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace launcher::platform {

// Closes its descriptor when it goes away. Empty when it holds -1.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes the descriptor now; false, with errno set, when close(2) reported an error.
  bool reset();

 private:
  int fd_ = -1;
};

// Both ends of a pipe, close-on-exec. Empty ends when pipe2(2) failed (errno tells why).
struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
  static Pipe make();
};

// Writes all of `bytes`, retrying after interruptions and short writes, and waiting while a
// non-blocking descriptor is full. False on any other error (errno tells which).
bool writeAll(int fd, std::string_view bytes);

// The `count` bytes of the file at `fd` from `offset` (pread, retried after interruptions and
// short reads); nothing when the file ends before them or cannot be read.
std::optional<std::string> readAt(int fd, std::uint64_t offset, std::uint64_t count);

}  // namespace launcher::platform
