#pragma once
// Modal alerts as Qt message boxes, ordered by the main queue like every other task.
#include <QPointer>
#include <QWidget>
#include <memory>

#include "Launcher/platform/QueuedAlerts.h"

namespace launcher::qt {

// The object name of every alert box, so that it can be found among the top-level widgets.
inline constexpr const char* kAlertObjectName = "alert";

// Shows a message box on the main thread; its own event loop runs until it is answered. Answers
// 1000 for the first button, 1001 for the second, ...; 0 when the box ended without a button;
// nothing when its window went away while it waited. With a window, the box is modal to it and
// centred on it; without, modal to the application.
class MessageBoxPresenter final : public platform::ModalPresenter {
 public:
  std::optional<long> presentModal(const platform::Alert& alert) override;
  // The window the boxes belong to from now on; it may go away before the presenter.
  void setWindow(QWidget* window) { window_ = window; }

 private:
  QPointer<QWidget> window_;
};

// The presenter behind every alert of makeQtAlerts: the launcher gives it its window.
MessageBoxPresenter& alertPresenter();

// The window launcher's alerts: message boxes through `queue` (see platform::QueuedAlerts).
std::shared_ptr<platform::Alerts> makeQtAlerts(std::shared_ptr<platform::MainQueue> queue);

}  // namespace launcher::qt
