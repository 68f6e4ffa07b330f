#include "Zipwell/ZipDirectory.h"

#include <sys/stat.h>

namespace launcher::zipdir {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint64_t kCentralFixedBytes = 46;
constexpr std::uint64_t kLocalFixedBytes = 30;
constexpr std::uint32_t kFull32 = 0xFFFFFFFF;
constexpr std::uint16_t kFull16 = 0xFFFF;

// Little-endian fields of `bytes`; each read is checked against its end by the caller.
std::uint16_t u16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    (static_cast<unsigned char>(bytes[at + 1]) << 8));
}
std::uint32_t u32(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint32_t>(u16(bytes, at)) |
         (static_cast<std::uint32_t>(u16(bytes, at + 2)) << 16);
}
std::uint64_t u64(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint64_t>(u32(bytes, at)) |
         (static_cast<std::uint64_t>(u32(bytes, at + 4)) << 32);
}

void put16(std::string& out, std::uint16_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8);
}
void put32(std::string& out, std::uint32_t value) {
  put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
  put16(out, static_cast<std::uint16_t>(value >> 16));
}
void put64(std::string& out, std::uint64_t value) {
  put32(out, static_cast<std::uint32_t>(value & kFull32));
  put32(out, static_cast<std::uint32_t>(value >> 32));
}

// The extra field `extra` without its ZIP64 field, and that field's data; nothing when the
// fields do not add up to the whole extra.
struct SplitExtra {
  std::string rest;
  std::string_view zip64;
};
std::optional<SplitExtra> splitExtra(std::string_view extra) {
  SplitExtra split;
  std::size_t at = 0;
  while (at < extra.size()) {
    if (extra.size() - at < 4) {
      // Some writers pad the extra field; what cannot be a field is kept as it is.
      split.rest.append(extra.substr(at));
      break;
    }
    const std::uint16_t id = u16(extra, at);
    const std::size_t length = u16(extra, at + 2);
    if (extra.size() - at - 4 < length) return std::nullopt;
    if (id == kZip64ExtraId)
      split.zip64 = extra.substr(at + 4, length);
    else
      split.rest.append(extra.substr(at, 4 + length));
    at += 4 + length;
  }
  return split;
}

// Reads the next 64-bit value of a ZIP64 field into `value` when `needed`; false when it is
// missing.
bool takeZip64(std::string_view field, std::size_t& at, bool needed, std::uint64_t& value) {
  if (!needed) return true;
  if (field.size() < 8 || field.size() - 8 < at) return false;
  value = u64(field, at);
  at += 8;
  return true;
}

}  // namespace

bool Entry::isFolder() const {
  return !name.empty() && (name.back() == '/' || name.back() == '\\');
}

bool Entry::isLink() const {
  return !isFolder() && S_ISLNK(static_cast<mode_t>(externalAttributes >> 16));
}

