#include "frontends/qt/QtAlerts.h"

#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <optional>
#include <vector>

#include "Launcher/Config.h"

namespace launcher::qt {
namespace {

// A text that carries what a server sent can be of any length, and the box grows to hold it all,
// its buttons below the screen: it shows the text's beginning, and the whole behind its details.
constexpr qsizetype kShownCharacters = 600;
constexpr int kShownLines = 12;

// The beginning of `text` that the box shows, or nothing when it shows the whole.
std::optional<QString> shortened(const QString& text) {
  qsizetype end = std::min(text.size(), kShownCharacters);
  qsizetype lineEnd = -1;
  for (int line = 0; line < kShownLines; ++line) {
    lineEnd = text.indexOf(QLatin1Char('\n'), lineEnd + 1);
    if (lineEnd < 0) break;
  }
  if (lineEnd >= 0) end = std::min(end, lineEnd);
  if (end == text.size()) return std::nullopt;
  if (end > 0 && text.at(end - 1).isHighSurrogate()) --end;
  return text.left(end) + QChar(0x2026);
}

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
  if (!alert.informativeText.empty()) {
    const QString text = QString::fromStdString(alert.informativeText);
    if (const auto beginning = shortened(text)) {
      box->setInformativeText(*beginning);
      box->setDetailedText(text);
    } else {
      box->setInformativeText(text);
    }
  }
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
