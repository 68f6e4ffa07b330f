#include "Zipwell/Zipwell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/CaptureFd.h"
#include "tests/support/TestFolders.h"
#include "tests/support/ZipWriter.h"

namespace launcher {
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

class ZipwellTest : public ::testing::Test {
 protected:
  void make(const std::vector<ZipEntry>& entries) { testing::writeZip(archive, entries); }
  TempDir root;
  std::string archive = root / "package.zip";
  std::string dest = root / "out";
};

constexpr std::uint32_t kDate = dosDateTime(2021, 6, 15, 12, 30, 10);
const std::time_t kDateSeconds = localTime(2021, 6, 15, 12, 30, 10);

// --- Archives that cannot be read at all -----------------------------------------------------

TEST_F(ZipwellTest, UnreadableArchivesTouchNothing) {
  writeFile(root / "notes.zip", "this is not an archive");
  // minizip finds no end record at offset 0, so an archive without entries gets a stub before it.
  writeFile(root / "empty.zip", "stub" + zipBytes({}));
  testing::writeZip(root / "broken.zip", {testing::file("a.txt", "a")});
  testing::flipByteOf(root / "broken.zip", "PK\x01\x02");  // central directory record
  testing::writeZip(root / "cut.zip",
                    {testing::file("a.txt", testing::pseudoRandomBytes(20000, 1))});
  testing::truncateFile(root / "cut.zip", fs::file_size(root / "cut.zip") / 2);
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.archive);
    const Outcome outcome = extract(c.archive, dest);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error, (ErrorRecord{"ZipwellErrorDomain", c.code, c.description}));
    EXPECT_FALSE(fs::exists(dest));
  }
}

// --- Entry names to paths --------------------------------------------------------------------

