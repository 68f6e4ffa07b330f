#include "tests/support/ZipWriter.h"

#include <unistd.h>

#include <climits>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "tests/support/TestFolders.h"

namespace launcher::testing {
namespace {

// "Made by" Unix (3), format 2.0: readers then take the upper 16 bits of the external
// attributes as a Unix mode.
constexpr uLong kMadeByUnix = (3u << 8) | 20u;

void check(int result, const std::string& what) {
  if (result != ZIP_OK) throw std::runtime_error(what + " failed with " + std::to_string(result));
}

zip_fileinfo fileInfo(const ZipEntry& entry) {
  zip_fileinfo info{};
  info.dosDate = entry.dosDate;
  info.external_fa = entry.externalAttributes;
  // minizip replaces a dosDate of 0 by the date encoded from tmz_date, which adds one to the
  // month; a month of -1 (wrapping to 0) makes that encoding 0 as well.
  if (entry.dosDate == 0) info.tmz_date.tm_mon = UINT_MAX;
  return info;
}

}  // namespace

ZipEntry file(std::string name, std::string data) {
  ZipEntry entry;
  entry.name = std::move(name);
  entry.data = std::move(data);
  return entry;
}

ZipEntry directory(std::string name) {
  ZipEntry entry;
  entry.name = std::move(name);
  entry.deflated = false;
  return entry;
}

ZipWriter::ZipWriter(const std::string& path)
    : handle_(zipOpen(path.c_str(), APPEND_STATUS_CREATE)) {
  if (handle_ == nullptr) throw std::runtime_error("zipOpen failed for " + path);
}

ZipWriter::~ZipWriter() {
  if (handle_ != nullptr) zipClose(handle_, nullptr);
}

void ZipWriter::add(const ZipEntry& entry) {
  const zip_fileinfo info = fileInfo(entry);
  check(zipOpenNewFileInZip4(handle_, entry.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                             entry.deflated ? Z_DEFLATED : 0, entry.deflated ? entry.level : 0, 0,
                             -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, kMadeByUnix,
                             0),
        "zipOpenNewFileInZip4 (" + entry.name + ")");
  if (!entry.data.empty())
    check(zipWriteInFileInZip(handle_, entry.data.data(), static_cast<unsigned>(entry.data.size())),
          "zipWriteInFileInZip (" + entry.name + ")");
  check(zipCloseFileInZip(handle_), "zipCloseFileInZip (" + entry.name + ")");
}

void ZipWriter::close() {
  if (handle_ == nullptr) return;
  const int result = zipClose(std::exchange(handle_, nullptr), nullptr);
  check(result, "zipClose");
}

void writeZip(const std::string& path, const std::vector<ZipEntry>& entries) {
  ZipWriter writer(path);
  for (const ZipEntry& entry : entries) writer.add(entry);
  writer.close();
}

std::string zipBytes(const std::vector<ZipEntry>& entries) {
  TempDir folder;
  writeZip(folder / "archive.zip", entries);
  return readFile(folder / "archive.zip");
}

void flipByteOf(const std::string& path, const std::string& needle) {
  std::string bytes = readFile(path);
  const std::size_t at = bytes.find(needle);
  if (needle.empty() || at == std::string::npos)
    throw std::runtime_error("flipByteOf: \"" + needle + "\" not found in " + path);
  bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
  writeFile(path, bytes);
}

namespace {

std::uint32_t readLittle(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t index = width; index-- > 0;)
    value = (value << 8) | static_cast<unsigned char>(bytes.at(at + index));
  return value;
}

void writeLittle(std::string& bytes, std::size_t at, std::size_t width, std::uint32_t value) {
  for (std::size_t index = 0; index < width; ++index)
    bytes.at(at + index) = static_cast<char>((value >> (8 * index)) & 0xFF);
}

// Where a record with this signature names `name`: its name length is at `lengthAt`, the name
// itself at `nameAt`.
struct RecordKind {
  const char* signature;
  std::size_t lengthAt, nameAt;
};
constexpr RecordKind kLocalHeader{"PK\x03\x04", 26, 30};
constexpr RecordKind kCentralRecord{"PK\x01\x02", 28, 46};

// The first record of `kind` for `name`; throws when there is none.
std::size_t findRecord(const std::string& bytes, const RecordKind& kind, const std::string& name,
                       const std::string& path) {
  for (std::size_t at = bytes.find(kind.signature); at != std::string::npos;
       at = bytes.find(kind.signature, at + 1)) {
    if (at + kind.nameAt + name.size() <= bytes.size() &&
        readLittle(bytes, at + kind.lengthAt, 2) == name.size() &&
        bytes.compare(at + kind.nameAt, name.size(), name) == 0)
      return at;
  }
  throw std::runtime_error("no entry \"" + name + "\" in " + path);
}

// Sets a 16-bit field of the entry `name` in its local header and in the central directory.
void setEntryField(const std::string& path, const std::string& name, std::size_t localAt,
                   std::size_t centralAt, std::uint16_t value) {
  std::string bytes = readFile(path);
  writeLittle(bytes, findRecord(bytes, kLocalHeader, name, path) + localAt, 2, value);
  writeLittle(bytes, findRecord(bytes, kCentralRecord, name, path) + centralAt, 2, value);
  writeFile(path, bytes);
}

}  // namespace

void setEntryMethod(const std::string& path, const std::string& name, std::uint16_t method) {
  setEntryField(path, name, 8, 10, method);
}

void setEntryFlags(const std::string& path, const std::string& name, std::uint16_t flags) {
  setEntryField(path, name, 6, 8, flags);
}

void addCentralRecordCopy(const std::string& path, const std::string& name,
                          const std::string& copyName, std::optional<std::uint32_t> localHeader) {
  if (copyName.size() != name.size())
    throw std::runtime_error("addCentralRecordCopy: the names differ in length");
  std::string bytes = readFile(path);
  const std::size_t record = findRecord(bytes, kCentralRecord, name, path);
  const std::size_t size =
      46 + name.size() + readLittle(bytes, record + 30, 2) + readLittle(bytes, record + 32, 2);
  std::string copy = bytes.substr(record, size);
  copy.replace(46, name.size(), copyName);
  if (localHeader) writeLittle(copy, 42, 4, *localHeader);
  // The end record (no archive comment) follows the directory: insert before it, count it.
  const std::size_t end = bytes.rfind("PK\x05\x06");
  if (end == std::string::npos || end + 22 != bytes.size())
    throw std::runtime_error("addCentralRecordCopy: no plain end record in " + path);
  bytes.insert(end, copy);
  const std::size_t moved = end + copy.size();
  writeLittle(bytes, moved + 8, 2, readLittle(bytes, moved + 8, 2) + 1);
  writeLittle(bytes, moved + 10, 2, readLittle(bytes, moved + 10, 2) + 1);
  writeLittle(bytes, moved + 12, 4,
              readLittle(bytes, moved + 12, 4) + static_cast<std::uint32_t>(copy.size()));
  writeFile(path, bytes);
}

void truncateFile(const std::string& path, std::size_t size) {
  if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0)
    throw std::runtime_error("truncate failed for " + path);
}

std::string pseudoRandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; i += 4) {
    const std::uint32_t word = generator();
    for (std::size_t k = 0; k < 4 && i + k < size; ++k)
      bytes[i + k] = static_cast<char>((word >> (8 * k)) & 0xFF);
  }
  return bytes;
}

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return std::mktime(&fields);
}

}  // namespace launcher::testing
