#pragma once
// Main queue, background queue and the FIFO that front ends use to run posted tasks.
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

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
  // From a task on the main thread: no later task runs until `duration` has passed, while the
  // window goes on handling its own events (moving, repainting, closing). A task posted during
  // the pause runs after it, in its place in the queue.
  virtual void pause(std::chrono::steady_clock::duration duration) = 0;
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
// that opens a modal alert spins a nested event loop, and no later task may run inside it. It
// also refuses before the time a task held the queue until (holdUntil): the toolkit then asks
// heldUntil() when to try again, and serves its own events meanwhile.
class SerialTaskQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // `now` tells the time; tests may pass their own clock.
  explicit SerialTaskQueue(std::function<void()> wake,
                           std::function<Clock::time_point()> now = &Clock::now);
  void post(Task task);
  // Runs the oldest task, if any, if no task is running and if the queue is not held. Returns
  // true when one ran.
  bool runNext();
  // Runs tasks until none is left, one is running already or the queue is held. Returns how
  // many ran.
  int runAll();
  bool hasPending() const;
  bool isRunning() const;
  // Drops every task not yet run (their captured state is released) and lets go of a hold.
  void discardPending();

  // No task runs before `time`. A later hold replaces an earlier one.
  void holdUntil(Clock::time_point time);
  // The time until which the queue is held, while that time is still to come.
  std::optional<Clock::time_point> heldUntil() const;
  // Ends a hold at once (tests skip the display pauses this way).
  void releaseHold();

 private:
  std::function<void()> wake_;
  std::function<Clock::time_point()> now_;
  mutable std::mutex mutex_;
  std::deque<Task> tasks_;
  bool running_ = false;
  std::optional<Clock::time_point> notBefore_;
};

}  // namespace launcher::platform
