#include "Zipwell/Zipwell.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Launcher/platform/Console.h"
#include "Launcher/platform/Text.h"
#include "Zipwell/Beneath.h"
#include "Zipwell/ZipDirectory.h"
#include "tests/support/Capabilities.h"
#include "tests/support/CaptureFd.h"
#include "tests/support/ScratchFileSystem.h"
#include "tests/support/TestFolders.h"
#include "tests/support/UserLocale.h"
#include "tests/support/ZipWriter.h"

namespace launcher::platform {
void PrintTo(const ErrorRecord& record, std::ostream* out) {
  *out << "{" << record.domain << ", " << record.code << ", \"" << record.description << "\"}";
}
}  // namespace launcher::platform

namespace launcher {

// Not 0, every folder named "full" that this test program makes fails with it, as on a disk or
// within a quota that has no room left, and so does every opening of an archive named "full.zip".
// See mkdirat and fopen64 below.
std::atomic<int> failFullFoldersWith = 0;

namespace {

namespace fs = std::filesystem;
using platform::ErrorRecord;
using testing::dosDateTime;
using testing::localTime;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using testing::zipBytes;
using testing::ZipEntry;

// An extraction's result, error value and diagnostic log.
struct Outcome {
  bool result = false;
  std::optional<ErrorRecord> error;
  std::string log;
};

Outcome extract(const std::string& archive, const std::string& destination, bool overwrite = true,
                const std::optional<std::string>& password = std::nullopt) {
  Outcome outcome;
  outcome.error = ErrorRecord{"stale", 99, "left from before"};  // must be replaced or cleared
  testing::CaptureFd stderrCapture(2);
  outcome.result =
      Zipwell::unzipFileAtPath(archive, destination, overwrite, password, &outcome.error);
  outcome.log = stderrCapture.finish();
  return outcome;
}

struct stat statOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info;
}
std::time_t mtimeOf(const std::string& path) {
  return statOf(path).st_mtime;
}
mode_t permissionsOf(const std::string& path) {
  return statOf(path).st_mode & 07777;
}

std::time_t seconds(platform::FileTime time) {
  return std::chrono::system_clock::to_time_t(time);
}

// Everything below `folder`, relative to it, sorted; links marked with "@".
std::vector<std::string> treeOf(const std::string& folder) {
  std::vector<std::string> items;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it)
    items.push_back(it->path().lexically_relative(folder).string() + (it->is_symlink() ? "@" : ""));
  std::sort(items.begin(), items.end());
  return items;
}

// A link entry as Unix archivers store it: the target as the data, S_IFLNK in the mode.
ZipEntry link(std::string name, std::string target) {
  return testing::file(std::move(name), std::move(target)).withMode(0120777);
}

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t saved_;
};

// Extractions on `count` threads while the object lives; then as many as the machine has.
class ScopedThreadCount {
 public:
  explicit ScopedThreadCount(unsigned count) { Zipwell::setThreadCount(count); }
  ~ScopedThreadCount() { Zipwell::setThreadCount(0); }
  ScopedThreadCount(const ScopedThreadCount&) = delete;
  ScopedThreadCount& operator=(const ScopedThreadCount&) = delete;
};

// Every case runs on one thread (the walk in entry order) and on several, shared entries.
class ZipwellTest : public ::testing::TestWithParam<unsigned> {
 protected:
  void make(const std::vector<ZipEntry>& entries) { testing::writeZip(archive, entries); }
  bool walksInOrder() const { return GetParam() == 1; }
  ScopedThreadCount threads{GetParam()};
  TempDir root;
  std::string archive = root / "package.zip";
  std::string dest = root / "out";
};

INSTANTIATE_TEST_SUITE_P(Threads, ZipwellTest, ::testing::Values(1u, 2u, 4u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           return std::to_string(info.param) + "Threads";
                         });

constexpr std::uint32_t kDate = dosDateTime(2021, 6, 15, 12, 30, 10);
const std::time_t kDateSeconds = localTime(2021, 6, 15, 12, 30, 10);

// --- Archives that cannot be read at all -----------------------------------------------------

TEST_P(ZipwellTest, UnreadableArchivesTouchNothing) {
  writeFile(root / "notes.zip", "this is not an archive");
  // minizip finds no end record at offset 0, so an archive without entries gets a stub before it.
  writeFile(root / "empty.zip", "stub" + zipBytes({}));
  testing::writeZip(root / "broken.zip", {testing::file("a.txt", "a")});
  testing::flipByteOf(root / "broken.zip", "PK\x01\x02");  // central directory record
  testing::writeZip(root / "cut.zip",
                    {testing::file("a.txt", testing::pseudoRandomBytes(20000, 1))});
  testing::truncateFile(root / "cut.zip", fs::file_size(root / "cut.zip") / 2);
  // minizip still reads the first record when the end record counts none.
  std::string uncounted = zipBytes({testing::file("a.txt", "a")});
  uncounted.replace(uncounted.size() - 14, 4, std::string(4, '\0'));
  writeFile(root / "uncounted.zip", uncounted);
  // A local header whose extra field claims 20 bytes more than it has: the entry's data then
  // runs into the central directory.
  std::string intoDirectory = zipBytes({testing::file("a.txt", std::string(100, 'a')).stored()});
  intoDirectory[28] = static_cast<char>(intoDirectory[28] + 20);
  writeFile(root / "into-directory.zip", intoDirectory);
  // minizip takes a ZIP64 locator from anywhere in the archive's last bytes, its comment
  // included: there one points at a ZIP64 end record that counts one entry of the three.
  std::string misled = zipBytes(
      {testing::file("a.txt", "a"), testing::file("b.txt", "b"), testing::file("c.txt", "c")});
  const std::size_t endRecord = misled.size() - 22;
  std::uint32_t directory = 0;
  for (std::size_t at = endRecord + 20; at-- > endRecord + 16;)
    directory = directory << 8 | static_cast<unsigned char>(misled[at]);
  const std::size_t comment = zipdir::kZip64EndRecordBytes + zipdir::kZip64LocatorBytes;
  misled[endRecord + 20] = static_cast<char>(comment);
  misled += zipdir::endRecords(1, directory, misled.size() - directory).substr(0, comment);
  writeFile(root / "misled.zip", misled);
  const struct {
    std::string archive;
    long code;
    const char* description;
  } cases[] = {
      {root / "missing.zip", -1, "failed to open zip file"},
      {root / "notes.zip", -1, "failed to open zip file"},
      {root / "cut.zip", -1, "failed to open zip file"},  // its end record is gone
      {root / "empty.zip", -2, "failed to open first file in zip file"},
      {root / "broken.zip", -2, "failed to open first file in zip file"},
      {root / "uncounted.zip", Zipwell::kDamagedArchive,
       "the archive is damaged: its directory lists no entries"},
      {root / "into-directory.zip", Zipwell::kDamagedArchive,
       "the archive is damaged: entry 1 runs into the directory"},
      {root / "misled.zip", Zipwell::kDamagedArchive,
       "the archive is damaged: its end records disagree on how many entries it holds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.archive);
    const Outcome outcome = extract(c.archive, dest);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error, (ErrorRecord{"ZipwellErrorDomain", c.code, c.description}));
    EXPECT_FALSE(fs::exists(dest));
  }
}

// minizip walks the directory a ZIP64 locator in the comment points at. There the package's one
// entry has the same record but another entry's bytes, which are never written.
TEST_P(ZipwellTest, EntriesThatAreNotTheOnesJudgedAreNeverWritten) {
  const std::string two = zipBytes({testing::file("a.txt", "a"), testing::file("a.txt", "b")});
  const auto location =
      std::get<zipdir::DirectoryLocation>(zipdir::locateDirectory(two, two.size()));
  const auto entries =
      std::get<zipdir::Directory>(
          zipdir::parseDirectory(std::string_view(two).substr(location.offset, location.size),
                                 location))
          .entries;
  std::string bytes = two.substr(0, location.offset);  // both entries' headers and data
  const std::string judged = zipdir::centralRecord(entries[0], entries[0].localHeader);
  const std::string other = zipdir::centralRecord(entries[1], entries[1].localHeader);
  const std::size_t zip64Bytes = zipdir::kZip64EndRecordBytes + zipdir::kZip64LocatorBytes;
  std::string end = zipdir::endRecords(1, bytes.size(), judged.size()).substr(zip64Bytes);
  end[20] = static_cast<char>(other.size() + zip64Bytes);  // the comment's length
  const std::uint64_t otherAt = bytes.size() + judged.size() + end.size();
  bytes += judged + end + other;
  bytes += zipdir::endRecords(1, otherAt, other.size()).substr(0, zip64Bytes);
  writeFile(archive, bytes);

  const Outcome outcome = extract(archive, dest);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.error,
            (ErrorRecord{"ZipwellErrorDomain", Zipwell::kDamagedArchive,
                         "the archive is damaged: entry 1 does not match its directory"}));
  EXPECT_FALSE(fs::exists(dest + "/a.txt"));
}

