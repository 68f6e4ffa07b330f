#include "Zipwell/CentralDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <string_view>

namespace launcher::zipwell {
namespace {

constexpr std::uint64_t kEndRecordSize = 22;
constexpr std::uint64_t kLocatorSize = 20;
constexpr std::uint64_t kZip64EndRecordSize = 56;
constexpr std::uint64_t kCentralRecordSize = 46;
constexpr std::uint64_t kLocalHeaderSize = 30;
// minizip looks for the end record within this many bytes from the end of the file.
constexpr std::uint64_t kEndSearchWindow = 0xffff;
constexpr std::uint32_t kNotInField = 0xffffffff;  // the real value is in the ZIP64 extra field

// Reads `size` bytes at `position`; nothing when the file is shorter or cannot be read.
std::optional<std::string> readAt(int fd, std::uint64_t position, std::uint64_t size) {
  std::string bytes(size, '\0');
  std::uint64_t done = 0;
  while (done < size) {
    const ssize_t count =
        ::pread(fd, bytes.data() + done, size - done, static_cast<off_t>(position + done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return std::nullopt;
    done += static_cast<std::uint64_t>(count);
  }
  return bytes;
}

// Little-endian fields of a record held in memory; reading past its end yields zeros and marks
// the reader as overrun.
class Fields {
 public:
  explicit Fields(std::string_view bytes) : bytes_(bytes) {}
  std::uint64_t at(std::size_t offset, std::size_t width) {
    if (offset + width > bytes_.size()) {
      overrun_ = true;
      return 0;
    }
    std::uint64_t value = 0;
    for (std::size_t index = width; index-- > 0;)
      value = (value << 8) | static_cast<unsigned char>(bytes_[offset + index]);
    return value;
  }
  std::uint16_t u16(std::size_t offset) { return static_cast<std::uint16_t>(at(offset, 2)); }
  std::uint32_t u32(std::size_t offset) { return static_cast<std::uint32_t>(at(offset, 4)); }
  std::uint64_t u64(std::size_t offset) { return at(offset, 8); }
  bool overrun() const { return overrun_; }

 private:
  std::string_view bytes_;
  bool overrun_ = false;
};

bool startsWith(std::string_view bytes, std::size_t offset, const char (&signature)[5]) {
  return bytes.size() >= offset + 4 && std::memcmp(bytes.data() + offset, signature, 4) == 0;
}

struct EndRecord {
  std::uint64_t position = 0;  // of the end record, or of the ZIP64 end record when there is one
  std::uint64_t entries = 0;
  std::uint64_t directorySize = 0;
  std::uint64_t directoryOffset = 0;
};

// The ZIP64 end record that a locator right before the end record names, when there is one.
std::optional<EndRecord> zip64EndRecord(int fd, std::uint64_t endPosition) {
  if (endPosition < kLocatorSize) return std::nullopt;
  const auto locator = readAt(fd, endPosition - kLocatorSize, kLocatorSize);
  if (!locator || !startsWith(*locator, 0, "PK\x06\x07")) return std::nullopt;
  const std::uint64_t position = Fields(*locator).u64(8);
  const auto record = readAt(fd, position, kZip64EndRecordSize);
  if (!record || !startsWith(*record, 0, "PK\x06\x06")) return std::nullopt;
  Fields fields(*record);
  if (fields.u32(16) != 0 || fields.u32(20) != 0 || fields.u64(24) != fields.u64(32))
    return std::nullopt;
  return EndRecord{position, fields.u64(32), fields.u64(40), fields.u64(48)};
}

std::variant<EndRecord, std::string> findEndRecord(int fd, std::uint64_t fileSize) {
  if (fileSize < kEndRecordSize) return std::string("it is too short to be an archive");
  const std::uint64_t windowStart = fileSize > kEndSearchWindow ? fileSize - kEndSearchWindow : 0;
  const auto window = readAt(fd, windowStart, fileSize - windowStart);
  if (!window) return std::string("it cannot be read");
  // The last end record wins, as it does for minizip.
  for (std::uint64_t offset = window->size() - kEndRecordSize + 1; offset-- > 0;) {
    if (!startsWith(*window, offset, "PK\x05\x06")) continue;
    const std::uint64_t position = windowStart + offset;
    if (auto zip64 = zip64EndRecord(fd, position)) return *zip64;
    Fields fields(std::string_view(*window).substr(offset, kEndRecordSize));
    if (fields.u16(4) != 0 || fields.u16(6) != 0 || fields.u16(8) != fields.u16(10))
      return std::string("it spans several disks");
    return EndRecord{position, fields.u16(10), fields.u32(12), fields.u32(16)};
  }
  return std::string("it has no end record");
}

// Applies the ZIP64 extra field (header 1) of a central record to the values it overrides.
bool applyZip64Extra(std::string_view extra, CentralEntry& entry, std::uint64_t& localOffset) {
  std::size_t at = 0;
  while (at + 4 <= extra.size()) {
    Fields header(extra.substr(at, 4));
    const std::uint16_t id = header.u16(0);
    const std::size_t size = header.u16(2);
    if (at + 4 + size > extra.size()) return false;
    if (id == 1) {
      Fields fields(extra.substr(at + 4, size));
      std::size_t next = 0;
      if (entry.uncompressedSize == kNotInField)
        entry.uncompressedSize = fields.u64(next), next += 8;
      if (entry.compressedSize == kNotInField) entry.compressedSize = fields.u64(next), next += 8;
      if (localOffset == kNotInField) localOffset = fields.u64(next), next += 8;
      return !fields.overrun();
    }
    at += 4 + size;
  }
  return true;
}

}  // namespace

std::variant<CentralDirectory, std::string> readCentralDirectory(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
    return std::string("it is not a readable file");
  const auto fileSize = static_cast<std::uint64_t>(status.st_size);
  auto found = findEndRecord(fd, fileSize);
  if (auto* why = std::get_if<std::string>(&found)) return *why;
  const EndRecord end = std::get<EndRecord>(found);

  // Data before the archive (a self-extracting stub) shifts every position by the same amount.
  if (end.directoryOffset > end.position || end.directorySize > end.position - end.directoryOffset)
    return std::string("its directory lies beyond its end record");
  const std::uint64_t shift = end.position - end.directoryOffset - end.directorySize;
  CentralDirectory directory;
  directory.start = end.directoryOffset + shift;
  if (end.entries > end.directorySize / kCentralRecordSize)
    return std::string("its directory is too small for the entries it counts");
  const auto bytes = readAt(fd, directory.start, end.directorySize);
  if (!bytes) return std::string("its directory cannot be read");

  const std::string_view records(*bytes);
  std::size_t at = 0;
  directory.entries.reserve(end.entries);
  for (std::uint64_t index = 0; index < end.entries; ++index) {
    const std::string number = "entry " + std::to_string(index + 1);
    if (!startsWith(records, at, "PK\x01\x02") || at + kCentralRecordSize > records.size())
      return number + " has no directory record";
    Fields fields(records.substr(at, kCentralRecordSize));
    CentralEntry entry;
    entry.madeBy = fields.u16(4);
    entry.flags = fields.u16(8);
    entry.method = fields.u16(10);
    entry.dosDate = fields.u32(12);
    entry.compressedSize = fields.u32(20);
    entry.uncompressedSize = fields.u32(24);
    const std::size_t nameLength = fields.u16(28);
    const std::size_t extraLength = fields.u16(30);
    const std::size_t commentLength = fields.u16(32);
    entry.externalAttributes = fields.u32(38);
    std::uint64_t localOffset = fields.u32(42);
    const std::size_t variable = nameLength + extraLength + commentLength;
    if (at + kCentralRecordSize + variable > records.size())
      return number + " runs past the end of the directory";
    entry.name.assign(records.substr(at + kCentralRecordSize, nameLength));
    if (!applyZip64Extra(records.substr(at + kCentralRecordSize + nameLength, extraLength), entry,
                         localOffset))
      return number + " has a damaged extra field";
    at += kCentralRecordSize + variable;

    if (localOffset > directory.start || shift > directory.start - localOffset)
      return number + " lies beyond the directory";
    entry.localHeader = localOffset + shift;
    const auto header = readAt(fd, entry.localHeader, kLocalHeaderSize);
    if (!header || !startsWith(*header, 0, "PK\x03\x04")) return number + " has no local header";
    Fields local(*header);
    entry.dataStart = entry.localHeader + kLocalHeaderSize + local.u16(26) + local.u16(28);
    if (entry.dataStart > directory.start ||
        entry.compressedSize > directory.start - entry.dataStart)
      return number + " runs into the directory";
    directory.entries.push_back(std::move(entry));
  }
  return directory;
}

std::optional<std::pair<std::size_t, std::size_t>> findOverlap(const CentralDirectory& directory) {
  const auto& entries = directory.entries;
  std::vector<std::size_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return entries[a].localHeader < entries[b].localHeader;
  });
  // The entry reaching furthest so far: anything starting before its end overlaps it.
  std::optional<std::size_t> furthest;
  for (const std::size_t index : order) {
    if (furthest && entries[index].localHeader < entries[*furthest].dataEnd())
      return std::pair{*furthest, index};
    if (!furthest || entries[index].dataEnd() > entries[*furthest].dataEnd()) furthest = index;
  }
  return std::nullopt;
}

}  // namespace launcher::zipwell
