// Merging an extracted tree into the install folder: what lands where, what stays, the console
// lines of each entry, and how failures come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Launcher/ViewController.h"
#include "tests/support/CaptureFd.h"
#include "tests/support/Doubles.h"
#include "tests/support/TestFolders.h"

namespace launcher::testing {
namespace {
namespace fs = std::filesystem;

struct MergeRun {
  bool result = false;
  std::string out;  // standard output
  std::string log;  // diagnostic log
};

class MergeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller = rig.makeController();
    ASSERT_TRUE(controller);
    fs::create_directories(source);
    fs::create_directories(destination);
  }

  MergeRun merge() { return mergeFrom(source); }
  MergeRun mergeFrom(const std::string& from) {
    MergeRun run;
    CaptureFd log(2);
    CaptureFd out(1);
    run.result = controller->MergeContentsOfPath(from, destination);
    run.out = out.finish();
    run.log = log.finish();
    return run;
  }

  UserFolders folders;
  TempDir scratch;
  TestRig rig;
  std::shared_ptr<ViewController> controller;
  std::string source = scratch / "Content";
  std::string destination = scratch / "install";
};

// ---- One file entry against what the destination holds at its path

struct FileCase {
  const char* name;
  std::function<void(const std::string& target)> prepare;  // the destination path of the entry
  const char* expectedOut;
};

TEST_F(MergeTest, FileEntryReplacesWhateverStandsAtItsPath) {
  const std::vector<FileCase> cases = {
      {"nothing there", [](const std::string&) {}, " subPath: item\n   moveItemAtPath\n"},
      {"older file", [](const std::string& target) { writeFile(target, "old"); },
       " subPath: item\n   removeItemAtPath\n   moveItemAtPath\n"},
      {"folder with contents",
       [](const std::string& target) { writeFile(target + "/inner/deep.txt", "old"); },
       " subPath: item\n   removeItemAtPath\n   moveItemAtPath\n"},
      {"dangling link",
       [](const std::string& target) { fs::create_symlink("missing-target", target); },
       " subPath: item\n   removeItemAtPath\n   moveItemAtPath\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(source);
    fs::remove_all(destination);
    fs::create_directories(destination);
    writeFile(source + "/item", "new");
    c.prepare(destination + "/item");

    const MergeRun run = merge();

    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.out, c.expectedOut);
    EXPECT_EQ(tree(destination), std::vector<std::string>{"item=new"});
    EXPECT_FALSE(fs::exists(source + "/item")) << "files are moved, not copied";
  }
}

// ---- Folders

TEST_F(MergeTest, ExistingFoldersKeepWhatThePackageLacks) {
  writeFile(destination + "/Vantorel.app/Contents/user.cfg", "mine");
  writeFile(destination + "/Vantorel.app/Contents/bin", "v1");
  writeFile(destination + "/notes.txt", "keep");
  writeFile(source + "/Vantorel.app/Contents/bin", "v2");

  const MergeRun run = merge();

  EXPECT_TRUE(run.result);
  EXPECT_EQ(tree(destination),
            (std::vector<std::string>{"Vantorel.app/", "Vantorel.app/Contents/",
                                      "Vantorel.app/Contents/bin=v2",
                                      "Vantorel.app/Contents/user.cfg=mine", "notes.txt=keep"}));
  EXPECT_EQ(run.out,
            " subPath: Vantorel.app\n   create directory\n"
            " subPath: Vantorel.app/Contents\n   create directory\n"
            " subPath: Vantorel.app/Contents/bin\n   removeItemAtPath\n   moveItemAtPath\n");
  // Only the skeleton of folders stays behind in the source.
  EXPECT_EQ(tree(source), (std::vector<std::string>{"Vantorel.app/", "Vantorel.app/Contents/"}));
}

TEST_F(MergeTest, NewLevelsAreCreatedOutermostFirstBeforeTheFileMoves) {
  writeFile(source + "/a/b/c/file.txt", "deep");

  const MergeRun run = merge();

  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.out,
            " subPath: a\n   create directory\n"
            " subPath: a/b\n   create directory\n"
            " subPath: a/b/c\n   create directory\n"
            " subPath: a/b/c/file.txt\n   moveItemAtPath\n");
  EXPECT_EQ(readFile(destination + "/a/b/c/file.txt"), "deep");

  // An install folder named through a link and "..": the folders are made where the moves go,
  // where the kernel resolves the name, not where the name reads.
  fs::create_directories(scratch / "real/sub");
  fs::create_directory_symlink(scratch / "real/sub", scratch / "link");
  destination = scratch / "link/../second";
  writeFile(source + "/a/b/c/file.txt", "deep");
  EXPECT_TRUE(merge().result);
  EXPECT_EQ(readFile(scratch / "real/second/a/b/c/file.txt"), "deep");
  EXPECT_FALSE(fs::exists(scratch / "second")) << "nothing made where the name reads";
}