TEST_F(ZipwellTest, EntryNamesBecomePathsUnderTheDestination) {
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

TEST_F(ZipwellTest, NamesClimbingOutAreRefused) {
  const std::string inner = zipBytes({testing::file("../../nested-escape.txt", "x")});
  make({testing::file("../escape.txt", "x"), testing::file("a/../../escape2.txt", "x"),
        testing::file("..\\escape3.txt", "x"), testing::file("pkg/inner.zip", inner),
        testing::file("kept.txt", "kept")});
  const Outcome outcome = extract(archive, dest);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(readFile(dest + "/kept.txt"), "kept");
  for (const char* name : {"escape.txt", "escape2.txt", "escape3.txt", "nested-escape.txt"})
    EXPECT_FALSE(fs::exists(root / name)) << name;
  EXPECT_NE(outcome.log.find("[Zipwell] Refused entry outside the destination: ../escape.txt\n"),
            std::string::npos)
      << outcome.log;
  EXPECT_TRUE(fs::exists(dest + "/pkg/inner.zip"));  // its extraction failed, so it stays
}

// --- Folders and dates -----------------------------------------------------------------------

TEST_F(ZipwellTest, MissingDestinationIsCreatedWithTheFirstEntrysDate) {
  make({testing::file("a.txt", "a").withDate(kDate)});
  const std::string deep = root / "new/deeper";
  EXPECT_TRUE(extract(archive, deep).result);
  EXPECT_EQ(readFile(deep + "/a.txt"), "a");
  EXPECT_EQ(mtimeOf(root / "new"), kDateSeconds);
}

TEST_F(ZipwellTest, DirectoryEntriesGetTheirDatesBackAfterFilesAreWritten) {
  make({testing::directory("docs/").withDate(kDate), testing::directory("old/").withDate(0),
        testing::file("docs/a.txt", "a"), testing::file("old/b.txt", "b")});
  EXPECT_TRUE(extract(archive, dest).result);
  EXPECT_EQ(mtimeOf(dest + "/docs"), kDateSeconds);
  EXPECT_EQ(mtimeOf(dest + "/old"), localTime(1979, 11, 30));
}

TEST_F(ZipwellTest, FileDatesComeFromTheEntryUnlessZero) {
  make({testing::file("dated.txt", "d").withDate(kDate),
        testing::file("undated.txt", "u").withDate(0)});
  const std::time_t before = std::time(nullptr);
  EXPECT_TRUE(extract(archive, dest).result);
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(mtimeOf(dest + "/dated.txt"), kDateSeconds);
  EXPECT_GE(mtimeOf(dest + "/undated.txt"), before);
  EXPECT_LE(mtimeOf(dest + "/undated.txt"), after);
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

// --- Permissions -----------------------------------------------------------------------------

TEST_F(ZipwellTest, StoredModesSetPermissionBitsOnly) {
  make({testing::file("tool", "#!/bin/sh\n").withMode(0100755),
        testing::file("private", "p").withMode(0100600),
        testing::file("typed-as-folder", "t").withMode(040750),
        testing::file("link", "target/elsewhere").withMode(0120755),
        testing::file("plain", "p").withAttributes(0x20)});  // DOS archive bit, no Unix mode
  EXPECT_TRUE(extract(archive, dest).result);
  writeFile(root / "reference", "r");  // how a new file comes out under this process's umask

  EXPECT_EQ(permissionsOf(dest + "/tool"), 0755u);
  EXPECT_EQ(permissionsOf(dest + "/private"), 0600u);
  EXPECT_EQ(permissionsOf(dest + "/typed-as-folder"), 0750u);
  EXPECT_TRUE(S_ISREG(statOf(dest + "/typed-as-folder").st_mode));
  EXPECT_TRUE(S_ISREG(statOf(dest + "/link").st_mode));
  EXPECT_EQ(permissionsOf(dest + "/link"), 0755u);
  EXPECT_EQ(readFile(dest + "/link"), "target/elsewhere");
  EXPECT_EQ(permissionsOf(dest + "/plain"), permissionsOf(root / "reference"));
}

// --- Existing files --------------------------------------------------------------------------

TEST_F(ZipwellTest, OverwriteRewritesInPlace) {
  writeFile(dest + "/a.txt", "an older and longer content");
  const ino_t inode = statOf(dest + "/a.txt").st_ino;
  make({testing::file("a.txt", "new").withMode(0100700)});
  EXPECT_TRUE(extract(archive, dest, true).result);
  EXPECT_EQ(readFile(dest + "/a.txt"), "new");
  EXPECT_EQ(statOf(dest + "/a.txt").st_ino, inode);
  EXPECT_EQ(permissionsOf(dest + "/a.txt"), 0700u);
}

TEST_F(ZipwellTest, WithoutOverwriteExistingFilesStayAsTheyAre) {
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

TEST_F(ZipwellTest, EntriesThatCannotBeWrittenFailTheResultButNotTheWalk) {
  const struct {
    const char* title;
    void (*prepare)(const std::string& destination);
    ZipEntry entry;
    const char* logLine;
  } cases[] = {
      {"folder stands where the file goes",
       [](const std::string& d) { fs::create_directories(d + "/clash.txt"); },
       testing::file("clash.txt", "x"), "[Zipwell] Failed to create file: "},
      {"file stands where the folder goes", [](const std::string& d) { writeFile(d + "/f", ""); },
       testing::directory("f/"), "[Zipwell] Error: "},
      {"disk full when closing",
       [](const std::string& d) { fs::create_symlink("/dev/full", d + "/small"); },
       testing::file("small", "tiny").withDate(0), "[Zipwell] Failed to write file: "},
      {"disk full while writing",
       [](const std::string& d) { fs::create_symlink("/dev/full", d + "/big"); },
       testing::file("big", testing::pseudoRandomBytes(1 << 20, 7)).withDate(0),
       "[Zipwell] Failed to write file: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    TempDir folder;
    const std::string target = folder / "out";
    fs::create_directories(target);
    c.prepare(target);
    testing::writeZip(folder / "p.zip", {c.entry, testing::file("after.txt", "after")});
    const Outcome outcome = extract(folder / "p.zip", target);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error, std::nullopt);
    EXPECT_EQ(readFile(target + "/after.txt"), "after");
    EXPECT_NE(outcome.log.find(c.logLine), std::string::npos) << outcome.log;
  }
}

TEST_F(ZipwellTest, ReadFailurePartWayLeavesATruncatedFileAndGoesOn) {
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
    EXPECT_EQ(outcome.error, std::nullopt);
    const std::string written = readFile(folder / "out/data.bin");
    EXPECT_LT(written.size(), content.size());
    EXPECT_TRUE(content.compare(0, written.size(), written) == 0) << "not a prefix";
    EXPECT_EQ(readFile(folder / "out/after.txt"), "after");
    EXPECT_NE(outcome.log.find("[Zipwell] Failed to read entry data for file: "), std::string::npos)
        << outcome.log;
  }
}

TEST_F(ZipwellTest, CrcFailureEndsTheWalk) {
  const std::string payload = "payload-that-appears-once-in-the-archive";
  make({testing::directory("docs/").withDate(kDate),
        testing::file("docs/bad.txt", payload).stored(), testing::file("docs/later.txt", "later")});
  testing::flipByteOf(archive, payload);
  const Outcome outcome = extract(archive, dest);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.error, (ErrorRecord{"ZipwellErrorDomain", -3, "crc check failed for file"}));
  EXPECT_EQ(readFile(dest + "/docs/bad.txt").size(), payload.size());
  EXPECT_NE(readFile(dest + "/docs/bad.txt"), payload);
  EXPECT_FALSE(fs::exists(dest + "/docs/later.txt"));
  EXPECT_EQ(mtimeOf(dest + "/docs"), kDateSeconds);
}

// --- Contents --------------------------------------------------------------------------------

TEST_F(ZipwellTest, ContentsRoundTripByteForByte) {
  const std::vector<ZipEntry> entries = {
      testing::file("random.bin", testing::pseudoRandomBytes(100 * 1024 + 17, 3)),
      testing::file("stored.bin", testing::pseudoRandomBytes(3 * 4096, 4)).stored(),
      testing::file("zeros.bin", std::string(50000, '\0')),
      testing::file("empty.txt", ""),
  };
  make(entries);
  const Outcome outcome = extract(archive, dest);
  EXPECT_TRUE(outcome.result) << outcome.log;
  for (const ZipEntry& entry : entries)
    EXPECT_TRUE(readFile(dest + "/" + entry.name) == entry.data) << entry.name;
}

TEST_F(ZipwellTest, EntryThatCannotBeOpenedEndsTheWalk) {
  make({testing::directory("docs/").withDate(kDate), testing::file("docs/a.txt", "a"),
        testing::file("docs/odd.bin", "odd").stored(), testing::file("docs/c.txt", "c")});
  testing::setEntryMethod(archive, "docs/odd.bin", 99);  // a method no reader knows
  const Outcome outcome = extract(archive, dest);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.error, std::nullopt);
  EXPECT_EQ(readFile(dest + "/docs/a.txt"), "a");
  EXPECT_FALSE(fs::exists(dest + "/docs/odd.bin"));
  EXPECT_FALSE(fs::exists(dest + "/docs/c.txt"));
  EXPECT_EQ(mtimeOf(dest + "/docs"), kDateSeconds);
}