// --- Entry names to paths --------------------------------------------------------------------

TEST_P(ZipwellTest, EntryNamesBecomePathsUnderTheDestination) {
  const struct {
    const char* name;
    const char* path;  // relative to the destination
  } cases[] = {
      {"docs\\readme.txt", "docs/readme.txt"},
      {"/rooted.txt", "rooted.txt"},
      {"//a//b///c.txt", "a/b/c.txt"},
      {"./here/./x.txt", "here/x.txt"},
  };
  std::vector<ZipEntry> entries;
  for (const auto& c : cases) entries.push_back(testing::file(c.name, c.name));
  entries.push_back(testing::directory("win\\folder\\"));
  make(entries);

  const Outcome outcome = extract(archive, dest);
  EXPECT_TRUE(outcome.result) << outcome.log;
  EXPECT_EQ(outcome.error, std::nullopt);
  for (const auto& c : cases) EXPECT_EQ(readFile(dest + "/" + c.path), c.name) << c.name;
  EXPECT_TRUE(fs::is_directory(dest + "/win/folder"));
  EXPECT_EQ(fs::directory_iterator(dest + "/win/folder"), fs::directory_iterator());
}

// --- Archives refused before anything is written -------------------------------------------

TEST_P(ZipwellTest, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
  constexpr const char* kOutside = "[Zipwell] Refused entry outside the destination: ";
  constexpr const char* kControl = "[Zipwell] Refused entry with a control character in its name: ";
  // Longer than a path may be below the destination: a thread that opens the entry's folder in
  // one call cannot reach what a walk one folder at a time makes.
  std::string tooLong = "deep/";
  for (int i = 0; i < 2100; ++i) tooLong += "a/";
  tooLong += "x.txt";
  const struct {
    std::string name;
    long code;
    std::string shown;  // as the log line and the description show it
    const char* line;
  } cases[] = {
      {"../escape.txt", Zipwell::kOutsideDestination, "../escape.txt", kOutside},
      {"a/../../escape.txt", Zipwell::kOutsideDestination, "a/../../escape.txt", kOutside},
      {"..\\escape.txt", Zipwell::kOutsideDestination, "../escape.txt", kOutside},
      {"bad\x1b[2Jname.txt", Zipwell::kControlCharacterName, "bad\\x1b[2Jname.txt", kControl},
      {"two\nlines.txt", Zipwell::kControlCharacterName, "two\\nlines.txt", kControl},
      {"del\x7f.txt", Zipwell::kControlCharacterName, "del\\x7f.txt", kControl},
      {tooLong, Zipwell::kOutsideDestination, tooLong,
       "[Zipwell] Refused entry whose path is longer than the system allows: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    TempDir folder;
    // A harmless entry first: nothing of it may be written either.
    testing::writeZip(folder / "p.zip",
                      {testing::file("kept.txt", "kept"), testing::file(c.name, "x")});
    const Outcome outcome = extract(folder / "p.zip", folder / "out");
    EXPECT_FALSE(outcome.result);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, c.code);
    EXPECT_NE(outcome.error->description.find("entry \"" + c.shown + "\""), std::string::npos)
        << outcome.error->description;
    EXPECT_NE(outcome.log.find(c.line + c.shown + "\n"), std::string::npos) << outcome.log;
    EXPECT_EQ(treeOf(folder.path()), std::vector<std::string>{"p.zip"});
  }
}

TEST_P(ZipwellTest, EntriesSharingBytesAreRefusedBeforeAnythingIsWritten) {
  // Many names for one compressed stream: a small package that would write gigabytes.
  const std::string bomb = root / "bomb.zip";
  testing::writeZip(bomb, {testing::file("first.txt", "first"),
                           testing::file("bomb0.bin", std::string(1 << 20, '\0'))});
  for (const char* copy : {"bomb1.bin", "bomb2.bin", "bomb3.bin"})
    testing::addCentralRecordCopy(bomb, "bomb0.bin", copy);
  // An entry whose local header and data lie inside another entry's stored data.
  const std::string hidden = root / "hidden.zip";
  testing::writeZip(
      hidden,
      {testing::file("first.txt", "first"),
       testing::file("outer.bin", zipBytes({testing::file("inner.txt", "x").stored()})).stored()});
  const std::string bytes = readFile(hidden);
  const std::size_t innerHeader = bytes.find("PK\x03\x04", bytes.find("outer.bin"));
  testing::addCentralRecordCopy(hidden, "inner.txt", "inner.txt",
                                static_cast<std::uint32_t>(innerHeader));

  for (const std::string& package : {bomb, hidden}) {
    SCOPED_TRACE(package);
    const Outcome outcome = extract(package, dest);
    EXPECT_FALSE(outcome.result);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, Zipwell::kOverlappingEntries);
    EXPECT_NE(outcome.error->description.find("share the same bytes of the archive"),
              std::string::npos);
    EXPECT_NE(outcome.log.find("[Zipwell] Refused overlapping entries: "), std::string::npos);
    EXPECT_FALSE(fs::exists(dest));
  }
}

TEST_P(ZipwellTest, UnsupportedAndEncryptedEntriesAreDescribed) {
  const struct {
    std::uint16_t method;
    std::uint16_t flags;
    long code;
    const char* description;
    std::uint64_t size = 0;  // the size its directory gives, when not its own
  } cases[] = {
      {0, 0, Zipwell::kUnsupportedMethod,
       "entry \"docs/odd.bin\" (4.3 GB) gives its sizes in ZIP64 fields, which cannot be "
       "unpacked: files must stay below 4 GiB and be written without them",
       (std::uint64_t{1} << 32) + 1},
      // Its own size, in the ZIP64 field as some writers give it from 2 GiB on or always.
      {0, 0, Zipwell::kUnsupportedMethod,
       "entry \"docs/odd.bin\" (3 bytes) gives its sizes in ZIP64 fields, which cannot be "
       "unpacked: files must stay below 4 GiB and be written without them",
       3},
      {12, 0, Zipwell::kUnsupportedMethod,
       "entry \"docs/odd.bin\" uses compression method 12 (bzip2), which is not supported"},
      {14, 0, Zipwell::kUnsupportedMethod,
       "entry \"docs/odd.bin\" uses compression method 14 (LZMA), which is not supported"},
      {6, 0, Zipwell::kUnsupportedMethod,
       "entry \"docs/odd.bin\" uses compression method 6, which is not supported"},
      {77, 0, Zipwell::kUnsupportedMethod,
       "entry \"docs/odd.bin\" uses compression method 77, which is not supported"},
      {99, 0, Zipwell::kEncryptedEntry, "entry \"docs/odd.bin\" is encrypted"},  // AES
      {0, 1, Zipwell::kEncryptedEntry, "entry \"docs/odd.bin\" is encrypted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    TempDir folder;
    testing::writeZip(folder / "p.zip", {testing::file("docs/a.txt", "a"),
                                         testing::file("docs/odd.bin", "odd").stored(),
                                         testing::file("docs/c.txt", "c")});
    testing::setEntryMethod(folder / "p.zip", "docs/odd.bin", c.method);
    testing::setEntryFlags(folder / "p.zip", "docs/odd.bin", c.flags);
    if (c.size != 0) {
      // The directory again, with a ZIP64 size for the entry.
      const std::string bytes = readFile(folder / "p.zip");
      const auto location =
          std::get<zipdir::DirectoryLocation>(zipdir::locateDirectory(bytes, bytes.size()));
      auto entries =
          std::get<zipdir::Directory>(
              zipdir::parseDirectory(std::string_view(bytes).substr(location.offset, location.size),
                                     location))
              .entries;
      std::string directory;
      for (auto& entry : entries) {
        if (entry.name == "docs/odd.bin") {
          entry.uncompressedSize = c.size;
          entry.storedUncompressedSize = 0xFFFFFFFF;
        }
        directory += zipdir::centralRecord(entry, entry.localHeader);
      }
      writeFile(folder / "p.zip",
                bytes.substr(0, location.offset) + directory +
                    zipdir::endRecords(entries.size(), location.offset, directory.size())
                        .substr(zipdir::kZip64EndRecordBytes + zipdir::kZip64LocatorBytes));
    }
    const Outcome outcome = extract(folder / "p.zip", folder / "out");
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error, (ErrorRecord{"ZipwellErrorDomain", c.code, c.description}));
    EXPECT_FALSE(fs::exists(folder / "out"));
  }
}

