#pragma once
// The two diagnostic channels: the launcher's own lines on standard output, and the diagnostic
// log on standard error. Each call hands one whole line to the console sink, safe from any
// thread; a front end may set a sink of its own (the terminal draws the lines above its display).
#include <functional>
#include <string_view>

namespace launcher::platform {

enum class ConsoleStream { output, log };

// Receives one line at a time, without its line feed; never two calls at once.
using ConsoleSink = std::function<void(ConsoleStream stream, std::string_view line)>;

// Where the lines go from now on. An empty sink restores the default, which writes each line and
// a line feed to standard output (output) or standard error (log) and flushes it. Returns when
// no line is being handed to the previous sink any more.
void setConsoleSink(ConsoleSink sink);

// A line of the launcher's own on standard output.
void printLine(std::string_view text);
// A line of the diagnostic log (standard error).
void logLine(std::string_view text);

}  // namespace launcher::platform
