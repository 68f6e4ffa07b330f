#pragma once
// Extraction of ZIP archives into folder trees (minizip underneath). Class-level operations only.
#include <cstdint>
#include <optional>
#include <string>

#include "Launcher/platform/ErrorRecord.h"
#include "Launcher/platform/FileManager.h"

namespace launcher {

class Zipwell {
 public:
  Zipwell() = delete;

  static constexpr const char* kErrorDomain = "ZipwellErrorDomain";
  // How deep archives inside archives are followed.
  static constexpr int kMaxNestingDepth = 8;

  // Extracts `path` into `destination`, replacing existing files, without a password.
  static bool unzipFileAtPath(const std::string& path, const std::string& destination);

  // The general operation. `error` (when given) receives -1 "failed to open zip file",
  // -2 "failed to open first file in zip file" or -3 "crc check failed for file", and is cleared
  // after any other ending. False when the archive could not be opened, had no first entry, an
  // entry could not be opened or read, the CRC check failed, or an entry's file could not be
  // written in full.
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::optional<std::string>& password,
                              std::optional<platform::ErrorRecord>* error);

  // A 32-bit MS-DOS date-time as a point in time: a Gregorian civil date in local time, with
  // out-of-range fields carried into the next unit (0 is 30 November 1979 00:00:00).
  static platform::FileTime dateWithMSDOSFormat(std::uint32_t msdosDateTime);
};

}  // namespace launcher