TEST(ZipwellSpace, PackageLargerThanTheFreeSpaceIsRefused) {
  testing::ScratchFileSystem small(64 << 20, 2000);
  if (!small.mounted()) GTEST_SKIP() << small.reason();
  TempDir folder;
  testing::writeZip(folder / "big.zip", {testing::file("big.bin", std::string(60'000'000, '\0'))});
  testing::writeZip(folder / "fits.zip", {testing::file("fits.bin", std::string(20'000'000, 'f'))});
  testing::writeZip(folder / "outer.zip",
                    {testing::file("pkg/big.zip", readFile(folder / "big.zip"))});

  // 60 MB, with 5 % and 16 MiB to spare, does not fit in 64 MiB; the sizes are written alike in
  // every locale.
  const testing::UserLocale decimalComma(LC_NUMERIC, "de_DE");
  if (!decimalComma.active()) std::cerr << "no locale with a decimal comma can be made here\n";
  Outcome outcome = extract(folder / "big.zip", small / "out");
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.error, (ErrorRecord{"ZipwellErrorDomain", Zipwell::kNotEnoughSpace,
                                        "the package needs 79.8 MB but only 67.1 MB is free"}));
  EXPECT_EQ(treeOf(small.path()), std::vector<std::string>{});

  // A folder takes a block at least, though its entry declares nothing: 8 deep names of empty
  // folders ask for 15,208 of them.
  std::string deep;
  for (int i = 0; i < 1900; ++i) deep += "a/";
  std::vector<ZipEntry> folders;
  for (int i = 0; i < 8; ++i)
    folders.push_back(testing::directory("b" + std::to_string(i) + "/" + deep));
  testing::writeZip(folder / "folders.zip", folders);
  // Every file takes an inode, however empty.
  std::vector<ZipEntry> files;
  for (int i = 0; i < 2000; ++i) files.push_back(testing::file("f" + std::to_string(i), ""));
  testing::writeZip(folder / "files.zip", files);
  const struct {
    const char* archive;
    const char* description;
  } refused[] = {
      {"folders.zip", "the package needs 79.1 MB but only 67.1 MB is free"},
      {"files.zip", "the package needs 2000 files and folders but only 1999 more fit"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.archive);
    outcome = extract(folder / c.archive, small / "out");
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error,
              (ErrorRecord{"ZipwellErrorDomain", Zipwell::kNotEnoughSpace, c.description}));
    EXPECT_NE(outcome.log.find("[Zipwell] Refused archive needing "), std::string::npos);
    EXPECT_EQ(treeOf(small.path()), std::vector<std::string>{});
  }

  // A nested archive is judged when it is reached.
  outcome = extract(folder / "outer.zip", small / "nested");
  EXPECT_FALSE(outcome.result);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, Zipwell::kNotEnoughSpace);
  EXPECT_TRUE(outcome.error->description.starts_with(
      "in the nested archive \"pkg/big.zip\": it needs 79.8 MB but only "))
      << outcome.error->description;
  EXPECT_EQ(treeOf(small / "nested"), (std::vector<std::string>{"pkg", "pkg/big.zip"}));

  // ... against what the package's own files leave: each half fits, the whole does not.
  testing::writeZip(
      folder / "halves.zip",
      {testing::file("inner.zip",
                     zipBytes({testing::file("half.bin", std::string(30'000'000, '\0'))})),
       testing::file("other-half.bin", std::string(30'000'000, '\0'))});
  outcome = extract(folder / "halves.zip", small / "halves");
  EXPECT_FALSE(outcome.result);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, Zipwell::kNotEnoughSpace) << outcome.error->description;
  EXPECT_TRUE(outcome.error->description.starts_with(
      "in the nested archive \"inner.zip\": it needs 48.3 MB but only "))
      << outcome.error->description;
  EXPECT_EQ(treeOf(small / "halves"), std::vector<std::string>{"inner.zip"});
  fs::remove_all(small / "halves");

  outcome = extract(folder / "fits.zip", small / "out");
  EXPECT_TRUE(outcome.result) << outcome.log;
  EXPECT_EQ(fs::file_size(small / "out/fits.bin"), 20'000'000u);
}

TEST_P(ZipwellTest, RefusalInsideANestedArchiveFailsTheExtraction) {
  const std::string inner = zipBytes({testing::file("../../nested-escape.txt", "x")});
  make({testing::file("pkg/inner.zip", inner), testing::file("pkg/later.txt", "later")});
  const Outcome outcome = extract(archive, dest);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.error,
            (ErrorRecord{"ZipwellErrorDomain", Zipwell::kOutsideDestination,
                         "in the nested archive \"pkg/inner.zip\": entry "
                         "\"../../nested-escape.txt\" leads outside the destination folder"}));
  EXPECT_EQ(treeOf(root.path()),
            (std::vector<std::string>{"out", "out/pkg", "out/pkg/inner.zip", "package.zip"}));
}

// --- Folders and dates -----------------------------------------------------------------------

TEST_P(ZipwellTest, MissingDestinationIsCreatedWithTheFirstEntrysDate) {
  make({testing::file("a.txt", "a").withDate(kDate)});
  const std::string deep = root / "new/deeper";
  EXPECT_TRUE(extract(archive, deep).result);
  EXPECT_EQ(readFile(deep + "/a.txt"), "a");
  EXPECT_EQ(mtimeOf(root / "new"), kDateSeconds);
}

// An entry may lie as deep as paths allow: its folders are made, and dated, with a couple of
// descriptors, not one per level (1,024 is the usual limit; here it is lowered below the depth).
TEST_P(ZipwellTest, FoldersOfADeepEntryAreMadeAndDatedWithFewDescriptors) {
  std::string name;
  for (int level = 0; level < 600; ++level) name += "d/";
  make({testing::file(name + "f", "deep").withDate(kDate)});
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 128);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const Outcome outcome = extract(archive, dest);
  ::setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_TRUE(outcome.result) << outcome.log;
  EXPECT_EQ(readFile(dest + "/" + name + "f"), "deep");
  EXPECT_EQ(mtimeOf(dest + "/d"), kDateSeconds);
  EXPECT_EQ(mtimeOf(dest + "/" + name.substr(0, 600)), kDateSeconds);
}

TEST_P(ZipwellTest, DirectoryEntriesGetTheirDatesBackAfterFilesAreWritten) {
  make({testing::directory("docs/").withDate(kDate), testing::directory("old/").withDate(0),
        testing::file("docs/a.txt", "a"), testing::file("old/b.txt", "b")});
  EXPECT_TRUE(extract(archive, dest).result);
  EXPECT_EQ(mtimeOf(dest + "/docs"), kDateSeconds);
  EXPECT_EQ(mtimeOf(dest + "/old"), localTime(1979, 11, 30));

  // A date that cannot be set on what another user owns is logged, folder and file alike, and
  // the extraction goes on to a true result.
  if (::geteuid() != 0) {
    std::cout << "skipped dates of another owner's items: only root can give one away\n";
    return;
  }
  const std::string theirs = root / "theirs";
  writeFile(theirs + "/shared/tool", "theirs");
  fs::permissions(theirs + "/shared/tool", fs::perms(0666));
  for (const std::string item : {"/shared", "/shared/tool"})
    ASSERT_EQ(::chown((theirs + item).c_str(), 65534, 65534), 0);
  make({testing::directory("shared/").withDate(kDate), testing::file("shared/tool", "ours")});
  Outcome outcome;
  {
    std::optional<testing::WithoutCapabilities> asUser;
    ASSERT_TRUE(asUser.emplace({CAP_FOWNER}).active());
    outcome = extract(archive, theirs);
  }
  EXPECT_TRUE(outcome.result) << outcome.log;
  EXPECT_EQ(readFile(theirs + "/shared/tool"), "ours");
  EXPECT_NE(outcome.log.find("[Zipwell] Failed to set attributes - whilst setting modification "
                             "date\n"),
            std::string::npos)
      << outcome.log;
  EXPECT_NE(outcome.log.find("[Zipwell] Set attributes failed for directory: " + theirs +
                             "/shared.\n[Zipwell] Error setting directory file modification "
                             "date attribute: "),
            std::string::npos)
      << outcome.log;
  EXPECT_NE(outcome.log.find("Operation not permitted"), std::string::npos) << outcome.log;
}

