#pragma once
// The main queue on Qt's event loop: one FIFO for tasks from all threads, run one at a time on the
// thread of the QApplication, in posting order.
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

#include "Launcher/platform/Dispatch.h"

namespace launcher::qt {

class QtMainQueue final : public platform::MainQueue {
 public:
  using Clock = platform::SerialTaskQueue::Clock;
  // Needs the QApplication and its thread; it may be called from any thread afterwards. `now`
  // tells the time of the pauses (tests move it on at will).
  explicit QtMainQueue(std::function<Clock::time_point()> now = &Clock::now);
  ~QtMainQueue() override;
  void post(platform::Task task) override;
  bool isMainThread() const override;
  // The next task waits for a single-shot timer; the event loop serves the window meanwhile.
  void pause(std::chrono::steady_clock::duration duration) override;
  // True while tasks are waiting for their turn.
  bool hasPending() const { return queue_->hasPending(); }
  // True while a task is running (for instance one that waits for an alert).
  bool isRunning() const { return queue_->isRunning(); }
  // True while a pause holds the next task back.
  bool isPaused() const { return queue_->heldUntil().has_value(); }
  // Drops every task not yet run, so that what they hold (the controller, which holds this
  // queue) is let go.
  void discardPending() { queue_->discardPending(); }

 private:
  std::function<Clock::time_point()> now_;
  std::shared_ptr<platform::SerialTaskQueue> queue_;
  // Owned here; turns that outlive this object find it gone.
  QPointer<QTimer> timer_;
};

}  // namespace launcher::qt
