// The terminal front end, in-process: the real controller and workflow, the real downloader and
// extraction against a server on 127.0.0.1, the terminal's main loop on a thread of the test,
// its input fed through a pipe and its window read from another. No pauses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Launcher/Config.h"
#include "Launcher/Installer.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/InstanceLock.h"
#include "frontends/tty/TerminalLauncher.h"
#include "frontends/tty/TextFormat.h"
#include "tests/support/CaptureFd.h"
#include "tests/support/Doubles.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/TestFolders.h"
#include "tests/support/ZipWriter.h"

namespace launcher::tty {
namespace {

using namespace std::chrono_literals;
using platform::Pipe;
using platform::UniqueFd;
using platform::writeAll;
using testing::LocalHttpServer;
namespace fs = std::filesystem;

// The loop takes SIGINT, SIGTERM and SIGHUP through its signalfd: like main(), block them before
// the first thread of the test program starts.
[[maybe_unused]] const bool kSignalsBlocked = TerminalLauncher::blockTerminationSignals();

constexpr auto kLimit = 20s;

// Ends the loop like the real application ends the process. Off the loop's thread, the caller
// is parked for good, as nothing after a real termination runs.
class ClosingApplication final : public platform::Application {
 public:
  void attach(TerminalLauncher* launcher) {
    std::lock_guard lock(mutex_);
    launcher_ = launcher;
  }
  void terminate() override {
    bool park = false;
    {
      std::lock_guard lock(mutex_);
      ++count_;
      if (launcher_ != nullptr) {
        park = !launcher_->isMainThread();
        launcher_->closeWindow();
      }
    }
    if (!park) return;
    std::mutex parked;
    std::unique_lock lock(parked);
    std::condition_variable never;
    for (;;) never.wait(lock);
  }
  int count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  TerminalLauncher* launcher_ = nullptr;
  int count_ = 0;
};

// One thread per task, as in the real program; the test can wait until every task has ended.
class TrackedBackgroundQueue final : public platform::BackgroundQueue {
 public:
  explicit TrackedBackgroundQueue(bool run) : run_(run) {}
  void post(platform::Task task) override {
    if (!run_) return;
    auto state = state_;
    {
      std::lock_guard lock(state->mutex);
      ++state->running;
    }
    std::thread([state, task = std::move(task)] {
      task();
      std::lock_guard lock(state->mutex);
      --state->running;
      state->changed.notify_all();
    }).detach();
  }
  bool waitIdle() {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, kLimit, [&] { return state_->running == 0; });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
  };
  bool run_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Sends the version request to the test server instead of the compiled-in address.
class RetargetingSession final : public platform::HttpSession {
 public:
  explicit RetargetingSession(std::string target) : target_(std::move(target)) {}
  void dataTask(const platform::Url&, platform::DataTaskCompletion completion) override {
    session_.dataTask(*platform::Url::parse(target_), std::move(completion));
  }

 private:
  std::string target_;
  platform::CurlHttpSession session_;
};

// Collects what is written into a pipe, on a thread of its own. Going away, it closes the
// pipe's write end (the writers must be done) and reads to its end.
class Collector {
 public:
  explicit Collector(Pipe& pipe)
      : writeEnd_(pipe.writeEnd), thread_([this, fd = pipe.readEnd.get()] { collect(fd); }) {}
  ~Collector() { finish(); }
  // Once the writers are done: closes the write end and reads what is left.
  void finish() {
    writeEnd_.reset();
    if (thread_.joinable()) thread_.join();
  }
  bool waitFor(const std::function<bool(const std::string&)>& seen) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLimit, [&] { return seen(text_); });
  }
  bool waitForLine(const std::string& line) {
    return waitFor([&](const std::string& text) { return hasLine(text, line); });
  }
  std::string text() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  std::vector<std::string> lines() const {
    std::vector<std::string> lines;
    const std::string all = text();
    std::size_t start = 0;
    for (std::size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(all.substr(start, end - start));
    return lines;
  }
  static bool hasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
  }

 private:
  void collect(int fd) {
    char buffer[4096];
    for (;;) {
      const ssize_t count = ::read(fd, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) return;
      std::lock_guard lock(mutex_);
      text_.append(buffer, static_cast<std::size_t>(count));
      changed_.notify_all();
    }
  }
  UniqueFd& writeEnd_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  std::thread thread_;
};

// Holds a request in the server until the test lets it go.
class Gate {
 public:
  // A handler that waits at the gate and then answers with `status` and `body`.
  LocalHttpServer::Handler handler(int status, std::string body = {}) {
    return [state = state_, status, body](const httplib::Request&, httplib::Response& response) {
      {
        std::unique_lock lock(state->mutex);
        state->changed.wait_for(lock, kLimit, [&] { return state->open; });
      }
      response.status = status;
      response.set_content(body, "application/zip");
    };
  }
  void open() {
    {
      std::lock_guard lock(state_->mutex);
      state_->open = true;
    }
    state_->changed.notify_all();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// True when `expected` appears in `lines` in this order, other lines between them allowed.
::testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& expected) {
  auto at = lines.begin();
  for (const std::string& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end())
      return ::testing::AssertionFailure() << "missing or out of order: " << line;
    ++at;
  }
  return ::testing::AssertionSuccess();
}

// A pseudo-terminal in raw mode as a pair of ends: what is written to the terminal (writeEnd)
// is read unchanged at readEnd. Empty ends when none can be opened.
Pipe terminalPair() {
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return {};
  const char* name = ::ptsname(master.get());
  UniqueFd terminal(name != nullptr ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1);
  termios mode{};
  if (!terminal || ::tcgetattr(terminal.get(), &mode) != 0) return {};
  ::cfmakeraw(&mode);
  if (::tcsetattr(terminal.get(), TCSANOW, &mode) != 0) return {};
  return {std::move(master), std::move(terminal)};
}