TEST_P(ZipwellTest, FileDatesComeFromTheEntryUnlessZero) {
  make({testing::file("dated.txt", "d").withDate(kDate),
        testing::file("undated.txt", "u").withDate(0)});
  // time() reads the clock of the last tick while the kernel may date a file from the finer
  // clock, a tick ahead: a second either side still tells the time of writing from any other.
  const std::time_t before = std::time(nullptr);
  EXPECT_TRUE(extract(archive, dest).result);
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(mtimeOf(dest + "/dated.txt"), kDateSeconds);
  EXPECT_GE(mtimeOf(dest + "/undated.txt"), before - 1);
  EXPECT_LE(mtimeOf(dest + "/undated.txt"), after + 1);
}

TEST(ZipwellDates, OutOfRangeFieldsCarryIntoTheNextUnit) {
  const struct {
    std::uint32_t dos;
    std::time_t expected;
  } cases[] = {
      {0, localTime(1979, 11, 30)},
      {dosDateTime(2021, 3, 0), localTime(2021, 2, 28)},
      {dosDateTime(2024, 3, 0), localTime(2024, 2, 29)},
      {dosDateTime(2021, 0, 15), localTime(2020, 12, 15)},
      {dosDateTime(2021, 13, 1), localTime(2022, 1, 1)},
      {dosDateTime(2023, 2, 30), localTime(2023, 3, 2)},
      {dosDateTime(2021, 12, 31, 25, 0, 0), localTime(2022, 1, 1, 1)},
      {dosDateTime(2021, 6, 15, 10, 63, 62), localTime(2021, 6, 15, 11, 4, 2)},
      {dosDateTime(2107, 12, 31, 23, 59, 58), localTime(2107, 12, 31, 23, 59, 58)},
  };
  for (const auto& c : cases)
    EXPECT_EQ(seconds(Zipwell::dateWithMSDOSFormat(c.dos)), c.expected) << std::hex << c.dos;
}

// The hour that the clocks go through twice is read as its first pass, whatever date was read
// before it: an entry gets the same date in every archive that holds it. So when summer time ends,
// and when a zone moves its standard offset back (Moscow in 2014, with no summer time either side);
// the hour that the clocks skip is read under the offset that follows it.
TEST(ZipwellDates, AnHourThatHappensTwiceIsAlwaysItsFirstPass) {
  const struct {
    const char* zone;
    std::uint32_t twice;
    std::time_t first;
    std::uint32_t skipped;
    std::time_t skippedAs;
  } cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3", dosDateTime(2023, 10, 29, 2, 30, 0),
       1698539400,  // 2023-10-29 00:30:00 UTC, still summer time
       dosDateTime(2023, 3, 26, 2, 30, 0), 1679794200},
      {"Europe/Moscow", dosDateTime(2014, 10, 26, 1, 30, 0),
       1414272600,  // 2014-10-25 21:30:00 UTC, still 4 hours ahead
       dosDateTime(2011, 3, 27, 2, 30, 0), 1301182200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone);
    if (c.zone[0] != 'C' && !fs::exists(std::string("/usr/share/zoneinfo/") + c.zone)) {
      std::cout << "skipped " << c.zone << ": no time zone data\n";
      continue;
    }
    const testing::TimeZone zone(c.zone);
    for (const std::uint32_t before :
         {dosDateTime(2023, 7, 1, 12, 0, 0), dosDateTime(2023, 1, 1, 12, 0, 0),
          dosDateTime(2014, 10, 27, 1, 30, 0), c.twice}) {
      static_cast<void>(Zipwell::dateWithMSDOSFormat(before));
      EXPECT_EQ(seconds(Zipwell::dateWithMSDOSFormat(c.twice)), c.first)
          << "after " << std::hex << before;
      EXPECT_EQ(seconds(Zipwell::dateWithMSDOSFormat(c.skipped)), c.skippedAs)
          << "after " << std::hex << before;
    }
  }
}

// --- Permissions -----------------------------------------------------------------------------

TEST_P(ZipwellTest, StoredModesSetPermissionBitsOnlyWithinTheUmask) {
  make({testing::file("tool", "#!/bin/sh\n").withMode(0100755),
        testing::file("private", "p").withMode(0100600),
        testing::file("typed-as-folder", "t").withMode(040750),
        testing::file("setuid", "s").withMode(0104777),
        testing::file("setgid-sticky", "s").withMode(0103775),
        testing::file("plain", "p").withAttributes(0x20)});  // DOS archive bit, no Unix mode
  for (const mode_t mask : {mode_t{022}, mode_t{077}}) {
    SCOPED_TRACE(mask);
    const ScopedUmask scoped(mask);
    const std::string out = root / ("out" + std::to_string(mask));
    EXPECT_TRUE(extract(archive, out).result);
    writeFile(out + ".reference", "r");  // how a new file comes out under this umask

    EXPECT_EQ(permissionsOf(out + "/tool"), 0755u & ~mask);
    EXPECT_EQ(permissionsOf(out + "/private"), 0600u & ~mask);
    EXPECT_EQ(permissionsOf(out + "/typed-as-folder"), 0750u & ~mask);
    EXPECT_TRUE(S_ISREG(statOf(out + "/typed-as-folder").st_mode));
    // Set-user-ID, set-group-ID and sticky bits are dropped.
    EXPECT_EQ(permissionsOf(out + "/setuid"), 0777u & ~mask);
    EXPECT_EQ(permissionsOf(out + "/setgid-sticky"), 0775u & ~mask);
    EXPECT_EQ(permissionsOf(out + "/plain"), permissionsOf(out + ".reference"));
  }
}

// --- Symbolic links ---------------------------------------------------------------------------

TEST_P(ZipwellTest, LinksAreMadeOnlyWhenTheyStayInsideTheDestination) {
  const struct {
    const char* title;
    std::vector<ZipEntry> entries;
    const char* refusal;  // nullptr: every link is made
  } cases[] = {
      {"a library's names, a folder, the folder itself",
       {link("lib/libfoo.so", "libfoo.so.1").withMode(0120700),
        link("lib/libfoo.so.1", "libfoo.so.1.2"),
        testing::file("lib/libfoo.so.1.2", "code").withMode(0100755), link("current", "lib/"),
        link("lib/here", ".")},
       nullptr},
      {"absolute", {link("lib/abs", "/etc/passwd")}, "its target is an absolute path"},
      {"above the destination", {link("lib/up", "../../outside")}, "leads outside the folder"},
      {"down, then above", {link("up", "lib/../../outside")}, "leads outside the folder"},
      {"through another link listed before",
       {link("deep/er/top", "../.."), link("deep/er/esc", "top/../outside")},
       "passes through the link \"deep/er/top\""},
      {"through another link listed after",
       {link("deep/er/esc", "top/../outside"), link("deep/er/top", "../..")},
       "passes through the link \"deep/er/top\""},
      {"through a link as the last but one step",
       {link("deep/er/top", "../.."), link("deep/er/esc", "top/..")},
       "passes through the link \"deep/er/top\""},
      {"through a link of a later nested archive",
       {testing::file("a.zip", zipBytes({link("l", "x/x/../../outside")})),
        testing::file("b.zip", zipBytes({link("x", ".")}))},
       "passes through the link \"x\""},
      {"empty", {link("empty", "")}, "its target is empty"},
      {"a control character", {link("unit", "a\x1fz")}, "its target holds a control character"},
      {"an entry inside a link",
       {link("lib", "real/"), testing::file("lib/x.txt", "x")},
       "entry \"lib/x.txt\" lies inside the link \"lib\""},
      {"two links at one path",
       {link("twice", "a"), link("twice", "b")},
       "shares its path with another entry"},
      {"a link of a nested archive where the package has a file",
       {testing::file("inner.zip", zipBytes({link("a.txt", "b.txt")})),
        testing::file("a.txt", "the package's file"), testing::file("b.txt", "b")},
       "in the nested archive \"inner.zip\": the link \"a.txt\" shares its path with another "
       "entry"},
      {"a link of a nested archive where the package has a folder of files",
       {testing::file("pkg/inner.zip", zipBytes({link("l", "d")})), testing::file("pkg/l/f", "f")},
       "the link \"l\" shares its path with another entry"},
      {"a link of a nested archive where the package has a folder entry",
       {testing::directory("pkg/l/"), testing::file("pkg/inner.zip", zipBytes({link("l", "d")}))},
       "the link \"l\" shares its path with another entry"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir folder;
    testing::writeZip(folder / "p.zip", c.entries);
    const Outcome outcome = extract(folder / "p.zip", folder / "out");
    std::vector<std::string> outside = treeOf(folder.path());
    std::erase_if(
        outside, [](const std::string& item) { return item == "out" || item.starts_with("out/"); });
    EXPECT_EQ(outside, std::vector<std::string>{"p.zip"});
    if (c.refusal == nullptr) {
      EXPECT_TRUE(outcome.result) << outcome.log;
      EXPECT_EQ(treeOf(folder / "out"),
                (std::vector<std::string>{"current@", "lib", "lib/here@", "lib/libfoo.so.1.2",
                                          "lib/libfoo.so.1@", "lib/libfoo.so@"}));
      EXPECT_EQ(fs::read_symlink(folder / "out/lib/libfoo.so"), "libfoo.so.1");
      EXPECT_EQ(readFile(folder / "out/lib/libfoo.so"), "code");
      EXPECT_EQ(readFile(folder / "out/current/libfoo.so.1.2"), "code");
      // A link's own mode applies to nothing; its date is the entry's.
      EXPECT_EQ(permissionsOf(folder / "out/lib/libfoo.so.1.2"), 0755u);
      EXPECT_EQ(mtimeOf(folder / "out/lib/libfoo.so"), localTime(2021, 6, 15, 12, 30, 0));
      continue;
    }
    EXPECT_FALSE(outcome.result);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, Zipwell::kLinkRefused);
    EXPECT_NE(outcome.error->description.find(c.refusal), std::string::npos)
        << outcome.error->description;
    EXPECT_NE(outcome.log.find("[Zipwell] Refused "), std::string::npos) << outcome.log;
    if (fs::exists(folder / "out")) {
      for (const std::string& item : treeOf(folder / "out"))
        EXPECT_FALSE(item.ends_with("@")) << item << " was made";
    }
  }
}

