// Times the install of a package of some thousand small files into an install folder that
// already holds part of it, two ways side by side on the same data: today's staged install
// (seed a staging folder with hard links, merge into it, check, journal, switch, record, remove
// the old entries) and the former in-place merge (MergeContentsOfPath straight into the install
// folder, record). The one syncfs before the switch is timed apart. A reference tool copies the
// same tree on the same file system: rsync when it is installed, otherwise cp -r.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Launcher/Config.h"
#include "Launcher/Installer.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/FileManager.h"
#include "tests/support/Doubles.h"
#include "tests/support/TestFolders.h"

namespace {
namespace fs = std::filesystem;
using launcher::testing::TempDir;

constexpr int kFolders = 10;
constexpr int kFilesPerFolder = 520;
constexpr int kInstalledFolders = 4;  // already present before the install, with older contents
constexpr int kRounds = 7;

std::string folderName(int folder) {
  return launcher::APPLICATION_NAME() + ".app/Contents/part-" + std::to_string(folder);
}

void writeSmall(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// The package tree, or with `older` set the part of it that an earlier version installed.
void buildTree(const fs::path& root, bool older) {
  const fs::path bundle = root / (launcher::APPLICATION_NAME() + ".app");
  fs::create_directories(bundle);
  writeSmall(bundle / "AppRun", older ? "#!/bin/sh\necho old\n" : "#!/bin/sh\necho new\n");
  fs::permissions(bundle / "AppRun", fs::perms(0755));
  const int folders = older ? kInstalledFolders : kFolders;
  for (int folder = 0; folder < folders; ++folder) {
    const fs::path dir = root / folderName(folder);
    fs::create_directories(dir);
    for (int file = 0; file < kFilesPerFolder; ++file) {
      const std::string name = "file-" + std::to_string(file) + ".dat";
      writeSmall(dir / name, (older ? "old " : "new ") + std::string(120, 'x') + name);
    }
    if (older) writeSmall(dir / "user-settings.cfg", "kept");
  }
}

std::size_t countFiles(const fs::path& root) {
  std::size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && entry.path().filename() != "version.txt") ++count;
  return count;
}

// Standard output goes to /dev/null while the object lives.
class SilencedStdout {
 public:
  SilencedStdout() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ < 0 || null < 0 || ::dup2(null, STDOUT_FILENO) < 0) {
      std::perror("merge_bench: cannot silence standard output");
      std::exit(2);
    }
    ::close(null);
  }
  ~SilencedStdout() {
    std::fflush(stdout);
    if (::dup2(saved_, STDOUT_FILENO) < 0) std::perror("merge_bench: cannot restore stdout");
    ::close(saved_);
  }
  SilencedStdout(const SilencedStdout&) = delete;
  SilencedStdout& operator=(const SilencedStdout&) = delete;

 private:
  int saved_ = -1;
};

double seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool haveRsync() {
  return std::system("command -v rsync >/dev/null 2>&1") == 0;
}

struct Timing {
  double inPlace = 0, staged = 0, syncfs = 0;
  bool ok = true;
};

