#include "Launcher/platform/QueuedAlerts.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace launcher::platform {
namespace {

// The answer handed from the main thread to the waiting caller.
struct PendingAnswer {
  std::mutex mutex;
  std::condition_variable answered;
  std::optional<long> code;
};

}  // namespace

QueuedAlerts::QueuedAlerts(std::shared_ptr<MainQueue> queue, ModalPresenter& presenter)
    : queue_(std::move(queue)), presenter_(presenter) {}

long QueuedAlerts::runModal(const Alert& alert) {
  if (queue_->isMainThread()) return presenter_.presentModal(alert).value_or(0);

  auto pending = std::make_shared<PendingAnswer>();
  queue_->post([presenter = &presenter_, alert, pending] {
    const std::optional<long> code = presenter->presentModal(alert);
    // The window closed first: the caller is not released (see the header).
    if (!code) return;
    {
      std::lock_guard lock(pending->mutex);
      pending->code = code;
    }
    pending->answered.notify_all();
  });
  std::unique_lock lock(pending->mutex);
  pending->answered.wait(lock, [&] { return pending->code.has_value(); });
  return *pending->code;
}

}  // namespace launcher::platform
