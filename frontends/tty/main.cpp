// The terminal launcher's process entry: the controller and workflow of the window launcher,
// with the window drawn on standard error and the buttons pressed through standard input.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>

#include "Launcher/ProductionEnvironment.h"
#include "Launcher/platform/Application.h"
#include "frontends/tty/TerminalLauncher.h"

int main() {
  using launcher::tty::DisplayMode;
  using launcher::tty::TerminalLauncher;

  launcher::platform::prepareProcess();
  // Before any thread starts, so that no thread takes these signals with their default action.
  if (!TerminalLauncher::blockTerminationSignals()) {
    // Should standard error be gone too, there is nowhere else to say it; the status tells.
    static_cast<void>(std::fputs("launcher-cli: cannot block the termination signals\n", stderr));
    return 1;
  }

  launcher::tty::TerminalOptions options;
  options.inputFd = STDIN_FILENO;
  options.displayFd = STDERR_FILENO;
  options.outputFd = STDOUT_FILENO;
  options.logFd = STDERR_FILENO;
  // A terminal that says it cannot move the cursor (TERM=dumb, as editors' shells set it) gets the
  // plain lines: the live block's redraws would pile up there as escape sequences.
  const char* terminal = std::getenv("TERM");
  const bool dumb = terminal != nullptr && std::string_view(terminal) == "dumb";
  options.mode = ::isatty(STDERR_FILENO) == 1 && !dumb ? DisplayMode::live : DisplayMode::plain;

  int status = 1;
  try {
    // Ending the process from any thread flushes the standard streams and ends at once.
    auto application = std::make_shared<launcher::platform::ProcessApplication>();
    // Never destroyed: the process ends below, while the worker, or a line stuck on a stream that
    // nobody reads, may still be inside it.
    static std::optional<TerminalLauncher> launcher;
    launcher.emplace(options, [application](const launcher::platform::UserPaths& paths,
                                            std::shared_ptr<launcher::platform::MainQueue> queue,
                                            std::shared_ptr<launcher::platform::Alerts> alerts) {
      return launcher::makeProductionEnvironment(paths, std::move(queue), std::move(alerts),
                                                 application);
    });
    status = launcher->run();
  } catch (const std::exception& failure) {
    // As above: the exit status tells even when standard error cannot.
    static_cast<void>(std::fprintf(stderr, "launcher-cli: %s\n", failure.what()));
    status = 1;
  }
  // The window has closed. The worker may still be running, even inside a download: end the
  // process here, before any destructor can pull state from under it. A flush that fails has
  // nobody left to be told.
  static_cast<void>(std::fflush(stdout));
  static_cast<void>(std::fflush(stderr));
  std::_Exit(status);
}