// What `write` puts on the standard stream `fd` while that is a terminal, or a pipe; nothing
// (with a failure added) when it cannot be caught.
std::string writtenTo(int fd, bool terminal, const std::function<void()>& write) {
  Pipe ends = terminal ? terminalPair() : Pipe::make();
  const UniqueFd saved(::dup(fd));
  if (!ends.writeEnd || !saved || ::dup2(ends.writeEnd.get(), fd) != fd) {
    ADD_FAILURE() << "cannot catch descriptor " << fd;
    return {};
  }
  write();
  if (::dup2(saved.get(), fd) != fd) ADD_FAILURE() << "cannot give descriptor " << fd << " back";
  std::string got(4096, '\0');
  const ssize_t count = ::read(ends.readEnd.get(), got.data(), got.size());
  got.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  return got;
}

// The terminal launcher with the real workflow, its loop on a thread of its own. With
// `terminalDisplay` the window is drawn on a pseudo-terminal; `adjust` changes the options.
struct Rig {
  explicit Rig(DisplayMode mode = DisplayMode::plain, bool runWorkflow = true,
               bool terminalDisplay = false,
               const std::function<void(TerminalOptions&)>& adjust = {})
      : display(terminalDisplay ? terminalPair() : Pipe::make()),
        background(std::make_shared<TrackedBackgroundQueue>(runWorkflow)) {
    TerminalOptions options;
    options.inputFd = input.readEnd.get();
    options.displayFd = display.writeEnd.get();
    options.mode = mode;
    options.spinnerInterval = 5ms;
    if (adjust) adjust(options);
    launcher = std::make_unique<TerminalLauncher>(
        options,
        [this](const platform::UserPaths& paths, std::shared_ptr<platform::MainQueue> queue,
               std::shared_ptr<platform::Alerts> alerts) {
          Environment environment;
          environment.paths = paths;
          environment.mainQueue = std::move(queue);
          environment.alerts = std::move(alerts);
          environment.backgroundQueue = background;
          environment.application = application;
          environment.workspace = launchWith ? launchWith : workspace;
          environment.httpSession = std::make_shared<RetargetingSession>(versionAddress);
          environment.progressPause = progressPause;
          environment.finishingPause = 0us;
          return environment;
        });
    application->attach(launcher.get());
  }
  ~Rig() {
    if (runner.joinable()) {
      launcher->closeWindow();
      runner.join();
    }
    application->attach(nullptr);
    // A workflow still waiting for an answer is let go, so that it ends before the folders go.
    if (launcher->controller() && launcher->controller()->ChooseCase.load() == 0)
      launcher->controller()->TwoEvent();
    if (workflowEnds) {
      EXPECT_TRUE(background->waitIdle());
    }
  }

  // The server publishes `version` with the package at /feed/package_mac.zip.
  void publish(std::int64_t version) {
    server.answer("/v/version", 200,
                  testing::versionAnswer(version, server.url("/feed/package_mac.zip")),
                  "application/json");
  }
  void servePackage() {
    server.answer(
        "/feed/package_mac.zip", 200,
        testing::zipBytes(
            {testing::directory(APPLICATION_NAME() + ".app/"),
             testing::file(APPLICATION_NAME() + ".app/AppRun", "#!/bin/sh\n").withMode(0100755)}));
  }
  // A recorded version with the application it names.
  void installed(const std::string& version) {
    testing::writeFile(folders.installFolder() + "/version.txt", version);
    const std::string appRun = folders.installFolder() + "/" + APPLICATION_NAME() + ".app/AppRun";
    testing::writeFile(appRun, "#!/bin/sh\n");
    std::filesystem::permissions(appRun, std::filesystem::perms(0755));
  }
  std::string recordedVersion() const {
    return testing::readFile(folders.installFolder() + "/version.txt");
  }

  void start() {
    runner = std::thread([this] { result.set_value(launcher->run()); });
  }
  void type(const std::string& text) { ASSERT_TRUE(writeAll(input.writeEnd.get(), text)); }
  void endInput() { input.writeEnd.reset(); }
  // The loop's result once it has ended, with all it drew read; -1 when it does not end in time.
  int status() {
    if (returned.wait_for(kLimit) != std::future_status::ready) return -1;
    runner.join();
    window.finish();
    return returned.get();
  }

  testing::UserFolders folders;
  LocalHttpServer server;
  std::string versionAddress = server.url("/v/version");
  // False when the workflow is meant to stay blocked for good (behind a parked termination).
  bool workflowEnds = true;
  std::chrono::microseconds progressPause{0};
  Pipe input = Pipe::make();
  Pipe display;
  Collector window{display};
  std::shared_ptr<TrackedBackgroundQueue> background;
  std::shared_ptr<ClosingApplication> application = std::make_shared<ClosingApplication>();
  std::shared_ptr<testing::RecordingWorkspace> workspace =
      std::make_shared<testing::RecordingWorkspace>();
  // When set, launching goes through this workspace instead of the recording one.
  std::shared_ptr<platform::Workspace> launchWith;
  std::unique_ptr<TerminalLauncher> launcher;
  std::promise<int> result;
  std::future<int> returned = result.get_future();
  std::thread runner;
};

// ---- Plain lines

