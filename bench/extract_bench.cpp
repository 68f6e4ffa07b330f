// Extraction and merge speed of the install step, next to Info-ZIP's unzip and to cp -r, on one
// generated package.
//
//   extract_bench [workdir] [--cpus N]
//
// Builds a package of 7,400 files and about 173 MB (text-like and random content, some entries
// stored, the rest deflated, in 48 folders, each entry with its own date as in a publisher's
// build) in a fresh folder under `workdir` (default: the system's temporary folder). Each round
// then times, after a sync each and in an order that changes from round to round:
//   - Zipwell on every processor, then the merge of the extracted tree into an empty folder
//     (ViewController::MergeContentsOfPath, as the install does into its staging folder);
//   - the same with Zipwell held to one thread, the walk in entry order;
//   - unzip, then mv of the extracted tree;
//   - cp -r of an extracted tree.
// It prints each round, the medians and the ratios, and then where the time of one thread goes:
// the inflating alone (every entry read through minizip, nothing written) and the writing alone
// (the same files written from memory), and what these two allow at best on the processors at
// hand: both spread evenly over them. --cpus N keeps the process on N of its processors, to
// see a smaller machine. Last it prints how long reading the entries' dates takes in a zone
// without summer time and in one with it. Every tree stays until the folder it made is removed at
// the end: ext4 without a journal skips inodes freed in the last minutes when it allocates new
// ones, so files made soon after thousands were deleted come many times slower, whichever tool
// makes them: run it on a file system where nothing was deleted in bulk for a while.
#include <fcntl.h>
#include <minizip/unzip.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Launcher/ViewController.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/UniqueFd.h"
#include "Zipwell/Zipwell.h"
#include "tests/support/Doubles.h"
#include "tests/support/TestFolders.h"
#include "tests/support/ZipWriter.h"

extern char** environ;

namespace {
namespace fs = std::filesystem;
using launcher::testing::ZipEntry;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 3;
constexpr int kFolders = 48;
constexpr int kSmallFiles = 7340;  // 1 KiB .. 24 KiB each
constexpr int kLargeFiles = 60;    // 1 MiB .. 1.5 MiB each

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
  std::vector<std::uint32_t> dates;  // of every entry
};

Package writePackage(const std::string& path) {
  std::mt19937 random(20240607);
  const std::string pool = textPool(8u << 20, random);
  launcher::testing::ZipWriter writer(path);
  Package package;
  // A date within ten years, to the two seconds the format keeps: hardly two entries share one.
  std::uniform_int_distribution<unsigned> year(2015, 2024), month(1, 12), day(1, 28), hour(0, 23),
      minute(0, 59), second(0, 59);
  const auto dated = [&](ZipEntry entry) {
    entry.withDate(launcher::testing::dosDateTime(year(random), month(random), day(random),
                                                  hour(random), minute(random), second(random)));
    package.dates.push_back(entry.dosDate);
    return entry;
  };
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
    writer.add(dated(entry.withMode(index % 7 == 0 ? 0100755 : 0100644)));
    ++package.files;
    package.bytes += size;
  };
  for (int folder = 0; folder < kFolders; ++folder)
    writer.add(dated(launcher::testing::directory("app/part" + std::to_string(folder) + "/")));
  std::uniform_int_distribution<std::size_t> small(1024, 24 * 1024);
  std::uniform_int_distribution<std::size_t> large(1u << 20, 3u << 19);
  constexpr int kEvery = (kSmallFiles + kLargeFiles) / kLargeFiles;
  for (int i = 0; i < kSmallFiles + kLargeFiles; ++i)
    add(static_cast<std::size_t>(i), i % kEvery == kEvery - 1 ? large(random) : small(random));
  writer.close();
  return package;
}

