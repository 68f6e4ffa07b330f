// The local version file and the two ways version text becomes a number.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <thread>

#include "Launcher/Config.h"
#include "Launcher/VersionNumbers.h"
#include "tests/support/Doubles.h"
#include "tests/support/TestFolders.h"

namespace launcher {
namespace {
using testing::readFile;
using testing::writeFile;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- Reading the server's version strictly and the file's leniently

TEST(VersionNumbers, StrictRuleAcceptsSignsAndLeadingZerosOnly) {
  const struct {
    const char* text;
    std::optional<std::int64_t> expected;
  } cases[] = {
      {"12", 12},
      {"+12", 12},
      {"-3", -3},
      {"007", 7},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"+-1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1.0", std::nullopt},
      {"1,000", std::nullopt},
      {"0x10", std::nullopt},
      {"\xd9\xa3", std::nullopt},  // ARABIC-INDIC DIGIT THREE is not an ASCII digit
  };
  for (const auto& c : cases) EXPECT_EQ(parseStrictVersion(c.text), c.expected) << c.text;
}

TEST(VersionNumbers, LenientRuleReadsTheLeadingNumber) {
  const struct {
    const char* text;
    std::int64_t expected;
  } cases[] = {
      {"12\n", 12},
      {"   7", 7},
      {"\t\n-5", -5},
      {"+4", 4},
      {"3.9", 3},
      {"42 apples", 42},
      {"abc", 0},
      {"", 0},
      {"- 5", 0},
      {"99999999999999999999", 0},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
  };
  for (const auto& c : cases) EXPECT_EQ(parseLenientVersion(c.text), c.expected) << c.text;
}

// ---- ReadVersion and WriteVersion on disk

class VersionFileTest : public ::testing::Test {
 protected:
  testing::UserFolders folders;
  testing::TestRig rig;
  std::shared_ptr<ViewController> controller = rig.makeController();
  std::string file() const { return folders.installFolder() + "/version.txt"; }
};

TEST_F(VersionFileTest, VersionLocationIsInTheInstallFolder) {
  ASSERT_TRUE(controller);
  EXPECT_EQ(controller->versionLocation(),
            folders.dataHome() + "/" + APPLICATION_NAME() + "/version.txt");
  EXPECT_EQ(controller->appDir(), folders.dataHome());
}

TEST_F(VersionFileTest, MissingFolderIsCreatedWithZero) {
  ASSERT_FALSE(fs::exists(folders.installFolder()));
  EXPECT_EQ(controller->ReadVersion(), 0);
  EXPECT_TRUE(fs::is_directory(folders.installFolder()));
  EXPECT_EQ(readFile(file()), "0");
}

TEST_F(VersionFileTest, NewAccountWithoutADataFolderGetsOneWithZero) {
  fs::remove_all(folders.dataHome());
  EXPECT_EQ(controller->ReadVersion(), 0);
  EXPECT_EQ(readFile(file()), "0");
}

TEST_F(VersionFileTest, MissingFileInExistingFolderBecomesZero) {
  fs::create_directories(folders.installFolder());
  EXPECT_EQ(controller->ReadVersion(), 0);
  EXPECT_EQ(readFile(file()), "0");
}

TEST_F(VersionFileTest, HandEditedContentIsReadLenientlyAndLeftAlone) {
  const struct {
    const char* content;
    std::int64_t expected;
  } cases[] = {{"12\n", 12}, {"  7", 7}, {"-5", -5}, {"abc", 0}, {"", 0}, {"1307", 1307}};
  for (const auto& c : cases) {
    writeFile(file(), c.content);
    EXPECT_EQ(controller->ReadVersion(), c.expected) << c.content;
    EXPECT_EQ(readFile(file()), c.content) << "the file must keep what it held";
  }
}

TEST_F(VersionFileTest, InvalidUtf8IsRewrittenToZero) {
  writeFile(file(), "12\xff\xfe");
  EXPECT_EQ(controller->ReadVersion(), 0);
  EXPECT_EQ(readFile(file()), "0");
}

TEST_F(VersionFileTest, WriteReplacesTheWholeContentInPlace) {
  writeFile(file(), "1307");
  struct stat before {};
  ASSERT_EQ(::stat(file().c_str(), &before), 0);
  controller->WriteVersion("0");
  EXPECT_EQ(readFile(file()), "0");
  struct stat after {};
  ASSERT_EQ(::stat(file().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino) << "rewritten in place, not replaced by another file";
}

TEST_F(VersionFileTest, WriteIntoMissingFolderDoesNothing) {
  controller->WriteVersion("5");
  EXPECT_FALSE(fs::exists(folders.installFolder()));
}

TEST_F(VersionFileTest, WhatElseStandsAtTheNameGivesWayAndNothingOutsideIsTouched) {
  const std::string outside = folders.root() + "/outside.txt";
  const struct {
    const char* title;
    std::function<void(const std::string& path)> plant;
  } cases[] = {
      {"a link to a file outside",
       [&](const std::string& path) { fs::create_symlink(outside, path); }},
      {"a link to nothing",
       [&](const std::string& path) {
         fs::remove(outside);
         fs::create_symlink(outside, path);
       }},
      {"a pipe", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); }},
      {"a file too large for a version",
       [](const std::string& path) { writeFile(path, "7" + std::string(1024 * 1024, ' ')); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    fs::remove_all(folders.installFolder());
    fs::create_directories(folders.installFolder());
    writeFile(outside, "12");
    c.plant(file());

    // Read on a thread of its own: a read that waits on the pipe is released and fails the case.
    std::promise<std::int64_t> read;
    auto answer = read.get_future();
    std::thread reader([&] { read.set_value(controller->ReadVersion()); });
    if (answer.wait_for(10s) != std::future_status::ready) {
      ADD_FAILURE() << "ReadVersion still waits";
      ::close(::open(file().c_str(), O_WRONLY | O_NONBLOCK));
    }
    reader.join();
    EXPECT_EQ(answer.get(), 0);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file())));
    EXPECT_EQ(readFile(file()), "0");

    controller->WriteVersion("5");
    EXPECT_EQ(readFile(file()), "5");
    if (std::string(c.title) == "a link to nothing")
      EXPECT_FALSE(fs::exists(outside)) << "made through the link";
    else
      EXPECT_EQ(readFile(outside), "12");
  }
}

TEST_F(VersionFileTest, UnreadableVersionFileGivesZeroWithoutCrashing) {
  // A folder standing where the file should be: neither read nor write can succeed.
  fs::create_directories(file());
  EXPECT_EQ(controller->ReadVersion(), 0);
  EXPECT_TRUE(fs::is_directory(file()));
}

}  // namespace
}  // namespace launcher
