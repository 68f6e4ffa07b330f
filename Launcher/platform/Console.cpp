#include "Launcher/platform/Console.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "Launcher/platform/Text.h"

namespace launcher::platform {
namespace {

struct Console {
  std::mutex mutex;
  ConsoleSink sink;
};

Console& console() {
  static Console instance;
  return instance;
}

void writeToStandardStream(ConsoleStream stream, std::string_view text) {
  std::FILE* file = stream == ConsoleStream::output ? stdout : stderr;
  // Lines carry what servers send: on a terminal, nothing in them may act on the terminal.
  std::string line = ::isatty(::fileno(file)) == 1 ? escapeLine(text) : std::string(text);
  line.push_back('\n');
  // These streams are where failures are told: a line that cannot be written there has nowhere
  // else to go, and is dropped.
  static_cast<void>(std::fwrite(line.data(), 1, line.size(), file));
  static_cast<void>(std::fflush(file));
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

void printLine(std::string_view text) {
  hand(ConsoleStream::output, text);
}

void logLine(std::string_view text) {
  hand(ConsoleStream::log, text);
}

}  // namespace launcher::platform
