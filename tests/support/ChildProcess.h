#pragma once
// A real program run as a child process, with pipes for its standard input, output and error.
// Output is collected by reader threads, so a test can wait for a line with a time limit.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace launcher::testing {

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kPatience = std::chrono::seconds(60);

  enum class Streams {
    pipes,     // standard input, output and error on three pipes
    terminal,  // all three on one pseudo-terminal, which becomes the program's controlling
               // terminal; what it writes is read as its output, and errors() stays empty
  };

  // Starts `argv` with the current environment changed by `environment` (an empty value removes
  // the variable). Throws std::runtime_error when it cannot start.
  ChildProcess(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& environment,
               Streams streams = Streams::pipes);
  // Kills the program if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Writes `line` and a line feed to its standard input.
  void writeLine(const std::string& line);
  // Writes `text` as it is: on a terminal, "\x03" is Ctrl-C.
  void write(const std::string& text);
  pid_t pid() const { return pid_; }
  void closeInput();
  void signal(int number);

  // Waits until a whole line of standard error (or output) equals `line`, or contains it when
  // `partial`. True when it came in time.
  bool waitForErrorLine(const std::string& line, bool partial = false,
                        std::chrono::milliseconds timeout = kPatience);
  bool waitForOutputLine(const std::string& line, bool partial = false,
                         std::chrono::milliseconds timeout = kPatience);
  // Waits until `seen` holds for the whole lines of standard error written so far.
  using LinesTest = std::function<bool(const std::vector<std::string>& lines)>;
  bool waitForErrorLines(const LinesTest& seen, std::chrono::milliseconds timeout = kPatience);
  // Waits for the program to end; its exit status, or nothing when it did not end in time (or
  // was ended by a signal: then -signal).
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = kPatience);

  std::string output() const;
  std::vector<std::string> outputLines() const;
  std::string errors() const;

 private:
  struct Stream {
    int fd = -1;
    std::string text;
    bool closed = false;
    std::thread reader;
  };
  void startOnTerminal(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& environment);
  void read(Stream& stream);
  bool waitForLines(Stream& stream, const LinesTest& seen, std::chrono::milliseconds timeout);
  bool waitForLine(Stream& stream, const std::string& line, bool partial,
                   std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> status_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Stream out_, err_;
};

}  // namespace launcher::testing
