#pragma once
// Main queue, background queue and the FIFO that front ends use to run posted tasks.
#include <deque>
#include <functional>
#include <mutex>

namespace launcher::platform {

using Task = std::function<void()>;

// Tasks posted from any thread run later on the main thread, one at a time, in posting order.
// The poster never waits.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  virtual void post(Task task) = 0;
  // True on the thread that runs the posted tasks.
  virtual bool isMainThread() const = 0;
};

// Runs each posted task on a background thread of its own.
class BackgroundQueue {
 public:
  virtual ~BackgroundQueue() = default;
  virtual void post(Task task) = 0;
};

// One detached thread per task.
class ThreadBackgroundQueue final : public BackgroundQueue {
 public:
  void post(Task task) override;
};

// The FIFO behind a front end's main queue. post() may be called from any thread; it stores the
// task and calls `wake` so that the toolkit calls runNext() on the main thread. runNext() runs
// one task and refuses to run while another task is still running on the same thread: a task
// that opens a modal alert spins a nested event loop, and no later task may run inside it.
class SerialTaskQueue {
 public:
  explicit SerialTaskQueue(std::function<void()> wake);
  void post(Task task);
  // Runs the oldest task, if any and if no task is running. Returns true when one ran.
  bool runNext();
  // Runs tasks until none is left or one is running already. Returns how many ran.
  int runAll();
  bool hasPending() const;
  bool isRunning() const;
  // Drops every task not yet run (their captured state is released).
  void discardPending();

 private:
  std::function<void()> wake_;
  mutable std::mutex mutex_;
  std::deque<Task> tasks_;
  bool running_ = false;
};

}  // namespace launcher::platform
