#pragma once
// Opening and creating items below one folder without ever following a symbolic link on the way:
// every path is relative to the folder's descriptor, no component of it may be a link, and
// nothing is reached outside the folder. Used by the extraction so that nothing an archive holds
// can make it write elsewhere.
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher::zipwell {

// A relative path as its components: none empty, ".", ".." or holding a slash.
using Components = std::vector<std::string>;

// "a/b/c" from {"a", "b", "c"}; "" for none.
std::string joined(const Components& components);

// Whether paths are resolved with openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS) when the kernel
// has it (the default), or one component at a time with O_NOFOLLOW. Both refuse links alike;
// tests switch to the second to cover kernels without openat2.
void useOpenat2(bool use);

// A folder that items are made in. `path` is only used to name items in messages.
class Beneath {
 public:
  Beneath(platform::UniqueFd folder, std::string path)
      : folder_(std::move(folder)), path_(std::move(path)) {}

  int fd() const { return folder_.get(); }
  const std::string& path() const { return path_; }
  // `path` joined with `relative`, for messages.
  std::string pathOf(const Components& relative) const;
  std::string pathOf(std::string_view relative) const;

  // Opens `relative` with `flags` (O_CLOEXEC and O_NOFOLLOW are added); -1 with errno set when
  // it cannot be reached without passing a link, or cannot be opened.
  platform::UniqueFd open(const Components& relative, int flags, mode_t mode = 0) const;

  // Opens the folder `relative`, creating it and its missing ancestors (mode 0777 less the umask);
  // each folder created now gets `date` as its modification time. A file or a link in the way
  // is a failure, which `error` describes and `cause` (when given) receives as its errno.
  platform::UniqueFd makeFolders(const Components& relative, std::optional<platform::FileTime> date,
                                 std::string& error, int* cause = nullptr) const;

 private:
  platform::UniqueFd folder_;
  std::string path_;
};

// The system's text for errno `error` about `path`, saying plainly when a link was in the way.
std::string describeFailure(std::string_view what, const std::string& path, int error);

}  // namespace launcher::zipwell
