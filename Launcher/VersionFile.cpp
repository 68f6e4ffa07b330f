// The local version file: bare decimal text in the install folder. It holds "0" while nothing is
// installed and while an install is under way; the install journal (Installer.h) puts the right
// number back when an install was cut short.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "Launcher/VersionNumbers.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Nfd.h"
#include "Launcher/platform/StandardFolders.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher {
namespace {

// The most a version file can hold to be read: far more than any number with room for a
// hand-written note, and little enough to read at once.
constexpr off_t kMaxVersionFileBytes = off_t{64} * 1024;

// The whole file as text, or nothing when it is missing, unreadable, not valid UTF-8, larger
// than kMaxVersionFileBytes, or not a regular file: a link is never followed and a pipe never
// waited on.
std::optional<std::string> readText(const std::string& path) {
  auto content = platform::readSmallFile(path, kMaxVersionFileBytes);
  if (!content || !platform::isValidUtf8(*content)) return std::nullopt;
  return content;
}

}  // namespace

bool ViewController::WriteVersion(const std::string& text) {
  // Truncated and rewritten in place, then flushed to the disk, so that a recorded version
  // outlasts a crash; the folder is not created here.
  const std::string& path = versionLocation();
  // Whatever else stands at its name (a link, a pipe) gives way to the file: writing through a
  // link would change a file outside the install folder, and opening a pipe would wait for ever.
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) == 0 && !S_ISREG(entry.st_mode) && !S_ISDIR(entry.st_mode))
    ::unlink(path.c_str());
  const platform::UniqueFd file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
  struct stat info {};
  if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return ::ftruncate(file.get(), 0) == 0 && platform::writeAll(file.get(), text) &&
         ::fsync(file.get()) == 0;
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
