#pragma once
// Modal alerts as Qt message boxes, ordered by the main queue like every other task.
#include <memory>

#include "Launcher/platform/QueuedAlerts.h"

namespace launcher::qt {

// The object name of every alert box, so that it can be found among the top-level widgets.
inline constexpr const char* kAlertObjectName = "alert";

// Shows a message box on the main thread; its own event loop runs until it is answered. Answers
// 1000 for the first button, 1001 for the second, ...; 0 when the box ended without a button.
class MessageBoxPresenter final : public platform::ModalPresenter {
 public:
  std::optional<long> presentModal(const platform::Alert& alert) override;
};

// The window launcher's alerts: message boxes through `queue` (see platform::QueuedAlerts).
std::shared_ptr<platform::Alerts> makeQtAlerts(std::shared_ptr<platform::MainQueue> queue);

}  // namespace launcher::qt
