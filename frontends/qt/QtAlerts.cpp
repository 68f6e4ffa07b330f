#include "frontends/qt/QtAlerts.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>
#include <vector>

#include "Launcher/Config.h"

namespace launcher::qt {
namespace {

QMessageBox::Icon iconFor(int style) {
  switch (style) {
    case platform::kCriticalAlertStyle:
      return QMessageBox::Critical;
    case 1:
      return QMessageBox::Information;
    default:
      return QMessageBox::Warning;
  }
}

long showOnMainThread(const platform::Alert& alert) {
  QMessageBox box;
  box.setObjectName(kAlertObjectName);
  box.setWindowTitle(QString::fromStdString(APPLICATION_NAME()));
  box.setIcon(iconFor(alert.style));
  box.setText(QString::fromStdString(alert.messageText));
  if (!alert.informativeText.empty())
    box.setInformativeText(QString::fromStdString(alert.informativeText));
  // One role for every button keeps them in the order given; the first is the default.
  std::vector<QPushButton*> buttons;
  for (const std::string& title : alert.buttons)
    buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
  if (!buttons.empty()) box.setDefaultButton(buttons.front());
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();

  const QAbstractButton* clicked = box.clickedButton();
  for (std::size_t index = 0; index < buttons.size(); ++index) {
    if (buttons[index] == clicked)
      return platform::kAlertFirstButtonReturn + static_cast<long>(index);
  }
  return 0;
}

}  // namespace

long QtAlerts::runModal(const platform::Alert& alert) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return 0;
  if (QThread::currentThread() == app->thread()) return showOnMainThread(alert);
  long answer = 0;
  QMetaObject::invokeMethod(
      app, [&answer, &alert] { answer = showOnMainThread(alert); }, Qt::BlockingQueuedConnection);
  return answer;
}

}  // namespace launcher::qt
