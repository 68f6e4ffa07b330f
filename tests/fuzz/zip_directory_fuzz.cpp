// A package's tail and central directory arrive from the server by range requests: any bytes must
// give a location and records or a sentence, never a crash or a read outside them. What is read
// must also be what the update writes again: the records written back out, with new end records,
// read as the same entries at the same place.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "FuzzSupport.h"
#include "Zipwell/ZipDirectory.h"

namespace {

namespace zipdir = launcher::zipdir;

using fuzz::fail;

bool sameEntry(const zipdir::Entry& a, const zipdir::Entry& b) {
  return a.name == b.name && a.flags == b.flags && a.method == b.method && a.dosDate == b.dosDate &&
         a.crc == b.crc && a.compressedSize == b.compressedSize &&
         a.uncompressedSize == b.uncompressedSize && a.localHeader == b.localHeader &&
         a.externalAttributes == b.externalAttributes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view archive(reinterpret_cast<const char*>(data), size);

  // Local headers: any bytes.
  const auto header = zipdir::parseLocalHeader(archive);
  if (const auto* local = std::get_if<zipdir::LocalHeader>(&header))
    if (local->length > archive.size()) fail("a local header longer than its bytes");

  // The whole input as the archive's tail, and as the tail of a larger archive.
  for (const std::uint64_t archiveSize : {std::uint64_t{size}, std::uint64_t{size} + 1000}) {
    const auto located = zipdir::locateDirectory(archive, archiveSize);
    const auto* location = std::get_if<zipdir::DirectoryLocation>(&located);
    if (location == nullptr || archiveSize != size) continue;
    if (location->offset > size || location->size > size - location->offset)
      fail("a directory outside the archive");
    const auto parsed =
        zipdir::parseDirectory(archive.substr(location->offset, location->size), *location);
    const auto* directory = std::get_if<zipdir::Directory>(&parsed);
    if (directory == nullptr) continue;
    for (const zipdir::Entry& entry : directory->entries)
      if (entry.localHeader >= location->offset) fail("an entry's header not before the directory");

    // Written back out after the same leading bytes, the records read as the same entries.
    std::string records;
    for (const zipdir::Entry& entry : directory->entries)
      records += zipdir::centralRecord(entry, entry.localHeader);
    std::string rebuilt(archive.substr(0, location->offset));
    rebuilt += records;
    rebuilt += zipdir::endRecords(directory->entries.size(), location->offset, records.size());
    const auto again = zipdir::locateDirectory(rebuilt, rebuilt.size());
    const auto* relocated = std::get_if<zipdir::DirectoryLocation>(&again);
    if (relocated == nullptr) fail("the rewritten archive's end records are refused");
    if (relocated->offset != location->offset || relocated->size != records.size() ||
        relocated->entries != directory->entries.size())
      fail("the rewritten directory is located elsewhere");
    const auto reread = zipdir::parseDirectory(
        std::string_view(rebuilt).substr(relocated->offset, relocated->size), *relocated);
    const auto* same = std::get_if<zipdir::Directory>(&reread);
    if (same == nullptr) fail("the rewritten directory is refused");
    if (same->entries.size() != directory->entries.size()) fail("entries lost in the rewrite");
    for (std::size_t i = 0; i < same->entries.size(); ++i)
      if (!sameEntry(same->entries[i], directory->entries[i]))
        fail("an entry changed in the rewrite");
  }
  return 0;
}
