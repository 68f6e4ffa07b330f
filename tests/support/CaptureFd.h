#pragma once
// Captures what is written to a file descriptor (e.g. 1 for standard output, 2 for standard
// error) while the object is active, through stdio, iostreams or plain write(2) alike.
#include <string>

namespace launcher::testing {

class CaptureFd {
 public:
  // Starts capturing `fd`; throws std::runtime_error when it cannot.
  explicit CaptureFd(int fd);
  // Restores the descriptor if finish() was not called.
  ~CaptureFd();
  CaptureFd(const CaptureFd&) = delete;
  CaptureFd& operator=(const CaptureFd&) = delete;

  // Restores the descriptor and returns everything written since the start. Later calls
  // return an empty text.
  std::string finish();

 private:
  void restore();

  int fd_;
  int saved_ = -1;    // duplicate of the original descriptor
  int capture_ = -1;  // unlinked temporary file receiving the output
};

}  // namespace launcher::testing
