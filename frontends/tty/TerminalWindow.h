#pragma once
// The launcher's window, drawn on a terminal descriptor (standard error in the real program).
//
// Plain mode (the descriptor is not a terminal): one line per change, for people and scripts:
//   status: <text>            the status line got a new text
//   progress: <value>         the overall bar after a step, "45" or "12.5"
//   shown: <element>          e.g. "shown: downloadButton", "shown: circleBar"
//   hidden: <element>
//   alert: <message> | <informative text> | [<button>] ...
//                             an alert opened; without informative text, that part is left out
//   press Enter for <button>  the alert waits for its answer
//   hint: "<line>" is not a choice; type one of: <words>
//   download: <N>%            the download reached another tenth (10%, 20%, ... 100%),
//   download: <text>          followed by what it has brought; while its size is unknown, its
//                             first text and every tenth one after it
// Texts are kept on one line: "\" becomes "\\", a line feed "\n", a carriage return "\r", a tab
// "\t", other control characters "\xHH"; on a terminal outside a UTF-8 locale, also each byte
// from 0x80 to 0x9F of a character (see platform::terminalLine).
//
// Live mode (the descriptor is a terminal): a block of a few lines redrawn in place: the status
// line with a spinner while the busy indicator shows, the overall bar with its percentage, the
// download's bar with its percentage and text once a download shows one, the choices the user may
// type, and an open alert (its texts wrapped to the width). The launcher's console lines appear
// above it.
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Launcher/platform/Alerts.h"
#include "Launcher/platform/Text.h"
#include "frontends/tty/TerminalControls.h"

namespace launcher::tty {

enum class DisplayMode { plain, live };

class TerminalWindow final : public ElementObserver {
 public:
  TerminalWindow(int displayFd, DisplayMode mode);

  // This window's elements, for the controller's outlets.
  platform::WindowElements elements() const;

  const std::shared_ptr<TerminalTextField>& updateLabel() const { return updateLabel_; }
  const std::shared_ptr<TerminalProgressIndicator>& downloadBar() const { return downloadBar_; }
  const std::shared_ptr<TerminalProgressIndicator>& circleBar() const { return circleBar_; }
  const std::shared_ptr<TerminalProgressIndicator>& progressBar() const { return progressBar_; }
  const std::shared_ptr<TerminalButton>& downloadButton() const { return downloadButton_; }
  const std::shared_ptr<TerminalButton>& updateButton() const { return updateButton_; }
  const std::shared_ptr<TerminalButton>& proceedButton() const { return proceedButton_; }
  const std::shared_ptr<TerminalButton>& launchButton() const { return launchButton_; }

  // Live mode: the first frame / the last one, left on the screen.
  void open();
  void close();

  // What the user may type now (empty: nothing is awaited). Live mode shows them.
  void setChoices(std::vector<std::string> words);
  // The line typed was none of `words`.
  void hint(std::string_view line, const std::vector<std::string>& words);
  void clearHint();

  // An alert opened on top of any others / the top one was answered; the one below it, if any,
  // takes input again.
  void alertOpened(const platform::Alert& alert);
  void alertClosed();

  // Live mode: the terminal echoed a line typed below the block.
  void lineEchoed();
  // Live mode: the busy indicator turns; true while it is shown and animated.
  bool spinnerActive() const;
  void advanceSpinner();

  // Writes one line of the launcher's own (a console line) and a line feed to `fd`. When `fd` is
  // a terminal (`terminal`), the line's control characters are escaped, a line feed in it starts
  // a new line, and in live mode it goes above the block, which is drawn again below it; a file
  // or pipe receives the line as it is. Callable from any thread.
  void writeLine(int fd, std::string_view line, bool terminal);

  // ElementObserver
  void visibilityChanged(const std::string& name, bool hidden) override;
  void textChanged(const std::string& name, const std::string& text) override;
  void valueChanged(const std::string& name, double value) override;
  void animationStarted(const std::string& name) override;
  void indeterminateChanged(const std::string& name, bool indeterminate) override;
  void displayRequested() override;

 private:
  void printLine(const std::string& line);
  void redraw();
  // The rows of the live block, none wider than `width` characters.
  std::vector<std::string> frameRows(std::size_t width) const;
  // Back to the top of the live block, and everything from there down cleared. Under the lock.
  std::string eraseBlock() const;
  // Writes under the lock; stops writing after the first hard error.
  void emit(std::string_view bytes);

  int fd_;
  DisplayMode mode_;
  // Whether the display is a terminal (also in plain mode, as under TERM=dumb), and whether the
  // terminal reads UTF-8, as the locale says when the window is made.
  const bool onTerminal_;
  const bool utf8Locale_ = platform::localeIsUtf8();
  std::shared_ptr<TerminalTextField> updateLabel_;
  std::shared_ptr<TerminalProgressIndicator> downloadBar_, circleBar_, progressBar_;
  std::shared_ptr<TerminalButton> downloadButton_, updateButton_, proceedButton_, launchButton_;

  // Main thread only.
  std::vector<std::string> choices_;
  std::string hint_;
  std::vector<platform::Alert> alerts_;
  std::size_t spinnerPhase_ = 0;
  bool opened_ = false;
  // Plain mode: the last tenth of the download written, and the texts while its size is unknown.
  int downloadTenth_ = 0;
  std::size_t downloadTexts_ = 0;

  // Shared with writeLine.
  std::mutex mutex_;
  std::string lastFrame_;  // the rows of the block drawn last, each ended by a line feed
  int rowsAbove_ = 0;      // rows between the top of the block and the cursor
  bool broken_ = false;
};

}  // namespace launcher::tty