TEST(TerminalPlain, UpToDateRunDrawsEachStepAndLeavesStandardOutputToTheCore) {
  Rig rig;
  rig.publish(3);
  rig.installed("3");
  testing::CaptureFd out(1);
  rig.start();
  const bool launchShown = rig.window.waitForLine("shown: launchButton");
  rig.endInput();
  const int status = rig.status();
  const std::string printed = out.finish();

  ASSERT_TRUE(launchShown);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(rig.application->count(), 0) << "closing the window is no termination request";
  EXPECT_EQ(
      rig.window.lines(),
      (std::vector<std::string>{"progress: 10", "progress: 25", "progress: 75", "progress: 100",
                                "status: Finishing", "status: Up to date", "shown: launchButton"}));
  EXPECT_TRUE(Collector::hasLine(printed, rig.folders.dataHome())) << printed;
  EXPECT_TRUE(Collector::hasLine(printed, "3  :  3")) << printed;
  for (const char* windowWord : {"status:", "progress:", "shown:", "hidden:", "alert:"})
    EXPECT_EQ(printed.find(windowWord), std::string::npos) << windowWord << " in " << printed;
  EXPECT_EQ(rig.window.text().find("responseString"), std::string::npos);
}

TEST(TerminalPlain, ElementChangesBecomeOneLineEach) {
  Pipe pipe = Pipe::make();
  {
    TerminalWindow window(pipe.writeEnd.get(), DisplayMode::plain);
    window.progressBar()->setDoubleValue(12.5);
    window.circleBar()->setHidden(false);
    window.circleBar()->setHidden(false);  // no change, no line
    window.circleBar()->startAnimation();
    window.updateLabel()->setStringValue("two\nlines \\ and a\ttab");
    window.alertOpened({"Notice", "", platform::kCriticalAlertStyle, {"OK"}});
  }
  Collector lines(pipe);
  ASSERT_TRUE(lines.waitForLine("press Enter for OK"));
  EXPECT_EQ(lines.lines(),
            (std::vector<std::string>{"progress: 12.5", "shown: circleBar",
                                      R"(status: two\nlines \\ and a\ttab)", "alert: Notice | [OK]",
                                      "press Enter for OK"}));
}

TEST(TerminalPlain, DownloadWritesEachTenthWithItsTextAndSomeTextsOfAnUnknownSize) {
  Pipe pipe = Pipe::make();
  {
    TerminalWindow window(pipe.writeEnd.get(), DisplayMode::plain);
    const auto show = [bar = window.downloadBar()](double percent, bool unknown,
                                                   const std::string& text) {
      bar->setIndeterminate(unknown);
      bar->setText(text);
      bar->setDoubleValue(percent);
    };
    show(3, false, "0.3 MB of 10.0 MB");
    show(9.9, false, "0.9 MB of 10.0 MB");
    show(10, false, "1.0 MB of 10.0 MB");
    show(47, false, "4.7 MB of 10.0 MB \u00b7 1.0 MB/s \u00b7 6 s left");
    show(48, false, "4.8 MB of 10.0 MB \u00b7 1.0 MB/s \u00b7 6 s left");
    show(100, false, "10.0 MB of 10.0 MB");
    for (int megabytes = 1; megabytes <= 21; ++megabytes)
      show(0, true, std::to_string(megabytes) + ".0 MB");
  }
  Collector lines(pipe);
  lines.finish();
  EXPECT_EQ(lines.lines(), (std::vector<std::string>{
                               "download: 10%", "download: 1.0 MB of 10.0 MB", "download: 40%",
                               "download: 4.7 MB of 10.0 MB \u00b7 1.0 MB/s \u00b7 6 s left",
                               "download: 100%", "download: 10.0 MB of 10.0 MB", "download: 1.0 MB",
                               "download: 11.0 MB", "download: 21.0 MB"}));
}

TEST(TerminalText, FormatsForOneLineAndTheScreenWidth) {
  EXPECT_EQ(formatNumber(45), "45");
  EXPECT_EQ(formatNumber(-3), "-3");
  EXPECT_EQ(formatNumber(12.5), "12.5");
  EXPECT_EQ(formatNumber(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(escapeLine("a\x1b[2Jb\r"), "a\\x1b[2Jb\\r");
  // C1 controls, as UTF-8 or as bytes standing alone; other characters and stray bytes stay.
  EXPECT_EQ(escapeLine("a\xc2\x9b"
                       "2Jb\x9b"
                       "2J\xc2\xa0\xe9\xe6\x97\xa5"),
            "a\\xc2\\x9b"
            "2Jb\\x9b"
            "2J\xc2\xa0\xe9\xe6\x97\xa5");
  EXPECT_EQ(safeLines("one\n two"), (std::vector<std::string>{"one", " two"}));
  EXPECT_EQ(fitColumns("h\xc3\xa9llo", 2), "h\xc3\xa9");
  EXPECT_EQ(fitColumns("short", 10), "short");
  // Wide characters take two columns and are never cut in half; a stray byte takes one.
  EXPECT_EQ(fitColumns("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", 5), "\xe6\x97\xa5\xe6\x9c\xac");
  EXPECT_EQ(fitColumns("\x80\x80\x80", 2), "\x80\x80");
  EXPECT_EQ(normaliseWord(" \tDownload\r"), "download");
}

// The locale named by LC_ALL for the life of the object.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char* name) {
    if (const char* value = std::getenv("LC_ALL")) saved_ = value;
    ::setenv("LC_ALL", name, 1);
  }
  ~ScopedLocale() {
    if (saved_)
      ::setenv("LC_ALL", saved_->c_str(), 1);
    else
      ::unsetenv("LC_ALL");
  }
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;

 private:
  std::optional<std::string> saved_;
};

