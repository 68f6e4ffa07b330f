#include "Launcher/platform/Console.h"

#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "Launcher/platform/Text.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher::platform {
namespace {

struct Console {
  // Held while a line is handed over, so that lines never interleave.
  std::mutex mutex;
  ConsoleSink sink;
};

Console& console() {
  static Console instance;
  return instance;
}

void writeToStandardStream(ConsoleStream stream, std::string_view text) {
  const int fd = stream == ConsoleStream::output ? STDOUT_FILENO : STDERR_FILENO;
  // Lines carry what servers send: on a terminal, nothing in them may act on the terminal. A line
  // feed in a text still breaks the line there, as it does on a pipe.
  std::string line;
  if (::isatty(fd) == 1) {
    const bool utf8Locale = localeIsUtf8();
    for (const std::string& piece : safeLines(text)) {
      line += terminalLine(piece, utf8Locale);
      line.push_back('\n');
    }
  } else {
    line = text;
    line.push_back('\n');
  }
  // Straight to the descriptor, past the C library's buffer and its lock: a line stuck on a pipe
  // that nobody reads must not hold up the flush of a process that ends. These streams are where
  // failures are told: a line that cannot be written there has nowhere else to go, and is dropped.
  static_cast<void>(writeAll(fd, line));
}

void hand(ConsoleStream stream, std::string_view text) {
  Console& state = console();
  std::lock_guard lock(state.mutex);
  if (state.sink)
    state.sink(stream, text);
  else
    writeToStandardStream(stream, text);
}

}  // namespace

void setConsoleSink(ConsoleSink sink) {
  Console& state = console();
  std::lock_guard lock(state.mutex);
  state.sink = std::move(sink);
}

bool setConsoleSink(ConsoleSink sink, std::chrono::milliseconds patience) {
  Console& state = console();
  const auto deadline = std::chrono::steady_clock::now() + patience;
  std::unique_lock lock(state.mutex, std::try_to_lock);
  // Polled: it runs once, as a front end ends, and a line being handed over mostly gets through
  // at once.
  while (!lock.owns_lock() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    static_cast<void>(lock.try_lock());
  }
  if (!lock.owns_lock()) return false;
  state.sink = std::move(sink);
  return true;
}

void printLine(std::string_view text) {
  hand(ConsoleStream::output, text);
}

void logLine(std::string_view text) {
  hand(ConsoleStream::log, text);
}

}  // namespace launcher::platform
