#include "frontends/tty/TerminalLauncher.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "Launcher/Config.h"
#include "Launcher/SingleInstance.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/FileManager.h"
#include "frontends/tty/TextFormat.h"

namespace launcher::tty {
namespace {

constexpr const char* kExitWord = "exit";
constexpr std::size_t kReadChunk = 4096;
// A line of input longer than this is cut there: no answer comes near it, and a line without
// end (a stream of bytes with no line feed) must not fill the memory.
constexpr std::size_t kMaxLineBytes = 4096;
// Input waiting to be handled is read no further while it holds this much: lines typed ahead
// stay in the pipe or the terminal until the launcher gets to them.
constexpr std::size_t kMaxPendingInputBytes = std::size_t{64} * 1024;

sigset_t terminationSignals() {
  sigset_t set;
  ::sigemptyset(&set);
  ::sigaddset(&set, SIGINT);
  ::sigaddset(&set, SIGTERM);
  ::sigaddset(&set, SIGHUP);
  return set;
}

void report(int fd, const std::string& message) {
  if (!platform::writeAll(fd, "launcher-cli: " + message + "\n")) {
    // Nowhere left to say it.
  }
}

}  // namespace

bool TerminalLauncher::blockTerminationSignals() {
  const sigset_t set = terminationSignals();
  return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

TerminalLauncher::TerminalLauncher(TerminalOptions options, EnvironmentMaker makeEnvironment)
    : options_(options),
      makeEnvironment_(std::move(makeEnvironment)),
      queue_(std::make_shared<TerminalMainQueue>()),
      alerts_(std::make_shared<platform::QueuedAlerts>(queue_, *this)),
      window_(options_.displayFd, options_.mode) {}

TerminalLauncher::~TerminalLauncher() = default;

int TerminalLauncher::run() {
  queue_->becomeMainThread();
  // The signals go to the signalfd, never to a handler: blocked here for this thread, and by
  // main() for the whole process before any thread starts. They stay blocked afterwards, so that
  // a second Ctrl-C while the process ends cannot end it with another status.
  if (!blockTerminationSignals()) {
    report(options_.displayFd, "cannot block the termination signals");
    return 1;
  }
  const sigset_t set = terminationSignals();
  signals_ = platform::UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals_) {
    report(options_.displayFd, std::string("signalfd: ") + platform::describeErrno(errno));
    return 1;
  }
  inputIsTerminal_ = ::isatty(options_.inputFd) == 1;

  const auto paths = platform::lookUpUserPaths(APPLICATION_NAME());
  if (!paths) {
    report(options_.displayFd, platform::kNoUserPathsMessage);
    return 1;
  }
  // The application in the install folder runs as this user: a folder that another user may
  // change is refused before anything in it is read.
  if (auto own = platform::createInstallFolder(*paths); !own) {
    report(options_.displayFd, own.error);
    return 1;
  }
  // One launcher per account, decided before anything else touches the disk.
  lock_ = lockInstallFolder(*paths);
  if (lock_.state() == platform::InstanceLock::State::heldElsewhere) {
    window_.open();
    presentModal(alreadyRunningAlert());
    window_.close();
    return closingSignal_ != 0 ? 128 + closingSignal_ : 0;
  }
  if (!lock_.held()) report(options_.displayFd, lock_.error() + "; going on without the lock");
  // Console lines are written by the thread that prints them, around the live block.
  const bool outputIsTerminal = ::isatty(options_.outputFd) == 1;
  const bool logIsTerminal = ::isatty(options_.logFd) == 1;
  platform::setConsoleSink([this, outputIsTerminal, logIsTerminal](platform::ConsoleStream stream,
                                                                   std::string_view line) {
    if (stream == platform::ConsoleStream::output)
      window_.writeLine(options_.outputFd, line, outputIsTerminal);
    else
      window_.writeLine(options_.logFd, line, logIsTerminal);
  });
  // Once the loop has ended, lines go straight to their streams again. A line stuck on a stream
  // that nobody reads keeps this sink; the process ends next (main never destroys the launcher).
  struct ConsoleRestorer {
    ~ConsoleRestorer() {
      static_cast<void>(platform::setConsoleSink(nullptr, std::chrono::seconds(1)));
    }
  } restoreConsole;

  controller_ = ViewController::create(makeEnvironment_(*paths, queue_, alerts_));
  controller_->connectOutlets(window_.elements());
  delegate_.applicationDidFinishLaunching();
  window_.open();
  controller_->viewDidLoad();

  while (!closing_.load()) serveOnce();

  // The delegate answers that the launcher ends with its last window.
  if (delegate_.applicationShouldTerminateAfterLastWindowClosed())
    delegate_.applicationWillTerminate();
  window_.setChoices({});
  window_.clearHint();
  window_.close();
  // Nothing posted runs any more: let the tasks go, and the controller with them.
  queue_->discardAll();
  // Ended by a signal: the status a shell shows for a process that the signal ended.
  return closingSignal_ != 0 ? 128 + closingSignal_ : 0;
}

void TerminalLauncher::closeWindow() {
  closing_.store(true);
  queue_->wake();
}

std::optional<long> TerminalLauncher::presentModal(const platform::Alert& alert) {
  if (closing_.load()) return std::nullopt;
  openAlerts_.push_back({alert, std::nullopt});
  const std::size_t index = openAlerts_.size() - 1;
  window_.setChoices({});
  window_.alertOpened(alert);
  // Later tasks stay queued while a task waits here: the FIFO refuses to start one inside another.
  while (!closing_.load() && !openAlerts_[index].answer) serveOnce();
  // Alerts opened inside this turn were answered before it ends, so this one is on top.
  const std::optional<long> answer = openAlerts_[index].answer;
  openAlerts_.pop_back();
  window_.alertClosed();
  return answer;
}

void TerminalLauncher::serveOnce() {
  refreshChoices();
  if (handleBufferedInput()) return;

  // Wake for the next task (at the end of a display pause, if one holds it), the next frame of
  // the spinner, or whatever the descriptors bring.
  const auto now = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> wakeAt;
  if (queue_->hasPending() && !queue_->isRunning()) wakeAt = queue_->heldUntil().value_or(now);
  if (window_.spinnerActive())
    wakeAt = std::min(wakeAt.value_or(nextSpinnerFrame_), nextSpinnerFrame_);
  int timeout = -1;
  if (wakeAt) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now);
    timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
  }

  std::vector<pollfd> fds;
  fds.push_back({queue_->wakeFd(), POLLIN, 0});
  fds.push_back({signals_.get(), POLLIN, 0});
  // Input is read at all times, so that `exit` works while the worker is busy too, unless lines
  // typed ahead already fill kMaxPendingInputBytes.
  const bool reading = !inputEnded_ && inputBuffer_.size() < kMaxPendingInputBytes;
  const std::size_t input = fds.size();
  if (reading) fds.push_back({options_.inputFd, POLLIN, 0});

  if (::poll(fds.data(), fds.size(), timeout) < 0) {
    if (errno == EINTR) return;
    report(options_.displayFd, std::string("poll: ") + platform::describeErrno(errno));
    closeWindow();
    return;
  }
  if (fds[1].revents != 0) {
    readSignals();
    return;
  }
  if (fds[0].revents != 0) queue_->drain();
  if (reading && fds[input].revents != 0) readInput();

  if (window_.spinnerActive()) {
    const auto later = std::chrono::steady_clock::now();
    if (later >= nextSpinnerFrame_) {
      window_.advanceSpinner();
      nextSpinnerFrame_ = later + options_.spinnerInterval;
    }
  }
  if (!closing_.load()) queue_->runNext();
}

