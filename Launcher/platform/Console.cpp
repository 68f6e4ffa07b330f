#include "Launcher/platform/Console.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace launcher::platform {
namespace {
std::mutex& consoleMutex() {
  static std::mutex mutex;
  return mutex;
}
void writeLine(std::FILE* stream, std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  std::lock_guard lock(consoleMutex());
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}
}  // namespace

void printLine(std::string_view text) {
  writeLine(stdout, text);
}
void logLine(std::string_view text) {
  writeLine(stderr, text);
}

}  // namespace launcher::platform
