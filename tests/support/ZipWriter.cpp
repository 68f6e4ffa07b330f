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

void setEntryMethod(const std::string& path, const std::string& name, std::uint16_t method) {
  std::string bytes = readFile(path);
  // Offsets of the method, the name length and the name in local headers and central records.
  const struct {
    const char* signature;
    std::size_t methodAt, lengthAt, nameAt;
  } records[] = {{"PK\x03\x04", 8, 26, 30}, {"PK\x01\x02", 10, 28, 46}};
  const auto names = [&](std::size_t at, const auto& record) {
    const auto length = static_cast<unsigned char>(bytes[at + record.lengthAt]) |
                        static_cast<unsigned char>(bytes[at + record.lengthAt + 1]) << 8;
    return static_cast<std::size_t>(length) == name.size() &&
           bytes.compare(at + record.nameAt, name.size(), name) == 0;
  };
  for (const auto& record : records) {
    std::size_t at = bytes.find(record.signature);
    while (at != std::string::npos && !names(at, record)) at = bytes.find(record.signature, at + 1);
    if (at == std::string::npos)
      throw std::runtime_error("setEntryMethod: no entry \"" + name + "\" in " + path);
    bytes[at + record.methodAt] = static_cast<char>(method & 0xFF);
    bytes[at + record.methodAt + 1] = static_cast<char>(method >> 8);
  }
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
