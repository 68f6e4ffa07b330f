// The terminal launcher's process entry: the controller and workflow of the window launcher,
// with the window drawn on standard error and the buttons pressed through standard input.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "Launcher/ProductionEnvironment.h"
#include "Launcher/platform/StandardFolders.h"
#include "frontends/tty/StreamCapture.h"
#include "frontends/tty/TerminalLauncher.h"

namespace {

using launcher::tty::StreamCapture;
using launcher::tty::TerminalLauncher;

// Ends the process like the window launcher does, after the captured streams have been written
// out and pointed back at their destinations.
class TerminalApplication final : public launcher::platform::Application {
 public:
  TerminalApplication(TerminalLauncher*& launcher, std::optional<StreamCapture>& out,
                      std::optional<StreamCapture>& err)
      : launcher_(launcher), out_(out), err_(err) {}
  [[noreturn]] void terminate() override {
    restoreStreams(out_, err_);
    if (launcher_ != nullptr) launcher_->flushPassThrough();
    process_.terminate();
  }
  static void restoreStreams(std::optional<StreamCapture>& out, std::optional<StreamCapture>& err) {
    // Failing to point a stream back leaves it at its pipe; the flush that follows still empties
    // that, so nothing said so far is lost.
    if (out && !out->restore())
      std::fputs("launcher-cli: cannot restore standard output\n", stderr);
    if (err && !err->restore()) std::fputs("launcher-cli: cannot restore standard error\n", stderr);
  }

 private:
  TerminalLauncher*& launcher_;
  std::optional<StreamCapture>& out_;
  std::optional<StreamCapture>& err_;
  launcher::platform::ProcessApplication process_;
};

}  // namespace

int main() {
  // Before any thread starts, so that no thread takes these signals with their default action.
  if (!TerminalLauncher::blockTerminationSignals()) {
    std::fputs("launcher-cli: cannot block the termination signals\n", stderr);
    return 1;
  }

  launcher::tty::TerminalOptions options;
  options.inputFd = STDIN_FILENO;
  options.displayFd = STDERR_FILENO;
  options.mode = ::isatty(STDERR_FILENO) == 1 ? launcher::tty::DisplayMode::live
                                              : launcher::tty::DisplayMode::plain;

  // The live display owns the terminal: the diagnostic log (standard error) and, when it shares
  // the terminal, standard output are read through pipes and written above the display, so that
  // their lines never land inside it. Standard output still receives exactly the same lines.
  std::optional<StreamCapture> out, err;
  launcher::platform::UniqueFd display;
  if (options.mode == launcher::tty::DisplayMode::live) {
    display = launcher::platform::UniqueFd(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
    err.emplace(STDERR_FILENO);
    if (!display || !*err) {
      err.reset();
      // Without a capture the display still works; a stray diagnostic line may tear it.
      display = launcher::platform::UniqueFd();
    } else {
      options.displayFd = display.get();
      options.passThrough.push_back({err->readFd(), display.get()});
      if (::isatty(STDOUT_FILENO) == 1) {
        out.emplace(STDOUT_FILENO);
        if (*out)
          options.passThrough.push_back({out->readFd(), out->originalFd()});
        else
          out.reset();
      }
    }
  }

  TerminalLauncher* running = nullptr;
  int status = 1;
  try {
    auto application = std::make_shared<TerminalApplication>(running, out, err);
    TerminalLauncher launcher(options,
                              [application](const launcher::platform::UserPaths& paths,
                                            std::shared_ptr<launcher::platform::MainQueue> queue,
                                            std::shared_ptr<launcher::platform::Alerts> alerts) {
                                return launcher::makeProductionEnvironment(
                                    paths, std::move(queue), std::move(alerts), application);
                              });
    running = &launcher;
    status = launcher.run();
    TerminalApplication::restoreStreams(out, err);
    launcher.flushPassThrough();
    running = nullptr;
  } catch (const std::exception& failure) {
    TerminalApplication::restoreStreams(out, err);
    std::fprintf(stderr, "launcher-cli: %s\n", failure.what());
    status = 1;
  }
  // The window has closed. The worker may still be running, even inside a download: end the
  // process here, before any destructor can pull state from under it.
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}