// Without a front end's console, a line reaches a terminal escaped (the graphical launcher run
// from a shell), and a pipe or file as it is. Outside a UTF-8 locale the terminal reads bytes:
// there a character whose bytes hold 0x9B (U+011B) must not reach it as a control sequence, in a
// console line or in the live block.
TEST(TerminalText, ConsoleLinesOnATerminalCannotActOnIt) {
  struct Case {
    const char* locale;
    std::string onTerminal;  // what the terminal receives of `sent`
  };
  // A control sequence, U+011B (0xC4 0x9B) before "2J", and U+00B7 (0xC2 0xB7), which no
  // terminal takes for a control.
  const std::string sent =
      "a\x1b[2Jb \xc4\x9b"
      "2J \xc2\xb7";
  const std::string escaped = "a\\x1b[2Jb \\xc4\\x9b2J \xc2\xb7";
  const std::string kept =
      "a\\x1b[2Jb \xc4\x9b"
      "2J \xc2\xb7";
  // A locale that is not installed counts as not UTF-8.
  for (const Case& c : {Case{"C.UTF-8", kept}, Case{"C", escaped}, Case{"POSIX", escaped},
                        Case{"xx_XX.ISO-8859-1", escaped}}) {
    SCOPED_TRACE(c.locale);
    const ScopedLocale locale(c.locale);
    for (const bool terminal : {true, false}) {
      SCOPED_TRACE(terminal ? "terminal" : "pipe");
      EXPECT_EQ(writtenTo(STDOUT_FILENO, terminal,
                          [&] { platform::printLine("responseString = " + sent); }),
                "responseString = " + (terminal ? c.onTerminal : sent) + "\n");
    }

    // A line feed inside a console line (the merge's opening line, an answer over several lines)
    // stays a line break on a terminal, as it does on a pipe; each line is made safe on its own.
    for (const bool terminal : {true, false}) {
      SCOPED_TRACE(terminal ? "terminal, line feeds" : "pipe, line feeds");
      EXPECT_EQ(writtenTo(STDERR_FILENO, terminal,
                          [&] {
                            platform::logLine("- mergeContentsOfPath: " + sent + "\n intoPath: /b");
                          }),
                "- mergeContentsOfPath: " + (terminal ? c.onTerminal : sent) + "\n intoPath: /b\n");
    }

    // The live block and the lines written above it, on a terminal; and the plain lines that a
    // terminal without cursor movement (TERM=dumb) gets instead.
    for (const DisplayMode mode : {DisplayMode::live, DisplayMode::plain}) {
      SCOPED_TRACE(mode == DisplayMode::live ? "live" : "plain");
      Pipe screenEnds = terminalPair();
      ASSERT_TRUE(screenEnds.writeEnd);
      Collector screen(screenEnds);
      {
        TerminalWindow window(screenEnds.writeEnd.get(), mode);
        window.open();
        window.alertOpened({"Error", "notes: " + sent, platform::kCriticalAlertStyle, {"OK"}});
        window.hint("typed: " + sent, {"exit"});
        window.writeLine(screenEnds.writeEnd.get(), "line: " + sent, true);
      }
      screen.finish();
      const std::string text = screen.text();
      const std::string end = mode == DisplayMode::live ? "\n" : " | [OK]\n";
      EXPECT_NE(text.find("notes: " + c.onTerminal + end), std::string::npos) << text;
      EXPECT_NE(text.find("\"typed: " + c.onTerminal + "\" is not a choice"), std::string::npos)
          << text;
      EXPECT_NE(text.find("line: " + c.onTerminal + "\n"), std::string::npos) << text;
    }
  }
}

TEST(TerminalText, WrapsAtBlanksAndSplitsOnlyWordsLongerThanALine) {
  struct Case {
    std::string text;
    std::size_t columns;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"fits as it is", 20, {"fits as it is"}},
      {"", 5, {""}},
      {"one two three four", 9, {"one two", "three", "four"}},
      {"exactly nine", 7, {"exactly", "nine"}},
      {" leading  blanks kept", 30, {" leading  blanks kept"}},
      {"a 0123456789abc", 6, {"a 0123", "456789", "abc"}},
      {"0123456789", 4, {"0123", "4567", "89"}},
      {"word h\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
       4,
       {"word", "h\xc3\xa9\xc3\xa9\xc3\xa9", "\xc3\xa9\xc3\xa9"}},
      // Two columns each: a wide word is split between characters, never inside one.
      {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e ab",
       4,
       {"\xe6\x97\xa5\xe6\x9c\xac", "\xe8\xaa\x9e", "ab"}},
      {"ab\xe6\x97\xa5\xe6\x9c\xac", 3, {"ab", "\xe6\x97\xa5", "\xe6\x9c\xac"}},
      // A line narrower than a wide character still takes one, and the wrap ends.
      {"\xe6\x97\xa5\xe6\x9c\xac", 1, {"\xe6\x97\xa5", "\xe6\x9c\xac"}},
  };
  for (const Case& test : cases)
    EXPECT_EQ(wrapColumns(test.text, test.columns), test.lines)
        << '"' << test.text << "\" in " << test.columns;
}

// ---- The offer

TEST(TerminalOffer, PipedDownloadInstallsAndTheEndOfInputThenCloses) {
  Rig rig;
  rig.publish(5);
  rig.servePackage();
  // As from `echo download | launcher-cli`: the line waits in the pipe until the offer is on
  // show, and the end of input that follows it is met only at the launch button.
  rig.type("download\n");
  rig.endInput();
  rig.start();
  EXPECT_EQ(rig.status(), 0);
  EXPECT_EQ(rig.application->count(), 0);
  EXPECT_EQ(rig.window.lines().back(), "shown: launchButton");
  EXPECT_TRUE(
      inOrder(rig.window.lines(),
              {"status: Download Available", "shown: downloadButton", "hidden: downloadButton",
               "status: Initializing", "status: Downloading Application", "shown: circleBar",
               "hidden: circleBar", "status: Extracting", "status: Installing Application",
               "status: Cleaning Up", "status: Finishing", "status: Up to date"}));
  EXPECT_EQ(rig.window.text().find("hint:"), std::string::npos);
  EXPECT_EQ(rig.recordedVersion(), "5");
  EXPECT_TRUE(fs::exists(rig.folders.installFolder() + "/" + APPLICATION_NAME() + ".app/AppRun"));
  EXPECT_TRUE(rig.workspace->requests().empty());
}