TEST_F(ZipwellTest, OnlyANonEmptyPasswordIsHandedToTheLibrary) {
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

TEST_F(ZipwellTest, NestedArchivesAreExtractedBesideThemselvesAndRemoved) {
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

TEST_F(ZipwellTest, NestedFileThatIsNoArchiveStays) {
  make({testing::file("pkg/fake.zip", "not really"), testing::file("pkg/after.txt", "after")});
  EXPECT_TRUE(extract(archive, dest).result);
  EXPECT_EQ(readFile(dest + "/pkg/fake.zip"), "not really");
  EXPECT_EQ(readFile(dest + "/pkg/after.txt"), "after");
}

TEST_F(ZipwellTest, NestingIsFollowedToABoundedDepth) {
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

TEST_F(ZipwellTest, ArchiveThatRecreatesItselfDoesNotLoop) {
  std::string bytes = zipBytes({testing::file("self.zip", "innermost")});
  for (int i = 0; i < 3; ++i) bytes = zipBytes({testing::file("./self.zip", bytes)});
  make({testing::file("pkg/self.zip", bytes)});
  const Outcome outcome = extract(archive, dest);
  EXPECT_TRUE(outcome.result);
  EXPECT_TRUE(readFile(dest + "/pkg/self.zip") == bytes);  // the one being read is never rewritten
}

}  // namespace
}  // namespace launcher
