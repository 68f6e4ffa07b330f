// Updates that fetch only the changed entries: the central directory read from bytes, the
// local manifest, the change decision, the range plan and the archive made of fetched ranges.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Launcher/DeltaUpdate.h"
#include "Launcher/Installer.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/UniqueFd.h"
#include "Launcher/platform/Url.h"
#include "Zipwell/CentralDirectory.h"
#include "Zipwell/Zipwell.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/ScratchFileSystem.h"
#include "tests/support/TestFolders.h"
#include "tests/support/ZipWriter.h"

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using testing::ZipEntry;

// The directory of the archive at `path`, read from its bytes as a range client would.
std::variant<zipdir::Directory, std::string> directoryOfBytes(const std::string& bytes) {
  const std::string tail =
      bytes.substr(bytes.size() - std::min<std::size_t>(bytes.size(), zipdir::kTailBytes));
  auto located = zipdir::locateDirectory(tail, bytes.size());
  if (auto* problem = std::get_if<std::string>(&located)) return *problem;
  const auto& location = std::get<zipdir::DirectoryLocation>(located);
  return zipdir::parseDirectory(bytes.substr(location.offset, location.size), location);
}

zipdir::Directory mustRead(const std::string& bytes) {
  auto read = directoryOfBytes(bytes);
  if (auto* problem = std::get_if<std::string>(&read)) ADD_FAILURE() << *problem;
  return std::get_if<zipdir::Directory>(&read) ? std::get<zipdir::Directory>(read)
                                               : zipdir::Directory{};
}

// Each entry as Zipwell's own reader finds it in the same file.
void expectSameAsZipwell(const std::string& path, const zipdir::Directory& directory) {
  const platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  auto theirs = zipwell::readCentralDirectory(file.get());
  ASSERT_TRUE(std::holds_alternative<zipwell::CentralDirectory>(theirs));
  const auto& entries = std::get<zipwell::CentralDirectory>(theirs).entries;
  ASSERT_EQ(directory.entries.size(), entries.size());
  EXPECT_EQ(directory.location.offset, std::get<zipwell::CentralDirectory>(theirs).start);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& mine = directory.entries[i];
    EXPECT_EQ(mine.name, entries[i].name);
    EXPECT_EQ(mine.method, entries[i].method);
    EXPECT_EQ(mine.flags, entries[i].flags);
    EXPECT_EQ(mine.dosDate, entries[i].dosDate);
    EXPECT_EQ(mine.externalAttributes, entries[i].externalAttributes);
    EXPECT_EQ(mine.compressedSize, entries[i].compressedSize);
    EXPECT_EQ(mine.uncompressedSize, entries[i].uncompressedSize);
    EXPECT_EQ(mine.localHeader, entries[i].localHeader);
  }
}

