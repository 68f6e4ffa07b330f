#pragma once
// Ending the launcher and starting the managed application.
#include <optional>
#include <string>

namespace launcher::platform {

// What starts an application, and the folder it starts in.
struct LaunchTarget {
  std::string program;
  std::string workingFolder;
};

// The application named `name` in `folder`: <folder>/<name>.app, a folder whose AppRun is an
// executable file (the program, started in that folder), or an executable file itself (started
// in `folder`). Nothing when neither is there, or when `name` is not one plain path segment.
// The launch and the installer's checks share this one test.
std::optional<LaunchTarget> findApplication(const std::string& folder, const std::string& name);

class Application {
 public:
  virtual ~Application() = default;
  // Ends the process promptly from any thread: standard output is flushed, nothing else runs.
  // The production implementation never returns.
  virtual void terminate() = 0;
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Starts the application known under `name`. True when it was started.
  virtual bool launchApplication(const std::string& name) = 0;
};

// Call first in main(), before any thread or descriptor is made. Standard input, output or error
// that the process was started without are opened on /dev/null, so that no descriptor opened
// later takes their number and receives what is meant for them. SIGPIPE is ignored: a stream
// whose reader has gone loses its lines and ends nothing. SIGXFSZ too: a write beyond the file
// size limit (ulimit -f) fails like one on a full disk, and the install reports it. (The launched
// application gets the signals' default actions back.)
void prepareProcess();

// Flushes standard output and standard error and ends the process with status 0 without running
// destructors, so that a worker still inside a download cannot touch freed state.
class ProcessApplication final : public Application {
 public:
  [[noreturn]] void terminate() override;
};

// The application named N is <install folder>/N.app: a folder whose AppRun is executable, or an
// executable file. It is started detached: its own session, not waited for.
class LinuxWorkspace final : public Workspace {
 public:
  explicit LinuxWorkspace(std::string installFolder);
  bool launchApplication(const std::string& name) override;

 private:
  std::string installFolder_;
};

}  // namespace launcher::platform