TEST_P(ZipwellTest, LinksInTheDestinationAreNeverFollowed) {
  for (const bool withOpenat2 : {true, false}) {
    SCOPED_TRACE(withOpenat2 ? "openat2" : "one component at a time");
    zipwell::useOpenat2(withOpenat2);
    TempDir folder;
    const std::string out = folder / "out";
    fs::create_directories(folder / "outside");
    writeFile(folder / "outside/secret.txt", "original");
    const mode_t secretMode = permissionsOf(folder / "outside/secret.txt");
    fs::create_directories(out);
    fs::create_symlink("../outside/secret.txt", out + "/a.txt");  // where a file goes
    fs::create_symlink("../outside", out + "/docs");              // where a folder goes
    fs::create_directories(out + "/real/sub");
    fs::create_symlink("real", out + "/inside");  // one that stays inside is not followed either
    testing::writeZip(
        folder / "p.zip",
        {testing::file("a.txt", "new").withMode(0100600), testing::file("docs/b.txt", "b"),
         testing::directory("docs/sub/"), testing::file("inside/sub/c.txt", "c"),
         // Resolved through the link found there, ".." climbs out of "outside".
         link("peek", "docs/../../secret")});

    const Outcome outcome = extract(folder / "p.zip", out);
    EXPECT_FALSE(outcome.result);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, Zipwell::kWriteFailed);
    EXPECT_NE(outcome.error->description.find("a symbolic link is in the way"), std::string::npos)
        << outcome.error->description;
    // The link where the file goes is replaced by the file; the one where a folder goes stays.
    EXPECT_FALSE(fs::is_symlink(out + "/a.txt"));
    EXPECT_EQ(readFile(out + "/a.txt"), "new");
    EXPECT_TRUE(fs::is_symlink(out + "/docs"));
    EXPECT_FALSE(fs::is_symlink(out + "/peek"));
    EXPECT_NE(outcome.log.find("passes through the link \"docs\""), std::string::npos)
        << outcome.log;
    EXPECT_EQ(treeOf(out + "/real"), std::vector<std::string>{"sub"});
    EXPECT_EQ(treeOf(folder / "outside"), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(readFile(folder / "outside/secret.txt"), "original");
    EXPECT_EQ(permissionsOf(folder / "outside/secret.txt"), secretMode);
  }
  zipwell::useOpenat2(true);
}

// The processor time this process has spent, in seconds.
double processorSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

TEST(ZipwellLinks, TargetsThroughDeepFoldersAreJudgedInTimeOfTheirLength) {
  // A folder 500 levels deep, and links whose targets pass each of its levels: every level is
  // looked up once, not once for each link from the destination down. 400 such links then cost
  // a few times one, where a lookup from the destination down for each took minutes. The bound
  // leaves room for the sanitizer builds on a loaded machine (there 400 cost up to 6 times one).
  std::string deep;
  for (int i = 0; i < 500; ++i) deep += "a/";
  const auto spentOn = [&](int links) {
    std::vector<ZipEntry> entries = {testing::directory(deep)};
    for (int i = 0; i < links; ++i) entries.push_back(link("l" + std::to_string(i), deep + "x"));
    TempDir folder;
    testing::writeZip(folder / "p.zip", entries);
    const double before = processorSeconds();
    const Outcome outcome = extract(folder / "p.zip", folder / "out");
    const double spent = processorSeconds() - before;
    EXPECT_TRUE(outcome.result) << outcome.log;
    EXPECT_EQ(fs::read_symlink(folder / ("out/l" + std::to_string(links - 1))), deep + "x");
    return spent;
  };
  const double one = spentOn(1);
  const double many = spentOn(400);
  EXPECT_LT(many, 10 * one + 3) << "one link: " << one << " s, 400 links: " << many << " s";
}

// --- Existing files --------------------------------------------------------------------------

TEST_P(ZipwellTest, OverwriteRewritesInPlace) {
  writeFile(dest + "/a.txt", "an older and longer content");
  const ino_t inode = statOf(dest + "/a.txt").st_ino;
  make({testing::file("a.txt", "new").withMode(0100700)});
  EXPECT_TRUE(extract(archive, dest, true).result);
  EXPECT_EQ(readFile(dest + "/a.txt"), "new");
  EXPECT_EQ(statOf(dest + "/a.txt").st_ino, inode);
  EXPECT_EQ(permissionsOf(dest + "/a.txt"), 0700u);

  // A read-only file that an entry before wrote is replaced too, also for a user who may not
  // write to it: here a nested archive's file over the package's own.
  TempDir folder;
  testing::writeZip(folder / "p.zip",
                    {testing::file("pkg/x.txt", "outer").withMode(0100444),
                     testing::file("pkg/in.zip", zipBytes({testing::file("x.txt", "inner")}))});
  Outcome outcome;
  {
    std::optional<testing::WithoutCapabilities> asUser;
    if (::geteuid() == 0) {
      ASSERT_TRUE(asUser.emplace({CAP_DAC_OVERRIDE}).active());
    }
    outcome = extract(folder / "p.zip", folder / "out");
  }
  EXPECT_TRUE(outcome.result) << outcome.log;
  EXPECT_EQ(readFile(folder / "out/pkg/x.txt"), "inner");
  EXPECT_FALSE(fs::exists(folder / "out/pkg/in.zip")) << outcome.log;
}

TEST_P(ZipwellTest, WithoutOverwriteExistingFilesStayAsTheyAre) {
  writeFile(dest + "/a.txt", "mine");
  ::chmod((dest + "/a.txt").c_str(), 0640);
  const std::time_t old = localTime(2001, 2, 3, 4, 5, 6);
  const timespec times[2] = {{old, 0}, {old, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dest + "/a.txt").c_str(), times, 0), 0);
  make({testing::file("a.txt", "theirs").withMode(0100755).withDate(kDate),
        testing::file("b.txt", "b")});

  const Outcome outcome = extract(archive, dest, false);
  EXPECT_TRUE(outcome.result) << outcome.log;
  EXPECT_EQ(readFile(dest + "/a.txt"), "mine");
  EXPECT_EQ(mtimeOf(dest + "/a.txt"), old);
  EXPECT_EQ(permissionsOf(dest + "/a.txt"), 0640u);
  EXPECT_EQ(readFile(dest + "/b.txt"), "b");
}

