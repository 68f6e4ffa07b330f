#pragma once
// The two diagnostic channels: the launcher's own lines on standard output, and the diagnostic
// log on standard error. Each call hands one whole line to the console sink, safe from any
// thread; a front end may set a sink of its own (the terminal draws the lines above its display).
#include <chrono>
#include <functional>
#include <string_view>

namespace launcher::platform {

enum class ConsoleStream { output, log };

// Receives one line at a time, without its line feed; never two calls at once.
using ConsoleSink = std::function<void(ConsoleStream stream, std::string_view line)>;

// Where the lines go from now on. An empty sink restores the default, which writes each line and
// a line feed straight to standard output (output) or standard error (log), escaped when that is
// a terminal. Returns when no line is being handed to the previous sink any more.
void setConsoleSink(ConsoleSink sink);
// The same, waiting at most `patience` for a line being handed over (one stuck on a pipe that
// nobody reads, say); false, with the previous sink kept, when that line did not get through.
bool setConsoleSink(ConsoleSink sink, std::chrono::milliseconds patience);

// A line of the launcher's own on standard output.
void printLine(std::string_view text);
// A line of the diagnostic log (standard error).
void logLine(std::string_view text);

}  // namespace launcher::platform
