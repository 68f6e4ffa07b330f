#include "tests/support/Capabilities.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace launcher::testing {

WithoutCapabilities::WithoutCapabilities(std::initializer_list<int> capabilities) {
  if (::geteuid() != 0 || ::syscall(SYS_capget, &header_, saved_) != 0) return;
  __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
  for (const int capability : capabilities)
    reduced[capability / 32].effective &= ~(1U << (capability % 32));
  active_ = ::syscall(SYS_capset, &header_, reduced) == 0;
}

WithoutCapabilities::~WithoutCapabilities() {
  if (active_) ::syscall(SYS_capset, &header_, saved_);
}

}  // namespace launcher::testing
