#pragma once
// Modal alerts that keep their place in the main queue, whichever thread asks for them.
#include <memory>
#include <optional>

#include "Launcher/platform/Alerts.h"
#include "Launcher/platform/Dispatch.h"

namespace launcher::platform {

// Shows an alert modally on the main thread. Answers with the code of the button pressed (1000
// for the first), 0 when the alert ended without a button, or nothing when the window closed
// before the alert was answered.
class ModalPresenter {
 public:
  virtual ~ModalPresenter() = default;
  virtual std::optional<long> presentModal(const Alert& alert) = 0;
};

// On the main thread an alert is presented at once. From any other thread (the version request's
// completion) it is posted to the main queue as a task, so that it shows after the tasks posted
// before it, and the caller blocks until that task has the answer. When the window closes before
// the answer, such a caller stays blocked: the launcher is ending, and nothing after the alert
// may run.
class QueuedAlerts final : public Alerts {
 public:
  // `presenter` is used only on the main thread, from tasks of `queue`: it must outlive them.
  QueuedAlerts(std::shared_ptr<MainQueue> queue, ModalPresenter& presenter);
  long runModal(const Alert& alert) override;

 private:
  std::shared_ptr<MainQueue> queue_;
  ModalPresenter& presenter_;
};

}  // namespace launcher::platform