// CRC-32 as ZIP computes it, bit by bit.
std::uint32_t crc32Of(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

std::vector<ZipEntry> sampleEntries() {
  return {testing::directory("App.app/"),
          testing::file("App.app/AppRun", "#!/bin/sh\nexit 0\n").withMode(0100755),
          testing::file("App.app/lib/big.bin", testing::pseudoRandomBytes(200000, 1)),
          testing::file("App.app/lib/text.txt", std::string(100000, 'x')).stored(),
          testing::file("App.app/current", "lib/text.txt").withMode(0120777),
          testing::file("App.app/empty", "")};
}

// ==== The central directory, read from bytes =====================================================

TEST(ZipDirectory, ReadsWhatMinizipWroteAsZipwellDoes) {
  TempDir folder;
  const std::string path = folder / "p.zip";
  testing::writeZip(path, sampleEntries());
  const auto directory = mustRead(readFile(path));
  expectSameAsZipwell(path, directory);
  ASSERT_EQ(directory.entries.size(), 6u);
  EXPECT_TRUE(directory.entries[0].isFolder());
  EXPECT_TRUE(directory.entries[4].isLink());
  EXPECT_TRUE(directory.entries[2].isFile());
  const std::string big = testing::pseudoRandomBytes(200000, 1);
  EXPECT_EQ(directory.entries[2].crc, crc32Of(big));
  EXPECT_FALSE(directory.location.zip64);
}

// More entries than the end record can count: minizip leaves 0xFFFF there and the records run to
// the directory's end; an archive made of them again carries ZIP64 end records, read back alike.
TEST(ZipDirectory, ReadsDirectoriesOfMoreThan65535Entries) {
  TempDir folder;
  const std::string path = folder / "many.zip";
  {
    testing::ZipWriter writer(path);
    for (int i = 0; i < 0x10000 + 20; ++i)
      writer.add(testing::file("f/" + std::to_string(i), std::to_string(i)).stored());
  }
  const std::string bytes = readFile(path);
  const auto directory = mustRead(bytes);
  EXPECT_FALSE(directory.location.zip64);
  ASSERT_EQ(directory.entries.size(), 0x10000u + 20);
  EXPECT_EQ(directory.entries.back().name, "f/65555");

  auto planned = delta::planFetch(directory, std::vector<bool>(directory.entries.size(), true));
  ASSERT_TRUE(std::holds_alternative<delta::FetchPlan>(planned));
  const std::string again = folder / "again.zip";
  writeFile(again, bytes.substr(0, directory.location.offset));
  ASSERT_EQ(delta::finishArchive(again, directory, std::get<delta::FetchPlan>(planned)),
            std::nullopt);
  const auto zip64 = mustRead(readFile(again));
  EXPECT_TRUE(zip64.location.zip64);
  EXPECT_EQ(zip64.location.entries, 0x10000u + 20);
  expectSameAsZipwell(again, zip64);

  // The publisher's manifest of either lists every entry.
  for (const std::string& archive : {path, again}) {
    SCOPED_TRACE(archive);
    const auto digests = delta::digestEntries(archive);
    ASSERT_TRUE(std::holds_alternative<delta::PackageManifest>(digests))
        << std::get<std::string>(digests);
    const auto& manifest = std::get<delta::PackageManifest>(digests);
    EXPECT_EQ(manifest.size(), 0x10000u + 20);
    EXPECT_EQ(manifest.count("f/65555"), 1u);
  }
}

// Values beyond 32 bits live in the ZIP64 extra field; a record written again reads back the same.
TEST(ZipDirectory, Zip64ValuesOfARecordSurviveWritingItAgain) {
  zipdir::Entry entry;
  entry.name = "App.app/huge.bin";
  entry.crc = 0x12345678;
  entry.compressedSize = 5'000'000'000;
  entry.uncompressedSize = 6'000'000'000;
  entry.storedCompressedSize = 0xFFFFFFFF;
  entry.storedUncompressedSize = 0xFFFFFFFF;
  entry.storedDisk = 0xFFFF;
  entry.extra = std::string("\x55\x54\x05\x00\x01\x02\x03\x04\x05", 9);
  const std::string record = zipdir::centralRecord(entry, 7'000'000'000);
  zipdir::DirectoryLocation location{13'000'000'000, record.size(), 1, true};
  auto parsed = zipdir::parseDirectory(record, location);
  ASSERT_TRUE(std::holds_alternative<zipdir::Directory>(parsed)) << std::get<std::string>(parsed);
  const auto& back = std::get<zipdir::Directory>(parsed).entries.at(0);
  EXPECT_EQ(back.compressedSize, 5'000'000'000u);
  EXPECT_EQ(back.uncompressedSize, 6'000'000'000u);
  EXPECT_EQ(back.localHeader, 7'000'000'000u);
  EXPECT_EQ(back.extra, entry.extra);
  EXPECT_EQ(back.name, entry.name);
  // The end records of such an archive announce ZIP64 and are found again.
  const std::string end = zipdir::endRecords(1, 12'000'000'000, record.size());
  auto found = zipdir::locateDirectory(end, 12'000'000'000 + record.size() + end.size());
  ASSERT_TRUE(std::holds_alternative<zipdir::DirectoryLocation>(found));
  EXPECT_TRUE(std::get<zipdir::DirectoryLocation>(found).zip64);
  EXPECT_EQ(std::get<zipdir::DirectoryLocation>(found).offset, 12'000'000'000u);
}

// A record's extra field may end in bytes that look like a ZIP64 locator. Right before a plain
// end record (as other writers leave it), they point at no ZIP64 end record, so the plain end
// record holds, as minizip reads it. Our own end records leave no doubt even when the look-alike
// points at bytes that do look like a ZIP64 end record.
TEST(ZipDirectory, BytesThatOnlyLookLikeAZip64LocatorAreNotOne) {
  zipdir::Entry entry;
  entry.name = "App.app/AppRun";
  entry.extra = std::string("\xCA\xFE\x14\x00PK\x06\x07", 8) + std::string(16, '\0');
  const std::string record = zipdir::centralRecord(entry, 0);
  const std::string plainEnd =
      std::string("PK\x05\x06\0\0\0\0\x01\0\x01\0", 12) +
      std::string{static_cast<char>(record.size()), '\0', '\0', '\0', 30, 0, 0, 0, 0, 0};
  // The look-alike points at offset 0: data there that starts like a ZIP64 end record.
  const std::string data = std::string("PK\x06\x06", 4) + std::string(26, 'x');
  for (const std::string& leading : {std::string(30, 'x'), data}) {
    for (const bool ours : {false, true}) {
      if (!ours && leading == data) continue;  // truly ambiguous: no reader can tell
      const std::string archive =
          leading + record + (ours ? zipdir::endRecords(1, 30, record.size()) : plainEnd);
      auto found = zipdir::locateDirectory(archive, archive.size());
      ASSERT_TRUE(std::holds_alternative<zipdir::DirectoryLocation>(found))
          << std::get<std::string>(found);
      const auto& location = std::get<zipdir::DirectoryLocation>(found);
      EXPECT_EQ(location.zip64, ours);
      EXPECT_EQ(location.offset, 30u);
      EXPECT_EQ(location.size, record.size());
      EXPECT_EQ(location.entries, 1u);
    }
  }
}

// Bytes that lie are refused with a reason, never read past.
TEST(ZipDirectory, DamagedArchivesAreRefusedWithAReason) {
  const std::string good = testing::zipBytes(sampleEntries());
  const auto directory = mustRead(good);
  const std::size_t end = good.size() - 22;
  const auto patched = [&](std::size_t at, std::string bytes) {
    std::string copy = good;
    copy.replace(at, bytes.size(), bytes);
    return copy;
  };
  const std::uint64_t offset = directory.location.offset;
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"cut before the end record", good.substr(0, good.size() - 1)},
      {"a directory beyond the end record", patched(end + 16, std::string("\xff\xff\xff\x0f", 4))},
      {"more entries than fit", patched(end + 8, std::string("\xff\x00\xff\x00", 4))},
      {"fewer entries than records", patched(end + 8, std::string("\x01\x00\x01\x00", 4))},
      {"a ZIP64 count of more entries than fit",
       good.substr(0, end) + zipdir::endRecords(std::uint64_t{1} << 60, offset, end - offset)},
      {"several disks", patched(end + 4, std::string("\x01\x00", 2))},
      {"a record with a long name", patched(offset + 28, std::string("\xff\xff", 2))},
      {"a record's local header beyond the directory",
       patched(offset + 42, std::string("\xff\xff\xff\x0e", 4))},
      {"a broken record signature", patched(offset, "PK\x01\x03")},
  };
  for (const auto& [what, bytes] : cases)
    EXPECT_TRUE(std::holds_alternative<std::string>(directoryOfBytes(bytes))) << what;
  // Every cut and every damaged byte of the end gives an answer, never a read past the bytes.
  for (std::size_t size = 0; size < good.size(); size += 97) directoryOfBytes(good.substr(0, size));
  for (std::size_t at = offset; at < good.size(); ++at)
    for (const char value : {'\0', '\xff', '\x7f'}) directoryOfBytes(patched(at, {value}));
}

// ==== The local manifest and what counts as changed ==============================================

TEST(LocalManifest, TextReadsBackAndDamageIsRefused) {
  delta::LocalManifest manifest;
  manifest.version = 3;
  manifest.rows["App.app/a b"] = {"App.app/a b", 5, 0xDEADBEEF,          0x52CF6000,
                                  0x81ED0000,    5, 1700000000123456789, "-"};
  manifest.rows["App.app/x"] = {"App.app/x", 0, 0, 0, 0, 0, -5, std::string(64, 'a')};
  const std::string text = delta::manifestText(manifest);
  EXPECT_EQ(delta::parseManifest(text), manifest);
  for (const std::string& damaged :
       {std::string(), text.substr(0, text.size() - 1), "x" + text,
        text.substr(0, text.find("\t")) + text.substr(text.find("\t") + 1),
        std::string("launcher install manifest 1\nversion 0\n"),
        text + "App.app/a b\t5\tdeadbeef\t52cf6000\t81ed0000\t5\t1\t-\n"})
    EXPECT_FALSE(delta::parseManifest(damaged)) << damaged;
}

// A package with one file per case, installed as a full install leaves it, and its manifest.
class ChangeDecision : public ::testing::Test {
 protected:
  TempDir folder;
  std::string install() const { return folder / "install"; }
  zipdir::Directory installAndRead(const std::vector<ZipEntry>& entries) {
    const std::string package = folder / "package.zip";
    testing::writeZip(package, entries);
    EXPECT_TRUE(Zipwell::unzipFileAtPath(package, install()));
    return mustRead(readFile(package));
  }
};

TEST_F(ChangeDecision, OnlyUntouchedFilesWithTheSameEntryAreLeftOut) {
  std::vector<ZipEntry> v2 = {testing::directory("A.app/"),
                              testing::file("A.app/link", "same").withMode(0120777)};
  const char* names[] = {"same",       "content",       "size",
                         "date",       "mode",          "touched",
                         "edited",     "removed",       "replaced by a link",
                         "unrecorded", "made writable", "recorded apart"};
  for (const char* name : names)
    v2.push_back(testing::file(std::string("A.app/") + name, "12345").withMode(0100644));
  // Files written twice, the later bytes of the same size: by one name given twice, by another
  // spelling of the name, and by the nested archive after them.
  for (const char* name : {"B/twice", "B/aliased"}) v2.push_back(testing::file(name, "1st"));
  for (const char* name : {"B/twice", "B/./aliased"}) v2.push_back(testing::file(name, "2nd"));
  v2.push_back(testing::file("N/n", "m"));
  v2.push_back(testing::file("N/nested.zip", testing::zipBytes({testing::file("n", "n")})));
  // A file whose folder is moved elsewhere and linked in its place.
  v2.push_back(testing::file("C/d/linked", "12345"));
  // Files that the new package writes again: before them, by a nested archive in their folder,
  // and under the same name and under another spelling.
  for (const char* name : {"D/own", "D/sub/deep", "E/again", "E/respelled"})
    v2.push_back(testing::file(name, "12345"));
  // Files that the new package also names as folders of other files, a package that no
  // extraction can write: each, and every file below it.
  for (const char* name : {"F/d/f", "G/d"}) v2.push_back(testing::file(name, "12345"));
  const auto old = installAndRead(v2);
  auto manifest = delta::manifestOf(install(), 2, old.entries, {});
  EXPECT_FALSE(manifest.rows.contains("N/nested.zip")) << "extracted in place: no file";
  EXPECT_FALSE(manifest.rows.contains("A.app/link"));
  for (const char* name : {"B/twice", "B/aliased", "N/n"})
    EXPECT_FALSE(manifest.rows.contains(name)) << name << " holds another entry's bytes";
  manifest.rows.erase("A.app/unrecorded");
  // A damaged row that gives the installed file another size than the entry's, which the file
  // then has, with its recorded time.
  const std::string apart = install() + "/A.app/recorded apart";
  const auto apartTime = fs::last_write_time(apart);
  writeFile(apart, "123456");
  fs::last_write_time(apart, apartTime);
  manifest.rows["A.app/recorded apart"].fileSize = 6;

  // What happened to each since, locally and in the new package.
  std::vector<ZipEntry> v3 = v2;
  v3[3].data = "12346";                               // content: the CRC differs
  v3[4].data = "123456";                              // size
  v3[5].withDate(testing::dosDateTime(2022, 1, 1));   // date
  v3[6].withMode(0100755);                            // mode
  v3.push_back(testing::file("A.app/new", "12345"));  // added
  for (const char* name : {"F/d", "G/d/f"}) v3.push_back(testing::file(name, "12345"));
  const auto insertBefore = [&v3](const std::string& name, const ZipEntry& entry) {
    v3.insert(std::find_if(v3.begin(), v3.end(), [&](const ZipEntry& e) { return e.name == name; }),
              entry);
  };
  insertBefore("D/own",
               testing::file("D/inner.zip", testing::zipBytes({testing::file("own", "")})));
  insertBefore("E/again", testing::file("E/again", "54321"));
  insertBefore("E/respelled", testing::file("E/./respelled", "54321"));
  fs::last_write_time(install() + "/A.app/touched", fs::file_time_type::clock::now());
  writeFile(install() + "/A.app/edited", "54321");  // same size, new time
  fs::remove(install() + "/A.app/removed");
  fs::remove(install() + "/A.app/replaced by a link");
  fs::create_symlink("same", install() + "/A.app/replaced by a link");
  fs::permissions(install() + "/A.app/made writable", fs::perms(0666));  // size and time stay
  fs::rename(install() + "/C", folder / "C");
  fs::create_symlink(folder / "C", install() + "/C");
  EXPECT_FALSE(delta::manifestOf(install(), 2, old.entries, {}).rows.contains("C/d/linked"));
  const std::string package = folder / "v3.zip";
  testing::writeZip(package, v3);
  const auto directory = mustRead(readFile(package));
  const auto take = delta::entriesToFetch(directory, manifest, install());
  std::vector<std::string> taken;
  for (std::size_t i = 0; i < take.size(); ++i)
    if (take[i]) taken.push_back(directory.entries[i].name);
  const std::vector<std::string> fetched = {
      "A.app/", "A.app/link", "A.app/content", "A.app/size", "A.app/date", "A.app/mode",
      "A.app/touched", "A.app/edited", "A.app/removed", "A.app/replaced by a link",
      "A.app/unrecorded", "A.app/made writable", "A.app/recorded apart", "B/twice", "B/aliased",
      "B/twice", "B/./aliased", "N/n", "N/nested.zip", "C/d/linked",
      // In the folder of a nested archive of the new package, or written by two of its entries.
      "D/inner.zip", "D/own", "D/sub/deep", "E/again", "E/again", "E/./respelled", "E/respelled",
      // A file and a folder of the same path.
      "F/d/f", "G/d", "A.app/new", "F/d", "G/d/f"};
  EXPECT_EQ(taken, fetched);
  // Under a signed manifest, a file counts as unchanged only with the same SHA-256 recorded.
  std::map<std::string, std::string> digests;
  for (const auto& entry : directory.entries) digests[entry.name] = "-";
  digests["A.app/same"] = "ab";
  EXPECT_TRUE(delta::entriesToFetch(directory, manifest, install(), &digests)[2]);
  manifest.rows["A.app/same"].sha256 = "ab";
  EXPECT_FALSE(delta::entriesToFetch(directory, manifest, install(), &digests)[2]);
}

// DOS dates are local times: after a move to another time zone the package gives its files other
// dates than the installed files bear. They are kept all the same, and given the present dates
// after the update; a file without a date keeps the one it got, and one the user touched is
// fetched.
TEST_F(ChangeDecision, FilesDatedInAnotherTimeZoneAreKeptAndGivenThePresentDates) {
  using namespace std::chrono_literals;
  const std::vector<ZipEntry> v2 = {testing::file("A.app/dated", "1"),
                                    testing::file("A.app/undated", "2").withDate(0),
                                    testing::file("A.app/touched", "3")};
  std::optional<testing::TimeZone> zone(std::in_place, "UTC0");
  const auto directory = installAndRead(v2);
  const auto manifest = delta::manifestOf(install(), 2, directory.entries, {});
  const auto modified = [this](const char* name) {
    struct stat status {};
    EXPECT_EQ(::stat((install() + "/A.app/" + name).c_str(), &status), 0) << name;
    return std::chrono::nanoseconds(std::int64_t{status.st_mtim.tv_sec} * 1000000000 +
                                    status.st_mtim.tv_nsec);
  };
  const auto installed = modified("dated"), undated = modified("undated");
  ASSERT_TRUE(platform::setModificationDate(install() + "/A.app/touched",
                                            platform::FileTime(modified("touched") + 1h)));
  const auto touched = modified("touched");
  EXPECT_EQ(delta::redateKeptFiles(install(), manifest, directory), 0u) << "the same zone";
  for (const char* other : {"JST-9", "CET-1CEST,M3.5.0,M10.5.0/3", "NPT-5:45"}) {
    zone.emplace(other);
    ASSERT_TRUE(
        platform::setModificationDate(install() + "/A.app/dated", platform::FileTime(installed)));
    EXPECT_EQ(delta::entriesToFetch(directory, manifest, install()),
              (std::vector<bool>{false, false, true}))
        << other;
    EXPECT_EQ(delta::redateKeptFiles(install(), manifest, directory), 1u) << other;
    EXPECT_EQ(platform::FileTime(modified("dated")),
              Zipwell::dateWithMSDOSFormat(directory.entries[0].dosDate))
        << other;
    EXPECT_NE(modified("dated"), installed) << other;
    EXPECT_EQ(modified("undated"), undated) << other;
    EXPECT_EQ(modified("touched"), touched) << other;
  }
}

// A tree a thousand folders deep is compared with the install on a stack of 64 KiB, which every
// thread of a launcher started under `ulimit -s 64` has.
TEST_F(ChangeDecision, ADeepTreeIsComparedOnASmallStack) {
  std::string name = "A.app/";
  for (int level = 0; level < 1000; ++level) name += "d/";
  name += "f";
  const auto directory = installAndRead({testing::file(name, "deep")});
  struct Job {
    std::string install;
    const zipdir::Directory& directory;
    delta::LocalManifest manifest;
  } job{install(), directory, {}};
  pthread_attr_t attributes;
  ASSERT_EQ(::pthread_attr_init(&attributes), 0);
  ASSERT_EQ(::pthread_attr_setstacksize(&attributes, std::size_t{64} * 1024), 0);
  pthread_t thread{};
  const auto run = [](void* data) -> void* {
    auto& job = *static_cast<Job*>(data);
    job.manifest = delta::manifestOf(job.install, 2, job.directory.entries, {});
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&thread, &attributes, run, &job), 0);
  EXPECT_EQ(::pthread_join(thread, nullptr), 0);
  EXPECT_EQ(::pthread_attr_destroy(&attributes), 0);
  EXPECT_TRUE(job.manifest.rows.contains(name));
}

// The launcher's own names, and paths that do not lead straight to a file, are never unchanged.
TEST(LocalManifest, OnlyPlainPathsBelowTheInstallFolderAreRecorded) {
  for (const char* name : {"App.app/a", "a", "App.app/b/c d"})
    EXPECT_TRUE(delta::installedPath(name)) << name;
  for (const char* name : {"", "/a", "a/", "a//b", "a/./b", "../a", "a\\b", ".install-manifest",
                           "version.txt", ".staging/x", ".lock", "a\tb"})
    EXPECT_FALSE(delta::installedPath(name)) << name;
  EXPECT_TRUE(isReservedEntryName(kManifestFileName));
}

// ==== The range plan and the archive of fetched ranges ===========================================

// Entries at known offsets; the plan for a choice of them.
TEST(DeltaPlan, RangesRunToTheNextEntryAndCloseOnesMerge) {
  zipdir::Directory directory;
  directory.location.offset = 10000;
  // Directory order differs from offset order on purpose.
  for (const auto& [name, at] : std::vector<std::pair<std::string, std::uint64_t>>{
           {"d", 3000}, {"a", 0}, {"b", 100}, {"c", 200}, {"e", 9000}}) {
    zipdir::Entry entry;
    entry.name = name;
    entry.localHeader = at;
    entry.compressedSize = 10;
    directory.entries.push_back(entry);
  }
  // A folder without data is made from its record, never fetched.
  zipdir::Entry folder;
  folder.name = "f/";
  folder.localHeader = 150;
  directory.entries.push_back(folder);
  using Ranges = std::vector<delta::ByteRange>;
  const struct {
    std::vector<bool> take;  // d a b c e f/ (a folder at 150)
    std::uint64_t gap;
    Ranges ranges;
  } cases[] = {
      {{false, false, false, false, false, false}, 0, {}},
      {{false, false, false, false, false, true}, 0, {}},
      {{false, true, true, false, false, true}, 0, {{0, 150}}},
      {{false, true, false, true, false, false}, 0, {{0, 100}, {200, 3000}}},
      {{false, true, false, true, false, false}, 99, {{0, 100}, {200, 3000}}},
      {{false, true, false, true, false, true}, 100, {{0, 3000}}},
      {{true, false, false, false, true, false}, 0, {{3000, 10000}}},
      {{false, false, false, true, true, false}, 5999, {{200, 3000}, {9000, 10000}}},
      {{false, false, false, true, true, false}, 6000, {{200, 10000}}},
      {{true, true, true, true, true, false}, 0, {{0, 150}, {200, 10000}}},
  };
  for (const auto& [take, gap, ranges] : cases) {
    auto plan = delta::planFetch(directory, take, gap);
    ASSERT_TRUE(std::holds_alternative<delta::FetchPlan>(plan));
    EXPECT_EQ(std::get<delta::FetchPlan>(plan).ranges, ranges) << "gap " << gap;
  }
  // Two entries at one place, or one whose local header starts within another's header and
  // data, cannot both be what they say.
  for (const std::uint64_t at : {9000, 9015}) {
    directory.entries[0].localHeader = at;
    EXPECT_TRUE(std::holds_alternative<std::string>(
        delta::planFetch(directory, {false, false, false, false, true, false})))
        << at;
  }
}

// The fetched ranges, one after the other, become an archive of exactly the chosen entries;
// a local header that disagrees with its central record is found.
TEST(DeltaPlan, FetchedRangesMakeAnArchiveOfTheChosenEntries) {
  TempDir folder;
  auto entries = sampleEntries();
  for (int i = 0; i < 40; ++i)
    entries.push_back(testing::file("App.app/many/" + std::to_string(i),
                                    testing::pseudoRandomBytes(5000 + 700 * i, i)));
  const std::string package = folder / "p.zip";
  testing::writeZip(package, entries);
  const std::string bytes = readFile(package);
  const auto directory = mustRead(bytes);
  std::vector<bool> take(directory.entries.size(), false);
  std::vector<ZipEntry> chosen;
  for (std::size_t i = 0; i < take.size(); ++i)
    if (i % 3 != 1) {
      take[i] = true;
      chosen.push_back(entries[i]);
    }
  for (const std::uint64_t gap : {std::uint64_t{0}, delta::kSwallowedGap}) {
    auto planned = delta::planFetch(directory, take, gap);
    ASSERT_TRUE(std::holds_alternative<delta::FetchPlan>(planned));
    const auto& plan = std::get<delta::FetchPlan>(planned);
    std::string fetched;
    for (const auto& range : plan.ranges) fetched += bytes.substr(range.first, range.size());
    const std::string archive = folder / "delta.zip";
    writeFile(archive, fetched);
    ASSERT_EQ(delta::finishArchive(archive, directory, plan), std::nullopt);
    const std::string made = folder / ("made-" + std::to_string(gap));
    const std::string expected = folder / ("expected-" + std::to_string(gap));
    ASSERT_TRUE(Zipwell::unzipFileAtPath(archive, made));
    testing::writeZip(folder / "expected.zip", chosen);
    ASSERT_TRUE(Zipwell::unzipFileAtPath(folder / "expected.zip", expected));
    std::vector<std::string> madeNames, expectedNames;
    for (const auto& entry : fs::recursive_directory_iterator(made)) {
      const auto relative = fs::relative(entry.path(), made).string();
      madeNames.push_back(relative);
      EXPECT_EQ(entry.is_symlink()     ? fs::read_symlink(entry).string()
                : entry.is_directory() ? ""
                                       : readFile(entry.path()),
                fs::is_symlink(expected + "/" + relative)
                    ? fs::read_symlink(expected + "/" + relative).string()
                : fs::is_directory(expected + "/" + relative) ? ""
                                                              : readFile(expected + "/" + relative))
          << relative;
    }
    for (const auto& entry : fs::recursive_directory_iterator(expected))
      expectedNames.push_back(fs::relative(entry.path(), expected).string());
    std::sort(madeNames.begin(), madeNames.end());
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(madeNames, expectedNames);

    // The same bytes with one local header renamed, or naming another CRC: the package is not
    // what it says.
    const std::size_t at = fetched.find("App.app/many/3");
    ASSERT_NE(at, std::string::npos);
    for (const std::size_t changed : {at + 13, at - 30 + 14}) {  // in the name, in the CRC
      std::string damaged = fetched;
      damaged[changed] ^= 1;
      writeFile(archive, damaged);
      EXPECT_NE(delta::finishArchive(archive, directory, plan), std::nullopt) << changed;
    }
  }
}

// Entries whose CRC and sizes follow their data, in each form writers use: the fetched data
// descriptor must name what the central record says.
TEST(DeltaPlan, DataDescriptorsAfterFetchedEntriesAreCheckedAgainstTheirRecords) {
  TempDir folder;
  const std::string signature("PK\x07\x08", 4);
  const auto le = [](std::uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
  };
  std::string bytes, records;
  std::vector<zipdir::Entry> entries;
  std::vector<std::size_t> descriptorAt;
  int number = 0;
  for (const auto& [withSignature, sizeBytes] : {std::pair{true, 4}, {false, 4}, {true, 8}}) {
    zipdir::Entry entry;
    entry.name = "App.app/" + std::to_string(number);
    const std::string data = testing::pseudoRandomBytes(300 + 100 * number, number);
    ++number;
    entry.versionNeeded = 20;
    entry.flags = 0x0008;
    entry.crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    entry.compressedSize = entry.uncompressedSize = data.size();
    entry.storedCompressedSize = entry.storedUncompressedSize = data.size();
    entry.externalAttributes = 0100644u << 16;
    entry.localHeader = bytes.size();
    zipdir::Entry local = entry;  // writers leave the header's CRC and sizes 0
    local.crc = 0;
    local.storedCompressedSize = local.storedUncompressedSize = 0;
    bytes += zipdir::localHeaderOf(local) + data;
    descriptorAt.push_back(bytes.size() + (withSignature ? 4 : 0));
    bytes += (withSignature ? signature : "") + le(entry.crc, 4) + le(data.size(), sizeBytes) +
             le(data.size(), sizeBytes);
    entries.push_back(entry);
  }
  for (const auto& entry : entries) records += zipdir::centralRecord(entry, entry.localHeader);
  const std::string archive = bytes + records + zipdir::endRecords(3, bytes.size(), records.size());
  const auto directory = mustRead(archive);
  ASSERT_EQ(directory.entries.size(), 3u);
  auto planned = delta::planFetch(directory, {true, true, true});
  ASSERT_TRUE(std::holds_alternative<delta::FetchPlan>(planned));
  const auto& plan = std::get<delta::FetchPlan>(planned);
  ASSERT_EQ(plan.ranges, std::vector<delta::ByteRange>({{0, bytes.size()}}));

  const std::string made = folder / "delta.zip";
  writeFile(made, bytes);
  ASSERT_EQ(delta::finishArchive(made, directory, plan), std::nullopt);
  ASSERT_TRUE(Zipwell::unzipFileAtPath(made, folder / "made"));
  EXPECT_EQ(readFile(folder / "made/App.app/2").size(), 500u);
  // Another CRC, or another size, in any one descriptor: the package is not what it says.
  for (const std::size_t at : descriptorAt)
    for (const std::size_t field : {std::size_t{0}, std::size_t{4}}) {
      std::string changed = bytes;
      changed[at + field] ^= 1;
      writeFile(made, changed);
      const auto problem = delta::finishArchive(made, directory, plan);
      ASSERT_NE(problem, std::nullopt) << at << "+" << field;
      EXPECT_NE(problem->find("data descriptor"), std::string::npos) << *problem;
    }
}

// However steadily a server trickles out the package's tail and directory, they must come within
// their deadline; otherwise the update takes the whole package (a reason, not a refusal).
TEST(DeltaFetch, ATailAndDirectoryThatTrickleInAreGivenUpAtTheirDeadline) {
  TempDir folder;
  const std::string package = folder.path() + "/p.zip";
  testing::writeZip(package, sampleEntries());
  testing::ServedPackage served(readFile(package), "\"v1\"");
  served.piece = 4096;
  served.pause = std::chrono::milliseconds(500);  // 8 KiB/s, above the speed floor
  testing::LocalHttpServer server;
  server.servePackage("/p.zip", served);
  DownloadOptions options;
  options.directoryDeadline = std::chrono::seconds(1);
  delta::LocalManifest manifest;
  manifest.version = 1;
  bool refused = true;
  const auto started = std::chrono::steady_clock::now();
  const auto fetched = delta::fetchChangedEntries(*platform::Url::parse(server.url("/p.zip")),
                                                  manifest, folder.path(), folder.path() + "/c.zip",
                                                  options, nullptr, refused);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  ASSERT_TRUE(std::holds_alternative<std::string>(fetched));
  EXPECT_EQ(std::get<std::string>(fetched),
            "the package's central directory did not arrive within 1 s");
  EXPECT_FALSE(refused);
}

// Names thousands of folders deep would make the comparison with the install keep gigabytes of
// folder names: the update takes the whole package instead, whose extraction has no such cost.
TEST(DeltaFetch, PathsTooDeepToCompareTakeTheWholePackage) {
  std::string deep;
  for (int level = 0; level < 2000; ++level) deep += "a/";
  std::vector<ZipEntry> entries;
  for (int index = 0; index < 40; ++index)
    entries.push_back(testing::file("p" + std::to_string(index) + "/" + deep + "f", "x"));
  testing::LocalHttpServer server;
  server.servePackage("/p.zip", testing::ServedPackage(testing::zipBytes(entries), "\"v1\""));
  TempDir folder;
  delta::LocalManifest manifest;
  manifest.version = 1;
  bool refused = true;
  const auto fetched = delta::fetchChangedEntries(*platform::Url::parse(server.url("/p.zip")),
                                                  manifest, folder.path(), folder.path() + "/c.zip",
                                                  DownloadOptions{}, nullptr, refused);
  ASSERT_TRUE(std::holds_alternative<std::string>(fetched));
  EXPECT_EQ(std::get<std::string>(fetched),
            "the package's paths are too many or too deep to compare with the install");
  EXPECT_FALSE(refused);
}

// A server that ignores If-Range answers a later range from the package it has now, under that
// package's validator: the update takes the whole package instead of mixing two.
TEST(DeltaFetch, ARangeOfAnotherVersionOfThePackageIsGivenUp) {
  std::vector<ZipEntry> entries;  // a directory too large to come with the tail
  for (int index = 0; index < 2000; ++index)
    entries.push_back(testing::file("App.app/" + std::string(60, 'n') + std::to_string(index), ""));
  const std::string bytes = testing::zipBytes(entries);
  // The ranges after the tail come under another ETag, or with another size under the same one
  // (a package replaced within the second of its date); or no answer names a validator at all.
  const struct {
    const char* title;
    const char* laterTag;  // nullptr: no ETag, the tail's neither
    std::uint64_t laterGrowth;
    const char* reason;
  } cases[] = {
      {"another ETag", "\"v2\"", 0, "the package changed during the update"},
      {"another size", "\"v1\"", 1, "the package changed during the update"},
      {"no validator", nullptr, 0,
       "the server names no validator (ETag or Last-Modified) for the package"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    testing::LocalHttpServer server;
    server.handle("/p.zip", [&](const httplib::Request& request, httplib::Response& response) {
      const std::string range = request.get_header_value("Range");
      const bool tail = range.starts_with("bytes=-");
      const std::uint64_t size = bytes.size();
      std::uint64_t first = 0;
      std::uint64_t last = size - 1;
      if (tail) {
        first = size - std::min<std::uint64_t>(std::stoull(range.substr(7)), size);
      } else {
        first = std::stoull(range.substr(6));
        last = std::stoull(range.substr(range.find('-') + 1));
      }
      response.status = 206;
      if (c.laterTag != nullptr) response.set_header("ETag", tail ? "\"v1\"" : c.laterTag);
      response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                               std::to_string(last) + "/" +
                                               std::to_string(tail ? size : size + c.laterGrowth));
      response.set_content(bytes.substr(first, last - first + 1), "application/zip");
    });
    TempDir folder;
    delta::LocalManifest manifest;
    manifest.version = 1;
    bool refused = true;
    const auto fetched = delta::fetchChangedEntries(
        *platform::Url::parse(server.url("/p.zip")), manifest, folder.path(),
        folder.path() + "/c.zip", DownloadOptions{}, nullptr, refused);
    ASSERT_TRUE(std::holds_alternative<std::string>(fetched));
    EXPECT_EQ(std::get<std::string>(fetched), c.reason);
    EXPECT_FALSE(refused);
  }
}

// The changed entries, and the directory written after them, leave as much free on the temporary
// folder's file system as the whole download leaves on the install folder's; when they would not,
// nothing is fetched and the update takes the whole package (a reason, not a refusal).
TEST(DeltaFetch, LeavesRoomFreeOnTheTemporaryFolderFileSystem) {
  constexpr std::size_t kMiB = std::size_t{1024} * 1024;
  const testing::ScratchFileSystem small(24 * kMiB);
  if (!small.mounted()) GTEST_SKIP() << small.reason();
  ASSERT_LT(HttpDownloader::kKeepFreeBytes + 4 * kMiB, 24 * kMiB);
  const std::string unchanged = testing::pseudoRandomBytes(16 * kMiB, 2);
  for (const auto& [changed, fits] : {std::pair{4 * kMiB, true}, {12 * kMiB, false}}) {
    SCOPED_TRACE(changed);
    const std::string bytes =
        testing::zipBytes({testing::file("a", testing::pseudoRandomBytes(changed, 1)).stored(),
                           testing::file("b", unchanged).stored()});
    const auto directory = mustRead(bytes);
    TempDir folder;
    std::ofstream(folder / "b").close();
    // Only its size and time are compared; the time is the one its entry gives.
    fs::resize_file(folder / "b", unchanged.size());
    ASSERT_TRUE(platform::setModificationDate(
        folder / "b", Zipwell::dateWithMSDOSFormat(directory.entries[1].dosDate)));
    const auto manifest = delta::manifestOf(folder.path(), 1, directory.entries, {});
    ASSERT_TRUE(manifest.rows.contains("b"));
    testing::LocalHttpServer server;
    server.servePackage("/p.zip", testing::ServedPackage(bytes, "\"v1\""));
    const std::string archive = small / "changed-entries.zip";
    bool refused = true;
    const auto fetched =
        delta::fetchChangedEntries(*platform::Url::parse(server.url("/p.zip")), manifest,
                                   folder.path(), archive, DownloadOptions{}, nullptr, refused);
    EXPECT_FALSE(refused);
    if (fits) {
      ASSERT_TRUE(std::holds_alternative<delta::Fetched>(fetched))
          << std::get<std::string>(fetched);
      EXPECT_EQ(std::get<delta::Fetched>(fetched).entries, 1u);
      fs::remove(archive);
    } else {
      ASSERT_TRUE(std::holds_alternative<std::string>(fetched));
      EXPECT_NE(std::get<std::string>(fetched).find("but only"), std::string::npos)
          << std::get<std::string>(fetched);
      EXPECT_FALSE(fs::exists(archive));
    }
  }
}

// A package of two stored entries, "a" (64 KiB, changed) and "b" (256 KiB), of which `folder`
// holds "b" as installed; and the manifest of that install.
struct OneChangedEntry {
  std::string bytes;
  delta::LocalManifest manifest;
};

OneChangedEntry oneChangedEntry(const TempDir& folder) {
  const std::string unchanged = testing::pseudoRandomBytes(256 * 1024, 2);
  OneChangedEntry made;
  made.bytes =
      testing::zipBytes({testing::file("a", testing::pseudoRandomBytes(64 * 1024, 1)).stored(),
                         testing::file("b", unchanged).stored()});
  const auto directory = mustRead(made.bytes);
  writeFile(folder / "b", unchanged);
  EXPECT_TRUE(platform::setModificationDate(
      folder / "b", Zipwell::dateWithMSDOSFormat(directory.entries[1].dosDate)));
  made.manifest = delta::manifestOf(folder.path(), 1, directory.entries, {});
  return made;
}

// The changed entry of oneChangedEntry's package at "/p.zip" on `server` is fetched, alone, into
// `folder`/c.zip.
void expectOneEntryFetched(const testing::LocalHttpServer& server, const TempDir& folder,
                           const delta::LocalManifest& manifest, const DownloadOptions& options) {
  bool refused = true;
  const auto fetched =
      delta::fetchChangedEntries(*platform::Url::parse(server.url("/p.zip")), manifest,
                                 folder.path(), folder / "c.zip", options, nullptr, refused);
  ASSERT_TRUE(std::holds_alternative<delta::Fetched>(fetched)) << std::get<std::string>(fetched);
  EXPECT_EQ(std::get<delta::Fetched>(fetched).entries, 1u);
}

// The bytes [first, last] a range request asks of a package of `size` bytes.
std::pair<std::uint64_t, std::uint64_t> askedRange(const httplib::Request& request,
                                                   std::uint64_t size) {
  const std::string range = request.get_header_value("Range");
  if (range.starts_with("bytes=-"))
    return {size - std::min<std::uint64_t>(std::stoull(range.substr(7)), size), size - 1};
  return {std::stoull(range.substr(6)), std::stoull(range.substr(range.find('-') + 1))};
}

// An answer without a length ends when the server closes the connection. One that ends before
// its range does is taken up again from where it ended, as a cut transfer is.
TEST(DeltaFetch, AnAnswerWithoutALengthThatEndsEarlyIsTakenUpAgain) {
  TempDir folder;
  // Named, not bound: clang 14 captures no structured binding in the server's handler.
  const OneChangedEntry entry = oneChangedEntry(folder);
  const std::string& bytes = entry.bytes;
  std::mutex mutex;
  std::vector<std::string> asked;
  testing::LocalHttpServer server;
  server.handle("/p.zip", [&](const httplib::Request& request, httplib::Response& response) {
    const auto [first, last] = askedRange(request, bytes.size());
    bool cut = false;
    {
      const std::lock_guard lock(mutex);
      asked.push_back(request.get_header_value("Range"));
      cut = asked.size() == 2;  // the first range after the tail
    }
    std::string body = bytes.substr(first, last - first + 1);
    response.status = 206;
    response.set_header("ETag", "\"v1\"");
    response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                             std::to_string(last) + "/" +
                                             std::to_string(bytes.size()));
    if (!cut) return response.set_content(body, "application/zip");
    // Without a length, half the range, then the connection closes (after about 1 s).
    body.resize(body.size() / 2);
    response.set_content_provider("application/zip", [body](std::size_t, httplib::DataSink& sink) {
      sink.write(body.data(), body.size());
      sink.done();
      return true;
    });
  });
  DownloadOptions options;
  options.retryPause = std::chrono::milliseconds(0);
  expectOneEntryFetched(server, folder, entry.manifest, options);
  ASSERT_EQ(asked.size(), 3u);
  const auto cutRange = asked[1].substr(6);
  const std::uint64_t cutFirst = std::stoull(cutRange);
  const std::uint64_t cutLast = std::stoull(cutRange.substr(cutRange.find('-') + 1));
  EXPECT_EQ(asked[2], "bytes=" + std::to_string(cutFirst + (cutLast - cutFirst + 1) / 2) + "-" +
                          std::to_string(cutLast));
  ASSERT_TRUE(Zipwell::unzipFileAtPath(folder / "c.zip", folder / "made"));
  EXPECT_EQ(readFile(folder / "made/a"), testing::pseudoRandomBytes(64 * 1024, 1));
}

// Fetched bytes that cannot be written (here a full disk) are given up naming the archive and
// the system's reason; the update then takes the whole package (a reason, not a refusal).
TEST(DeltaFetch, BytesThatCannotBeWrittenAreGivenUpWithTheReason) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
  TempDir folder;
  const auto [bytes, manifest] = oneChangedEntry(folder);
  testing::LocalHttpServer server;
  server.servePackage("/p.zip", testing::ServedPackage(bytes, "\"v1\""));
  bool refused = true;
  const auto fetched =
      delta::fetchChangedEntries(*platform::Url::parse(server.url("/p.zip")), manifest,
                                 folder.path(), "/dev/full", DownloadOptions{}, nullptr, refused);
  EXPECT_FALSE(refused);
  ASSERT_TRUE(std::holds_alternative<std::string>(fetched));
  EXPECT_EQ(std::get<std::string>(fetched),
            "cannot write \"/dev/full\": " + platform::describeErrno(ENOSPC));
}

// While a changed entry's bytes do not come, the bar hears again of what it has, so that the
// speed it shows can fall. libcurl looks in about once a second while nothing arrives.
TEST(DeltaFetch, TheBarHearsOfAStall) {
  TempDir folder;
  const auto [bytes, manifest] = oneChangedEntry(folder);
  testing::ServedPackage served(bytes, "\"v1\"");
  served.piece = 64 * 1024;
  served.pause = std::chrono::milliseconds(1200);  // before each piece of 64 KiB
  testing::LocalHttpServer server;
  server.servePackage("/p.zip", served);
  DownloadOptions options;
  options.quietReport = std::chrono::milliseconds(20);
  std::vector<std::uint64_t> reports;
  options.progress = [&](std::uint64_t received, std::optional<std::uint64_t>) {
    reports.push_back(received);
  };
  expectOneEntryFetched(server, folder, manifest, options);
  EXPECT_NE(std::adjacent_find(reports.begin(), reports.end()), reports.end())
      << "no report while the server waited";
  ASSERT_FALSE(reports.empty());
  EXPECT_GT(reports.back(), 64u * 1024);
}

// ==== The publisher's signed manifest ===========================================================

// The manifest of a package lists every entry, folders included, with its size, attributes and
// date; read back it is the same, and it describes that package's directory exactly. A directory
// that differs from it in anything the update takes from the directory is refused.
TEST(SignedManifest, NamesEveryEntryWithItsModeAndDate) {
  TempDir folder;
  const std::string path = folder / "package.zip";
  testing::writeZip(path, sampleEntries());
  auto digests = delta::digestEntries(path);
  ASSERT_TRUE(std::holds_alternative<delta::PackageManifest>(digests))
      << std::get<std::string>(digests);
  const auto& manifest = std::get<delta::PackageManifest>(digests);
  ASSERT_EQ(manifest.size(), sampleEntries().size());
  EXPECT_EQ(manifest.at("App.app/AppRun").attributes >> 16, 0100755u);
  EXPECT_EQ(delta::parsePackageManifest(delta::packageManifestText(manifest)), manifest);

  const zipdir::Directory directory = mustRead(readFile(path));
  EXPECT_EQ(delta::manifestMismatch(manifest, directory), std::nullopt);
  const std::vector<std::pair<const char*, std::function<void(zipdir::Directory&)>>> changes = {
      {"a mode", [](zipdir::Directory& d) { d.entries[1].externalAttributes = 0104777u << 16; }},
      {"a date", [](zipdir::Directory& d) { d.entries[2].dosDate += 1; }},
      {"a size", [](zipdir::Directory& d) { d.entries[3].uncompressedSize += 1; }},
      {"a folder left out", [](zipdir::Directory& d) { d.entries.erase(d.entries.begin()); }},
      {"an entry added",
       [](zipdir::Directory& d) {
         d.entries.push_back(d.entries[1]);
         d.entries.back().name += "2";
       }},
      {"an entry named twice in place of another",
       [](zipdir::Directory& d) { d.entries[2] = d.entries[3]; }},
  };
  for (const auto& [what, change] : changes) {
    zipdir::Directory changed = directory;
    change(changed);
    EXPECT_NE(delta::manifestMismatch(manifest, changed), std::nullopt) << what;
  }
  // Lines that are not the manifest's are refused.
  for (const std::string& line :
       {std::string("abc 1 00000000 00000000 a\n"), std::string(64, 'a') + " 1 0 0 a\n",
        std::string(64, 'a') + " 1 00000000 00000000\n"})
    EXPECT_FALSE(delta::parsePackageManifest(line)) << line;
}

// A manifest larger than the launcher reads is given up, saying so, and the update takes the
// whole package; one of exactly that size is read, and only its missing signature stops it. So
// is a signature larger than the launcher reads; a large error page is told by its status.
TEST(SignedManifest, OneLargerThanTheLauncherReadsIsGivenUpSayingSo) {
  const auto keys = minisign::generateKeyPair("test");
  ASSERT_TRUE(keys) << keys.error();
  testing::LocalHttpServer server;
  TempDir folder;
  constexpr std::size_t kSignatureLimit = 16 * 1024;
  struct Case {
    std::size_t size;
    int signatureStatus;  // 0: no signature at all
    std::size_t signatureSize;
    std::string reason;
  };
  const Case cases[] = {
      {delta::kMaxSignedManifestBytes + 1, 0, 0,
       "cannot fetch the signed manifest: the answer holds more than 67,108,864 bytes"},
      {delta::kMaxSignedManifestBytes, 0, 0,
       "cannot fetch the manifest's signature: HTTP status 404"},
      {1, 200, kSignatureLimit + 1,
       "cannot fetch the manifest's signature: the answer holds more than 16,384 bytes"},
      {1, 404, kSignatureLimit + 1, "cannot fetch the manifest's signature: HTTP status 404"},
  };
  for (const auto& [size, signatureStatus, signatureSize, reason] : cases) {
    server.answer("/p.zip.manifest", 200, std::string(size, 'a'));
    if (signatureStatus != 0)
      server.answer("/p.zip.manifest.minisig", signatureStatus, std::string(signatureSize, 's'));
    const auto fetched = delta::fetchSignedManifest(server.url("/p.zip.manifest"),
                                                    keys->publicKeyLine, 1, folder / "m");
    ASSERT_TRUE(std::holds_alternative<std::string>(fetched)) << size;
    EXPECT_TRUE(std::get<std::string>(fetched).starts_with(reason))
        << std::get<std::string>(fetched);
  }
}

}  // namespace
}  // namespace launcher