// --- Entries that cannot be extracted in full ------------------------------------------------

// Files this process writes may not grow beyond `bytes` while the object lives: a write past
// that fails with EFBIG, as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    ignored_ = std::signal(SIGXFSZ, SIG_IGN);  // report the error instead of ending the process
    const rlimit limit{bytes, saved_.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, ignored_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*ignored_)(int) = SIG_DFL;
};

TEST_P(ZipwellTest, EntriesThatCannotBeWrittenFailTheResultButNotTheWalk) {
  const struct {
    const char* title;
    void (*prepare)(const std::string& destination);
    ZipEntry entry;
    rlim_t sizeLimit;  // 0: none
    bool asUser;       // extracted without root's power over what others own (root only)
    const char* logLine;
    const char* description;
  } cases[] = {
      {"folder stands where the file goes",
       [](const std::string& d) { fs::create_directories(d + "/clash.txt"); },
       testing::file("clash.txt", "x"), 0, false,
       "[Zipwell] Failed to create file: ", "Is a directory"},
      {"file stands where the folder goes", [](const std::string& d) { writeFile(d + "/f", ""); },
       testing::directory("f/"), 0, false, "[Zipwell] Error: ", "Not a directory"},
      {"disk full with the last bytes", [](const std::string&) {},
       testing::file("small", testing::pseudoRandomBytes(64 * 1024, 5)).withDate(0), 32 * 1024,
       false, "[Zipwell] Failed to write file: ", "File too large"},
      {"disk full part-way", [](const std::string&) {},
       testing::file("big", testing::pseudoRandomBytes(1 << 20, 7)).withDate(0), 300 * 1024, false,
       "[Zipwell] Failed to write file: ", "File too large"},
      // Written in place, but its mode stays the other owner's: the tool would not run.
      {"permissions cannot be set",
       [](const std::string& d) {
         writeFile(d + "/tool", "theirs");
         fs::permissions(d + "/tool", fs::perms(0666));
         ASSERT_EQ(::chown((d + "/tool").c_str(), 65534, 65534), 0);
       },
       testing::file("tool", "#!/bin/sh\n").withMode(0100755), 0, true,
       "[Zipwell] Failed to set attributes - whilst setting permissions",
       "Operation not permitted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    if (c.asUser && ::geteuid() != 0) {
      std::cout << "skipped \"" << c.title << "\": only root can give a file to another owner\n";
      continue;
    }
    TempDir folder;
    const std::string target = folder / "out";
    fs::create_directories(target);
    c.prepare(target);
    testing::writeZip(folder / "p.zip", {c.entry, testing::file("after.txt", "after")});
    Outcome outcome;
    {
      std::optional<FileSizeLimit> limit;
      if (c.sizeLimit != 0) limit.emplace(c.sizeLimit);
      std::optional<testing::WithoutCapabilities> asUser;
      if (c.asUser) {
        ASSERT_TRUE(asUser.emplace({CAP_FOWNER}).active());
      }
      outcome = extract(folder / "p.zip", target);
    }
    EXPECT_FALSE(outcome.result);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, Zipwell::kWriteFailed);
    EXPECT_NE(outcome.error->description.find(c.description), std::string::npos)
        << outcome.error->description;
    EXPECT_EQ(readFile(target + "/after.txt"), "after");
    EXPECT_NE(outcome.log.find(c.logLine), std::string::npos) << outcome.log;
  }
}

TEST_P(ZipwellTest, ReadFailurePartWayLeavesATruncatedFileAndGoesOn) {
  // Incompressible data is deflated into stored blocks: a header byte at the start of the
  // entry's data (right after the 30-byte local header and the name), then LEN and NLEN.
  const std::string name = "data.bin";
  const std::string content = testing::pseudoRandomBytes(100000, 11);
  const struct {
    const char* title;
    void (*damage)(std::string& bytes, std::size_t firstBlock, std::size_t secondBlock);
  } cases[] = {
      {"stream ends early", [](std::string& b, std::size_t first, std::size_t) { b[first] = 1; }},
      {"inflate fails",
       [](std::string& b, std::size_t, std::size_t second) { b[second + 3] ^= 0x5A; }},  // NLEN
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir folder;
    testing::writeZip(folder / "p.zip",
                      {testing::file(name, content), testing::file("after.txt", "after")});
    std::string bytes = readFile(folder / "p.zip");
    const std::size_t data = 30 + name.size();
    ASSERT_EQ(bytes[data], 0) << "expected a stored deflate block";
    const std::size_t firstLength = static_cast<unsigned char>(bytes[data + 1]) |
                                    static_cast<unsigned char>(bytes[data + 2]) << 8;
    c.damage(bytes, data, data + 5 + firstLength);
    writeFile(folder / "p.zip", bytes);

    const Outcome outcome = extract(folder / "p.zip", folder / "out");
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(
        outcome.error,
        (ErrorRecord{"ZipwellErrorDomain", Zipwell::kDamagedArchive,
                     "the archive is damaged: the data of entry \"data.bin\" cannot be read"}));
    const std::string written = readFile(folder / "out/data.bin");
    EXPECT_LT(written.size(), content.size());
    EXPECT_TRUE(content.compare(0, written.size(), written) == 0) << "not a prefix";
    EXPECT_EQ(readFile(folder / "out/after.txt"), "after");
    EXPECT_NE(outcome.log.find("[Zipwell] Failed to read entry data for file: "), std::string::npos)
        << outcome.log;
  }
}

TEST_P(ZipwellTest, CrcFailureEndsTheWalk) {
  const std::string payload = "payload-that-appears-once-in-the-archive";
  make({testing::directory("docs/").withDate(kDate),
        testing::file("docs/bad.txt", payload).stored(), testing::file("docs/later.txt", "later")});
  testing::flipByteOf(archive, payload);
  const Outcome outcome = extract(archive, dest);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.error, (ErrorRecord{"ZipwellErrorDomain", -3, "crc check failed for file"}));
  EXPECT_EQ(readFile(dest + "/docs/bad.txt").size(), payload.size());
  EXPECT_NE(readFile(dest + "/docs/bad.txt"), payload);
  // Another thread may have written it before the failure was known.
  if (walksInOrder()) {
    EXPECT_FALSE(fs::exists(dest + "/docs/later.txt"));
  }
  EXPECT_EQ(mtimeOf(dest + "/docs"), kDateSeconds);

  // A link whose target fails the check is not made; the links read before it are.
  make({link("good", "docs/"), link("bad", "target-that-appears-once").stored()});
  testing::flipByteOf(archive, "target-that-appears-once");
  TempDir folder;
  const Outcome linkOutcome = extract(archive, folder / "out");
  ASSERT_TRUE(linkOutcome.error);
  EXPECT_EQ(linkOutcome.error->code, Zipwell::kCrcMismatch);
  EXPECT_EQ(treeOf(folder / "out"), std::vector<std::string>{"good@"});
}

// --- Contents --------------------------------------------------------------------------------

TEST_P(ZipwellTest, ContentsRoundTripByteForByte) {
  const std::vector<ZipEntry> entries = {
      testing::file("random.bin", testing::pseudoRandomBytes(100 * 1024 + 17, 3)),
      testing::file("stored.bin", testing::pseudoRandomBytes(3 * 4096, 4)).stored(),
      testing::file("zeros.bin", std::string(50000, '\0')),
      testing::file("empty.txt", ""),
  };
  make(entries);
  // Data before the archive, as in a self-extracting one, shifts every position alike.
  writeFile(root / "stubbed.zip", "#!/bin/sh\nexit 1\n" + readFile(archive));
  for (const std::string& package : {archive, root / "stubbed.zip"}) {
    SCOPED_TRACE(package);
    TempDir folder;
    const Outcome outcome = extract(package, folder / "out");
    EXPECT_TRUE(outcome.result) << outcome.log;
    for (const ZipEntry& entry : entries)
      EXPECT_TRUE(readFile(folder / ("out/" + entry.name)) == entry.data) << entry.name;
  }
}

