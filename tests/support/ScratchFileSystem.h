#pragma once
// A small tmpfs of its own, for tests that need a second file system or a nearly full one.
// Mounting needs root (or CAP_SYS_ADMIN); elsewhere `mounted()` is false and `reason()` says why,
// so that the test can skip.
#include <cstddef>
#include <string>

#include "tests/support/TestFolders.h"

namespace launcher::testing {

class ScratchFileSystem {
 public:
  // `inodes`, when not 0, bounds how many files, folders and links it holds.
  explicit ScratchFileSystem(std::size_t bytes, std::size_t inodes = 0);
  // Unmounts (lazily, should anything still be open) before the folder goes.
  ~ScratchFileSystem();
  ScratchFileSystem(const ScratchFileSystem&) = delete;
  ScratchFileSystem& operator=(const ScratchFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  const std::string& path() const { return folder_.path(); }
  std::string operator/(const std::string& relative) const { return folder_ / relative; }

 private:
  TempDir folder_;
  bool mounted_ = false;
  std::string reason_;
};

}  // namespace launcher::testing
