#pragma once
// The launcher in a terminal: the same controller and workflow as the window launcher, with the
// window drawn on a terminal descriptor (see TerminalWindow) and the buttons pressed by typing.
//
// Input, one line at a time, read at all times:
//   download | update | proceed | launch   presses that button if it is visible
//                                          (OneEvent, OneEvent, TwoEvent, LaunchApplication)
//   exit                                    quits (ExitNow), whatever the launcher is doing
// Case and surrounding blanks do not matter. Any other line gets a hint and the next is read.
// While something waits for the user (an open alert, the offer buttons before they have been
// answered, or the launch button) lines are handled in order; before that, a line naming a
// button waits for something to wait for the user, and `exit` acts at once even behind it.
// While an alert is open, any line, an empty one too, presses its button (with several buttons:
// a line naming one presses it, an empty line the first); `exit` quits unless a button is so
// named. End of input, once the user is awaited, presses an open alert's first button, and
// otherwise closes the window. SIGINT, SIGTERM and SIGHUP close the window at any moment. Closing
// the window ends the launcher (the delegate's answer) and run() returns 0, or 128 + the signal's
// number when a signal closed it (130 for Ctrl-C), as shells report such an end.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Launcher/AppDelegate.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/InstanceLock.h"
#include "Launcher/platform/QueuedAlerts.h"
#include "Launcher/platform/UniqueFd.h"
#include "frontends/tty/TerminalMainQueue.h"
#include "frontends/tty/TerminalWindow.h"

namespace launcher::tty {

struct TerminalOptions {
  int inputFd = 0;
  int displayFd = 2;
  DisplayMode mode = DisplayMode::plain;
  // Where the launcher's console lines go while the loop runs: its own lines, and the
  // diagnostic log. The process never points its standard streams anywhere else.
  int outputFd = 1;
  int logFd = 2;
  // Time between two frames of the spinner.
  std::chrono::milliseconds spinnerInterval{100};
};

class TerminalLauncher final : public platform::ModalPresenter {
 public:
  // Makes the controller's surroundings from the per-user folders looked up at start and the
  // launcher's own main queue and alerts.
  using EnvironmentMaker =
      std::function<Environment(const platform::UserPaths&, std::shared_ptr<platform::MainQueue>,
                                std::shared_ptr<platform::Alerts>)>;

  // Blocks the signals that close the window, so that they reach the main loop's signalfd rather
  // than any thread: call it before the process starts its first thread.
  static bool blockTerminationSignals();

  TerminalLauncher(TerminalOptions options, EnvironmentMaker makeEnvironment);
  ~TerminalLauncher() override;
  TerminalLauncher(const TerminalLauncher&) = delete;
  TerminalLauncher& operator=(const TerminalLauncher&) = delete;

  // Looks up the per-user folders, makes the install folder, takes the one-launcher lock, sends
  // the console lines through the window (see TerminalWindow::writeLine), creates the controller,
  // connects the window, starts the controller and runs the main loop on the calling thread until
  // the window closes. Returns 0 then (128 + the signal's number when a signal closed it); 1, with
  // a message on the display descriptor, when the loop cannot be set up or no per-user data folder
  // can be determined (nothing is written then), or when the install folder is refused (see
  // platform::createInstallFolder). When another launcher holds the lock, shows that alert instead
  // and returns 0 once it is answered or `exit` is typed (128 + the signal's number when a signal
  // closed it).
  int run();

  // Closes the window from any thread: the loop ends after the task or action that runs now.
  void closeWindow();

  bool isMainThread() const { return queue_->isMainThread(); }
  const std::shared_ptr<TerminalMainQueue>& mainQueue() const { return queue_; }
  const std::shared_ptr<ViewController>& controller() const { return controller_; }

  // ModalPresenter: a nested turn of the loop until the alert is answered or the window closes
  // (then nothing).
  std::optional<long> presentModal(const platform::Alert& alert) override;

 private:
  struct OpenAlert {
    platform::Alert alert;
    std::optional<long> answer;
  };

  // One turn of the loop: waits for something to happen and handles it; runs at most one task.
  void serveOnce();
  // Handles one buffered line, or the end of input, when it can be handled now; true when it
  // did.
  bool handleBufferedInput();
  bool namesAButton(const std::string& line) const;
  bool awaitsInput() const;
  std::vector<std::string> validWords() const;
  void refreshChoices();
  void readInput();
  void handleLine(const std::string& line);
  void handleEndOfInput();
  void readSignals();

  TerminalOptions options_;
  EnvironmentMaker makeEnvironment_;
  std::shared_ptr<TerminalMainQueue> queue_;
  std::shared_ptr<platform::QueuedAlerts> alerts_;
  TerminalWindow window_;
  AppDelegate delegate_;
  std::shared_ptr<ViewController> controller_;
  platform::UniqueFd signals_;
  platform::InstanceLock lock_;

  std::atomic<bool> closing_{false};
  std::vector<OpenAlert> openAlerts_;
  std::string inputBuffer_;
  bool inputEnded_ = false;
  bool inputIsTerminal_ = false;
  // The first signal that closed the window; 0 while none did.
  int closingSignal_ = 0;
  std::chrono::steady_clock::time_point nextSpinnerFrame_{};
};

}  // namespace launcher::tty
