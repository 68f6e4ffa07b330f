#pragma once
// Modal alerts as Qt message boxes, shown on the main thread whoever asks.
#include "Launcher/platform/Alerts.h"

namespace launcher::qt {

// The object name of every alert box, so that it can be found among the top-level widgets.
inline constexpr const char* kAlertObjectName = "alert";

class QtAlerts final : public platform::Alerts {
 public:
  // On the main thread the box runs its own event loop until it is answered. From any other
  // thread the box is handed to the main thread and the caller waits for the answer. Returns
  // 1000 for the first button, 1001 for the second, ...; 0 when the box ended without a button.
  long runModal(const platform::Alert& alert) override;
};

}  // namespace launcher::qt
