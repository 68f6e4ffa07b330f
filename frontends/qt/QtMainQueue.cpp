#include "frontends/qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <utility>

namespace launcher::qt {
namespace {

// One turn of the FIFO on the application's thread. A turn refused because a pause holds the
// queue arms the timer for the time left, which then takes another turn; a pause that ended
// since the FIFO looked gets that turn at once. A turn refused because a task runs gets none:
// the task asks for one when it ends.
void takeTurn(const std::weak_ptr<platform::SerialTaskQueue>& queue, const QPointer<QTimer>& timer,
              const std::function<QtMainQueue::Clock::time_point()>& now) {
  auto fifo = queue.lock();
  if (!fifo || fifo->runNext()) return;
  if (!fifo->hasPending() || fifo->isRunning() || timer.isNull()) return;
  const auto until = fifo->heldUntil();
  const auto left = until ? std::chrono::ceil<std::chrono::milliseconds>(*until - now())
                          : std::chrono::milliseconds(0);
  timer->start(std::max<std::chrono::milliseconds>(left, std::chrono::milliseconds(0)));
}

}  // namespace

QtMainQueue::QtMainQueue(std::function<Clock::time_point()> now) : now_(std::move(now)) {
  // Each post asks the event loop for one turn of the FIFO. The turn runs in the application
  // object's thread; it holds the FIFO only weakly, so a turn that arrives after the queue has
  // gone does nothing. A turn that comes while a task is still running (inside the nested event
  // loop of a modal alert) is refused by the FIFO, which asks for another turn once that task
  // has finished.
  auto fifo = std::make_shared<std::weak_ptr<platform::SerialTaskQueue>>();
  auto timer = std::make_shared<QPointer<QTimer>>();
  queue_ = std::make_shared<platform::SerialTaskQueue>(
      [fifo, timer, now = now_] {
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr) return;
        QMetaObject::invokeMethod(
            app, [queue = *fifo, pauseTimer = *timer, now] { takeTurn(queue, pauseTimer, now); },
            Qt::QueuedConnection);
      },
      now_);
  *fifo = queue_;
  timer_ = new QTimer();
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  *timer = timer_;
  QObject::connect(timer_, &QTimer::timeout, [queue = *fifo, pauseTimer = *timer, now = now_] {
    takeTurn(queue, pauseTimer, now);
  });
}

QtMainQueue::~QtMainQueue() {
  // The timer lives on the application's thread; the last owner of the queue may be another.
  if (timer_.isNull()) return;
  if (QCoreApplication::instance() == nullptr || isMainThread())
    delete timer_.data();
  else
    timer_->deleteLater();
}

void QtMainQueue::post(platform::Task task) {
  queue_->post(std::move(task));
}

bool QtMainQueue::isMainThread() const {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

void QtMainQueue::pause(std::chrono::steady_clock::duration duration) {
  queue_->holdUntil(now_() + duration);
}

}  // namespace launcher::qt
