// The manifests an update of the changed entries decides by: the local one kept in the install
// folder, and the publisher's signed one fetched beside the package (read only after its
// signature is checked, but the reader must still hold against any bytes). Each must be read or
// refused, never crash, and read back the same when written out again. A local manifest read is
// also applied to a fixed installed tree and package: an entry it lets stay must be installed as
// a regular file of the entry's size, mode and date, below real folders, with the row's values.
// A modification time of 1 in a row stands for the installed file's own, so that the fuzzer
// reaches rows that fit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "Launcher/DeltaUpdate.h"
#include "Zipwell/Zipwell.h"

namespace {

namespace fs = std::filesystem;
namespace delta = launcher::delta;
namespace zipdir = launcher::zipdir;

using fuzz::fail;

constexpr std::uint32_t kFileMode = 0100644u << 16;
constexpr std::uint32_t kDosDate = 0x5A8E6B2Cu;  // 2025-04-14 13:25:24

zipdir::Entry entry(std::string name, std::uint64_t size, std::uint32_t crc,
                    std::uint32_t dosDate = kDosDate, std::uint32_t attributes = kFileMode) {
  zipdir::Entry made;
  made.name = std::move(name);
  made.madeBy = 3 << 8;
  made.uncompressedSize = size;
  made.compressedSize = size;
  made.crc = crc;
  made.dosDate = dosDate;
  made.externalAttributes = attributes;
  return made;
}

template <typename Time>
void setTime(const fs::path& path, Time time) {
  const auto since = time.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  const timespec times[2] = {
      {static_cast<time_t>(seconds.count()),
       static_cast<long>(
           std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count())},
      {static_cast<time_t>(seconds.count()),
       static_cast<long>(
           std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count())}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    fail("cannot date a file");
}

// An install folder and the package it is compared with: files that fit, one of another size,
// one below a link to a folder, a link, a nested archive and a file beside it, which the nested
// archive's extraction may write over.
struct Fixture {
  fuzz::ScratchFolder scratch{"manifests-fuzz"};
  fs::path root = scratch.folder, install = root / "install";
  zipdir::Directory directory;
  Fixture() {
    fs::create_directories(install / "dir" / "sub");
    fs::create_directories(install / "nest");
    fs::create_directories(root / "elsewhere");
    fs::create_symlink("../elsewhere", install / "linked");
    const auto date = launcher::Zipwell::dateWithMSDOSFormat(kDosDate);
    const mode_t mode =
        launcher::Zipwell::extractedFileMode(kFileMode, launcher::Zipwell::currentUmask());
    for (const auto& [name, text] : std::map<std::string, std::string>{{"a", "hello"},
                                                                       {"dir/b", "world!"},
                                                                       {"dir/sub/c", "123"},
                                                                       {"elsewhere-file", "abcd"},
                                                                       {"nest/d", "nested"},
                                                                       {"same", "12345"},
                                                                       {"twice", "xy"}}) {
      std::ofstream(install / name, std::ios::binary) << text;
      fs::permissions(install / name, static_cast<fs::perms>(mode));
      setTime(install / name, date);
    }
    std::ofstream(root / "elsewhere" / "f", std::ios::binary) << "abcd";
    setTime(root / "elsewhere" / "f", date);
    directory.entries = {entry("a", 5, 0x3610a686),
                         entry("dir/", 0, 0),
                         entry("dir/b", 6, 0x75E1A9E4),
                         entry("dir/sub/c", 3, 0x884863d2),
                         entry("linked/f", 4, 0xed82cd11),
                         entry("same", 4, 0xcbf43926),
                         entry("twice", 2, 1),
                         entry("./twice", 2, 1),
                         entry("a-link", 1, 2, kDosDate, 0120777u << 16),
                         entry("nodate", 5, 0x3610a686, 0),
                         entry("nest/d", 6, 0xaac9c2e9),
                         entry("nest/inner.zip", 22, 0)};
  }
};

std::int64_t modifiedOf(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return 0;
  return static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto signedManifest = delta::parsePackageManifest(text)) {
    if (delta::parsePackageManifest(delta::packageManifestText(*signedManifest)) != signedManifest)
      fail("the signed manifest does not read back");
  }

  auto manifest = delta::parseManifest(text);
  if (!manifest) return 0;
  if (delta::parseManifest(delta::manifestText(*manifest)) != manifest)
    fail("the local manifest does not read back");
  for (const auto& [name, row] : manifest->rows)
    if (name != row.name) fail("a row under another name");

  static const Fixture fixture;
  for (auto& [name, row] : manifest->rows)
    if (row.modified == 1)
      if (const auto path = delta::installedPath(name))
        row.modified = modifiedOf(fixture.install / *path);
  const auto take = delta::entriesToFetch(fixture.directory, *manifest, fixture.install.string());
  if (take.size() != fixture.directory.entries.size()) fail("a choice of another size");
  for (std::size_t index = 0; index < take.size(); ++index) {
    if (take[index]) continue;
    const zipdir::Entry& kept = fixture.directory.entries[index];
    if (!kept.isFile()) fail("a folder or link was left out");
    const auto row = manifest->rows.find(kept.name);
    if (row == manifest->rows.end()) fail("an entry without a row was left out");
    const fs::path installed = fixture.install / kept.name;
    struct stat status {};
    if (::lstat(installed.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
      fail("an entry left out is not an installed file");
    if (static_cast<std::uint64_t>(status.st_size) != kept.uncompressedSize)
      fail("an entry left out is installed with another size");
    if (fs::canonical(installed).string().rfind(fs::canonical(fixture.install).string() + "/", 0) !=
        0)
      fail("an entry left out lies outside the install folder");
    if (kept.name == "twice" || kept.name == "./twice") fail("an entry written twice was left out");
    if (kept.name.starts_with("nest/")) fail("a file beside a nested archive was left out");
  }
  return 0;
}
