#include "Launcher/platform/Application.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "Launcher/platform/Console.h"
#include "Launcher/platform/FileManager.h"

extern char** environ;

namespace launcher::platform {
namespace {

// posix_spawn's attribute and file-action objects, destroyed with their owner.
class SpawnAttributes {
 public:
  SpawnAttributes() { status_ = ::posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() {
    if (status_ == 0) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  int status() const { return status_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  int status_;
};

class SpawnFileActions {
 public:
  SpawnFileActions() { status_ = ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnFileActions() {
    if (status_ == 0) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  int status() const { return status_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  int status_;
};

// An empty file is no program whatever its mode: the kernel refuses to start it.
bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
         ::access(path.c_str(), X_OK) == 0;
}

std::string spawnError(const std::string& what, int code) {
  return "launchApplication: " + what + ": " + describeErrno(code);
}

// Collects the exit status of a started application so that no zombie stays behind while the
// launcher runs; waits for that one process only.
void reapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::system_error& failure) {
    logLine(std::string("launchApplication: cannot watch the started process: ") + failure.what());
  }
}

}  // namespace

std::optional<LaunchTarget> findApplication(const std::string& folder, const std::string& name) {
  // A name is one path segment; anything else would reach outside the folder.
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
    return std::nullopt;
  std::error_code error;
  // Not normalised: ".." after a link is the kernel's to resolve, as for every other use of the
  // folder.
  const std::string base = std::filesystem::absolute(folder, error).string();
  if (error) return std::nullopt;
  const std::string bundle = appendPathComponent(base, name + ".app");
  struct stat info {};
  if (::stat(bundle.c_str(), &info) != 0) return std::nullopt;
  if (S_ISDIR(info.st_mode)) {
    const std::string appRun = bundle + "/AppRun";
    if (isExecutableFile(appRun)) return LaunchTarget{appRun, bundle};
    return std::nullopt;
  }
  if (isExecutableFile(bundle)) return LaunchTarget{bundle, base};
  return std::nullopt;
}

void prepareProcess() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: this one, as the ones below it are open.
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened != fd && opened >= 0) ::close(opened);
  }
  static_cast<void>(::signal(SIGPIPE, SIG_IGN));
  static_cast<void>(::signal(SIGXFSZ, SIG_IGN));
}

void ProcessApplication::terminate() {
  // The process ends either way: a stream that cannot be flushed has nowhere to be reported.
  static_cast<void>(std::fflush(stdout));
  static_cast<void>(std::fflush(stderr));
  std::_Exit(0);
}

LinuxWorkspace::LinuxWorkspace(std::string installFolder)
    : installFolder_(std::move(installFolder)) {}

bool LinuxWorkspace::launchApplication(const std::string& name) {
  const auto program = findApplication(installFolder_, name);
  if (!program) return false;

  SpawnAttributes attributes;
  if (attributes.status() != 0) {
    logLine(spawnError("posix_spawnattr_init", attributes.status()));
    return false;
  }
  // Its own session, no signal blocked and every signal at its default: the application owes
  // nothing to the launcher's terminal, threads or handlers.
  sigset_t none, all;
  if (::sigemptyset(&none) != 0 || ::sigfillset(&all) != 0) return false;
  const short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (int status = ::posix_spawnattr_setflags(attributes.get(), flags); status != 0) {
    logLine(spawnError("posix_spawnattr_setflags", status));
    return false;
  }
  if (int status = ::posix_spawnattr_setsigmask(attributes.get(), &none); status != 0) {
    logLine(spawnError("posix_spawnattr_setsigmask", status));
    return false;
  }
  if (int status = ::posix_spawnattr_setsigdefault(attributes.get(), &all); status != 0) {
    logLine(spawnError("posix_spawnattr_setsigdefault", status));
    return false;
  }

  SpawnFileActions actions;
  if (actions.status() != 0) {
    logLine(spawnError("posix_spawn_file_actions_init", actions.status()));
    return false;
  }
  // Standard input from /dev/null; standard output and error are inherited.
  if (int status =
          ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      status != 0) {
    logLine(spawnError("posix_spawn_file_actions_addopen", status));
    return false;
  }
  if (int status =
          ::posix_spawn_file_actions_addchdir_np(actions.get(), program->workingFolder.c_str());
      status != 0) {
    logLine(spawnError("posix_spawn_file_actions_addchdir_np", status));
    return false;
  }

  // The launcher's environment, but with PWD naming the folder the program starts in: the
  // launcher's own names another folder, which a program that trusts PWD would take for its own.
  std::string pwd = "PWD=" + program->workingFolder;
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry)
    if (std::strncmp(*entry, "PWD=", 4) != 0) environment.push_back(*entry);
  environment.push_back(pwd.data());
  environment.push_back(nullptr);

  char* const argv[] = {const_cast<char*>(program->program.c_str()), nullptr};
  pid_t pid = 0;
  if (int status = ::posix_spawn(&pid, program->program.c_str(), actions.get(), attributes.get(),
                                 argv, environment.data());
      status != 0) {
    logLine(spawnError("cannot start \"" + program->program + "\"", status));
    return false;
  }
  reapInBackground(pid);
  return true;
}

}  // namespace launcher::platform
