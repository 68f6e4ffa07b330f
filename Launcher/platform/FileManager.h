#pragma once
// File manager operations on paths, with std::filesystem and POSIX calls underneath.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launcher::platform {

using FileTime = std::chrono::system_clock::time_point;

// A point in time as the system's file-time calls (utimensat, futimens) take it.
timespec toTimespec(FileTime date);

// Outcome of an operation that can fail; `error` describes the failure.
struct FileResult {
  bool ok = true;
  std::string error;
  explicit operator bool() const { return ok; }
  static FileResult success() { return {}; }
  static FileResult failure(std::string description) { return {false, std::move(description)}; }
};

// Depth-first walk of `folder`: `visit` is given each entry's path relative to it, a folder
// before its contents, hidden entries included, symbolic links given but not followed; it returns
// false to end the walk there. One descriptor is open however deep the tree is, and only the
// current path is held (see AtomicFiles.cpp). False when `folder` or a folder in it cannot be
// read, after the entries before it were given.
bool walkFolder(const std::string& folder, const std::function<bool(const std::string&)>& visit);
// The whole walk of `folder`, read before it is returned; nothing when it cannot be read.
std::optional<std::vector<std::string>> enumerateFolder(const std::string& folder);
// The direct entries of `folder` (names only); nothing when it cannot be listed.
std::optional<std::vector<std::string>> folderEntries(const std::string& folder);

// True when `path` exists and (following links) is a folder.
bool isDirectory(const std::string& path);
// True when anything is at `path`, a dangling symbolic link included.
bool itemExists(const std::string& path);
// The bytes this user may still write on the file system of the open file `fd`, or of the item at
// `path`; nothing when the system does not tell.
std::optional<std::uint64_t> freeBytes(int fd);
std::optional<std::uint64_t> freeBytesAt(const std::string& path);

// With `intermediate`: makes missing ancestors too and succeeds when the folder exists already.
// Without: makes exactly one folder; fails when it exists or its parent is missing.
// `date`, when given, becomes the modification time of every folder created by this call, and
// `mode` its permission bits, whatever the umask.
FileResult createDirectory(const std::string& path, bool intermediate,
                           std::optional<FileTime> date = std::nullopt,
                           std::optional<mode_t> mode = std::nullopt);
// Deletes a file, a symbolic link (not its target) or a folder with everything in it.
FileResult removeItem(const std::string& path);
// Renames `from` to `to`, where nothing may exist. Across file systems copies and removes: files,
// folders and symbolic links (as links, whatever they point at) keep their permission bits and
// their times; when the copy fails, nothing is left at `to` and `from` stays whole.
FileResult moveItem(const std::string& from, const std::string& to);
FileResult setModificationDate(const std::string& path, FileTime date);

// Joins a folder and a relative path with exactly one "/".
std::string appendPathComponent(const std::string& folder, const std::string& component);
// True when `inner` is `outer` or lies below it, compared component by component (both absolute
// and normalised).
bool isWithin(const std::filesystem::path& inner, const std::filesystem::path& outer);

// The system's text for the errno value `error`, e.g. "Permission denied".
std::string describeErrno(int error);
// `what` "`path`": the system's text for `error`, e.g. cannot create folder "/x": File exists
std::string describeErrno(std::string_view what, const std::string& path, int error);

}  // namespace launcher::platform
