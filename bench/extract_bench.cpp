// Extraction speed of Zipwell next to Info-ZIP's unzip on one generated package.
//
//   extract_bench [workdir]
//
// Builds a package of a few thousand files (text-like and random content, some folders) in a
// fresh folder under `workdir` (default: the system's temporary folder), extracts it several
// times with each tool, alternating which one goes first, and prints the wall times, the
// medians and the ratio. The folder it made is removed at the end.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Zipwell/Zipwell.h"
#include "tests/support/ZipWriter.h"

extern char** environ;

namespace {
namespace fs = std::filesystem;
using launcher::testing::ZipEntry;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 3;
constexpr int kFolders = 48;
constexpr int kSmallFiles = 5200;  // 1 KiB .. 32 KiB each
constexpr int kLargeFiles = 64;    // 1 MiB .. 7 MiB each

// A folder of our own under `parent`, removed with everything in it at the end.
class WorkFolder {
 public:
  explicit WorkFolder(const std::string& parent) {
    std::string pattern = parent + "/extract-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("cannot create a folder under " + parent);
    path_ = pattern;
  }
  ~WorkFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Words strung together: compresses roughly like source text or markup.
std::string textPool(std::size_t size, std::mt19937& random) {
  static const char* const kWords[] = {
      "launcher", "update", "version", "return",  "const", "struct", "include", "static",
      "void",     "string", "folder",  "archive", "entry", "value",  "result",  "error",
      "the",      "of",     "and",     "to",      "in",    "for",    "with",    "<div>",
      "</div>",   "class=", "{",       "}",       "();",   "0x1F",   "=",       "if",
  };
  std::uniform_int_distribution<std::size_t> word(0, std::size(kWords) - 1);
  std::uniform_int_distribution<int> lineLength(4, 14);
  std::string text;
  text.reserve(size + 64);
  while (text.size() < size) {
    for (int n = lineLength(random); n > 0; --n) (text += kWords[word(random)]) += ' ';
    text.back() = '\n';
  }
  text.resize(size);
  return text;
}

struct Package {
  std::size_t files = 0;
  std::size_t bytes = 0;
};

Package writePackage(const std::string& path) {
  std::mt19937 random(20240607);
  const std::string pool = textPool(8u << 20, random);
  launcher::testing::ZipWriter writer(path);
  Package package;
  const auto add = [&](std::size_t index, std::size_t size) {
    const std::string folder = "app/part" + std::to_string(index % kFolders) + "/";
    ZipEntry entry;
    if (index % 5 < 3) {  // three in five text-like
      const std::size_t at =
          std::uniform_int_distribution<std::size_t>(0, pool.size() - size)(random);
      entry = launcher::testing::file(folder + "file" + std::to_string(index) + ".txt",
                                      pool.substr(at, size));
    } else {
      entry = launcher::testing::file(folder + "blob" + std::to_string(index) + ".bin",
                                      launcher::testing::pseudoRandomBytes(size, random()));
      if (index % 2 == 0) entry.stored();
    }
    writer.add(entry.withMode(index % 7 == 0 ? 0100755 : 0100644));
    ++package.files;
    package.bytes += size;
  };
  for (int folder = 0; folder < kFolders; ++folder)
    writer.add(launcher::testing::directory("app/part" + std::to_string(folder) + "/"));
  std::uniform_int_distribution<std::size_t> small(1024, 32 * 1024);
  std::uniform_int_distribution<std::size_t> large(1u << 20, 7u << 20);
  for (int i = 0; i < kSmallFiles + kLargeFiles; ++i)
    add(static_cast<std::size_t>(i), i % 82 == 81 ? large(random) : small(random));
  writer.close();
  return package;
}

double seconds(Clock::duration elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

double cpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Wall time and processor time (user + system) of one extraction.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

Timing timeOurs(const std::string& archive, const std::string& destination) {
  ::sync();
  rusage before{}, after{};
  ::getrusage(RUSAGE_SELF, &before);
  const auto start = Clock::now();
  const bool ok = launcher::Zipwell::unzipFileAtPath(archive, destination);
  const double wall = seconds(Clock::now() - start);
  ::getrusage(RUSAGE_SELF, &after);
  if (!ok) throw std::runtime_error("Zipwell reported a failure");
  return {wall, cpuSeconds(after) - cpuSeconds(before)};
}

Timing timeUnzip(const std::string& archive, const std::string& destination) {
  std::vector<std::string> args = {"unzip", "-o", "-q", archive, "-d", destination};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  ::sync();
  const auto start = Clock::now();
  pid_t child = 0;
  if (::posix_spawnp(&child, "unzip", nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start unzip");
  int status = 0;
  rusage usage{};
  if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("unzip failed");
  return {seconds(Clock::now() - start), cpuSeconds(usage)};
}

// Files and bytes under `folder`.
Package measure(const std::string& folder) {
  Package tree;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    if (!item.is_regular_file()) continue;
    ++tree.files;
    tree.bytes += item.file_size();
  }
  return tree;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string parent = argc > 1 ? argv[1] : fs::temp_directory_path().string();
    WorkFolder work(parent);
    const std::string archive = work / "package.zip";

    const auto made = Clock::now();
    const Package package = writePackage(archive);
    std::printf("package: %zu files, %.1f MB uncompressed, %.1f MB archive (built in %.1f s)\n",
                package.files, static_cast<double>(package.bytes) / 1e6,
                static_cast<double>(fs::file_size(archive)) / 1e6, seconds(Clock::now() - made));

    std::vector<Timing> ours, unzip;
    for (int round = 1; round <= kRounds; ++round) {
      const std::string oursDir = work / ("ours" + std::to_string(round));
      const std::string unzipDir = work / ("unzip" + std::to_string(round));
      if (round % 2 == 1) {
        ours.push_back(timeOurs(archive, oursDir));
        unzip.push_back(timeUnzip(archive, unzipDir));
      } else {
        unzip.push_back(timeUnzip(archive, unzipDir));
        ours.push_back(timeOurs(archive, oursDir));
      }
      const Package a = measure(oursDir), b = measure(unzipDir);
      if (a.files != package.files || a.bytes != package.bytes || b.files != a.files ||
          b.bytes != a.bytes)
        throw std::runtime_error("the two trees differ");
      std::printf("round %d: Zipwell %.3f s (cpu %.3f s)   unzip %.3f s (cpu %.3f s)\n", round,
                  ours.back().wall, ours.back().cpu, unzip.back().wall, unzip.back().cpu);
      fs::remove_all(oursDir);
      fs::remove_all(unzipDir);
    }
    const auto medianOf = [](const std::vector<Timing>& timings, double Timing::*field) {
      std::vector<double> values;
      for (const Timing& timing : timings) values.push_back(timing.*field);
      return median(values);
    };
    const double oursWall = medianOf(ours, &Timing::wall),
                 unzipWall = medianOf(unzip, &Timing::wall);
    const double oursCpu = medianOf(ours, &Timing::cpu), unzipCpu = medianOf(unzip, &Timing::cpu);
    std::printf("median:  Zipwell %.3f s (cpu %.3f s)   unzip %.3f s (cpu %.3f s)\n", oursWall,
                oursCpu, unzipWall, unzipCpu);
    std::printf("ratio Zipwell/unzip: wall %.2f   cpu %.2f\n", oursWall / unzipWall,
                oursCpu / unzipCpu);
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "extract_bench: %s\n", failure.what());
    return 1;
  }
}