TEST(TerminalOffer, UnknownWordsGetAHintAndTheNextLineIsRead) {
  Rig rig;
  rig.publish(5);
  rig.servePackage();
  rig.installed("4");
  rig.start();
  ASSERT_TRUE(rig.window.waitForLine("shown: proceedButton"));
  rig.type("nonsense\n");
  ASSERT_TRUE(rig.window.waitForLine(
      R"(hint: "nonsense" is not a choice; type one of: update, proceed, exit)"));
  // A line longer than any answer is cut, however long it runs.
  rig.type(std::string(1024 * 1024, 'x') + "\n");
  ASSERT_TRUE(rig.window.waitForLine("hint: \"" + std::string(4096, 'x') +
                                     "\" is not a choice; type one of: update, proceed, exit"));
  rig.type("download\n");  // a word, but not of a button on show
  ASSERT_TRUE(rig.window.waitForLine(
      R"(hint: "download" is not a choice; type one of: update, proceed, exit)"));
  rig.type("  Proceed \n");
  ASSERT_TRUE(rig.window.waitForLine("shown: launchButton"));
  EXPECT_TRUE(inOrder(rig.window.lines(), {"hidden: updateButton", "hidden: proceedButton",
                                           "progress: 75", "status: Up to date"}));
  EXPECT_EQ(rig.server.requestCount("/feed/package_mac.zip"), 0);
  EXPECT_EQ(rig.recordedVersion(), "4");

  // Nothing to launch any more: the action's alert takes the next line, then launch waits again.
  fs::remove_all(rig.folders.installFolder() + "/" + APPLICATION_NAME() + ".app");
  rig.type("launch\n");
  ASSERT_TRUE(rig.window.waitForLine("press Enter for OK"));
  EXPECT_TRUE(Collector::hasLine(rig.window.text(), "alert: Something wrong. Try later. | [OK]"));
  testing::writeFile(rig.folders.installFolder() + "/" + APPLICATION_NAME() + ".app", "");
  rig.type("launch\n");  // answers the alert
  rig.type("Launch\n");
  EXPECT_EQ(rig.status(), 0);
  EXPECT_EQ(rig.workspace->requests(), std::vector<std::string>{APPLICATION_NAME()});
  EXPECT_EQ(rig.application->count(), 1);
}

TEST(TerminalOffer, ExitQuitsThroughTheApplication) {
  Rig rig;
  rig.publish(5);
  rig.servePackage();
  rig.start();
  ASSERT_TRUE(rig.window.waitForLine("shown: downloadButton"));
  rig.type("exit\n");
  EXPECT_EQ(rig.status(), 0);
  EXPECT_EQ(rig.application->count(), 1);
  EXPECT_EQ(rig.server.requestCount("/feed/package_mac.zip"), 0);
  EXPECT_FALSE(fs::exists(rig.folders.installFolder() + "/" + APPLICATION_NAME() + ".app"));
}

TEST(TerminalOffer, EndOfInputClosesTheWindow) {
  Rig rig;
  rig.publish(5);
  rig.servePackage();
  rig.endInput();
  rig.start();
  EXPECT_EQ(rig.status(), 0);
  EXPECT_EQ(rig.application->count(), 0);
  ASSERT_FALSE(rig.window.lines().empty());
  EXPECT_EQ(rig.window.lines().back(), "shown: downloadButton");
  EXPECT_EQ(rig.launcher->controller()->ChooseCase.load(), 0);
}

// ---- Alerts

TEST(TerminalAlerts, AlertInATaskHoldsBackLaterTasksUntilALineOrTheEndOfInput) {
  Rig rig(DisplayMode::plain, /*runWorkflow=*/false);
  rig.start();
  auto post = [&](std::function<void(ViewController&)> task) {
    rig.launcher->mainQueue()->post([&rig, task] { task(*rig.launcher->controller()); });
  };
  // Posted tasks run inside the loop, after run() has made the controller.
  const auto show = [](std::string text) {
    return
        [text](ViewController& controller) { controller.updateLabel.lock()->setStringValue(text); };
  };
  post(show("before"));
  post([](ViewController& controller) { controller.DisplayAlert("Notice\nsecond line"); });
  post(show("after"));
  ASSERT_TRUE(rig.window.waitForLine("press Enter for OK"));
  EXPECT_TRUE(rig.launcher->mainQueue()->hasPending());
  EXPECT_FALSE(Collector::hasLine(rig.window.text(), "status: after"));

  rig.type("anything at all\n");
  ASSERT_TRUE(rig.window.waitForLine("status: after"));
  EXPECT_EQ(rig.window.lines(),
            (std::vector<std::string>{"status: before", R"(alert: Notice\nsecond line | [OK])",
                                      "press Enter for OK", "status: after"}));

  post([](ViewController& controller) { controller.DisplayAlert("Again"); });
  post(show("last"));
  rig.endInput();
  ASSERT_TRUE(rig.window.waitForLine("status: last"));
  rig.launcher->closeWindow();
  EXPECT_EQ(rig.status(), 0);
}