std::variant<DirectoryLocation, std::string> locateDirectory(std::string_view tail,
                                                             std::uint64_t archiveSize) {
  if (tail.size() > archiveSize) return std::string("the tail is longer than the archive");
  if (tail.size() < kEndRecordBytes) return std::string("the archive has no end record");
  const std::uint64_t tailStart = archiveSize - tail.size();
  // The last end record: searched backwards from the last place one fits.
  std::optional<std::size_t> end;
  for (std::size_t at = tail.size() - kEndRecordBytes + 1; at-- > 0;) {
    if (u32(tail, at) == kEndSignature &&
        u16(tail, at + 20) <= tail.size() - at - kEndRecordBytes) {
      end = at;
      break;
    }
  }
  if (!end) return std::string("no end record in the archive's last bytes");
  DirectoryLocation location;
  if (u16(tail, *end + 4) != 0 || u16(tail, *end + 6) != 0 ||
      u16(tail, *end + 8) != u16(tail, *end + 10))
    return std::string("the archive spans several disks");
  location.entries = u16(tail, *end + 10);
  location.size = u32(tail, *end + 12);
  location.offset = u32(tail, *end + 16);
  std::uint64_t directoryEnd = tailStart + *end;  // nothing of the directory lies beyond

  // A ZIP64 locator counts only when it points at a ZIP64 end record before it. Bytes that merely
  // look like one (the end of the last record's extra field, say) leave the plain end record in
  // charge, as minizip reads the archive; were they a real locator whose record lies elsewhere,
  // the plain record's 0xFFFFFFFF values do not fit and the archive is refused below.
  const std::optional<std::size_t> zip64Record = [&]() -> std::optional<std::size_t> {
    if (*end < kZip64LocatorBytes || u32(tail, *end - kZip64LocatorBytes) != kZip64LocatorSignature)
      return std::nullopt;
    const std::uint64_t record = u64(tail, *end - kZip64LocatorBytes + 8);
    const std::uint64_t locator = tailStart + *end - kZip64LocatorBytes;
    if (record < tailStart || record > locator || locator - record < kZip64EndRecordBytes)
      return std::nullopt;
    const auto at = static_cast<std::size_t>(record - tailStart);
    if (u32(tail, at) != kZip64EndSignature) return std::nullopt;
    return at;
  }();
  if (zip64Record) {
    const std::size_t locator = *end - kZip64LocatorBytes;
    if (u32(tail, locator + 4) != 0 || u32(tail, locator + 16) > 1)
      return std::string("the archive spans several disks");
    const std::size_t at = *zip64Record;
    const std::uint64_t record = tailStart + at;
    if (u32(tail, at + 16) != 0 || u32(tail, at + 20) != 0 ||
        u64(tail, at + 24) != u64(tail, at + 32))
      return std::string("the archive spans several disks");
    location.entries = u64(tail, at + 32);
    location.size = u64(tail, at + 40);
    location.offset = u64(tail, at + 48);
    location.zip64 = true;
    directoryEnd = record;
  }
  if (location.offset > directoryEnd || location.size > directoryEnd - location.offset)
    return std::string("the central directory lies beyond its end record");
  location.end = directoryEnd;
  if (location.size > kMaxDirectoryBytes) return std::string("the central directory is too large");
  if (location.entries > location.size / kCentralFixedBytes)
    return std::string("the central directory cannot hold as many entries as the end record says");
  return location;
}

std::variant<Directory, std::string> parseDirectory(std::string_view bytes,
                                                    const DirectoryLocation& location) {
  if (bytes.size() != location.size)
    return std::string("the central directory is not as long as the end record says");
  Directory directory;
  directory.location = location;
  directory.entries.reserve(static_cast<std::size_t>(location.entries));
  // Writers that count past 65,535 without ZIP64 records leave 0xFFFF in the end record: then
  // the records run to the end of the directory.
  const bool countUnknown = !location.zip64 && location.entries == kFull16;
  std::size_t at = 0;
  for (std::uint64_t index = 0; countUnknown ? at < bytes.size() : index < location.entries;
       ++index) {
    const std::string which = "central record " + std::to_string(index);
    if (bytes.size() - at < kCentralFixedBytes || u32(bytes, at) != kCentralSignature)
      return which + " is missing";
    Entry entry;
    entry.madeBy = u16(bytes, at + 4);
    entry.versionNeeded = u16(bytes, at + 6);
    entry.flags = u16(bytes, at + 8);
    entry.method = u16(bytes, at + 10);
    entry.dosDate = static_cast<std::uint32_t>(u16(bytes, at + 14)) << 16 | u16(bytes, at + 12);
    entry.crc = u32(bytes, at + 16);
    entry.storedCompressedSize = u32(bytes, at + 20);
    entry.storedUncompressedSize = u32(bytes, at + 24);
    const std::size_t nameLength = u16(bytes, at + 28);
    const std::size_t extraLength = u16(bytes, at + 30);
    const std::size_t commentLength = u16(bytes, at + 32);
    entry.storedDisk = u16(bytes, at + 34);
    entry.internalAttributes = u16(bytes, at + 36);
    entry.externalAttributes = u32(bytes, at + 38);
    const std::uint32_t storedOffset = u32(bytes, at + 42);
    if (bytes.size() - at - kCentralFixedBytes < nameLength + extraLength + commentLength)
      return which + " runs past the end of the central directory";
    at += kCentralFixedBytes;
    entry.name.assign(bytes.substr(at, nameLength));
    const auto extra = splitExtra(bytes.substr(at + nameLength, extraLength));
    if (!extra) return which + " has a damaged extra field";
    entry.extra = extra->rest;
    entry.comment.assign(bytes.substr(at + nameLength + extraLength, commentLength));
    at += nameLength + extraLength + commentLength;

    entry.uncompressedSize = entry.storedUncompressedSize;
    entry.compressedSize = entry.storedCompressedSize;
    entry.localHeader = storedOffset;
    std::size_t field = 0;
    std::uint64_t disk = 0;
    if (!takeZip64(extra->zip64, field, entry.storedUncompressedSize == kFull32,
                   entry.uncompressedSize) ||
        !takeZip64(extra->zip64, field, entry.storedCompressedSize == kFull32,
                   entry.compressedSize) ||
        !takeZip64(extra->zip64, field, storedOffset == kFull32, entry.localHeader))
      return which + " lacks the ZIP64 values it announces";
    if (entry.storedDisk == kFull16) {
      if (extra->zip64.size() < 4 || extra->zip64.size() - 4 < field)
        return which + " lacks the ZIP64 values it announces";
      disk = u32(extra->zip64, field);
    } else {
      disk = entry.storedDisk;
    }
    if (disk != 0) return which + " lies on another disk";
    if (entry.localHeader > location.offset ||
        location.offset - entry.localHeader < kLocalFixedBytes + entry.name.size())
      return which + " names a local header that does not lie before the central directory";
    if (entry.compressedSize > location.offset - entry.localHeader)
      return which + " has more data than lies before the central directory";
    directory.entries.push_back(std::move(entry));
  }
  if (at != bytes.size()) return std::string("the central directory holds more than its entries");
  directory.location.entries = directory.entries.size();
  return directory;
}

