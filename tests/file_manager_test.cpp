// The file manager's move between two file systems, where rename(2) cannot serve and the item
// is copied and removed, and the one-step moves that switch an update in.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <map>
#include <new>
#include <string>
#include <string_view>

#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/FileManager.h"
#include "tests/support/ScratchFileSystem.h"
#include "tests/support/StarvedMemory.h"
#include "tests/support/TestFolders.h"

namespace launcher::platform {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScratchFileSystem;
using testing::TempDir;
using testing::writeFile;

// Set, the next folder read fails with EIO once a name other than "." and ".." has come, as on
// a disk that fails part-way through a listing; then it is cleared. See readdir below.
std::atomic<bool> failAfterOneName = false;
// Not 0, every renameat2 of this test program fails with it. See renameat2 below.
std::atomic<int> failRenamesWith = 0;
// Set, memory runs out once the next folder read has given a name other than "." and "..". See
// readdir below.
std::atomic<bool> starveAfterOneName = false;

void setTimes(const std::string& path, std::time_t seconds) {
  const timespec times[2] = {{seconds - 100, 0}, {seconds, 500}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Every item below and including `root`, as "kind [mode] time [content or target]", without
// following links.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> items;
  const auto describe = [&](const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    // Access times change as the snapshot reads: only modification times are compared.
    std::string text =
        std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec) + " ";
    if (S_ISLNK(status.st_mode)) return "link " + text + fs::read_symlink(path).string();
    text = std::to_string(status.st_mode & 07777) + " " + text;
    if (S_ISDIR(status.st_mode)) return "folder " + text;
    if (!S_ISREG(status.st_mode)) return "other " + text;
    return "file " + text + readFile(path);
  };
  items["."] = describe(root);
  if (fs::is_directory(fs::symlink_status(root)))
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it)
      items[it->path().lexically_relative(root).string()] = describe(it->path());
  return items;
}

class MoveAcrossFileSystems : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!other.mounted()) GTEST_SKIP() << other.reason();
    struct stat here {
    }, there{};
    ASSERT_EQ(::stat(source.path().c_str(), &here), 0);
    ASSERT_EQ(::stat(other.path().c_str(), &there), 0);
    ASSERT_NE(here.st_dev, there.st_dev) << "the two folders share a file system";
  }
  ScratchFileSystem other{16 << 20};
  TempDir source;
};

TEST_F(MoveAcrossFileSystems, KeepsModesTimesAndLinks) {
  const std::string app = source / "app";
  fs::create_directories(app + "/lib");
  fs::create_directories(app + "/share/empty");
  writeFile(app + "/AppRun", "#!/bin/sh\n");
  fs::permissions(app + "/AppRun", fs::perms(0750));
  writeFile(app + "/lib/libfoo.so.1", "code");
  fs::permissions(app + "/lib/libfoo.so.1", fs::perms(0604));
  fs::create_symlink("libfoo.so.1", app + "/lib/libfoo.so");
  fs::create_directory_symlink("lib", app + "/current");
  fs::create_symlink("missing", app + "/dangling");
  fs::permissions(app + "/share", fs::perms(0501));  // read-only: its contents go in first
  std::time_t time = 1000000000;
  for (const char* item : {"AppRun", "lib/libfoo.so.1", "lib/libfoo.so", "current", "dangling",
                           "share/empty", "share", "lib", ""})
    setTimes(app + (*item ? "/" : "") + item, time += 86400);
  const auto before = snapshot(app);

  const FileResult moved = moveItem(app, other / "app");
  EXPECT_TRUE(moved) << moved.error;
  EXPECT_FALSE(fs::exists(fs::symlink_status(app)));
  EXPECT_EQ(snapshot(other / "app"), before);
  EXPECT_EQ(readFile(other / "app/current/libfoo.so"), "code");
}

TEST_F(MoveAcrossFileSystems, MovesALinkAsALink) {
  fs::create_directories(source / "lib");
  writeFile(source / "file.txt", "text");
  fs::create_directory_symlink("lib", source / "to-folder");
  fs::create_symlink("file.txt", source / "to-file");
  setTimes(source / "to-folder", 1234567890);
  for (const char* name : {"to-folder", "to-file"}) {
    SCOPED_TRACE(name);
    const auto before = snapshot(source / name);
    const FileResult moved = moveItem(source / name, other / name);
    EXPECT_TRUE(moved) << moved.error;
    EXPECT_FALSE(fs::exists(fs::symlink_status(source / name)));
    EXPECT_EQ(snapshot(other / name), before);
  }
}