bool TerminalLauncher::handleBufferedInput() {
  const auto end = inputBuffer_.find('\n');
  if (awaitsInput()) {
    if (end != std::string::npos) {
      const std::string line = inputBuffer_.substr(0, end);
      inputBuffer_.erase(0, end + 1);
      handleLine(line);
      return true;
    }
    if (inputEnded_) {
      // A last line without a line feed still counts.
      if (!inputBuffer_.empty()) {
        const std::string line = std::exchange(inputBuffer_, {});
        handleLine(line);
        return true;
      }
      handleEndOfInput();
      return true;
    }
    return false;
  }
  // Nobody is awaited. A line naming a button waits for its button, as from
  // `echo download | launcher-cli`; `exit` acts at once, even behind such a line; any other
  // line gets its hint now. The end of input waits until the user is awaited.
  if (end == std::string::npos) return false;
  const std::string first = inputBuffer_.substr(0, end);
  if (!namesAButton(first)) {
    inputBuffer_.erase(0, end + 1);
    handleLine(first);
    return true;
  }
  for (std::size_t start = end + 1, next;
       (next = inputBuffer_.find('\n', start)) != std::string::npos; start = next + 1) {
    const std::string line = inputBuffer_.substr(start, next - start);
    if (normaliseWord(line) == kExitWord) {
      inputBuffer_.erase(start, next + 1 - start);
      handleLine(line);
      return true;
    }
  }
  return false;
}

bool TerminalLauncher::namesAButton(const std::string& line) const {
  const std::string word = normaliseWord(line);
  for (const auto* button : {window_.downloadButton().get(), window_.updateButton().get(),
                             window_.proceedButton().get(), window_.launchButton().get()})
    if (word == button->word()) return true;
  return false;
}

