#include "frontends/qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <utility>

namespace launcher::qt {

QtMainQueue::QtMainQueue() {
  // Each post asks the event loop for one turn of the FIFO. The turn runs in the application
  // object's thread; it holds the FIFO only weakly, so a turn that arrives after the queue has
  // gone does nothing. A turn that comes while a task is still running (inside the nested event
  // loop of a modal alert) is refused by the FIFO, which asks for another turn once that task
  // has finished.
  auto self = std::make_shared<std::weak_ptr<platform::SerialTaskQueue>>();
  queue_ = std::make_shared<platform::SerialTaskQueue>([self] {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app,
        [queue = *self] {
          if (auto fifo = queue.lock()) fifo->runNext();
        },
        Qt::QueuedConnection);
  });
  *self = queue_;
}

void QtMainQueue::post(platform::Task task) {
  queue_->post(std::move(task));
}

bool QtMainQueue::isMainThread() const {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace launcher::qt
