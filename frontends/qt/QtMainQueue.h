#pragma once
// The main queue on Qt's event loop: one FIFO for tasks from all threads, run one at a time on the
// thread of the QApplication, in posting order.
#include <memory>

#include "Launcher/platform/Dispatch.h"

namespace launcher::qt {

class QtMainQueue final : public platform::MainQueue {
 public:
  // Needs the QApplication; it may be called from any thread afterwards.
  QtMainQueue();
  void post(platform::Task task) override;
  bool isMainThread() const override;
  // True while tasks are waiting for their turn.
  bool hasPending() const { return queue_->hasPending(); }
  // True while a task is running (for instance one that waits for an alert).
  bool isRunning() const { return queue_->isRunning(); }

 private:
  std::shared_ptr<platform::SerialTaskQueue> queue_;
};

}  // namespace launcher::qt
