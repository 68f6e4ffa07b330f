#pragma once
// The central directory of a ZIP archive read on its own, before anything is extracted, so that
// the whole archive can be judged first: where each entry's bytes lie, how large it declares
// itself, how it is compressed. The records are read by ZipDirectory, as an update read over the
// network reads them (the last end record in the archive's tail, a ZIP64 record when a locator
// points at one); here data before the archive is allowed and every entry's local header is
// found, so that each entry minizip then delivers can be matched against this list.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace launcher::zipwell {

struct CentralEntry {
  std::string name;  // the stored bytes, exactly
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t dosDate = 0;
  std::uint32_t externalAttributes = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  // Whether the record gives a size in its ZIP64 field, which minizip does not read.
  bool zip64Sizes = false;
  // Positions in the file: the local header, and the first byte of the data after it.
  std::uint64_t localHeader = 0;
  std::uint64_t dataStart = 0;

  std::uint64_t dataEnd() const { return dataStart + compressedSize; }
};

struct CentralDirectory {
  std::vector<CentralEntry> entries;  // in directory order
  std::uint64_t start = 0;            // position of the directory in the file
  // The count of the end record read: that of the entries, or 0xFFFF in a plain end record
  // whose writer counted further.
  std::uint64_t counted = 0;
};

// The directory of the archive open at `fd`, or a description of why it cannot be read, in
// words for a person ("entry 3 lies beyond the end of the archive").
std::variant<CentralDirectory, std::string> readCentralDirectory(int fd);

// Two entries whose bytes (local header through the end of the compressed data) share any part
// of the archive, as indexes into `directory.entries`; nothing when none do.
std::optional<std::pair<std::size_t, std::size_t>> findOverlap(const CentralDirectory& directory);

// The folders and the name an entry's name leads to below the destination, as the extraction
// writes it: backslashes read as slashes, empty and "." parts left out. ".." is kept, for the
// caller to refuse.
std::vector<std::string> entryPathParts(std::string_view name);

}  // namespace launcher::zipwell
