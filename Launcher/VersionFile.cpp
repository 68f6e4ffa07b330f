// The local version file: bare decimal text in the install folder. It holds "0" while nothing is
// installed and while an install is under way; the install journal (Installer.h) puts the right
// number back when an install was cut short.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "Launcher/VersionNumbers.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Nfd.h"
#include "Launcher/platform/StandardFolders.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher {
namespace {

// The whole file as text, or nothing when it is missing, unreadable or not valid UTF-8.
std::optional<std::string> readText(const std::string& path) {
  const platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return std::nullopt;
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (count == 0) break;
    content.append(buffer, static_cast<std::size_t>(count));
  }
  if (!platform::isValidUtf8(content)) return std::nullopt;
  return content;
}

}  // namespace

void ViewController::WriteVersion(const std::string& text) {
  // Truncated and rewritten in place, then flushed to the disk, so that a recorded version
  // outlasts a crash; the folder is not created here. Failures are silent.
  const platform::UniqueFd file(
      ::open(versionLocation().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file && platform::writeAll(file.get(), text)) static_cast<void>(::fsync(file.get()));
}

std::int64_t ViewController::ReadVersion() {
  // A new account may lack the data folder; a new install folder always starts with a version
  // file holding "0".
  platform::createDataFolder(environment_.paths);
  if (platform::createDirectory(installFolder(), false)) WriteVersion("0");
  auto text = readText(versionLocation());
  if (!text) {
    WriteVersion("0");
    text = readText(versionLocation());
  }
  return text ? parseLenientVersion(*text) : 0;
}

}  // namespace launcher
