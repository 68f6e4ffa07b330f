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

std::shared_ptr<platform::Alerts> makeQtAlerts(std::shared_ptr<platform::MainQueue> queue) {
  // Holds no state: one serves every alert of the process.
  static MessageBoxPresenter presenter;
  return std::make_shared<platform::QueuedAlerts>(std::move(queue), presenter);
}

}  // namespace launcher::qt
