#include "frontends/tty/TerminalMainQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace launcher::tty {
namespace {

platform::UniqueFd makeEventFd() {
  platform::UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!fd) throw std::system_error(errno, std::generic_category(), "eventfd");
  return fd;
}

void signal(int fd) {
  const std::uint64_t one = 1;
  // EAGAIN means the counter is already far from zero: the loop is woken anyway.
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace

TerminalMainQueue::TerminalMainQueue()
    : wake_(makeEventFd()),
      tasks_([fd = wake_.get()] { signal(fd); }),
      mainThread_(std::this_thread::get_id()) {}

void TerminalMainQueue::post(platform::Task task) {
  std::lock_guard lock(discardMutex_);
  if (discarded_->load()) return;
  // A task still waiting when the queue is discarded is let go without running.
  tasks_.post([discarded = discarded_, task = std::move(task)] {
    if (!discarded->load()) task();
  });
}

void TerminalMainQueue::discardAll() {
  {
    std::lock_guard lock(discardMutex_);
    discarded_->store(true);
  }
  // Each waiting task is dropped unrun, also behind a pause; nothing new comes in.
  tasks_.discardPending();
}

bool TerminalMainQueue::isMainThread() const {
  return mainThread_.load() == std::this_thread::get_id();
}

void TerminalMainQueue::pause(std::chrono::steady_clock::duration duration) {
  tasks_.holdUntil(std::chrono::steady_clock::now() + duration);
}

void TerminalMainQueue::becomeMainThread() {
  mainThread_.store(std::this_thread::get_id());
}

void TerminalMainQueue::drain() {
  std::uint64_t count = 0;
  // Non-blocking: EAGAIN when nothing was posted since the last drain.
  while (::read(wake_.get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void TerminalMainQueue::wake() {
  signal(wake_.get());
}

}  // namespace launcher::tty