TEST_F(MoveAcrossFileSystems, FailedCopyLeavesTheSourceWholeAndNothingBehind) {
  const std::string app = source / "app";
  fs::create_directories(app + "/sub");
  writeFile(app + "/sub/a.txt", "a");
  ASSERT_EQ(::mkfifo((app + "/sub/pipe").c_str(), 0600), 0);  // neither file, folder nor link
  const auto before = snapshot(app);

  const FileResult moved = moveItem(app, other / "app");
  EXPECT_FALSE(moved);
  EXPECT_NE(moved.error.find("pipe\": it is neither a file, a folder nor a symbolic link"),
            std::string::npos)
      << moved.error;
  EXPECT_EQ(snapshot(app), before);
  EXPECT_FALSE(fs::exists(fs::symlink_status(other / "app")));

  // A listing that fails part-way is no shorter listing: the copy fails, nothing is lost.
  fs::remove(app + "/sub/pipe");
  writeFile(app + "/b.txt", "b");
  const auto whole = snapshot(app);
  failAfterOneName = true;
  EXPECT_FALSE(moveItem(app, other / "app"));
  EXPECT_FALSE(failAfterOneName) << "the listing did not fail";
  EXPECT_EQ(snapshot(app), whole);
  EXPECT_FALSE(fs::exists(fs::symlink_status(other / "app")));
}

// ntfs-3g and exfat-fuse, among others, answer the exchange and the no-replace move with EINVAL.
TEST(OneStepMoves, AFileSystemThatCannotMakeThemIsNamedAsTheCause) {
  TempDir root;
  writeFile(root / "a", "a");
  writeFile(root / "b", "b");
  for (const auto& [error, named] : {std::pair{EINVAL, true}, std::pair{EXDEV, false}}) {
    SCOPED_TRACE(error);
    failRenamesWith = error;
    const FileResult swapped = exchangeItems(root / "a", root / "b");
    const FileResult moved = renameNoReplace(root / "a", root / "c");
    failRenamesWith = 0;
    for (const FileResult* result : {&swapped, &moved}) {
      ASSERT_FALSE(*result);
      EXPECT_EQ(result->error.find("cannot swap or move entries in one step") != std::string::npos,
                named)
          << result->error;
    }
  }
  EXPECT_EQ(readFile(root / "a"), "a");
}

// Memory that runs out while a folder is listed (under a low ulimit -v) is an exception for the
// workflow to report, not the end of the process; the folder is left as it was.
TEST(FolderEntries, MemoryThatRunsOutMidwayIsThrown) {
#ifdef LAUNCHER_SANITIZED
  GTEST_SKIP() << "the sanitizers bring their own allocator";
#endif
  TempDir root;
  writeFile(root / "a", "a");
  writeFile(root / "b", "b");
  starveAfterOneName = true;
  EXPECT_THROW(static_cast<void>(folderEntries(root.path())), std::bad_alloc);
  testing::feedMemory();
  EXPECT_FALSE(starveAfterOneName) << "no name came";
  starveAfterOneName = false;
  const auto names = folderEntries(root.path());
  ASSERT_TRUE(names);
  EXPECT_EQ(names->size(), 2U);
}

}  // namespace
}  // namespace launcher::platform

// Every rename of this test program comes here first (see failRenamesWith).
extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                         unsigned int flags) {
  using Renameat2 = int (*)(int, const char*, int, const char*, unsigned int);
  static const auto next = reinterpret_cast<Renameat2>(::dlsym(RTLD_NEXT, "renameat2"));
  if (const int error = launcher::platform::failRenamesWith; error != 0) {
    errno = error;
    return -1;
  }
  return next(fromFolder, from, toFolder, to, flags);
}

// Every folder read of this test program comes here first (see failAfterOneName).
extern "C" dirent* readdir(DIR* stream) {
  using Readdir = dirent* (*)(DIR*);
  static const auto next = reinterpret_cast<Readdir>(::dlsym(RTLD_NEXT, "readdir"));
  static bool nameCame = false;
  if (launcher::platform::failAfterOneName && nameCame) {
    launcher::platform::failAfterOneName = false;
    nameCame = false;
    errno = EIO;
    return nullptr;
  }
  dirent* entry = next(stream);
  const bool named = entry != nullptr && std::string_view(entry->d_name) != "." &&
                     std::string_view(entry->d_name) != "..";
  if (launcher::platform::failAfterOneName && named) nameCame = true;
  if (launcher::platform::starveAfterOneName && named) {
    launcher::platform::starveAfterOneName = false;
    launcher::testing::starveMemory();
  }
  return entry;
}