double seconds(Clock::duration elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

double timed(const std::function<void()>& work) {
  ::sync();
  const auto start = Clock::now();
  work();
  return seconds(Clock::now() - start);
}

// Runs a command to its end; throws when it fails.
void run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start " + args[0]);
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(args[0] + " failed");
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

// Zipwell on `threads` threads (0: as many as the machine has) into `extracted`, then the merge
// into `merged`: both times.
struct Install {
  double extract = 0;
  double merge = 0;
  double total() const { return extract + merge; }
};

Install install(launcher::ViewController& controller, unsigned threads, const std::string& archive,
                const std::string& extracted, const std::string& merged) {
  launcher::Zipwell::setThreadCount(threads);
  fs::create_directories(merged);
  ::sync();
  const auto start = Clock::now();
  const bool extractedAll = launcher::Zipwell::unzipFileAtPath(archive, extracted);
  const auto between = Clock::now();
  const bool mergedAll = controller.MergeContentsOfPath(extracted, merged);
  const Install timing{seconds(between - start), seconds(Clock::now() - between)};
  launcher::Zipwell::setThreadCount(0);
  if (!extractedAll) throw std::runtime_error("Zipwell reported a failure");
  if (!mergedAll) throw std::runtime_error("the merge reported a failure");
  return timing;
}

// Every entry read through minizip on this thread, nothing written: the inflating alone.
double inflateAlone(const std::string& archive) {
  std::vector<char> buffer(256 * 1024);
  return timed([&] {
    unzFile zip = unzOpen64(archive.c_str());
    if (zip == nullptr) throw std::runtime_error("cannot open the package");
    for (int status = unzGoToFirstFile(zip); status == UNZ_OK; status = unzGoToNextFile(zip)) {
      if (unzOpenCurrentFile(zip) != UNZ_OK) throw std::runtime_error("cannot open an entry");
      while (unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size())) > 0) {
      }
      if (unzCloseCurrentFile(zip) != UNZ_OK) throw std::runtime_error("an entry is damaged");
    }
    if (unzClose(zip) != UNZ_OK) throw std::runtime_error("cannot close the package");
  });
}

