#include "tests/support/CaptureFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdexcept>

namespace launcher::testing {
namespace {

// Pushes out whatever stdio and the standard streams still hold for any descriptor.
void flushAll() {
  std::cout.flush();
  std::cerr.flush();
  std::clog.flush();
  std::fflush(nullptr);
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("CaptureFd: " + what + ": " + std::strerror(errno));
}

void closeQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

CaptureFd::CaptureFd(int fd) : fd_(fd) {
  std::string pattern = (std::filesystem::temp_directory_path() / "capture-XXXXXX").string();
  capture_ = ::mkstemp(pattern.data());
  if (capture_ < 0) fail("mkstemp");
  ::unlink(pattern.c_str());
  saved_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (saved_ < 0) {
    const int error = errno;
    closeQuietly(capture_);
    errno = error;
    fail("cannot duplicate descriptor " + std::to_string(fd_));
  }
  flushAll();
  if (::dup2(capture_, fd_) < 0) {
    const int error = errno;
    closeQuietly(saved_);
    closeQuietly(capture_);
    errno = error;
    fail("dup2");
  }
}

CaptureFd::~CaptureFd() {
  restore();
  closeQuietly(capture_);
}

void CaptureFd::restore() {
  if (saved_ < 0) return;
  flushAll();
  while (::dup2(saved_, fd_) < 0 && errno == EINTR) {
  }
  closeQuietly(saved_);
}

std::string CaptureFd::finish() {
  if (capture_ < 0) return {};
  restore();
  std::string text;
  char chunk[4096];
  off_t offset = 0;
  for (;;) {
    const ssize_t count = ::pread(capture_, chunk, sizeof chunk, offset);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    text.append(chunk, static_cast<std::size_t>(count));
    offset += count;
  }
  closeQuietly(capture_);
  return text;
}

}  // namespace launcher::testing