TEST_P(ZipwellTest, OnlyANonEmptyPasswordIsHandedToTheLibrary) {
  make({testing::file("plain.txt", "plain")});
  // An empty password opens entries as if none was given.
  EXPECT_TRUE(extract(archive, dest, true, "").result);
  EXPECT_EQ(readFile(dest + "/plain.txt"), "plain");
  // A real one is used for every entry: the plain entry cannot be read with it (the system's
  // minizip, built without decryption, already refuses to open it).
  const Outcome outcome = extract(archive, root / "with-password", true, "sesame");
  EXPECT_FALSE(outcome.result);
  EXPECT_FALSE(fs::exists(root / "with-password/plain.txt"));
}

// --- Archives inside archives ----------------------------------------------------------------

TEST_P(ZipwellTest, NestedArchivesAreExtractedBesideThemselvesAndRemoved) {
  for (const char* name : {"inner.zip", "INNER.ZIP", "Inner.Zip"}) {
    SCOPED_TRACE(name);
    TempDir folder;
    const std::string inner =
        zipBytes({testing::file("inside.txt", "inside"), testing::directory("sub/")});
    testing::writeZip(folder / "p.zip",
                      {testing::file(std::string("pkg/") + name, inner).withMode(0100644)});
    const Outcome outcome = extract(folder / "p.zip", folder / "out");
    EXPECT_TRUE(outcome.result) << outcome.log;
    EXPECT_EQ(readFile(folder / "out/pkg/inside.txt"), "inside");
    EXPECT_TRUE(fs::is_directory(folder / "out/pkg/sub"));
    EXPECT_FALSE(fs::exists(folder / ("out/pkg/" + std::string(name))));
    // Once removed, the archive has no date or mode to set: nothing fails for it.
    EXPECT_NE(outcome.log.find("Unzipping nested .zip file:  " + std::string(name) + "\n"),
              std::string::npos)
        << outcome.log;
    EXPECT_EQ(outcome.log.find("Failed"), std::string::npos) << outcome.log;
  }
}

TEST_P(ZipwellTest, NestedFileThatIsNoArchiveStays) {
  make({testing::file("pkg/fake.zip", "not really"), testing::file("pkg/after.txt", "after")});
  Outcome outcome = extract(archive, dest);
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(readFile(dest + "/pkg/fake.zip"), "not really");
  EXPECT_EQ(readFile(dest + "/pkg/after.txt"), "after");
  EXPECT_NE(outcome.log.find("[Zipwell] Nested archive not extracted in full, left as a file: " +
                             dest + "/pkg/fake.zip"),
            std::string::npos)
      << outcome.log;

  // A damaged nested archive stays too, with what it gave, and the log says why.
  const std::string payload = "nested-payload-that-appears-once";
  std::string inner = zipBytes({testing::file("bad.txt", payload).stored()});
  inner[inner.find(payload)] ^= 1;
  TempDir folder;
  make({testing::file("pkg/damaged.zip", inner), testing::file("pkg/after.txt", "after")});
  outcome = extract(archive, folder / "out");
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(readFile(folder / "out/pkg/damaged.zip"), inner);
  EXPECT_EQ(readFile(folder / "out/pkg/after.txt"), "after");
  EXPECT_NE(outcome.log.find("[Zipwell] Nested archive not extracted in full, left as a file: " +
                             folder / "out/pkg/damaged.zip" + " (crc check failed for file)"),
            std::string::npos)
      << outcome.log;
}

