#include "frontends/tty/TerminalWindow.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "Launcher/Config.h"
#include "Launcher/platform/UniqueFd.h"
#include "frontends/tty/TextFormat.h"

namespace launcher::tty {
namespace {

constexpr const char* kInitialStatus = "Checking for updates...";
constexpr const char* kSpinner = "|/-\\";
constexpr std::size_t kSpinnerFrames = 4;
constexpr std::size_t kDefaultColumns = 80;
constexpr std::size_t kLongestBar = 40;
constexpr std::size_t kShortestBar = 10;
const std::string kDownloadPrefix = "download: ";

std::string statusPrefix(const std::string& name) {
  return name == "updateLabel" ? "status: " : name + ": ";
}

std::string valuePrefix(const std::string& name) {
  return name == "progressBar" ? "progress: " : name + ": ";
}

std::string buttonList(const std::vector<std::string>& titles) {
  std::string list;
  for (const std::string& title : titles) {
    if (!list.empty()) list += ' ';
    list += '[' + escapeLine(title) + ']';
  }
  return list;
}

std::string alertPrompt(const platform::Alert& alert) {
  if (alert.buttons.empty()) return "press Enter to close";
  std::string prompt = "press Enter for " + escapeLine(alert.buttons.front());
  if (alert.buttons.size() > 1) prompt += ", or type one of: " + joinWords(alert.buttons);
  return prompt;
}

std::string bar(double value, std::size_t width) {
  const double share = std::clamp(value, 0.0, 100.0) / 100.0;
  const auto filled = static_cast<std::size_t>(std::lround(share * static_cast<double>(width)));
  return '[' + std::string(filled, '#') + std::string(width - filled, '.') + "]  " +
         formatNumber(value) + '%';
}

// "[####......]  40%  <text>", or with the size unknown "[~~~~~~~~~~]  <text>".
std::string downloadRow(const TerminalProgressIndicator& download, std::size_t width) {
  std::string row;
  if (download.isIndeterminate()) {
    row = '[' + std::string(width, '~') + ']';
  } else {
    const double value =
        std::isnan(download.doubleValue()) ? 0.0 : std::clamp(download.doubleValue(), 0.0, 100.0);
    const auto filled =
        static_cast<std::size_t>(std::lround(value / 100.0 * static_cast<double>(width)));
    row = '[' + std::string(filled, '#') + std::string(width - filled, '.') + "]  " +
          std::to_string(static_cast<int>(value)) + '%';
  }
  if (!download.text().empty()) row += "  " + escapeLine(download.text());
  return row;
}

}  // namespace

TerminalWindow::TerminalWindow(int displayFd, DisplayMode mode)
    : fd_(displayFd),
      mode_(mode),
      onTerminal_(::isatty(displayFd) == 1),
      updateLabel_(std::make_shared<TerminalTextField>("updateLabel", *this, kInitialStatus)),
      downloadBar_(std::make_shared<TerminalProgressIndicator>("downloadBar", *this, false)),
      circleBar_(std::make_shared<TerminalProgressIndicator>("circleBar", *this, true)),
      progressBar_(std::make_shared<TerminalProgressIndicator>("progressBar", *this, false)),
      downloadButton_(std::make_shared<TerminalButton>("downloadButton", "download", *this)),
      updateButton_(std::make_shared<TerminalButton>("updateButton", "update", *this)),
      proceedButton_(std::make_shared<TerminalButton>("proceedButton", "proceed", *this)),
      launchButton_(std::make_shared<TerminalButton>("launchButton", "launch", *this)) {}

platform::WindowElements TerminalWindow::elements() const {
  return platform::elementsOf(*this);
}

void TerminalWindow::open() {
  opened_ = true;
  redraw();
}

void TerminalWindow::close() {
  redraw();
  opened_ = false;
}

void TerminalWindow::setChoices(std::vector<std::string> words) {
  if (words == choices_) return;
  choices_ = std::move(words);
  redraw();
}

void TerminalWindow::hint(std::string_view line, const std::vector<std::string>& words) {
  hint_ = '"' + escapeLine(line) + "\" is not a choice; type one of: " + joinWords(words);
  printLine("hint: " + hint_);
  redraw();
}

void TerminalWindow::clearHint() {
  if (hint_.empty()) return;
  hint_.clear();
  redraw();
}

void TerminalWindow::alertOpened(const platform::Alert& alert) {
  alerts_.push_back(alert);
  std::string line = "alert: " + escapeLine(alert.messageText);
  if (!alert.informativeText.empty()) line += " | " + escapeLine(alert.informativeText);
  line += " | " + buttonList(alert.buttons);
  printLine(line);
  printLine(alertPrompt(alert));
  redraw();
}

void TerminalWindow::alertClosed() {
  if (!alerts_.empty()) alerts_.pop_back();
  // The alert below takes input again: say so once more.
  if (!alerts_.empty()) printLine(alertPrompt(alerts_.back()));
  redraw();
}

void TerminalWindow::lineEchoed() {
  if (mode_ != DisplayMode::live) return;
  std::lock_guard lock(mutex_);
  ++rowsAbove_;
}

bool TerminalWindow::spinnerActive() const {
  return mode_ == DisplayMode::live && !circleBar_->isHidden() && circleBar_->isAnimating();
}

void TerminalWindow::advanceSpinner() {
  spinnerPhase_ = (spinnerPhase_ + 1) % kSpinnerFrames;
  redraw();
}

void TerminalWindow::writeLine(int fd, std::string_view line, bool terminal) {
  if (!terminal) {
    // Away from the display, so without its lock: a line stuck on a pipe that nobody reads must
    // not hold up the window, nor its closing.
    std::string text(line);
    text.push_back('\n');
    static_cast<void>(platform::writeAll(fd, text));
    return;
  }
  std::string text;
  // Nothing in it may move the cursor or change the terminal.
  for (const std::string& piece : safeLines(line))
    text += platform::terminalLine(piece, utf8Locale_) + '\n';
  std::lock_guard lock(mutex_);
  const bool stepAround = mode_ == DisplayMode::live && !lastFrame_.empty() && !broken_;
  if (stepAround) {
    // Take the block away: the line goes where it stood, and the block is drawn again below.
    broken_ = !platform::writeAll(fd_, eraseBlock());
    rowsAbove_ = 0;
  }
  // A failed write loses this line, as writing it straight to its stream would have.
  static_cast<void>(platform::writeAll(fd, text));
  if (!stepAround || broken_) return;
  broken_ = !platform::writeAll(fd_, lastFrame_);
  rowsAbove_ = static_cast<int>(std::count(lastFrame_.begin(), lastFrame_.end(), '\n'));
}

void TerminalWindow::visibilityChanged(const std::string& name, bool hidden) {
  printLine((hidden ? "hidden: " : "shown: ") + name);
  redraw();
}

void TerminalWindow::textChanged(const std::string& name, const std::string& text) {
  if (name != downloadBar_->name()) {
    printLine(statusPrefix(name) + escapeLine(text));
  } else if (downloadBar_->isIndeterminate() && !text.empty() && downloadTexts_++ % 10 == 0) {
    // No tenths to go by: the first text and every tenth one after it.
    printLine(kDownloadPrefix + escapeLine(text));
  }
  redraw();
}

void TerminalWindow::valueChanged(const std::string& name, double value) {
  if (name != downloadBar_->name()) {
    printLine(valuePrefix(name) + formatNumber(value));
  } else if (!downloadBar_->isIndeterminate()) {
    // One line at each tenth the download reaches, with the text that goes with it.
    const int tenth =
        std::isnan(value) ? 0 : static_cast<int>(std::clamp(value, 0.0, 100.0) / 10) * 10;
    // A new download starts below the last one.
    downloadTenth_ = std::min(downloadTenth_, tenth);
    if (tenth > downloadTenth_) {
      downloadTenth_ = tenth;
      printLine(kDownloadPrefix + std::to_string(tenth) + "%");
      if (!downloadBar_->text().empty())
        printLine(kDownloadPrefix + escapeLine(downloadBar_->text()));
    }
  }
  redraw();
}

void TerminalWindow::indeterminateChanged(const std::string&, bool indeterminate) {
  if (indeterminate) downloadTexts_ = 0;
  redraw();
}

void TerminalWindow::animationStarted(const std::string&) {
  redraw();
}

void TerminalWindow::displayRequested() {
  // Every change is written at once; nothing waits to be drawn.
}

void TerminalWindow::printLine(const std::string& line) {
  if (mode_ != DisplayMode::plain) return;
  // A terminal that gets the plain lines reads them as it reads the live block: outside a UTF-8
  // locale, no byte of a text may act on it there either.
  emit((onTerminal_ ? platform::terminalLine(line, utf8Locale_) : line) + '\n');
}

std::vector<std::string> TerminalWindow::frameRows(std::size_t width) const {
  std::vector<std::string> rows;
  if (!updateLabel_->isHidden()) {
    std::string status = APPLICATION_NAME() + " | " + escapeLine(updateLabel_->stringValue());
    if (spinnerActive()) status += std::string("  ") + kSpinner[spinnerPhase_];
    rows.push_back(status);
  }
  // The bars shrink with a narrow terminal; their percentages keep room on the right.
  const std::size_t barWidth =
      std::clamp<std::size_t>(width > 12 ? width - 12 : kShortestBar, kShortestBar, kLongestBar);
  if (!progressBar_->isHidden()) rows.push_back(bar(progressBar_->doubleValue(), barWidth));
  // The download's bar, once a download has something to show.
  const TerminalProgressIndicator& download = *downloadBar_;
  if (!download.isHidden() &&
      (download.isIndeterminate() || !download.text().empty() || download.doubleValue() > 0))
    rows.push_back(downloadRow(download, barWidth));
  if (!alerts_.empty()) {
    // The alert's texts wrap to the width, indented under its mark, its line feeds kept.
    const platform::Alert& alert = alerts_.back();
    const std::size_t textWidth = width > 2 ? width - 2 : 1;
    const std::size_t firstAlertRow = rows.size();
    std::vector<std::string> lines = safeLines(alert.messageText);
    if (!alert.informativeText.empty())
      for (std::string& line : safeLines(alert.informativeText)) lines.push_back(std::move(line));
    lines.push_back(buttonList(alert.buttons) + "  " + alertPrompt(alert));
    for (const std::string& line : lines)
      for (std::string& row : wrapColumns(line, textWidth))
        rows.push_back((rows.size() == firstAlertRow ? "! " : "  ") + row);
  } else if (!choices_.empty()) {
    rows.push_back(buttonList(choices_) + "  type one and press Enter");
  }
  if (!hint_.empty()) rows.push_back(hint_);
  // The block is drawn on a terminal: outside a UTF-8 locale, no byte of a text may be a control.
  for (std::string& row : rows) row = fitColumns(platform::terminalLine(row, utf8Locale_), width);
  return rows;
}

void TerminalWindow::redraw() {
  if (mode_ != DisplayMode::live || !opened_) return;
  std::size_t columns = kDefaultColumns;
  winsize size{};
  if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) columns = size.ws_col;
  // The last column stays free: a row that fills it would wrap on some terminals.
  std::string frame;
  for (const std::string& row : frameRows(columns > 1 ? columns - 1 : 1)) frame += row + '\n';

  std::lock_guard lock(mutex_);
  const std::string bytes = eraseBlock() + frame;
  lastFrame_ = frame;
  rowsAbove_ = static_cast<int>(std::count(frame.begin(), frame.end(), '\n'));
  if (broken_) return;
  if (!platform::writeAll(fd_, bytes)) broken_ = true;
}

std::string TerminalWindow::eraseBlock() const {
  std::string bytes = "\r";
  if (rowsAbove_ > 0) bytes += "\x1b[" + std::to_string(rowsAbove_) + "A";
  return bytes + "\x1b[J";
}

void TerminalWindow::emit(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (broken_) return;
  if (!platform::writeAll(fd_, bytes)) broken_ = true;
}

}  // namespace launcher::tty