std::variant<LocalHeader, std::string> parseLocalHeader(std::string_view bytes) {
  if (bytes.size() < kLocalFixedBytes || u32(bytes, 0) != kLocalSignature)
    return std::string("no local header");
  LocalHeader header;
  header.flags = u16(bytes, 6);
  header.method = u16(bytes, 8);
  header.crc = u32(bytes, 14);
  const std::uint32_t compressed = u32(bytes, 18);
  const std::uint32_t uncompressed = u32(bytes, 22);
  const std::size_t nameLength = u16(bytes, 26);
  const std::size_t extraLength = u16(bytes, 28);
  if (bytes.size() - kLocalFixedBytes < nameLength + extraLength)
    return std::string("the local header runs past the bytes fetched");
  header.name.assign(bytes.substr(kLocalFixedBytes, nameLength));
  header.length = kLocalFixedBytes + nameLength + extraLength;
  header.compressedSize = compressed;
  header.uncompressedSize = uncompressed;
  if (compressed == kFull32 || uncompressed == kFull32) {
    const auto extra = splitExtra(bytes.substr(kLocalFixedBytes + nameLength, extraLength));
    if (!extra) return std::string("the local header has a damaged extra field");
    // The local ZIP64 field holds both sizes, the uncompressed one first.
    if (extra->zip64.size() >= 16) {
      header.uncompressedSize = u64(extra->zip64, 0);
      header.compressedSize = u64(extra->zip64, 8);
    }
  }
  return header;
}

std::optional<std::string> localHeaderMismatch(const LocalHeader& local, const Entry& central) {
  if (local.name != central.name) return "its local header names \"" + local.name + "\"";
  if (local.method != central.method) return std::string("its local header names another method");
  if (local.flags != central.flags) return std::string("its local header has other flags");
  if (central.hasDataDescriptor()) return std::nullopt;
  if (local.crc != central.crc) return std::string("its local header has another CRC");
  if (local.compressedSize != central.compressedSize ||
      local.uncompressedSize != central.uncompressedSize)
    return std::string("its local header has other sizes");
  return std::nullopt;
}

bool dataDescriptorMatches(std::string_view bytes, const Entry& central) {
  constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
  // Without a signature the CRC comes first, and a CRC may read like the signature: both ways
  // are tried.
  for (const std::size_t skip : {std::size_t{0}, std::size_t{4}}) {
    if (skip != 0 && (bytes.size() < skip || u32(bytes, 0) != kDescriptorSignature)) continue;
    const std::string_view rest = bytes.substr(skip);
    if (rest.size() >= 12 && u32(rest, 0) == central.crc &&
        u32(rest, 4) == central.compressedSize && u32(rest, 8) == central.uncompressedSize)
      return true;
    if (rest.size() >= 20 && u32(rest, 0) == central.crc &&
        u64(rest, 4) == central.compressedSize && u64(rest, 12) == central.uncompressedSize)
      return true;
  }
  return false;
}