// One round: both ways on fresh copies of the same trees, in the given order.
Timing round(launcher::ViewController& controller, bool stagedFirst) {
  TempDir work;
  const fs::path inPlacePackage = work / "Content-a", inPlaceInstall = work / "install-a";
  const fs::path stagedPackage = work / "Content-b", stagedInstall = work / "install-b";
  buildTree(inPlacePackage, false);
  buildTree(stagedPackage, false);
  buildTree(inPlaceInstall, true);
  buildTree(stagedInstall, true);
  const std::size_t expectedFiles = countFiles(inPlacePackage) + kInstalledFolders;
  // Whatever the other way left for the disk to write is written before each is timed.
  const auto settle = [&] { launcher::platform::syncFileSystem(work.path()); };
  Timing timing;

  const auto inPlace = [&] {
    settle();
    timing.inPlace = seconds([&] {
      SilencedStdout silence;
      timing.ok &= controller.MergeContentsOfPath(inPlacePackage, inPlaceInstall);
      controller.WriteVersion("5");
      launcher::platform::removeItem(inPlacePackage);
    });
  };
  const auto staged = [&] {
    settle();
    launcher::Installer installer(stagedInstall, launcher::APPLICATION_NAME());
    double beforeSync = 0, afterSync = 0;
    beforeSync = seconds([&] {
      SilencedStdout silence;
      timing.ok &= static_cast<bool>(installer.begin(4, 5, ""));
      controller.WriteVersion("0");
      timing.ok &= static_cast<bool>(installer.stage(stagedPackage));
      timing.ok &= controller.MergeContentsOfPath(stagedPackage, installer.stagingFolder());
      timing.ok &= static_cast<bool>(installer.check());
    });
    timing.syncfs = seconds([&] { timing.ok &= static_cast<bool>(installer.flushStaging()); });
    afterSync = seconds([&] {
      timing.ok &= static_cast<bool>(installer.journalSwitch());
      timing.ok &= installer.switchEntries().switched;
      controller.WriteVersion("5");
      installer.finish();
      launcher::platform::removeItem(stagedPackage);
    });
    timing.staged = beforeSync + afterSync;
  };
  if (stagedFirst) {
    staged();
    inPlace();
  } else {
    inPlace();
    staged();
  }
  timing.ok &=
      countFiles(inPlaceInstall) == expectedFiles && countFiles(stagedInstall) == expectedFiles;
  return timing;
}

}  // namespace

int main() {
  launcher::testing::UserFolders folders;
  launcher::testing::TestRig rig;
  auto controller = rig.makeController();
  if (!controller) {
    std::fprintf(stderr, "merge_bench: no controller\n");
    return 2;
  }
  fs::create_directories(controller->installFolder());

  std::vector<double> inPlace, staged, syncfs, ratios;
  bool ok = true;
  for (int index = 0; index < kRounds; ++index) {
    const Timing timing = round(*controller, index % 2 == 1);
    ok &= timing.ok;
    inPlace.push_back(timing.inPlace);
    staged.push_back(timing.staged);
    syncfs.push_back(timing.syncfs);
    ratios.push_back(timing.staged / timing.inPlace);
    std::printf("round %d (%s first): in-place %.3f s, staged %.3f s + syncfs %.3f s\n", index + 1,
                index % 2 == 1 ? "staged" : "in-place", timing.inPlace, timing.staged,
                timing.syncfs);
  }

  TempDir reference;
  buildTree(reference / "source", false);
  buildTree(reference / "target", true);
  const bool rsync = haveRsync();
  const std::string command =
      rsync ? "rsync -a '" + reference / "source" + "/' '" + reference / "target" + "/'"
            : "cp -r -T '" + reference / "source" + "' '" + reference / "target" + "'";
  int referenceStatus = 0;
  launcher::platform::syncFileSystem(reference.path());
  const double referenceTime = seconds([&] {
    SilencedStdout silence;
    referenceStatus = std::system(command.c_str());
  });

  std::printf("files in package:        %d in %d folders (%d folders already installed)\n",
              kFolders * kFilesPerFolder + 1, kFolders, kInstalledFolders);
  std::printf("median of %d rounds, each way on its own copy of the same trees:\n", kRounds);
  std::printf("in-place merge:          %.3f s\n", median(inPlace));
  std::printf("staged install:          %.3f s  (without the syncfs)\n", median(staged));
  std::printf("staged/in-place:         %+.1f %% (median of the rounds' own ratios)\n",
              100.0 * (median(ratios) - 1.0));
  std::printf("syncfs before the switch: %.3f s\n", median(syncfs));
  std::printf("reference (%s):%s%.3f s\n", rsync ? "rsync -a" : "cp -r", rsync ? "   " : "      ",
              referenceTime);
  std::printf("ratio staged/reference:  %.2f\n", median(staged) / referenceTime);

  if (!ok || referenceStatus != 0) {
    std::fprintf(stderr, "merge_bench: unexpected result\n");
    return 1;
  }
  return 0;
}
