#pragma once
// Tests that need a user's limits while they run as root.
#include <linux/capability.h>

#include <initializer_list>

namespace launcher::testing {

// As root, this thread and the threads it starts meanwhile lose the named capabilities (CAP_FOWNER
// to change what others own, CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH to open what modes forbid),
// as a user has none of them; `active()` is false when that could not be done (not root, say).
class WithoutCapabilities {
 public:
  explicit WithoutCapabilities(std::initializer_list<int> capabilities);
  ~WithoutCapabilities();
  WithoutCapabilities(const WithoutCapabilities&) = delete;
  WithoutCapabilities& operator=(const WithoutCapabilities&) = delete;
  bool active() const { return active_; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
  bool active_ = false;
};

}  // namespace launcher::testing
