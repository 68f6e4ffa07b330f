#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "tests/support/TestFolders.h"

extern char** environ;

namespace launcher::testing {
namespace {

std::vector<std::string> changedEnvironment(const std::map<std::string, std::string>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    if (!changes.contains(name)) result.push_back(text);
  }
  for (const auto& [name, value] : changes)
    if (!value.empty()) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Starts `argv` with `actions`. The program gets SIGPIPE's default action back, which the test
// program ignores so that writing to a program that has ended fails instead of killing it.
pid_t spawn(const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& environment,
            const posix_spawn_file_actions_t& actions, short flags) {
  static const bool ignored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  static_cast<void>(ignored);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  ::sigemptyset(&defaults);
  ::sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, static_cast<short>(flags | POSIX_SPAWN_SETSIGDEF));
  std::vector<std::string> arguments = argv;
  std::vector<std::string> variables = changedEnvironment(environment);
  auto argumentPointers = pointers(arguments);
  auto variablePointers = pointers(variables);
  pid_t pid = -1;
  const int result = ::posix_spawn(&pid, arguments[0].c_str(), &actions, &attributes,
                                   argumentPointers.data(), variablePointers.data());
  posix_spawnattr_destroy(&attributes);
  if (result != 0)
    throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(result));
  return pid;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& environment, Streams streams) {
  if (streams == Streams::terminal) {
    startOnTerminal(argv, environment);
    return;
  }
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::string failure;
  try {
    pid_ = spawn(argv, environment, actions, 0);
  } catch (const std::runtime_error& error) {
    failure = error.what();
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (!failure.empty()) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error(failure);
  }
  input_ = in[1];
  out_.fd = out[0];
  err_.fd = err[0];
  out_.reader = std::thread([this] { read(out_); });
  err_.reader = std::thread([this] { read(err_); });
}

void ChildProcess::startOnTerminal(const std::vector<std::string>& argv,
                                   const std::map<std::string, std::string>& environment) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char* name = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
                         ? ::ptsname(master)
                         : nullptr;
  if (name == nullptr) {
    if (master >= 0) ::close(master);
    throw std::runtime_error("cannot open a pseudo-terminal");
  }
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 100;
  ::ioctl(master, TIOCSWINSZ, &size);
  // A new session whose first terminal opened becomes its controlling terminal: Ctrl-C typed
  // there interrupts the program.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, name, O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&actions, 0, 1);
  posix_spawn_file_actions_adddup2(&actions, 0, 2);
  try {
    pid_ = spawn(argv, environment, actions, POSIX_SPAWN_SETSID);
  } catch (const std::runtime_error&) {
    posix_spawn_file_actions_destroy(&actions);
    ::close(master);
    throw;
  }
  posix_spawn_file_actions_destroy(&actions);
  input_ = master;
  out_.fd = ::fcntl(master, F_DUPFD_CLOEXEC, 3);
  err_.fd = -1;
  err_.closed = true;
  out_.reader = std::thread([this] { read(out_); });
}

ChildProcess::~ChildProcess() {
  if (!waitForExit(std::chrono::milliseconds(0))) {
    ::kill(pid_, SIGKILL);
    waitForExit(std::chrono::seconds(10));
  }
  closeInput();
  if (out_.reader.joinable()) out_.reader.join();
  if (err_.reader.joinable()) err_.reader.join();
  if (out_.fd >= 0) ::close(out_.fd);
  if (err_.fd >= 0) ::close(err_.fd);
}

void ChildProcess::read(Stream& stream) {
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(stream.fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (count <= 0) {
      stream.closed = true;
      changed_.notify_all();
      return;
    }
    stream.text.append(buffer, static_cast<std::size_t>(count));
    changed_.notify_all();
  }
}

void ChildProcess::writeLine(const std::string& line) {
  write(line + "\n");
}

void ChildProcess::write(const std::string& text) {
  std::size_t written = 0;
  while (input_ >= 0 && written < text.size()) {
    const ssize_t count = ::write(input_, text.data() + written, text.size() - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      return;
    }
    written += static_cast<std::size_t>(count);
  }
}

void ChildProcess::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void ChildProcess::signal(int number) {
  ::kill(pid_, number);
}

bool ChildProcess::waitForLines(Stream& stream, const LinesTest& seen,
                                std::chrono::milliseconds timeout) {
  // Only whole lines count: a program may write one line in several pieces.
  const auto holds = [&] {
    const std::size_t end = stream.text.rfind('\n');
    return seen(end == std::string::npos ? std::vector<std::string>()
                                         : linesOf(stream.text.substr(0, end + 1)));
  };
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return holds() || stream.closed; });
  return holds();
}

bool ChildProcess::waitForLine(Stream& stream, const std::string& line, bool partial,
                               std::chrono::milliseconds timeout) {
  return waitForLines(
      stream,
      [&](const std::vector<std::string>& lines) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& candidate) {
          return partial ? candidate.find(line) != std::string::npos : candidate == line;
        });
      },
      timeout);
}

bool ChildProcess::waitForErrorLines(const LinesTest& seen, std::chrono::milliseconds timeout) {
  return waitForLines(err_, seen, timeout);
}

bool ChildProcess::waitForErrorLine(const std::string& line, bool partial,
                                    std::chrono::milliseconds timeout) {
  return waitForLine(err_, line, partial, timeout);
}

bool ChildProcess::waitForOutputLine(const std::string& line, bool partial,
                                     std::chrono::milliseconds timeout) {
  return waitForLine(out_, line, partial, timeout);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto limit = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      // What it wrote before it ended is read before its end is reported: the readers may lag
      // behind on a busy machine. A program it started may hold its streams open for longer:
      // that one is waited for only briefly.
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(2), [&] { return out_.closed && err_.closed; });
      return status_;
    }
    if (done < 0 || Clock::now() >= limit) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ChildProcess::output() const {
  std::lock_guard lock(mutex_);
  return out_.text;
}

std::vector<std::string> ChildProcess::outputLines() const {
  return linesOf(output());
}

std::string ChildProcess::errors() const {
  std::lock_guard lock(mutex_);
  return err_.text;
}

}  // namespace launcher::testing
