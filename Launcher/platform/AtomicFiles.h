#pragma once
// The file-system steps that make an install all-or-nothing: swapping entries in one step,
// flushing to the disk, writing a small file that a crash leaves whole, and cloning a tree with
// hard links. POSIX and Linux calls underneath (renameat2, syncfs, fsync, linkat).
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Launcher/platform/FileManager.h"

namespace launcher::platform {

struct FolderEntry {
  std::string name;
  unsigned char type;  // DT_DIR, DT_LNK, DT_REG, DT_UNKNOWN...
};
// The entries but "." and ".." of the folder at `path` from the folder open as `folder` (the folder
// itself by default; AT_FDCWD for a path from the working folder), read whole, so that no stream
// stays open while they are handled. Nothing with errno set when it cannot be read, also part-way:
// a shorter listing would pass for the whole folder.
std::optional<std::vector<FolderEntry>> readFolder(int folder, const char* path = ".");

// Swaps the entries at two paths of one file system in one step: each name afterwards names what
// the other did (renameat2 with RENAME_EXCHANGE). Both must exist.
FileResult exchangeItems(const std::string& first, const std::string& second);
// Renames `from` to `to` in one step; fails when anything is at `to` (RENAME_NOREPLACE).
FileResult renameNoReplace(const std::string& from, const std::string& to);

// Writes everything the file system that holds `path` keeps in memory to the disk (syncfs).
FileResult syncFileSystem(const std::string& path);
// Writes the entries of `folder` (creations, renames, removals) to the disk (fsync).
FileResult syncFolder(const std::string& folder);
// Replaces the file at `path` with `content` so that a crash leaves either the old or the new
// content: written to a new file `path` + ".tmp" (whatever was there goes first), flushed, renamed
// over `path`, and the folder flushed.
FileResult writeFileDurably(const std::string& path, std::string_view content);
// Why `readSmallFile` gave nothing: no such file to read (missing, a link or something else than a
// file, or larger than asked), or a file that could not be read now (an I/O error, no descriptor
// or memory left), which a later try may read.
enum class ReadFailure { notAFile, notReadNow };
// The whole content of the regular file at `path` (not a link, and never waiting on a pipe), when
// it is at most `limit` bytes; nothing when it is missing, something else, larger, or unreadable,
// and then `why` says which.
std::optional<std::string> readSmallFile(const std::string& path, off_t limit,
                                         ReadFailure* why = nullptr);

// A folder's path below a tree, and the permissions it is to have.
struct FolderPermissions {
  std::string path;  // relative to the tree, "" for the tree itself
  mode_t mode;
};

// Recreates the folder `from` as `to` (which must not exist) on the same file system, cheaply:
// real folders with the same permissions and modification times, a hard link for every file,
// symbolic links as links to the same target. Where the file system refuses a hard link, the
// file is copied with its permissions and times. Nothing is ever written into a file of `from`.
// With `closedFolders`, a folder whose permissions keep even its owner from changing it (made
// read-only) is cloned open to its owner, and its path and own permissions are given there, for
// the caller to set once it has changed the clone.
FileResult cloneTree(const std::string& from, const std::string& to,
                     std::vector<FolderPermissions>* closedFolders = nullptr);

// Deletes the folder `path` with everything in it, links as links, walking it by descriptors (no
// path is looked up twice): the quick way to drop a whole tree. A read-only folder in it is
// first given back to its owner, as the tree goes anyway.
FileResult removeTree(const std::string& path);

// True when `path` is a folder itself, not a symbolic link to one.
bool isRealDirectory(const std::string& path);
// The inode number of the entry at `path` (a link itself, not its target); nothing when absent.
std::optional<ino_t> inodeOf(const std::string& path);

}  // namespace launcher::platform
