#pragma once
// The central directory of a package read from bytes alone, for an update that fetches only the
// entries that changed: first the archive's tail (its end record, and the ZIP64 locator and
// record when there are), then the directory itself, then the local headers of the entries
// fetched. Pure functions of their bytes: bounded, never reading outside what they are given,
// and every failure a sentence for the diagnostic log.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace launcher::zipdir {

// How many bytes of the archive's end hold its end record with the longest comment, and room for
// a ZIP64 end record and its locator before it.
inline constexpr std::uint64_t kEndRecordBytes = 22;
inline constexpr std::uint64_t kMaxCommentBytes = 0xFFFF;
inline constexpr std::uint64_t kZip64LocatorBytes = 20;
inline constexpr std::uint64_t kZip64EndRecordBytes = 56;
inline constexpr std::uint64_t kTailBytes =
    kEndRecordBytes + kMaxCommentBytes + kZip64LocatorBytes + kZip64EndRecordBytes + 1024;
// A directory larger than this is not read (a package of a few hundred thousand entries fits).
inline constexpr std::uint64_t kMaxDirectoryBytes = 64ull * 1024 * 1024;

// Where the central directory lies in the archive.
struct DirectoryLocation {
  std::uint64_t offset = 0;  // of its first record, in the file
  std::uint64_t size = 0;
  std::uint64_t entries = 0;
  bool zip64 = false;
  // Where the record that ends the directory lies (the end record, or the ZIP64 end record): the
  // directory stands right before it unless data was put before the archive.
  std::uint64_t end = 0;
};

// One central record, with the ZIP64 values in place of the 32-bit fields they extend.
struct Entry {
  std::string name;
  std::uint16_t madeBy = 0;
  std::uint16_t versionNeeded = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t dosDate = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t localHeader = 0;
  std::uint16_t internalAttributes = 0;
  std::uint32_t externalAttributes = 0;
  // The record's fields as stored, for writing it again elsewhere.
  std::uint32_t storedCompressedSize = 0;
  std::uint32_t storedUncompressedSize = 0;
  std::uint16_t storedDisk = 0;
  std::string extra;  // without its ZIP64 field
  std::string comment;

  // A folder entry: its name ends in "/". A link: a Unix mode of a symbolic link.
  bool isFolder() const;
  bool isLink() const;
  bool isFile() const { return !isFolder() && !isLink(); }
  // Flag 3: sizes and CRC follow the data instead of standing in the local header.
  bool hasDataDescriptor() const { return (flags & 0x0008) != 0; }
};

struct Directory {
  DirectoryLocation location;
  std::vector<Entry> entries;  // in directory order
};

// The directory's location from the archive's last `tail.size()` bytes (the archive being
// `archiveSize` bytes long): the last end record whose comment reaches the end, and the ZIP64
// record when its locator precedes it. The location must lie within the archive, before the end
// record. Multi-disk archives are refused.
std::variant<DirectoryLocation, std::string> locateDirectory(std::string_view tail,
                                                             std::uint64_t archiveSize);

// The records of the directory at `location`, from its `bytes` (exactly location.size of them).
// Each record must fit, hold the ZIP64 values its 32-bit fields announce, lie before the
// directory, and the count must be the location's (but for a plain end record counting 0xFFFF,
// which writers leave when they count further: then every record up to the directory's end).
std::variant<Directory, std::string> parseDirectory(std::string_view bytes,
                                                    const DirectoryLocation& location);

// The fixed part (30 bytes) and name and extra field of a local header; what follows is data.
struct LocalHeader {
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::string name;
  std::uint64_t length = 0;  // the header's own bytes: 30 + name + extra
};
std::variant<LocalHeader, std::string> parseLocalHeader(std::string_view bytes);

// Why the local header `local` does not describe the same entry as `central`, or nothing when it
// does: name, method and flags always; CRC and sizes unless a data descriptor follows the data.
std::optional<std::string> localHeaderMismatch(const LocalHeader& local, const Entry& central);
// Whether the data descriptor at the start of `bytes` names the CRC and sizes of `central`: with
// or without its signature, sizes of 4 or of 8 bytes (ZIP64).
bool dataDescriptorMatches(std::string_view bytes, const Entry& central);

// The central record of `entry`, for an archive where its local header lies at `localHeader`:
// the stored fields as they were, a ZIP64 field where a value needs one.
std::string centralRecord(const Entry& entry, std::uint64_t localHeader);
// A local header for `entry` made from its central record alone, for an entry without data (a
// folder): it then need not be fetched.
std::string localHeaderOf(const Entry& entry);
// The end of an archive whose directory of `entries` records (`size` bytes) starts at `offset`:
// a ZIP64 end record and its locator, then the end record. The locator is written even when no
// value needs it: the records before it come from the server, and the last of them could end
// in bytes that read as a locator pointing at a ZIP64 end record somewhere in the data; a real
// locator right before the end record leaves no doubt where the directory is.
std::string endRecords(std::uint64_t entries, std::uint64_t offset, std::uint64_t size);

}  // namespace launcher::zipdir