bool TerminalLauncher::awaitsInput() const {
  if (!openAlerts_.empty()) return true;
  return validWords().size() > 1;
}

std::vector<std::string> TerminalLauncher::validWords() const {
  std::vector<std::string> words;
  if (controller_) {
    // An offer waits until it has been answered, even if its buttons are still on show.
    const bool offerOpen = controller_->ChooseCase.load() == 0;
    for (const auto* button : {window_.downloadButton().get(), window_.updateButton().get(),
                               window_.proceedButton().get()})
      if (offerOpen && !button->isHidden()) words.push_back(button->word());
    if (!window_.launchButton()->isHidden()) words.push_back(window_.launchButton()->word());
  }
  words.emplace_back(kExitWord);
  return words;
}

void TerminalLauncher::refreshChoices() {
  if (!openAlerts_.empty()) return;
  window_.setChoices(awaitsInput() ? validWords() : std::vector<std::string>{});
}

void TerminalLauncher::readInput() {
  char buffer[kReadChunk];
  const ssize_t count = ::read(options_.inputFd, buffer, sizeof buffer);
  if (count > 0) {
    // What goes beyond kMaxLineBytes of a line is dropped, up to the line's feed.
    const std::size_t lastFeed = inputBuffer_.rfind('\n');
    std::size_t lineBytes =
        inputBuffer_.size() - (lastFeed == std::string::npos ? 0 : lastFeed + 1);
    for (ssize_t index = 0; index < count; ++index) {
      if (buffer[index] == '\n')
        lineBytes = 0;
      else if (lineBytes++ >= kMaxLineBytes)
        continue;
      inputBuffer_ += buffer[index];
    }
    // A terminal echoes what is typed below the live display.
    if (inputIsTerminal_)
      for (ssize_t index = 0; index < count; ++index)
        if (buffer[index] == '\n') window_.lineEchoed();
    return;
  }
  if (count == 0) {
    inputEnded_ = true;
    return;
  }
  if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
  report(options_.displayFd,
         std::string("cannot read the input: ") + platform::describeErrno(errno));
  inputEnded_ = true;
}

void TerminalLauncher::handleLine(const std::string& line) {
  window_.clearHint();
  const std::string word = normaliseWord(line);

  if (!openAlerts_.empty()) {
    OpenAlert& top = openAlerts_.back();
    const auto& buttons = top.alert.buttons;
    // `exit` quits at an alert too, unless it names one of the alert's buttons.
    if (word == kExitWord &&
        std::none_of(buttons.begin(), buttons.end(),
                     [&](const std::string& button) { return normaliseWord(button) == word; })) {
      // The alert that another launcher runs comes before there is a controller: closing the
      // window is all there is to quit.
      if (controller_)
        controller_->ExitNow(nullptr);
      else
        closeWindow();
      return;
    }
    if (buttons.size() <= 1 || word.empty()) {
      top.answer = platform::kAlertFirstButtonReturn;
      return;
    }
    for (std::size_t index = 0; index < buttons.size(); ++index) {
      if (normaliseWord(buttons[index]) == word) {
        top.answer = platform::kAlertFirstButtonReturn + static_cast<long>(index);
        return;
      }
    }
    window_.hint(line, buttons);
    return;
  }

  const std::vector<std::string> words = validWords();
  if (std::find(words.begin(), words.end(), word) == words.end()) {
    window_.hint(line, words);
    return;
  }
  ViewController& controller = *controller_;
  if (word == kExitWord) {
    controller.ExitNow(nullptr);
  } else if (word == window_.downloadButton()->word()) {
    controller.OneEvent(window_.downloadButton().get());
  } else if (word == window_.updateButton()->word()) {
    controller.OneEvent(window_.updateButton().get());
  } else if (word == window_.proceedButton()->word()) {
    controller.TwoEvent(window_.proceedButton().get());
  } else if (word == window_.launchButton()->word()) {
    controller.LaunchApplication(window_.launchButton().get());
  }
}

void TerminalLauncher::handleEndOfInput() {
  if (!openAlerts_.empty()) {
    openAlerts_.back().answer = platform::kAlertFirstButtonReturn;
    return;
  }
  closeWindow();
}

void TerminalLauncher::readSignals() {
  signalfd_siginfo info{};
  while (::read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (closingSignal_ == 0) closingSignal_ = static_cast<int>(info.ssi_signo);
  }
  // Hang-up, Ctrl-C or a polite kill: like closing the window, told in the exit status.
  closeWindow();
}

}  // namespace launcher::tty
