#include "tools/feed/StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Text.h"

namespace launcher::feed {

StagedFile::StagedFile(const std::filesystem::path& target) : target_(target) {
  // '.' rather than "." before the temporary: GCC 12 at -O3 reports a false -Wrestrict inside
  // `"x" + std::string&&`.
  std::string pattern = (target.parent_path() / ('.' + target.filename().string() + ".XXXXXX"));
  file_ = platform::UniqueFd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (file_) path_ = pattern;
  error_ = errno;
}

StagedFile::~StagedFile() {
  file_.reset();
  if (!path_.empty() && !placed_) ::unlink(path_.c_str());
}

std::optional<Failure> StagedFile::creationFailure() const {
  if (file_ || !path_.empty()) return std::nullopt;
  return Failure::runtime("cannot create a temporary file beside " +
                          platform::quotedLine(target_.string()) + ": " +
                          platform::describeErrno(error_));
}

std::optional<Failure> StagedFile::write(std::string_view content) {
  if (!platform::writeAll(file_.get(), content)) return failure("cannot write", errno);
  return std::nullopt;
}

std::optional<Failure> StagedFile::settle(mode_t mode) {
  if (::fchmod(file_.get(), mode) != 0) return failure("cannot set permissions of", errno);
  if (::fsync(file_.get()) != 0) return failure("cannot flush", errno);
  if (!file_.reset()) return failure("cannot close", errno);
  return std::nullopt;
}

std::optional<Failure> StagedFile::place(bool replace) {
  const int moved =
      replace ? ::rename(path_.c_str(), target_.c_str()) : ::link(path_.c_str(), target_.c_str());
  if (moved != 0 && errno == EEXIST)
    return Failure::refused(platform::quotedLine(target_.string()) + " already exists");
  if (moved != 0)
    return Failure::runtime("cannot move " + platform::quotedLine(path_.string()) + " to " +
                            platform::quotedLine(target_.string()) + ": " +
                            platform::describeErrno(errno));
  // A link leaves the temporary name behind, for the destructor to remove.
  placed_ = replace;
  // The move is done; a folder that cannot be flushed only loses durability.
  static_cast<void>(platform::syncFolder(target_.parent_path().string()));
  return std::nullopt;
}

std::optional<Failure> StagedFile::targetProblem() const {
  struct stat status {};
  if (::lstat(target_.c_str(), &status) != 0 || S_ISREG(status.st_mode) || S_ISLNK(status.st_mode))
    return std::nullopt;
  return Failure::refused(platform::quotedLine(target_.string()) +
                          " is not a file: nothing can be moved over it");
}

std::optional<Failure> StagedFile::commit() {
  if (auto failure = settle(0644)) return failure;
  return place(true);
}

Failure StagedFile::failure(const std::string& what, int error) const {
  return Failure::runtime(what + " " + platform::quotedLine(path_.string()) + ": " +
                          platform::describeErrno(error));
}

}  // namespace launcher::feed
