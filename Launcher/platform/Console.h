#pragma once
// The two diagnostic channels: the launcher's own lines on standard output, and the diagnostic
// log on standard error. Each call writes one whole line, safe from any thread.
#include <string_view>

namespace launcher::platform {

// Writes `text` and a line feed to standard output and flushes.
void printLine(std::string_view text);
// Writes `text` and a line feed to the diagnostic log (standard error).
void logLine(std::string_view text);

}  // namespace launcher::platform
