#pragma once
// The main queue of the terminal front end: one FIFO for tasks from all threads, run one at a
// time on the thread that runs the terminal's main loop. Posting wakes that loop through an
// eventfd, which the loop polls beside its other descriptors.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "Launcher/platform/Dispatch.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher::tty {

class TerminalMainQueue final : public platform::MainQueue {
 public:
  // Throws std::system_error when no eventfd can be made.
  TerminalMainQueue();

  void post(platform::Task task) override;
  bool isMainThread() const override;
  // The loop waits for the end of the pause as part of its poll timeout.
  void pause(std::chrono::steady_clock::duration duration) override;

  // The thread that runs the tasks from now on: the caller.
  void becomeMainThread();
  // Readable after a post; drain() makes it quiet again.
  int wakeFd() const { return wake_.get(); }
  void drain();
  // Wakes the loop without a task, e.g. to make it look at a flag.
  void wake();

  // After the window has closed: drops every waiting task, unrun, and every task posted later,
  // so that none keeps the controller alive. Not from inside a task.
  void discardAll();

  // Runs the oldest task unless a task is running already or a pause holds it back (see
  // SerialTaskQueue).
  bool runNext() { return tasks_.runNext(); }
  bool hasPending() const { return tasks_.hasPending(); }
  bool isRunning() const { return tasks_.isRunning(); }
  // The end of the pause under way, if any.
  std::optional<std::chrono::steady_clock::time_point> heldUntil() const {
    return tasks_.heldUntil();
  }

 private:
  // Declared before the FIFO, whose wake callback writes to it, so that it outlives the FIFO.
  platform::UniqueFd wake_;
  platform::SerialTaskQueue tasks_;
  std::atomic<std::thread::id> mainThread_;
  // Set once by discardAll(); posting checks it under the lock.
  std::mutex discardMutex_;
  std::shared_ptr<std::atomic<bool>> discarded_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace launcher::tty
