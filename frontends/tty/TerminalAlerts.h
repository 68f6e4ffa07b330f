#pragma once
// Modal alerts in the terminal. An alert is shown and answered on the main thread, inside a
// nested turn of the main loop; a caller on another thread (the version request's completion)
// has the alert posted to the main queue as a task and waits until it has been answered. Such an
// alert therefore shows after the display tasks posted before it, like any posted task.
#include <memory>

#include "Launcher/platform/Alerts.h"
#include "frontends/tty/TerminalMainQueue.h"

namespace launcher::tty {

// Shows an alert on the main thread and returns the code of the button pressed, or 0 when the
// window closed first.
class ModalPresenter {
 public:
  virtual ~ModalPresenter() = default;
  virtual long presentModal(const platform::Alert& alert) = 0;
};

class TerminalAlerts final : public platform::Alerts {
 public:
  // `presenter` is used only on the main thread, from a turn of its loop: it outlives every such
  // use even when this object outlives it.
  TerminalAlerts(std::shared_ptr<TerminalMainQueue> queue, ModalPresenter& presenter);

  // On the main thread: shows the alert at once. On any other thread: posts it and blocks until
  // it has been answered. When the window closes before the answer, such a caller stays blocked:
  // the launcher is ending, and nothing after the alert may run.
  long runModal(const platform::Alert& alert) override;

 private:
  std::shared_ptr<TerminalMainQueue> queue_;
  ModalPresenter& presenter_;
};

}  // namespace launcher::tty
