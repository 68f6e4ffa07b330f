#include "frontends/qt/QtAlerts.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTextBoundaryFinder>
#include <QTextEdit>
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
// A label breaks its lines only where the text lets it (between words, after a slash), and cuts a
// piece wider than itself (a long name) at its edge. In a text with such a piece, a line may break
// after every character of the words longer than this; breaks that a copy of the text would carry
// along, so the exact text is behind the details then.
constexpr qsizetype kLongestWord = 24;

// The beginning of `text` that the box shows, at most `characters` long and of `lines` lines, or
// nothing when it shows the whole.
std::optional<QString> shortened(const QString& text, qsizetype characters, int lines) {
  qsizetype end = std::min(text.size(), characters);
  qsizetype lineEnd = -1;
  for (int line = 0; line < lines; ++line) {
    lineEnd = text.indexOf(QLatin1Char('\n'), lineEnd + 1);
    if (lineEnd < 0) break;
  }
  if (lineEnd >= 0) end = std::min(end, lineEnd);
  if (end == text.size()) return std::nullopt;
  if (end > 0 && text.at(end - 1).isHighSurrogate()) --end;
  return text.left(end) + QChar(0x2026);
}

// `text` with a zero-width space between the characters (graphemes) of every word longer than
// kLongestWord.
QString breakable(const QString& text) {
  QString result;
  QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
  qsizetype wordStart = 0;
  const auto addWord = [&](qsizetype end) {
    const QStringView word = QStringView(text).mid(wordStart, end - wordStart);
    if (word.size() <= kLongestWord) {
      result += word;
    } else {
      graphemes.setPosition(wordStart);
      for (qsizetype from = wordStart, to = graphemes.toNextBoundary(); from < end;
           from = to, to = graphemes.toNextBoundary()) {
        if (from > wordStart) result += QChar(0x200B);
        result += QStringView(text).mid(from, to - from);
      }
    }
  };
  for (qsizetype index = 0; index < text.size(); ++index) {
    if (!text.at(index).isSpace()) continue;
    addWord(index);
    result += text.at(index);
    wordStart = index + 1;
  }
  addWord(text.size());
  return result;
}

// The whole `text` behind the box's details, which take the keyboard's focus too, so that the
// text can be scrolled without a mouse.
void setDetails(QMessageBox& box, const QString& text) {
  box.setDetailedText(text);
  for (auto* details : box.findChildren<QTextEdit*>()) details->setFocusPolicy(Qt::StrongFocus);
}

// Shows the box. When a piece of its text that has no place to break is wider than the box, the
// text's long words break anywhere. While the box is taller than its screen (a small one, or one
// at a large scale factor), it shows a shorter beginning of `text` and the whole behind its
// details.
void showOnScreen(QMessageBox& box, const QString& text) {
  box.show();
  const auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
  // Its smallest width is that of the widest piece of the text that has no place to break.
  const bool breaking = label != nullptr && label->minimumSizeHint().width() > label->width();
  // Shown again, the box takes the size of its new text.
  const auto showAgain = [&](const QString& shown) {
    box.hide();
    box.setInformativeText(breaking ? breakable(shown) : shown);
    setDetails(box, text);
    box.show();
  };
  if (breaking) showAgain(box.informativeText());
  const int room = box.screen()->availableGeometry().height();
  qsizetype characters = kShownCharacters;
  int lines = kShownLines;
  while (box.frameGeometry().height() > room && lines > 1) {
    characters /= 2;
    lines /= 2;
    const auto beginning = shortened(text, characters, lines);
    if (beginning) showAgain(*beginning);
  }
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
  const QString text = QString::fromStdString(alert.informativeText);
  if (!text.isEmpty()) {
    if (const auto beginning = shortened(text, kShownCharacters, kShownLines)) {
      box->setInformativeText(*beginning);
      setDetails(*box, text);
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
  if (!text.isEmpty()) showOnScreen(*box, text);
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
