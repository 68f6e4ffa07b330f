#include "frontends/tty/TerminalAlerts.h"

#include <condition_variable>
#include <mutex>
#include <optional>

namespace launcher::tty {
namespace {

// The answer handed from the main thread to the waiting caller.
struct PendingAnswer {
  std::mutex mutex;
  std::condition_variable answered;
  std::optional<long> code;
};

}  // namespace

TerminalAlerts::TerminalAlerts(std::shared_ptr<TerminalMainQueue> queue, ModalPresenter& presenter)
    : queue_(std::move(queue)), presenter_(presenter) {}

long TerminalAlerts::runModal(const platform::Alert& alert) {
  if (queue_->isMainThread()) return presenter_.presentModal(alert);

  auto pending = std::make_shared<PendingAnswer>();
  queue_->post([this, alert, pending] {
    const long code = presenter_.presentModal(alert);
    // 0 after the window closed: the caller is not released (see the header).
    if (code == 0) return;
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

}  // namespace launcher::tty