// The files of `tree` written from memory into `destination` on this thread, with their
// folders, modes and dates, as the extraction writes them: the writing alone.
double writeAlone(const std::string& tree, const std::string& destination) {
  struct File {
    fs::path relative;
    std::string data;
    mode_t mode;
  };
  std::vector<File> files;
  std::vector<fs::path> folders;
  for (const auto& item : fs::recursive_directory_iterator(tree)) {
    const fs::path relative = item.path().lexically_relative(tree);
    if (item.is_directory()) {
      folders.push_back(relative);
    } else {
      struct stat status {};
      ::stat(item.path().c_str(), &status);
      files.push_back({relative, launcher::testing::readFile(item.path()), status.st_mode & 0777});
    }
  }
  const timespec times[2] = {timespec{0, UTIME_OMIT}, timespec{1623760200, 0}};
  return timed([&] {
    for (const fs::path& folder : folders) fs::create_directories(destination / folder);
    for (const File& file : files) {
      const launcher::platform::UniqueFd fd(::open((destination / file.relative).c_str(),
                                                   O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
      if (!fd || !launcher::platform::writeAll(fd.get(), file.data) ||
          ::futimens(fd.get(), times) != 0 || ::fchmod(fd.get(), file.mode) != 0)
        throw std::runtime_error("cannot write " + file.relative.string());
    }
  });
}

// Reads every date of `dates` as the extraction does (Zipwell::Dates) in the zone `zone`: the
// time it takes.
double readDates(const std::vector<std::uint32_t>& dates, const char* zone) {
  const launcher::testing::TimeZone inZone(zone);
  launcher::Zipwell::Dates read;
  return timed([&] {
    for (const std::uint32_t date : dates) static_cast<void>(read(date));
  });
}

// Keeps the process on the first `count` of the processors it may use.
void keepToProcessors(int count) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0)
    throw std::runtime_error("cannot read the processors");
  cpu_set_t kept;
  CPU_ZERO(&kept);
  for (int cpu = 0, left = count; cpu < CPU_SETSIZE && left > 0; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    CPU_SET(cpu, &kept);
    --left;
  }
  if (::sched_setaffinity(0, sizeof kept, &kept) != 0)
    throw std::runtime_error("cannot keep to " + std::to_string(count) + " processors");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::string parent = fs::temp_directory_path().string();
    for (int index = 1; index < argc; ++index) {
      const std::string_view arg = argv[index];
      if (arg == "--cpus" && index + 1 < argc)
        keepToProcessors(std::atoi(argv[++index]));
      else
        parent = arg;
    }
    WorkFolder work(parent);
    const std::string archive = work / "package.zip";
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ::sched_getaffinity(0, sizeof allowed, &allowed);
    std::printf("processors: %d of %u\n", CPU_COUNT(&allowed), std::thread::hardware_concurrency());

    const auto made = Clock::now();
    const Package package = writePackage(archive);
    std::printf("package: %zu files, %.1f MB uncompressed, %.1f MB archive (built in %.1f s)\n",
                package.files, static_cast<double>(package.bytes) / 1e6,
                static_cast<double>(fs::file_size(archive)) / 1e6, seconds(Clock::now() - made));

    // The merge's and the extraction's lines are not what is measured.
    launcher::platform::setConsoleSink([](launcher::platform::ConsoleStream, std::string_view) {});
    launcher::testing::UserFolders userFolders;
    launcher::testing::TestRig rig;
    const auto controller = rig.makeController();
    if (!controller) throw std::runtime_error("no controller");

    // The tree cp -r copies: one extraction's, kept.
    const std::string reference = work / "reference";
    if (!launcher::Zipwell::unzipFileAtPath(archive, reference))
      throw std::runtime_error("Zipwell reported a failure");

    std::vector<double> shared, sharedExtract, one, oneExtract, unzip, copy;
    for (int round = 1; round <= kRounds; ++round) {
      const std::string n = std::to_string(round);
      const auto ours = [&](unsigned threads, std::vector<double>& total,
                            std::vector<double>& extract) {
        const std::string name = threads == 1 ? "one" : "all";
        const Install timing = install(*controller, threads, archive, work / (name + "-x" + n),
                                       work / (name + "-m" + n));
        total.push_back(timing.total());
        extract.push_back(timing.extract);
        const Package tree = measure(work / (name + "-m" + n));
        if (tree.files != package.files || tree.bytes != package.bytes)
          throw std::runtime_error("Zipwell's tree differs from the package");
      };
      const auto unzipAndMove = [&] {
        const std::string into = work / ("unzip-x" + n), moved = work / ("unzip-m" + n);
        fs::create_directories(moved);
        unzip.push_back(timed([&] {
          run({"unzip", "-o", "-q", archive, "-d", into});
          run({"mv", into + "/app", moved + "/app"});
        }));
        const Package tree = measure(moved);
        if (tree.files != package.files || tree.bytes != package.bytes)
          throw std::runtime_error("unzip's tree differs from the package");
      };
      const auto copyTree = [&] {
        copy.push_back(timed([&] { run({"cp", "-r", reference, work / ("copy" + n)}); }));
      };
      const std::vector<std::function<void()>> steps = {[&] { ours(0, shared, sharedExtract); },
                                                        [&] { ours(1, one, oneExtract); },
                                                        unzipAndMove, copyTree};
      for (std::size_t step = 0; step < steps.size(); ++step)
        steps[(step + static_cast<std::size_t>(round) - 1) % steps.size()]();
      std::printf(
          "round %d: Zipwell+merge %.3f s (extract %.3f)   one thread %.3f s (extract %.3f)   "
          "unzip+mv %.3f s   cp -r %.3f s\n",
          round, shared.back(), sharedExtract.back(), one.back(), oneExtract.back(), unzip.back(),
          copy.back());
    }

    const double sharedTime = median(shared), oneTime = median(one), unzipTime = median(unzip),
                 copyTime = median(copy);
    std::printf(
        "median:  Zipwell+merge %.3f s (extract %.3f)   one thread %.3f s (extract %.3f)   "
        "unzip+mv %.3f s   cp -r %.3f s\n",
        sharedTime, median(sharedExtract), oneTime, median(oneExtract), unzipTime, copyTime);
    std::printf("ratio to cp -r:     Zipwell+merge %.2f   one thread %.2f\n", sharedTime / copyTime,
                oneTime / copyTime);
    std::printf("ratio to unzip+mv:  Zipwell+merge %.2f   one thread %.2f\n",
                sharedTime / unzipTime, oneTime / unzipTime);

    const double inflate = inflateAlone(archive);
    const double write = writeAlone(reference, work / "written");
    std::printf("one thread alone:   inflate %.3f s   write %.3f s\n", inflate, write);
    // However the work is shared, extracting takes at least the inflating and the writing spread
    // evenly over the processors; the merge comes on top.
    const int processors = CPU_COUNT(&allowed);
    std::printf(
        "least possible on %d processors: extract %.3f s = %.2f times cp -r, before the merge\n",
        processors, (inflate + write) / processors, (inflate + write) / processors / copyTime);
    // The extraction reads each distinct date once, before it writes anything.
    std::printf("the entries' dates:  UTC %.1f ms   Asia/Tokyo %.1f ms   Europe/Berlin %.1f ms\n",
                readDates(package.dates, "UTC") * 1e3, readDates(package.dates, "Asia/Tokyo") * 1e3,
                readDates(package.dates, "Europe/Berlin") * 1e3);
    launcher::platform::setConsoleSink({});
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "extract_bench: %s\n", failure.what());
    return 1;
  }
}
