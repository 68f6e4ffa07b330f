#include "Zipwell/CentralDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string_view>

#include "Launcher/platform/UniqueFd.h"
#include "Zipwell/ZipDirectory.h"

namespace launcher::zipwell {
namespace {

constexpr std::uint64_t kLocalHeaderSize = 30;

bool startsWith(std::string_view bytes, std::size_t offset, const char (&signature)[5]) {
  return bytes.size() >= offset + 4 && std::memcmp(bytes.data() + offset, signature, 4) == 0;
}

}  // namespace

std::variant<CentralDirectory, std::string> readCentralDirectory(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
    return std::string("it is not a readable file");
  const auto fileSize = static_cast<std::uint64_t>(status.st_size);
  const std::uint64_t tailSize = std::min(fileSize, zipdir::kTailBytes);
  const auto tail = platform::readAt(fd, fileSize - tailSize, tailSize);
  if (!tail) return std::string("it cannot be read");
  auto located = zipdir::locateDirectory(*tail, fileSize);
  if (auto* why = std::get_if<std::string>(&located)) return *why;
  const auto& location = std::get<zipdir::DirectoryLocation>(located);

  // Data before the archive (a self-extracting stub) shifts every position by the same amount.
  const std::uint64_t shift = location.end - location.offset - location.size;
  CentralDirectory directory;
  directory.start = location.offset + shift;
  directory.counted = location.entries;
  // An end record that counts no entries lists none, whatever its directory holds: the caller
  // says so.
  if (location.entries == 0) return directory;
  const auto bytes = platform::readAt(fd, directory.start, location.size);
  if (!bytes) return std::string("its directory cannot be read");
  auto parsed = zipdir::parseDirectory(*bytes, location);
  if (auto* why = std::get_if<std::string>(&parsed)) return *why;

  auto& records = std::get<zipdir::Directory>(parsed).entries;
  directory.entries.reserve(records.size());
  for (std::size_t index = 0; index < records.size(); ++index) {
    zipdir::Entry& record = records[index];
    const std::string number = "entry " + std::to_string(index + 1);
    CentralEntry entry;
    entry.name = std::move(record.name);
    entry.flags = record.flags;
    entry.method = record.method;
    entry.dosDate = record.dosDate;
    entry.externalAttributes = record.externalAttributes;
    entry.compressedSize = record.compressedSize;
    entry.uncompressedSize = record.uncompressedSize;
    entry.zip64Sizes =
        record.storedCompressedSize == 0xFFFFFFFF || record.storedUncompressedSize == 0xFFFFFFFF;
    entry.localHeader = record.localHeader + shift;
    const auto header = platform::readAt(fd, entry.localHeader, kLocalHeaderSize);
    if (!header || !startsWith(*header, 0, "PK\x03\x04")) return number + " has no local header";
    const auto u16 = [&](std::size_t at) {
      return static_cast<std::uint64_t>(static_cast<unsigned char>((*header)[at])) |
             static_cast<std::uint64_t>(static_cast<unsigned char>((*header)[at + 1])) << 8;
    };
    entry.dataStart = entry.localHeader + kLocalHeaderSize + u16(26) + u16(28);
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

std::vector<std::string> entryPathParts(std::string_view name) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at = 0; at <= name.size(); ++at) {
    if (at < name.size() && name[at] != '/' && name[at] != '\\') continue;
    const std::string_view part = name.substr(start, at - start);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = at + 1;
  }
  return parts;
}

}  // namespace launcher::zipwell