TEST(TerminalAlerts, FailedDownloadHoldsBackTheRestAndExitLeavesNothingInstalled) {
  Rig rig;
  rig.publish(5);  // no package served: 404
  rig.type("download\n");
  rig.start();
  ASSERT_TRUE(rig.window.waitForLine("press Enter for Exit"));
  // The worker has posted everything up to the launch button; none of it may show yet.
  ASSERT_TRUE(rig.background->waitIdle());
  EXPECT_TRUE(rig.launcher->mainQueue()->hasPending());
  const auto lines = rig.window.lines();
  const auto alert = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("alert:", 0) == 0;
  });
  ASSERT_NE(alert, lines.end());
  EXPECT_EQ(alert->rfind(R"(alert: Error | Failed to update the application.\n )", 0), 0u)
      << *alert;
  EXPECT_NE(alert->find("404"), std::string::npos) << *alert;
  EXPECT_EQ(alert->substr(alert->size() - 9), " | [Exit]");
  EXPECT_EQ(lines.back(), "press Enter for Exit");

  rig.type("\n");
  EXPECT_EQ(rig.status(), 0);
  EXPECT_EQ(rig.application->count(), 1);
  EXPECT_EQ(rig.recordedVersion(), "0");
  EXPECT_FALSE(Collector::hasLine(rig.window.text(), "status: Finishing"));
}

TEST(TerminalAlerts, VersionRequestFailureIsAnsweredOnTheLoopAndTheRunGoesOn) {
  Rig rig;
  rig.versionAddress = "http://127.0.0.1:" + std::to_string(testing::unusedPort()) + "/v/version";
  rig.installed("2");
  rig.start();
  ASSERT_TRUE(rig.window.waitForLine("press Enter for OK"));
  const std::string text = rig.window.text();
  EXPECT_NE(text.find(R"(alert: Error | Failed to launch the application.\n )"), std::string::npos)
      << text;
  EXPECT_NE(text.find(R"(\n\nThe installed version will be used. | [OK])"), std::string::npos)
      << text;
  rig.type("\n");
  ASSERT_TRUE(rig.window.waitForLine("shown: launchButton"));
  EXPECT_TRUE(
      inOrder(rig.window.lines(), {"status: Finishing", "status: Could not check for updates"}));
  rig.endInput();
  EXPECT_EQ(rig.status(), 0);
  EXPECT_EQ(rig.application->count(), 0);
  EXPECT_EQ(rig.recordedVersion(), "2");
}

// ---- Input while the launcher is busy

TEST(TerminalBusy, LinesAreReadWhileTheVersionRequestHangsAndExitEndsIt) {
  Rig rig;
  Gate gate;
  // Let go after the loop has ended, an answer that asks for no alert lets the worker end.
  rig.server.handle("/v/version", gate.handler(200, "[]"));
  rig.start();
  ASSERT_TRUE(rig.window.waitForLine("progress: 10"));
  rig.type("nonsense\n");
  ASSERT_TRUE(rig.window.waitForLine(R"(hint: "nonsense" is not a choice; type one of: exit)"));
  // A button's word waits for its button; `exit` behind it does not.
  rig.type("download\nexit\n");
  const int status = rig.status();
  gate.open();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(rig.application->count(), 1);
  EXPECT_FALSE(Collector::hasLine(rig.window.text(), "status: Could not check for updates"));
}

TEST(TerminalBusy, ExitAtAnAlertWithoutSuchAButtonEndsTheLauncher) {
  Rig rig;
  rig.versionAddress = "http://127.0.0.1:" + std::to_string(testing::unusedPort()) + "/v/version";
  // The request's thread is parked in the termination, and the worker waits for it for good.
  rig.workflowEnds = false;
  rig.installed("2");
  rig.start();
  ASSERT_TRUE(rig.window.waitForLine("press Enter for OK"));
  rig.type("exit\n");
  EXPECT_EQ(rig.status(), 0);
  EXPECT_EQ(rig.application->count(), 1);
  EXPECT_FALSE(Collector::hasLine(rig.window.text(), "shown: launchButton"));
  EXPECT_EQ(rig.recordedVersion(), "2");
}

// A second launcher has no controller behind its alert: `exit` and the signals end it all the
// same, with the status that tells how, and it starts nothing.
TEST(TerminalBusy, ExitOrASignalAtTheAlreadyRunningAlertEndsTheSecondLauncher) {
  struct Case {
    const char* title;
    int signal;  // 0: `exit` is typed
    int status;
  };
  for (const Case& c : {Case{"exit", 0, 0}, Case{"interrupt", SIGINT, 130},
                        Case{"hang-up", SIGHUP, 128 + SIGHUP}}) {
    SCOPED_TRACE(c.title);
    Rig rig;
    rig.publish(5);
    fs::create_directories(rig.folders.installFolder());
    const auto first = platform::InstanceLock::acquire(rig.folders.installFolder() + "/" +
                                                       std::string(kLockFileName));
    ASSERT_TRUE(first.held());
    rig.start();
    ASSERT_TRUE(rig.window.waitForLine("press Enter for OK"));
    if (c.signal == 0)
      rig.type("exit\n");
    else
      ASSERT_EQ(::kill(::getpid(), c.signal), 0);
    EXPECT_EQ(rig.status(), c.status);
    EXPECT_EQ(rig.launcher->controller(), nullptr);
    EXPECT_FALSE(Collector::hasLine(rig.window.text(), "progress: 10"));
  }
}

// An install folder that other users may change is refused before anything in it is read,
// locked or run.
TEST(TerminalBusy, InstallFolderThatOtherUsersMayChangeIsRefused) {
  Rig rig;
  rig.publish(5);
  rig.installed("7");
  ASSERT_EQ(::chmod(rig.folders.installFolder().c_str(), 0777), 0);
  rig.start();
  EXPECT_EQ(rig.status(), 1);
  EXPECT_TRUE(Collector::hasLine(
      rig.window.text(),
      "launcher-cli: \"" + rig.folders.installFolder() + "\" may be changed by other users"))
      << rig.window.text();
  EXPECT_EQ(rig.launcher->controller(), nullptr);
  EXPECT_FALSE(fs::exists(rig.folders.installFolder() + "/" + std::string(kLockFileName)));
}

// ---- Display pauses

