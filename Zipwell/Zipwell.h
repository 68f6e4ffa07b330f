#pragma once
// Extraction of ZIP archives into folder trees (minizip underneath). Class-level operations only.
//
// What an archive cannot do: place anything outside the destination (a ".." name, a link whose
// target leaves it, a link in the path of an item), install a set-user-ID, set-group-ID or
// sticky file, or a file more permissive than the user's umask allows, reuse the same bytes for
// several entries, or fill the disk. The central directory is judged before anything is
// written; nested archives are judged the same way when they are reached.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "Launcher/platform/ErrorRecord.h"
#include "Launcher/platform/FileManager.h"

namespace launcher {

class Zipwell {
 public:
  Zipwell() = delete;

  static constexpr const char* kErrorDomain = "ZipwellErrorDomain";
  // How deep archives inside archives are followed.
  static constexpr int kMaxNestingDepth = 8;

  // Codes of the error records (domain kErrorDomain). Each record's description is one line fit
  // for a failure dialog.
  // The archive could not be read: -1 "failed to open zip file", -2 "failed to open first file
  // in zip file".
  static constexpr long kCannotOpenArchive = -1;
  static constexpr long kNoFirstEntry = -2;
  // "crc check failed for file": an entry's data did not match its checksum; the walk ends.
  static constexpr long kCrcMismatch = -3;
  // Refusals, -4 to -10: found in the central directory, before anything of the archive is
  // written; only links' targets (-6) are judged once every other entry is in place, nested
  // archives' included, all links together, and then no link is made. A nested archive refused
  // this way fails the extraction that reached it, with its record ("in the nested archive
  // "pkg/inner.zip": ..."); so does a link of it refused at the end.
  static constexpr long kControlCharacterName = -4;  // a name holds a byte below 0x20 or 0x7F
  static constexpr long kOutsideDestination = -5;    // a ".." component, or a path over PATH_MAX
  static constexpr long kLinkRefused = -6;           // see linkTargetProblem; or an entry in a link
  static constexpr long kOverlappingEntries = -7;    // two entries share bytes of the archive
  static constexpr long kNotEnoughSpace = -8;        // "the package needs 3.0 GB but only ..."
  static constexpr long kUnsupportedMethod = -9;     // neither stored nor deflated; or ZIP64 sizes
  static constexpr long kEncryptedEntry = -10;       // encrypted, and no password given
  // The archive is damaged: its directory cannot be read, or is read with another count of
  // entries by minizip (refused before anything is written); an entry cannot be opened, or its
  // data ends early or runs long; or the archive ends before the last entry its directory lists.
  static constexpr long kDamagedArchive = -11;
  // Something could not be written: a folder, a file or a link. The walk goes on.
  static constexpr long kWriteFailed = -12;

  // Free space a package must leave: this many bytes plus one twentieth of its declared size.
  // Each folder it needs counts as a block of the file system besides; and its files, folders
  // and links together may not outnumber the free inodes, where the file system counts them.
  // A nested archive is judged against what the package and the archives judged before it
  // leave of the space and inodes free when the extraction began.
  static constexpr std::uint64_t kFreeSpaceMargin = std::uint64_t{16} * 1024 * 1024;

  // Extracts `path` into `destination`, replacing existing files, without a password.
  static bool unzipFileAtPath(const std::string& path, const std::string& destination);

  // The general operation. False when the archive could not be read or was refused, the CRC
  // check failed, or an entry could not be extracted in full; `error` (when given) then receives
  // the first of these as a record with one of the codes above. Cleared when the result is true.
  // `storageFailed` (when given) tells whether a write failed for want of room or of the disk
  // (the destination full, a quota or the file size limit reached, an I/O error), or for want of
  // the descriptors or memory the system grants this process: what was left is no judgement of
  // the archive. A nested archive that fails so fails the extraction; one that is damaged or no
  // archive at all stays a file.
  //
  // Large archives are extracted on several threads, each taking whole entries, largest first.
  // What ends up on the disk, the result and the record are those of a walk over the entries in
  // their order (only the order of the log lines differs), with one exception: when the walk
  // ends early (a CRC failure, a damaged entry, a refused nested archive), entries listed after
  // the one that ended it may have been written, in part or in full.
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::optional<std::string>& password,
                              std::optional<platform::ErrorRecord>* error,
                              bool* storageFailed = nullptr);

  // The permission bits of a file extracted for an entry with `externalAttributes` under the
  // umask `umask`: those of the entry's Unix mode (the upper 16 bits) without set-user-ID,
  // set-group-ID and sticky, or those of a new file (0666) when it gives no mode; never more than
  // the umask allows.
  static mode_t extractedFileMode(std::uint32_t externalAttributes, mode_t umask);
  // The umask of this process, read without changing it; 022 when the system does not tell.
  static mode_t currentUmask();

  // How many threads extract one archive. 0, the default: one per processor this process may
  // run on, for archives large enough to gain from them, else one. Any other count is used for
  // every archive of more than one entry, whatever its size, so that both ways can be compared.
  static void setThreadCount(unsigned count);

  // A 32-bit MS-DOS date-time as a point in time: a Gregorian civil date in local time, with
  // out-of-range fields carried into the next unit (0 is 30 November 1979 00:00:00).
  static platform::FileTime dateWithMSDOSFormat(std::uint32_t msdosDateTime);

  // Reads MS-DOS dates as dateWithMSDOSFormat does, each distinct one once: a package's entries
  // often share dates, and each reading takes the C library's lock of the time zone, which the
  // extraction's threads would otherwise contend for.
  class Dates {
   public:
    platform::FileTime operator()(std::uint32_t msdosDateTime);

   private:
    std::unordered_map<std::uint32_t, platform::FileTime> read_;
  };

  // Why a symbolic link at `linkPath` (relative to the folder it is extracted into, slashes
  // only) with `target` may not be made, or nothing when it may: its target must be relative,
  // free of control characters, and, resolved from the link's folder, stay inside that folder
  // without passing through a link on the way (`isLink` tells, for a path relative to the
  // folder); ".." after a link no longer means what it says. A link to a link is fine.
  // The publisher applies the same rule to the application folder.
  static std::optional<std::string> linkTargetProblem(
      std::string_view linkPath, std::string_view target,
      const std::function<bool(const std::string&)>& isLink);
};

}  // namespace launcher
