// Times MergeContentsOfPath on a package of some thousand small files into an install folder that
// already holds part of it, next to a reference tool copying the same tree on the same file
// system: rsync when it is installed, otherwise cp -r.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "Launcher/ViewController.h"
#include "tests/support/Doubles.h"
#include "tests/support/TestFolders.h"

namespace {
namespace fs = std::filesystem;
using launcher::testing::TempDir;

constexpr int kFolders = 10;
constexpr int kFilesPerFolder = 520;
constexpr int kInstalledFolders = 4;  // already present before the merge, with older contents

std::string folderName(int folder) {
  return "Vantorel.app/Contents/part-" + std::to_string(folder);
}

void writeSmall(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

// The package tree, or with `older` set the part of it that an earlier version installed.
void buildTree(const fs::path& root, bool older) {
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
    if (entry.is_regular_file()) ++count;
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

bool haveRsync() {
  return std::system("command -v rsync >/dev/null 2>&1") == 0;
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

  TempDir work;
  const fs::path package = work / "Content";
  const fs::path install = work / "install";
  const fs::path referenceSource = work / "reference-source";
  const fs::path referenceTarget = work / "reference-install";
  buildTree(package, false);
  buildTree(referenceSource, false);
  buildTree(install, true);
  buildTree(referenceTarget, true);
  const std::size_t packageFiles = countFiles(package);
  const std::size_t expectedFiles = packageFiles + kInstalledFolders;  // plus the kept settings

  bool merged = false;
  const double mergeTime = seconds([&] {
    SilencedStdout silence;
    merged = controller->MergeContentsOfPath(package.string(), install.string());
  });

  const bool rsync = haveRsync();
  const std::string command =
      rsync ? "rsync -a '" + referenceSource.string() + "/' '" + referenceTarget.string() + "/'"
            : "cp -r -T '" + referenceSource.string() + "' '" + referenceTarget.string() + "'";
  int referenceStatus = 0;
  const double referenceTime = seconds([&] {
    SilencedStdout silence;
    referenceStatus = std::system(command.c_str());
  });

  const std::size_t installed = countFiles(install);
  std::printf("files in package:        %zu in %d folders (%d folders already installed)\n",
              packageFiles, kFolders, kInstalledFolders);
  std::printf("MergeContentsOfPath:     %.3f s  (%s, %zu files in the install folder)\n", mergeTime,
              merged ? "succeeded" : "FAILED", installed);
  std::printf("reference (%s):%s%.3f s\n", rsync ? "rsync -a" : "cp -r", rsync ? "   " : "      ",
              referenceTime);
  std::printf("ratio merge/reference:   %.2f\n", mergeTime / referenceTime);

  if (!merged || installed != expectedFiles || referenceStatus != 0) {
    std::fprintf(stderr, "merge_bench: unexpected result (expected %zu files)\n", expectedFiles);
    return 1;
  }
  return 0;
}
