#pragma once
// A file of the publisher's written under a temporary name beside its target, and moved there
// only once it is whole and on the disk: a reader never sees half of it.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "Launcher/platform/UniqueFd.h"
#include "tools/feed/Failure.h"

namespace launcher::feed {

class StagedFile {
 public:
  // Creates the temporary file (readable by its owner only until it is settled).
  explicit StagedFile(const std::filesystem::path& target);
  // Removes the temporary file unless it was moved to the target.
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Why the temporary file could not be created, if it could not.
  std::optional<Failure> creationFailure() const;
  // The temporary file, for writers that open it by name.
  const std::filesystem::path& path() const { return path_; }

  std::optional<Failure> write(std::string_view content);
  // Gives the content `mode` and makes it durable; nothing is written afterwards.
  std::optional<Failure> settle(mode_t mode);
  // Moves the settled file to its target: over a file there when `replace`; otherwise refused
  // ("… already exists") when one is there, which link() leaves alone.
  std::optional<Failure> place(bool replace);
  // Why place(true) could not move the file over its target (a folder stands there, say), if so.
  std::optional<Failure> targetProblem() const;
  // Settles the file readable by everyone and moves it over its target.
  std::optional<Failure> commit();

 private:
  Failure failure(const std::string& what, int error) const;

  std::filesystem::path target_;
  std::filesystem::path path_;
  platform::UniqueFd file_;
  int error_ = 0;
  bool placed_ = false;
};

}  // namespace launcher::feed
