#include "tests/support/ScratchFileSystem.h"

#include <sys/mount.h>

#include <cerrno>
#include <system_error>

namespace launcher::testing {

ScratchFileSystem::ScratchFileSystem(std::size_t bytes, std::size_t inodes) {
  std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
  if (inodes != 0) options += ",nr_inodes=" + std::to_string(inodes);
  if (::mount("tmpfs", folder_.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) ==
      0) {
    mounted_ = true;
  } else {
    reason_ = "cannot mount a tmpfs (needs root): " + std::generic_category().message(errno);
  }
}

ScratchFileSystem::~ScratchFileSystem() {
  if (mounted_) ::umount2(folder_.path().c_str(), MNT_DETACH);
}

}  // namespace launcher::testing