// The loop serves its input during a display pause: `exit` and the end of input close the window
// long before the pause is over, and the status held back by it never shows.
TEST(TerminalPause, ExitAndEndOfInputCloseTheWindowDuringAPause) {
  for (const bool byWord : {true, false}) {
    SCOPED_TRACE(byWord ? "exit" : "end of input");
    Rig rig(DisplayMode::plain, /*runWorkflow=*/false);
    rig.progressPause = 60s;
    rig.start();
    rig.launcher->mainQueue()->post([&rig] {
      // An offer on show, so that the loop reads the input.
      ViewController& controller = *rig.launcher->controller();
      controller.downloadButton.lock()->setHidden(false);
      controller.Increase(10);
      controller.Log("after the pause");
    });
    ASSERT_TRUE(rig.window.waitForLine("progress: 10"));
    const auto start = std::chrono::steady_clock::now();
    if (byWord)
      rig.type("exit\n");
    else
      rig.endInput();
    EXPECT_EQ(rig.status(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kLimit);
    EXPECT_FALSE(Collector::hasLine(rig.window.text(), "status: after the pause"));
  }
}

TEST(TerminalPause, HeldStatusShowsWhenThePauseEnds) {
  Rig rig(DisplayMode::plain, /*runWorkflow=*/false);
  rig.progressPause = 50ms;
  rig.start();
  rig.launcher->mainQueue()->post([&rig] {
    rig.launcher->controller()->Increase(10);
    rig.launcher->controller()->Log("after the pause");
  });
  ASSERT_TRUE(rig.window.waitForLine("status: after the pause"));
  EXPECT_EQ(rig.window.lines(),
            (std::vector<std::string>{"progress: 10", "status: after the pause"}));
  rig.launcher->closeWindow();
  EXPECT_EQ(rig.status(), 0);
}

// ---- Signals

// A signal closes the window, and the status tells which, as a shell reports it: 128 + its number.
TEST(TerminalSignals, HangUpOrTerminationAtTheOfferClosesTheWindow) {
  for (const int signal : {SIGHUP, SIGTERM}) {
    SCOPED_TRACE(::strsignal(signal));
    Rig rig;
    rig.publish(5);
    rig.start();
    ASSERT_TRUE(rig.window.waitForLine("shown: downloadButton"));
    ASSERT_EQ(::kill(::getpid(), signal), 0);
    EXPECT_EQ(rig.status(), 128 + signal);
    EXPECT_EQ(rig.application->count(), 0);
  }
}

TEST(TerminalSignals, InterruptEndsTheLoopWhileTheWorkerDownloads) {
  Rig rig;
  rig.publish(5);
  Gate gate;
  rig.server.handle("/feed/package_mac.zip", gate.handler(500));
  rig.type("download\n");
  rig.start();
  ASSERT_TRUE(rig.window.waitForLine("shown: circleBar"));
  ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
  const int status = rig.status();
  gate.open();
  EXPECT_EQ(status, 130) << "the loop must end while the download still hangs";
  EXPECT_FALSE(Collector::hasLine(rig.window.text(), "hidden: circleBar"));
}

// ---- Live display

TEST(TerminalLive, RedrawsInPlaceWithSpinnerBarChoicesAndConsoleLinesAbove) {
  Pipe out = Pipe::make();
  Collector printed(out);
  Rig rig(DisplayMode::live, true, /*terminalDisplay=*/true, [&](TerminalOptions& options) {
    options.outputFd = out.writeEnd.get();  // standard output: a pipe
    options.logFd = options.displayFd;      // the diagnostic log: the terminal of the window
  });
  rig.publish(5);
  Gate gate;
  rig.server.handle(
      "/feed/package_mac.zip",
      gate.handler(
          200, testing::zipBytes({testing::file(APPLICATION_NAME() + ".app/AppRun", "#!/bin/sh\n")
                                      .withMode(0100755)})));
  rig.start();
  ASSERT_TRUE(rig.window.waitFor([](const std::string& text) {
    return text.find("[download] [exit]") != std::string::npos &&
           text.find("25%") != std::string::npos;
  }));
  rig.type("download\n");
  // The spinner turns while the download hangs.
  ASSERT_TRUE(rig.window.waitFor([](const std::string& text) {
    return text.find("Downloading Application  |") != std::string::npos &&
           text.find("Downloading Application  /") != std::string::npos;
  }));
  gate.open();
  ASSERT_TRUE(rig.window.waitFor([](const std::string& text) {
    return text.find("Up to date") != std::string::npos &&
           text.find("[launch] [exit]") != std::string::npos;
  }));

  const std::string before = rig.window.text();
  EXPECT_EQ(before.find("status: "), std::string::npos) << "no plain lines in live mode";
  EXPECT_NE(before.find("\x1b[J"), std::string::npos);
  EXPECT_NE(before.find("100%"), std::string::npos);

  // A console line on the terminal: the block is taken away, the line written where it stood,
  // with nothing in it that could move the cursor, and the block drawn again below.
  platform::logLine("diagnostic \x1b[2J line");
  ASSERT_TRUE(rig.window.waitFor([&](const std::string& text) {
    return text.size() > before.size() &&
           text.substr(before.size()).find("[launch] [exit]") != std::string::npos;
  }));
  const std::string after = rig.window.text().substr(before.size());
  EXPECT_EQ(after.rfind("\r\x1b[", 0), 0u);
  const auto line = after.find("diagnostic \\x1b[2J line\n");
  ASSERT_NE(line, std::string::npos) << after;
  EXPECT_LT(line, after.find("[launch] [exit]"));
  EXPECT_EQ(after.find("\x1b[2J"), std::string::npos);

  // Standard output is no terminal: it gets every line as it is, and the block stays.
  platform::printLine("plain \x1b[2J line");
  ASSERT_TRUE(printed.waitForLine("plain \x1b[2J line"));
  EXPECT_TRUE(Collector::hasLine(printed.text(), rig.folders.dataHome()));
  EXPECT_TRUE(Collector::hasLine(printed.text(), "5  :  0"));
  EXPECT_EQ(rig.window.text().substr(before.size()), after);

  rig.endInput();
  EXPECT_EQ(rig.status(), 0);
}

TEST(TerminalLive, AlertTextWrapsToTheTerminalWidth) {
  Pipe terminal = terminalPair();
  ASSERT_TRUE(terminal.writeEnd);
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 31;  // the last column stays free: rows of 30
  ASSERT_EQ(::ioctl(terminal.writeEnd.get(), TIOCSWINSZ, &size), 0);
  Collector screen(terminal);
  {
    TerminalWindow window(terminal.writeEnd.get(), DisplayMode::live);
    window.open();
    window.alertOpened({"Error",
                        "Failed to update the application.\n The server answered 404 Not Found "
                        "for https://example.org/very/long/path/package_mac.zip",
                        platform::kCriticalAlertStyle,
                        {"Exit"}});
  }
  screen.finish();
  const std::string text = screen.text();
  const std::string frame = text.substr(text.rfind("\x1b[J") + 3);
  const auto alert = frame.find("! Error\n");
  ASSERT_NE(alert, std::string::npos) << frame;
  EXPECT_EQ(frame.substr(alert),
            "! Error\n"
            "  Failed to update the\n"
            "  application.\n"
            "   The server answered 404 Not\n"
            "  Found for https://example.or\n"
            "  g/very/long/path/package_mac\n"
            "  .zip\n"
            "  [Exit]  press Enter for Exit\n");
}

TEST(TerminalLive, DownloadRowShowsTheShareAndTheText) {
  Pipe terminal = terminalPair();
  ASSERT_TRUE(terminal.writeEnd);
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  ASSERT_EQ(::ioctl(terminal.writeEnd.get(), TIOCSWINSZ, &size), 0);
  Collector screen(terminal);
  std::vector<std::string> frames;
  {
    TerminalWindow window(terminal.writeEnd.get(), DisplayMode::live);
    window.open();
    window.downloadBar()->setText("4.5 MB of 10.0 MB");
    window.downloadBar()->setDoubleValue(45);
    window.downloadBar()->setIndeterminate(true);
    window.downloadBar()->setText("3.0 MB");
  }
  screen.finish();
  const std::string text = screen.text();
  const auto frameWith = [&](const std::string& row) {
    return text.find("\n" + row + "\n") != std::string::npos;
  };
  EXPECT_TRUE(
      frameWith("[" + std::string(18, '#') + std::string(22, '.') + "]  45%  4.5 MB of 10.0 MB"))
      << text;
  EXPECT_TRUE(frameWith("[" + std::string(40, '~') + "]  3.0 MB")) << text;
  // The first frame, before any download: the status and the overall bar only.
  const auto first = text.find("\x1b[J") + 3;
  const std::string opened = text.substr(first, text.find('\r', first) - first);
  EXPECT_EQ(std::count(opened.begin(), opened.end(), '\n'), 2) << opened;
}

// ---- The launched application

// Points one of this process's descriptors at another file for the life of the object.
class Redirect {
 public:
  Redirect(int fd, int target) : fd_(fd), saved_(::fcntl(fd, F_DUPFD_CLOEXEC, 3)) {
    EXPECT_TRUE(saved_ && ::dup2(target, fd) == fd);
  }
  ~Redirect() { ::dup2(saved_.get(), fd_); }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  int fd_;
  UniqueFd saved_;
};

std::string linkTarget(const std::string& path) {
  std::error_code error;
  return fs::read_symlink(path, error).string();
}

TEST(TerminalLaunch, ApplicationGetsNoInputAndTheLaunchersOwnOutput) {
  // Standard output on a terminal, as when the launcher is started from one.
  Pipe terminal = terminalPair();
  Collector screen(terminal);
  Redirect stdoutOnTerminal(STDOUT_FILENO, terminal.writeEnd.get());
  const std::string ownOutput = linkTarget("/proc/self/fd/1");
  const std::string ownErrors = linkTarget("/proc/self/fd/2");

  Rig rig(DisplayMode::live, true, /*terminalDisplay=*/true);
  rig.launchWith = std::make_shared<platform::LinuxWorkspace>(rig.folders.installFolder());
  rig.publish(3);
  rig.installed("3");
  const std::string marker = rig.folders.root() + "/streams";
  const std::string program =
      rig.folders.installFolder() + "/" + APPLICATION_NAME() + ".app/AppRun";
  testing::writeFile(program,
                     "#!/bin/sh\n"
                     "in=$(readlink /proc/$$/fd/0) out=$(readlink /proc/$$/fd/1)\n"
                     "err=$(readlink /proc/$$/fd/2)\n"
                     "printf '%s\\n' \"$in\" \"$out\" \"$err\" > \"" +
                         marker + ".tmp\"\nmv \"" + marker + ".tmp\" \"" + marker + "\"\n");
  fs::permissions(program, fs::perms(0755));
  rig.start();
  ASSERT_TRUE(rig.window.waitFor(
      [](const std::string& text) { return text.find("[launch] [exit]") != std::string::npos; }));
  rig.type("launch\n");
  EXPECT_EQ(rig.status(), 0);
  EXPECT_EQ(rig.application->count(), 1);

  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(testing::readFile(marker), "/dev/null\n" + ownOutput + "\n" + ownErrors + "\n");
  EXPECT_TRUE(ownOutput.starts_with("/dev/pts/")) << ownOutput;
}

}  // namespace
}  // namespace launcher::tty