namespace {

// The fields a local header and a central record share, in the same order in both: from the
// version needed to extract through the name's length.
void putSharedFields(std::string& out, const Entry& entry) {
  put16(out, entry.versionNeeded);
  put16(out, entry.flags);
  put16(out, entry.method);
  put16(out, static_cast<std::uint16_t>(entry.dosDate & 0xFFFF));
  put16(out, static_cast<std::uint16_t>(entry.dosDate >> 16));
  put32(out, entry.crc);
  put32(out, entry.storedCompressedSize);
  put32(out, entry.storedUncompressedSize);
  put16(out, static_cast<std::uint16_t>(entry.name.size()));
}

}  // namespace

std::string centralRecord(const Entry& entry, std::uint64_t localHeader) {
  const bool largeOffset = localHeader >= kFull32;
  std::string zip64;
  if (entry.storedUncompressedSize == kFull32) put64(zip64, entry.uncompressedSize);
  if (entry.storedCompressedSize == kFull32) put64(zip64, entry.compressedSize);
  if (largeOffset) put64(zip64, localHeader);
  if (entry.storedDisk == kFull16) put32(zip64, 0);
  std::string extra;
  if (!zip64.empty()) {
    put16(extra, kZip64ExtraId);
    put16(extra, static_cast<std::uint16_t>(zip64.size()));
    extra += zip64;
  }
  extra += entry.extra;
  std::string out;
  out.reserve(kCentralFixedBytes + entry.name.size() + extra.size() + entry.comment.size());
  put32(out, kCentralSignature);
  put16(out, entry.madeBy);
  putSharedFields(out, entry);
  put16(out, static_cast<std::uint16_t>(std::min<std::size_t>(extra.size(), kFull16)));
  put16(out, static_cast<std::uint16_t>(entry.comment.size()));
  put16(out, entry.storedDisk);
  put16(out, entry.internalAttributes);
  put32(out, entry.externalAttributes);
  put32(out, largeOffset ? kFull32 : static_cast<std::uint32_t>(localHeader));
  out += entry.name;
  out.append(extra, 0, std::min<std::size_t>(extra.size(), kFull16));
  out += entry.comment;
  return out;
}

std::string localHeaderOf(const Entry& entry) {
  std::string extra;
  if (entry.storedUncompressedSize == kFull32 || entry.storedCompressedSize == kFull32) {
    put16(extra, kZip64ExtraId);
    put16(extra, 16);
    put64(extra, entry.uncompressedSize);
    put64(extra, entry.compressedSize);
  }
  std::string out;
  put32(out, kLocalSignature);
  putSharedFields(out, entry);
  put16(out, static_cast<std::uint16_t>(extra.size()));
  out += entry.name;
  out += extra;
  return out;
}

std::string endRecords(std::uint64_t entries, std::uint64_t offset, std::uint64_t size) {
  // When every value fits, the end record holds them too, for readers without ZIP64.
  const bool zip64 = entries >= kFull16 || offset >= kFull32 || size >= kFull32;
  const std::uint64_t record = offset + size;
  std::string out;
  put32(out, kZip64EndSignature);
  put64(out, kZip64EndRecordBytes - 12);
  put16(out, 45);  // made by: version 4.5
  put16(out, 45);  // needed to extract
  put32(out, 0);
  put32(out, 0);
  put64(out, entries);
  put64(out, entries);
  put64(out, size);
  put64(out, offset);
  put32(out, kZip64LocatorSignature);
  put32(out, 0);
  put64(out, record);
  put32(out, 1);
  put32(out, kEndSignature);
  put16(out, 0);
  put16(out, 0);
  const auto count = static_cast<std::uint16_t>(zip64 ? kFull16 : entries);
  put16(out, count);
  put16(out, count);
  put32(out, zip64 ? kFull32 : static_cast<std::uint32_t>(size));
  put32(out, zip64 ? kFull32 : static_cast<std::uint32_t>(offset));
  put16(out, 0);
  return out;
}

}  // namespace launcher::zipdir
