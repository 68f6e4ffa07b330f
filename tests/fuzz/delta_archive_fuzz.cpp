// An update of the changed entries reads the package's central directory, fetches the chosen
// entries' bytes by range requests and makes them a ZIP archive of their own: the local headers
// and data descriptors in those bytes come from the server and may disagree with the directory.
// Any package must give a plan and an archive, or a sentence, never a crash; a plan's ranges lie
// in order before the directory; and an archive finished from them reads as exactly the entries
// taken, each local header matching its central record. The first byte of the input picks the
// entries to take (every one, every other one, or only the first), the rest is the package.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <variant>

#include "FuzzSupport.h"
#include "Launcher/DeltaUpdate.h"
#include "Zipwell/ZipDirectory.h"

namespace {

namespace fs = std::filesystem;
namespace delta = launcher::delta;
namespace zipdir = launcher::zipdir;

using fuzz::fail;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned choice = data[0] % 3;
  const std::string_view package(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::uint64_t tailSize = std::min<std::uint64_t>(package.size(), zipdir::kTailBytes);
  const auto located =
      zipdir::locateDirectory(package.substr(package.size() - tailSize), package.size());
  const auto* location = std::get_if<zipdir::DirectoryLocation>(&located);
  if (location == nullptr) return 0;
  const auto parsed =
      zipdir::parseDirectory(package.substr(location->offset, location->size), *location);
  const auto* directory = std::get_if<zipdir::Directory>(&parsed);
  if (directory == nullptr) return 0;

  std::vector<bool> take(directory->entries.size());
  for (std::size_t index = 0; index < take.size(); ++index)
    take[index] = choice == 0 || (choice == 1 && index % 2 == 0) || (choice == 2 && index == 0);
  const auto planned = delta::planFetch(*directory, take, choice == 0 ? delta::kSwallowedGap : 0);
  const auto* plan = std::get_if<delta::FetchPlan>(&planned);
  if (plan == nullptr) return 0;
  std::uint64_t previousEnd = 0, bytes = 0;
  for (const delta::ByteRange& range : plan->ranges) {
    if (range.first < previousEnd || range.end <= range.first || range.end > location->offset)
      fail("a range out of order, empty or past the directory");
    previousEnd = range.end;
    bytes += range.size();
  }
  if (bytes != plan->bytes) fail("the plan's byte count is not its ranges'");
  if (plan->chosen.size() + plan->written.size() !=
      static_cast<std::size_t>(std::count(take.begin(), take.end(), true)))
    fail("the plan lost or added entries");

  static const fuzz::ScratchFolder scratch("delta-archive-fuzz");
  const fs::path archive = scratch.folder / "delta.zip";
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    for (const delta::ByteRange& range : plan->ranges)
      out << package.substr(range.first, range.size());
  }
  if (delta::finishArchive(archive.string(), *directory, *plan)) return 0;

  // The finished archive: its directory lists the entries taken, in the package's order.
  std::ifstream in(archive, std::ios::binary);
  const std::string made(std::istreambuf_iterator<char>(in), {});
  const std::uint64_t madeTail = std::min<std::uint64_t>(made.size(), zipdir::kTailBytes);
  const auto relocated =
      zipdir::locateDirectory(std::string_view(made).substr(made.size() - madeTail), made.size());
  const auto* madeLocation = std::get_if<zipdir::DirectoryLocation>(&relocated);
  if (madeLocation == nullptr) fail("the finished archive has no usable end records");
  const auto reparsed = zipdir::parseDirectory(
      std::string_view(made).substr(madeLocation->offset, madeLocation->size), *madeLocation);
  const auto* madeDirectory = std::get_if<zipdir::Directory>(&reparsed);
  if (madeDirectory == nullptr) fail("the finished archive's directory is refused");
  std::vector<const zipdir::Entry*> expected;
  for (std::size_t index = 0; index < take.size(); ++index)
    if (take[index]) expected.push_back(&directory->entries[index]);
  if (madeDirectory->entries.size() != expected.size())
    fail("the finished archive lists other entries than those taken");
  for (std::size_t index = 0; index < expected.size(); ++index) {
    const zipdir::Entry& entry = madeDirectory->entries[index];
    if (entry.name != expected[index]->name || entry.crc != expected[index]->crc ||
        entry.compressedSize != expected[index]->compressedSize ||
        entry.uncompressedSize != expected[index]->uncompressedSize)
      fail("an entry of the finished archive differs from the package's");
    const auto header = zipdir::parseLocalHeader(std::string_view(made).substr(
        entry.localHeader,
        std::min<std::uint64_t>(made.size() - entry.localHeader, 30 + 0xFFFF + 0xFFFF)));
    const auto* local = std::get_if<zipdir::LocalHeader>(&header);
    if (local == nullptr || zipdir::localHeaderMismatch(*local, entry))
      fail("a local header of the finished archive does not match its record");
    if (entry.localHeader + local->length + entry.compressedSize > madeLocation->offset)
      fail("an entry's data runs into the finished archive's directory");
  }
  return 0;
}
