#include "frontends/tty/StreamCapture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace launcher::tty {

StreamCapture::StreamCapture(int fd) : fd_(fd) {
  platform::UniqueFd original(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!original) {
    error_ = std::string("cannot duplicate descriptor ") + std::to_string(fd) + ": " +
             std::strerror(errno);
    return;
  }
  platform::Pipe pipe = platform::Pipe::make();
  if (!pipe.readEnd) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  const int flags = ::fcntl(pipe.readEnd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(pipe.readEnd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    error_ = std::string("fcntl: ") + std::strerror(errno);
    return;
  }
  // Whatever stdio still holds belongs to the old destination.
  std::fflush(nullptr);
  if (::dup2(pipe.writeEnd.get(), fd) < 0) {
    error_ = std::string("dup2: ") + std::strerror(errno);
    return;
  }
  original_ = std::move(original);
  readEnd_ = std::move(pipe.readEnd);
  // The pipe's write end lives on as `fd` itself.
}

StreamCapture::~StreamCapture() {
  restore();
}

bool StreamCapture::restore() {
  if (!original_) return true;
  std::fflush(nullptr);
  return ::dup2(original_.get(), fd_) >= 0;
}

}  // namespace launcher::tty
