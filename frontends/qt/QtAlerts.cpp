#include "frontends/qt/QtAlerts.h"

#include <QMessageBox>
#include <QPushButton>
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

}  // namespace

std::optional<long> MessageBoxPresenter::presentModal(const platform::Alert& alert) {
  // A child of the window, so that it is centred on it; the window deletes it should it go away
  // while the box waits, and then there is no answer.
  QPointer<QMessageBox> box = new QMessageBox(window_.data());
  box->setObjectName(kAlertObjectName);
  box->setWindowTitle(QString::fromStdString(APPLICATION_NAME()));
  box->setIcon(iconFor(alert.style));
  box->setText(QString::fromStdString(alert.messageText));
  if (!alert.informativeText.empty())
    box->setInformativeText(QString::fromStdString(alert.informativeText));
  // One role for every button keeps them in the order given; the first is the default.
  std::vector<QPushButton*> buttons;
  for (const std::string& title : alert.buttons)
    buttons.push_back(box->addButton(QString::fromStdString(title), QMessageBox::AcceptRole));
  if (!buttons.empty()) box->setDefaultButton(buttons.front());
  box->setWindowModality(window_ ? Qt::WindowModal : Qt::ApplicationModal);
  box->exec();
  if (box.isNull()) return std::nullopt;

  const QAbstractButton* clicked = box->clickedButton();
  long answer = 0;
  for (std::size_t index = 0; index < buttons.size(); ++index) {
    if (buttons[index] == clicked)
      answer = platform::kAlertFirstButtonReturn + static_cast<long>(index);
  }
  delete box.data();
  return answer;
}

MessageBoxPresenter& alertPresenter() {
  // One serves every alert of the process; it holds only its window, weakly.
  static MessageBoxPresenter presenter;
  return presenter;
}

std::shared_ptr<platform::Alerts> makeQtAlerts(std::shared_ptr<platform::MainQueue> queue) {
  return std::make_shared<platform::QueuedAlerts>(std::move(queue), alertPresenter());
}

}  // namespace launcher::qt
