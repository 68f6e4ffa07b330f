#pragma once
// A small ZIP writer for test archives (minizip underneath), and helpers to damage archives.
#include <minizip/zip.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace launcher::testing {

// A 32-bit MS-DOS date-time from its fields, stored as given (no range checks, so month 0 or
// day 0 can be made on purpose). `year` is 1980..2107.
constexpr std::uint32_t dosDateTime(unsigned year, unsigned month, unsigned day, unsigned hour = 0,
                                    unsigned minute = 0, unsigned second = 0) {
  return ((year - 1980u) << 25) | (month << 21) | (day << 16) | (hour << 11) | (minute << 5) |
         (second / 2u);
}

// A local civil time as the system reads it (mktime, summer time decided by the zone).
std::time_t localTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// One entry of a test archive. Made with file() or directory() and adjusted with the with*()
// calls, e.g. file("bin/tool", "#!/bin/sh\n").withMode(0100755).withDate(0).
struct ZipEntry {
  std::string name;  // stored byte for byte: backslashes, leading slashes and ".." included
  std::string data;
  std::uint32_t dosDate = dosDateTime(2021, 6, 15, 12, 30, 0);
  std::uint32_t externalAttributes = 0;
  bool deflated = true;
  int level = Z_DEFAULT_COMPRESSION;

  ZipEntry& withDate(std::uint32_t value) { return dosDate = value, *this; }
  // A Unix mode (file type and permission bits) in the upper 16 bits of the external attributes.
  ZipEntry& withMode(std::uint32_t mode) { return externalAttributes = mode << 16, *this; }
  ZipEntry& withAttributes(std::uint32_t value) { return externalAttributes = value, *this; }
  ZipEntry& stored() { return deflated = false, *this; }
  ZipEntry& withLevel(int value) { return level = value, *this; }
};

ZipEntry file(std::string name, std::string data);
// `name` should end in "/" (or "\\") to be read as a directory entry.
ZipEntry directory(std::string name);

// Writes an archive entry by entry; throws std::runtime_error when minizip reports a failure.
// No encryption: the system's minizip writes encryption headers other readers reject, and its
// reader is built without decryption.
class ZipWriter {
 public:
  explicit ZipWriter(const std::string& path);
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  void add(const ZipEntry& entry);
  // Writes the central directory. Called by the destructor when not called before.
  void close();

 private:
  zipFile handle_;
};

// A whole archive with `entries` (none makes a valid empty archive).
void writeZip(const std::string& path, const std::vector<ZipEntry>& entries);
// The bytes of such an archive, e.g. to store it as an entry of another one.
std::string zipBytes(const std::vector<ZipEntry>& entries);

// Flips one byte of the first occurrence of `needle` in the file (throws when absent). With a
// stored entry holding a unique payload this damages exactly that entry's data.
void flipByteOf(const std::string& path, const std::string& needle);
// Sets the compression method of the entry `name`, in its local header and in the central
// directory, e.g. to one no reader supports.
void setEntryMethod(const std::string& path, const std::string& name, std::uint16_t method);
// Sets the general purpose flags of the entry `name` likewise, e.g. 1 for "encrypted".
void setEntryFlags(const std::string& path, const std::string& name, std::uint16_t flags);
// Adds to the central directory a copy of the first directory record found for `name` (also one
// stored inside another entry's data), renamed to `copyName` (of the same length) and pointing at
// the local header at `localHeader` (by default the original's): two entries then share bytes.
// The archive must end in a plain end record without a comment.
void addCentralRecordCopy(const std::string& path, const std::string& name,
                          const std::string& copyName,
                          std::optional<std::uint32_t> localHeader = std::nullopt);
// Cuts the file to `size` bytes.
void truncateFile(const std::string& path, std::size_t size);
// Deterministic incompressible bytes.
std::string pseudoRandomBytes(std::size_t size, std::uint32_t seed);

}  // namespace launcher::testing
