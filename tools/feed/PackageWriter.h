#pragma once
// Writing the package: one ZIP archive whose single top-level entry is the application folder,
// laid out the way the launcher's extraction reads it back.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "tools/feed/Failure.h"

namespace launcher::feed {

struct PackageSummary {
  // Folder, file and link entries written.
  std::size_t entries = 0;
  // Size of the finished archive.
  std::uintmax_t bytes = 0;
  // Size of its central directory: one record of 46 bytes and the name for each entry.
  std::uintmax_t directoryBytes = 0;
  // Names of file entries ending in ".zip" (any case). The launcher extracts such files in place
  // and deletes them, so the installed tree will not hold them as files.
  std::vector<std::string> nestedArchives;
};

// The 32-bit MS-DOS date-time of `time` in local time: the date in the upper 16 bits, the time
// in the lower, seconds rounded down to an even number. Times before 1980 become
// 1 January 1980 00:00:00; times after 2107 become 31 December 2107 23:59:58.
std::uint32_t dosDateTime(std::time_t time);

// Writes `archive` (created, or replaced when it exists) holding `folder` as its only top-level
// entry, named after the folder's last path component. Every folder becomes an entry whose name
// ends in "/", every file a deflated entry, every symbolic link an entry holding the link's target
// text (links are never followed); the launcher restores such an entry as a link. A link whose
// target is absolute or, resolved from its folder, leaves the application folder or passes
// through another link on the way, is refused, as the launcher would refuse it. Each entry carries
// its POSIX mode in the upper 16 bits of the external attributes, "made by" Unix, its modification
// time as a DOS date-time and names marked as UTF-8. Within a folder, entries come in byte order of
// their names, a folder's own entry before its contents. A name that the launcher cannot place (not
// UTF-8, holding a control character, or a backslash, which it reads as a separator), special
// files (devices, sockets, pipes), a file of 4 GiB less 1 byte or more and a package in which an
// entry begins 4 GiB or more in (the launcher reads neither) are refused; an unreadable file or a
// failed write is a runtime failure. On failure `archive` may be left partly written; the caller
// removes it.
std::variant<PackageSummary, Failure> writePackage(const std::filesystem::path& folder,
                                                   const std::filesystem::path& archive);

}  // namespace launcher::feed
