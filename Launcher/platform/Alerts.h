#pragma once
// Modal alerts.
#include <string>
#include <vector>

namespace launcher::platform {

constexpr int kCriticalAlertStyle = 2;
constexpr long kAlertFirstButtonReturn = 1000;

struct Alert {
  std::string messageText;
  std::string informativeText;
  int style = kCriticalAlertStyle;
  std::vector<std::string> buttons;  // the first answers 1000, the second 1001, ...
};

class Alerts {
 public:
  virtual ~Alerts() = default;
  // Shows the alert modally and returns the code of the button pressed (1000 for the first), or
  // another value when the alert ended without a button. Callable from any thread: the alert is
  // shown on the main thread and the calling thread waits until it has been answered.
  virtual long runModal(const Alert& alert) = 0;
};

}  // namespace launcher::platform
