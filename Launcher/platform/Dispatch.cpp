#include "Launcher/platform/Dispatch.h"

#include <thread>
#include <utility>

namespace launcher::platform {

void ThreadBackgroundQueue::post(Task task) {
  std::thread(std::move(task)).detach();
}

SerialTaskQueue::SerialTaskQueue(std::function<void()> wake, std::function<Clock::time_point()> now)
    : wake_(std::move(wake)), now_(std::move(now)) {}

void SerialTaskQueue::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  if (wake_) wake_();
}

bool SerialTaskQueue::runNext() {
  Task task;
  {
    std::lock_guard lock(mutex_);
    if (running_ || tasks_.empty()) return false;
    if (notBefore_ && now_() < *notBefore_) return false;
    notBefore_.reset();
    task = std::move(tasks_.front());
    tasks_.pop_front();
    running_ = true;
  }
  task();
  bool more = false;
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    more = !tasks_.empty();
  }
  // A task that was held back while this one ran needs another turn of the event loop.
  if (more && wake_) wake_();
  return true;
}

int SerialTaskQueue::runAll() {
  int count = 0;
  while (runNext()) ++count;
  return count;
}

bool SerialTaskQueue::hasPending() const {
  std::lock_guard lock(mutex_);
  return !tasks_.empty();
}

bool SerialTaskQueue::isRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void SerialTaskQueue::discardPending() {
  std::deque<Task> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(tasks_);
    notBefore_.reset();
  }
}

void SerialTaskQueue::holdUntil(Clock::time_point time) {
  std::lock_guard lock(mutex_);
  notBefore_ = time;
}

std::optional<SerialTaskQueue::Clock::time_point> SerialTaskQueue::heldUntil() const {
  std::lock_guard lock(mutex_);
  if (notBefore_ && now_() < *notBefore_) return notBefore_;
  return std::nullopt;
}

void SerialTaskQueue::releaseHold() {
  bool waiting = false;
  {
    std::lock_guard lock(mutex_);
    notBefore_.reset();
    waiting = !tasks_.empty() && !running_;
  }
  if (waiting && wake_) wake_();
}

}  // namespace launcher::platform