// A nested archive that the disk cannot take in full fails the extraction, as the package's own
// entries do: what it left is no install. A folder without room counts as much as a file, and so
// do a folder and a nested archive that cannot be made or opened for want of descriptors or
// memory.
TEST_P(ZipwellTest, ANestedArchiveWithoutRoomFailsTheExtraction) {
  const struct {
    const char* nested;
    int cause;
    const char* says;
  } cases[] = {
      {"pkg/inner.zip", ENOSPC, "cannot create folder"},
      {"pkg/inner.zip", EDQUOT, "cannot create folder"},
      {"pkg/inner.zip", EMFILE, "cannot create folder"},
      {"pkg/inner.zip", ENOMEM, "cannot create folder"},
      {"pkg/full.zip", EMFILE, "failed to open zip file"},
      {"pkg/full.zip", ENFILE, "failed to open zip file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.nested) + " " + std::strerror(c.cause));
    TempDir folder;
    testing::writeZip(folder / "p.zip",
                      {testing::file(c.nested, zipBytes({testing::file("a.txt", "a"),
                                                         testing::file("full/b.txt", "b")})),
                       testing::file("pkg/after.txt", "after")});
    failFullFoldersWith = c.cause;
    const Outcome outcome = extract(folder / "p.zip", folder / "out");
    failFullFoldersWith = 0;
    EXPECT_FALSE(outcome.result) << outcome.log;
    const std::string said = outcome.error ? outcome.error->description : "";
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_NE(said.find(std::strerror(c.cause)), std::string::npos) << said;
  }
}

TEST_P(ZipwellTest, NestingIsFollowedToABoundedDepth) {
  // level1.zip holds level2.zip ... level10.zip holds deepest.txt.
  std::string bytes = zipBytes({testing::file("deepest.txt", "deep")});
  for (int level = 10; level >= 2; --level)
    bytes = zipBytes({testing::file("level" + std::to_string(level) + ".zip", bytes)});
  make({testing::file("level1.zip", bytes)});

  const Outcome outcome = extract(archive, dest);
  EXPECT_TRUE(outcome.result);
  for (int level = 1; level <= Zipwell::kMaxNestingDepth; ++level)
    EXPECT_FALSE(fs::exists(dest + "/level" + std::to_string(level) + ".zip")) << level;
  EXPECT_TRUE(fs::exists(dest + "/level9.zip"));
  EXPECT_FALSE(fs::exists(dest + "/level10.zip"));
  EXPECT_NE(outcome.log.find("[Zipwell] Nested archive too deep"), std::string::npos);
}

TEST_P(ZipwellTest, ArchiveThatRecreatesItselfDoesNotLoop) {
  std::string bytes = zipBytes({testing::file("self.zip", "innermost")});
  for (int i = 0; i < 3; ++i) bytes = zipBytes({testing::file("./self.zip", bytes)});
  make({testing::file("pkg/self.zip", bytes)});
  const Outcome outcome = extract(archive, dest);
  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(readFile(dest + "/pkg/self.zip") == bytes);  // the one being read is never rewritten
}

// --- Threads ---------------------------------------------------------------------------------

// One item of an extracted tree, as two extractions can be compared: what it is, its permission
// bits, its contents or target, and its modification time, or none for a time at or after the
// extraction began (set by the writing itself, so never the same twice).
struct Item {
  std::string kind;
  mode_t mode = 0;
  std::string data;
  std::optional<std::pair<std::time_t, long>> time;
};

std::map<std::string, Item> itemsOf(const std::string& folder, std::time_t since) {
  std::map<std::string, Item> items;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
    const std::string path = it->path().string();
    const struct stat info = statOf(path);
    Item item;
    if (S_ISLNK(info.st_mode)) {
      item.kind = "link";
      item.data = fs::read_symlink(path).string();
    } else {
      item.kind = S_ISDIR(info.st_mode) ? "folder" : "file";
      item.mode = info.st_mode & 07777;
      if (S_ISREG(info.st_mode)) item.data = readFile(path);
    }
    if (info.st_mtim.tv_sec < since)
      item.time = std::pair(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    items.emplace(it->path().lexically_relative(folder).string(), std::move(item));
  }
  return items;
}

// An extraction on a given number of threads, as far as it can be compared with another: the
// destination's path reads "<out>" and the log lines are sorted (threads log in any order).
struct ThreadedRun {
  bool result = false;
  std::optional<ErrorRecord> error;
  std::vector<std::string> log;
  std::map<std::string, Item> items;
};

ThreadedRun extractOn(unsigned threads, const std::string& archive, const std::string& destination,
                      void (*prepare)(const std::string& destination)) {
  const ScopedThreadCount scoped(threads);
  const std::time_t since = std::time(nullptr);
  if (prepare != nullptr) prepare(destination);
  const Outcome outcome = extract(archive, destination);
  const auto anonymous = [&](std::string text) {
    for (std::size_t at; (at = text.find(destination)) != std::string::npos;)
      text.replace(at, destination.size(), "<out>");
    return text;
  };
  ThreadedRun run{outcome.result, outcome.error, {}, itemsOf(destination, since)};
  if (run.error) run.error->description = anonymous(run.error->description);
  std::istringstream lines(outcome.log);
  for (std::string line; std::getline(lines, line);) run.log.push_back(anonymous(line));
  std::sort(run.log.begin(), run.log.end());
  return run;
}

// Small files that keep the threads busy beside the entries that matter.
std::vector<ZipEntry> filler(const std::string& folder, unsigned count) {
  std::vector<ZipEntry> entries;
  for (unsigned i = 0; i < count; ++i)
    entries.push_back(testing::file(folder + "/filler" + std::to_string(i) + ".txt",
                                    std::string(100 + 50 * i, static_cast<char>('a' + i % 26))));
  return entries;
}

// A package as an application's: folders listed and not, files of every size, stored and
// deflated, with and without a mode or a date, links, and archives inside archives. Every entry
// has a date of its own, so that a folder shows which entry made it.
std::vector<ZipEntry> applicationPackage() {
  std::vector<ZipEntry> entries;
  unsigned n = 0;
  const auto dated = [&n](ZipEntry entry) {
    ++n;
    return entry.withDate(dosDateTime(2020, 1 + n % 12, 1 + n % 28, n % 24, n % 60, 2 * (n % 30)));
  };
  entries.push_back(dated(testing::directory("docs/")));
  for (unsigned i = 0; i < 96; ++i) {
    const std::string name = "app/part" + std::to_string(i % 6) + "/file" + std::to_string(i);
    ZipEntry entry =
        i % 3 == 0 ? testing::file(name + ".bin", testing::pseudoRandomBytes(1000 + 611 * i, i))
                   : testing::file(name + ".txt", std::string(200 + 37 * i, 'a' + i % 26));
    if (i % 4 == 0) entry.withMode(0100755);
    if (i % 4 == 1) entry.withMode(0100600);
    if (i % 5 == 0) entry.stored();
    entries.push_back(i % 11 == 0 ? entry.withDate(0) : dated(entry));
  }
  // The first entry that needs these folders is the smaller one, which threads take later.
  entries.push_back(dated(testing::file("deep/a/b/first.txt", "first")));
  entries.push_back(
      dated(testing::file("deep/a/b/second.bin", testing::pseudoRandomBytes(200 * 1024, 7))));
  entries.push_back(dated(testing::file("app/big.bin", testing::pseudoRandomBytes(600 * 1024, 9))));
  entries.push_back(dated(link("app/current", "part1")));
  entries.push_back(dated(link("app/part2/alias.txt", "file2.txt")));
  entries.push_back(dated(testing::directory("docs/empty/")));
  const std::string deeper =
      zipBytes({testing::file("z.txt", "z"), testing::directory("zdir/").withDate(kDate)});
  entries.push_back(dated(
      testing::file("plugins/inner.zip",
                    zipBytes({testing::directory("sub/").withDate(kDate),
                              testing::file("sub/x.txt", "x").withMode(0100700),
                              link("sub/l", "x.txt"), testing::file("sub/deeper.zip", deeper)}))));
  for (ZipEntry& entry : filler("plugins", 12)) entries.push_back(dated(entry));
  return entries;
}

TEST(ZipwellThreads, AnyThreadCountGivesTheTreeOfTheWalkInOrder) {
  const struct {
    const char* title;
    std::vector<ZipEntry> entries;
    void (*prepare)(const std::string& destination);
  } cases[] = {
      {"an application's package", applicationPackage(), nullptr},
      // Extracted after the entries before it and before those after it.
      {"a nested archive's files among the package's",
       {testing::file("pkg/a.txt", "the package's, before"),
        testing::file("pkg/inner.zip", zipBytes({testing::file("a.txt", "the nested archive's"),
                                                 testing::file("b.txt", "the nested archive's")})),
        testing::file("pkg/b.txt", "the package's, after")},
       nullptr},
      // Which comes first decides: the later file, the file that stands where a folder goes.
      {"entries that share their paths",
       {testing::file("twice.txt", testing::pseudoRandomBytes(300 * 1024, 3)),
        testing::file("twice.txt", "the later one"), testing::file("clash", "a file"),
        testing::file("clash/inside.txt", "x"), testing::file("Case.txt", "upper"),
        testing::file("case.txt", "lower")},
       nullptr},
      // The first failure in entry order is the one told, whichever thread meets it first.
      {"entries that cannot be written",
       {testing::file("app/one.txt", "1"), testing::file("blocked/x.txt", "x"),
        testing::file("app/taken.txt", testing::pseudoRandomBytes(100 * 1024, 4)),
        testing::file("app/linked.txt", "replaces the link")},
       [](const std::string& d) {
         writeFile(d + "/blocked", "a file where a folder goes");
         fs::create_directories(d + "/app/taken.txt");
         fs::create_symlink("one.txt", d + "/app/linked.txt");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir folder;
    std::vector<ZipEntry> entries = c.entries;
    for (ZipEntry& entry : filler("more", 24)) entries.push_back(entry);
    testing::writeZip(folder / "p.zip", entries);

    const ThreadedRun inOrder = extractOn(1, folder / "p.zip", folder / "out1", c.prepare);
    for (const unsigned threads : {2u, 4u}) {
      SCOPED_TRACE(std::to_string(threads) + " threads");
      const std::string out = folder / ("out" + std::to_string(threads));
      const ThreadedRun shared = extractOn(threads, folder / "p.zip", out, c.prepare);
      EXPECT_EQ(shared.result, inOrder.result);
      EXPECT_EQ(shared.error, inOrder.error);
      EXPECT_EQ(shared.log, inOrder.log);
      std::vector<std::string> expectedPaths, paths;
      for (const auto& [path, item] : inOrder.items) expectedPaths.push_back(path);
      for (const auto& [path, item] : shared.items) paths.push_back(path);
      ASSERT_EQ(paths, expectedPaths);
      for (const auto& [path, expected] : inOrder.items) {
        SCOPED_TRACE(path);
        const Item& item = shared.items.at(path);
        EXPECT_EQ(item.kind, expected.kind);
        EXPECT_EQ(item.mode, expected.mode);
        EXPECT_TRUE(item.data == expected.data) << "the contents differ";
        EXPECT_EQ(item.time, expected.time);
      }
    }
  }
}

TEST(ZipwellThreads, OtherThreadsGoOnWhileOneIsHeldUp) {
  // The largest entry, also the first, is taken first; a folder stands where it goes, and its
  // failure's log line is held until every other file is in place, which only another thread
  // can do meanwhile.
  TempDir folder;
  std::vector<ZipEntry> entries = {
      testing::file("held.bin", testing::pseudoRandomBytes(64 * 1024, 1))};
  for (ZipEntry& entry : filler("small", 12)) entries.push_back(entry);
  testing::writeZip(folder / "p.zip", entries);
  fs::create_directories(folder / "out/held.bin");
  const auto othersDone = [&] {
    for (const ZipEntry& entry : entries) {
      std::error_code error;
      if (entry.name != "held.bin" &&
          fs::file_size(folder / ("out/" + entry.name), error) != entry.data.size())
        return false;
    }
    return true;
  };

  const ScopedThreadCount threads(2);
  bool othersWereDone = false;
  platform::setConsoleSink([&](platform::ConsoleStream, std::string_view line) {
    if (line.find("held.bin") == std::string_view::npos) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(othersWereDone = othersDone()) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  const bool extracted =
      Zipwell::unzipFileAtPath(folder / "p.zip", folder / "out", true, std::nullopt, nullptr);
  platform::setConsoleSink({});
  EXPECT_FALSE(extracted);
  EXPECT_TRUE(othersWereDone);
}

}  // namespace
}  // namespace launcher

// Every folder this test program makes comes here first (see failFullFoldersWith).
extern "C" int mkdirat(int folder, const char* name, mode_t mode) {
  using Mkdirat = int (*)(int, const char*, mode_t);
  static const auto next = reinterpret_cast<Mkdirat>(::dlsym(RTLD_NEXT, "mkdirat"));
  if (const int error = launcher::failFullFoldersWith;
      error != 0 && std::string_view(name) == "full") {
    errno = error;
    return -1;
  }
  return next(folder, name, mode);
}

// Every archive that minizip opens comes here first (see failFullFoldersWith).
extern "C" FILE* fopen64(const char* path, const char* mode) {
  using Fopen = FILE* (*)(const char*, const char*);
  static const auto next = reinterpret_cast<Fopen>(::dlsym(RTLD_NEXT, "fopen64"));
  if (const int error = launcher::failFullFoldersWith;
      error != 0 && std::string_view(path).ends_with("/full.zip")) {
    errno = error;
    return nullptr;
  }
  return next(path, mode);
}