TEST_F(MergeTest, EmptySourceWritesOnlyTheLogLine) {
  writeFile(destination + "/version.txt", "7");

  const MergeRun run = merge();

  EXPECT_TRUE(run.result);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.log, "- mergeContentsOfPath: " + source + "\n intoPath: " + destination + "\n");
  EXPECT_EQ(tree(destination), std::vector<std::string>{"version.txt=7"});
}

// ---- One folder entry against what the destination holds at its path

TEST_F(MergeTest, FolderEntryKeepsAFolderAndReplacesAnythingElse) {
  const std::string outside = scratch / "outside";
  const struct {
    const char* name;
    std::function<void(const std::string& target)> prepare;
    bool keepsUserFile;
  } cases[] = {
      {"nothing there", [](const std::string&) {}, false},
      {"folder with the user's file",
       [](const std::string& target) { writeFile(target + "/user.cfg", "mine"); }, true},
      {"file", [](const std::string& target) { writeFile(target, "a file in the way"); }, false},
      {"link to a folder elsewhere",
       [&](const std::string& target) {
         fs::create_directories(outside);
         fs::create_directory_symlink(outside, target);
       },
       false},
      {"dangling link",
       [](const std::string& target) { fs::create_symlink("missing-target", target); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(source);
    fs::remove_all(destination);
    fs::remove_all(outside);
    fs::create_directories(destination);
    writeFile(source + "/lib/one.so", "new");
    c.prepare(destination + "/lib");

    const MergeRun run = merge();

    EXPECT_TRUE(run.result) << run.log;
    EXPECT_EQ(run.out,
              " subPath: lib\n   create directory\n subPath: lib/one.so\n   moveItemAtPath\n");
    std::vector<std::string> expected = {"lib/", "lib/one.so=new"};
    if (c.keepsUserFile) expected.push_back("lib/user.cfg=mine");
    EXPECT_EQ(tree(destination), expected);
    EXPECT_TRUE(!fs::exists(outside) || fs::is_empty(outside)) << "nothing lands through a link";
  }
}

// ---- Symbolic links in the source

TEST_F(MergeTest, LinksAreMovedAsLinks) {
  writeFile(source + "/lib/libcore.so.1", "code");
  fs::create_symlink("libcore.so.1", source + "/lib/libcore.so");
  fs::create_directories(source + "/data");
  writeFile(source + "/data/table", "rows");
  fs::create_directory_symlink("data", source + "/current");
  writeFile(destination + "/current/old.txt", "old");

  const MergeRun run = merge();

  EXPECT_TRUE(run.result);
  EXPECT_EQ(tree(destination),
            (std::vector<std::string>{"current@data", "data/", "data/table=rows", "lib/",
                                      "lib/libcore.so.1=code", "lib/libcore.so@libcore.so.1"}));
  // A link to a folder is neither walked through nor turned into a folder.
  EXPECT_NE(run.out.find(" subPath: current\n   removeItemAtPath\n   moveItemAtPath\n"),
            std::string::npos)
      << run.out;
  EXPECT_FALSE(fs::exists(source + "/current"));
}

// ---- Failures: reported as false on the diagnostic log, the other entries still merged

TEST_F(MergeTest, MoveThatFailsIsReportedAndTheRestIsMerged) {
  // A destination deep enough that one more long name exceeds PATH_MAX: the rename fails while
  // the source path is fine. Unlike permissions, this holds for root as well.
  std::string deep = destination;
  while (deep.size() < PATH_MAX - 300) deep += "/" + std::string(200, 'd');
  destination = deep;
  fs::create_directories(destination);
  const std::string longName(250, 'n');
  writeFile(source + "/" + longName, "too long there");
  writeFile(source + "/short.txt", "fits");

  const MergeRun run = merge();

  EXPECT_FALSE(run.result);
  EXPECT_NE(run.out.find(" subPath: " + longName + "\n   moveItemAtPath\n"), std::string::npos);
  EXPECT_EQ(readFile(source + "/" + longName), "too long there");
  EXPECT_EQ(readFile(destination + "/short.txt"), "fits");
}

TEST_F(MergeTest, SourceThatCannotBeWalkedFails) {
  writeFile(destination + "/version.txt", "7");

  const MergeRun missing = mergeFrom(scratch / "no-such-folder");
  writeFile(scratch / "plain-file", "not a folder");
  const MergeRun file = mergeFrom(scratch / "plain-file");

  for (const MergeRun* run : {&missing, &file}) {
    EXPECT_FALSE(run->result);
    EXPECT_EQ(run->out, "");
  }
  EXPECT_EQ(tree(destination), std::vector<std::string>{"version.txt=7"});
}

}  // namespace
}  // namespace launcher::testing
