#pragma once
// Sends what the process writes to one of its standard descriptors through a pipe, so that the
// main loop can write it out itself, above the live display, instead of through it.
#include <string>

#include "Launcher/platform/UniqueFd.h"

namespace launcher::tty {

class StreamCapture {
 public:
  // Points `fd` at a new pipe and keeps a duplicate of where it pointed before. Empty (and `fd`
  // unchanged) when that fails; error() says why.
  explicit StreamCapture(int fd);
  // Points `fd` back at its original destination.
  ~StreamCapture();
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;

  explicit operator bool() const { return static_cast<bool>(readEnd_); }
  const std::string& error() const { return error_; }
  // What was written to `fd`, to be read by the loop (non-blocking).
  int readFd() const { return readEnd_.get(); }
  // Where `fd` pointed before: the captured text goes there.
  int originalFd() const { return original_.get(); }
  // Points `fd` back at its original destination; the pipe stays readable for what is in it.
  // Safe from any thread; true when `fd` points there now.
  bool restore();

 private:
  int fd_;
  platform::UniqueFd original_;
  platform::UniqueFd readEnd_;
  std::string error_;
};

}  // namespace launcher::tty
