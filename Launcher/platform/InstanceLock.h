#pragma once
// One launcher at a time: an advisory lock (flock) on a file, held while its owner lives.
#include <string>

#include "Launcher/platform/UniqueFd.h"

namespace launcher::platform {

class InstanceLock {
 public:
  enum class State {
    held,           // this process holds the lock
    heldElsewhere,  // another process holds it
    unavailable,    // the lock file cannot be opened or locked (see error())
  };

  // Opens (creating it when missing; read-only when it may not be written) the file at `path`
  // and takes an exclusive lock on it without waiting. The descriptor is close-on-exec, so a
  // program started by the launcher never holds the lock. The folder is not created here.
  static InstanceLock acquire(const std::string& path);

  InstanceLock() = default;
  State state() const { return state_; }
  bool held() const { return state_ == State::held; }
  // Why the lock is unavailable; empty otherwise.
  const std::string& error() const { return error_; }

 private:
  UniqueFd file_;
  State state_ = State::unavailable;
  std::string error_;
};

}  // namespace launcher::platform
