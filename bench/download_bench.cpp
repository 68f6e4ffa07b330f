// Time and peak memory of the package download for large packages, side by side with the curl
// command-line tool fetching the same bodies from the same server; then, for the largest package,
// the download with progress reporting (as the launcher's download bar gets it) side by side with
// the same download without it, and the download with signature verification side by side with
// the same download without it.
//
// The server runs in this process and makes its bodies on the fly, so the figure for our process
// covers the server too. The verification is also timed with the package served by nginx from a
// file, as a publisher's server sends it, when nginx is installed. Our peak is the high-water mark
// of the resident set (VmHWM), reset before each download; the tool's is its own ru_maxrss, from
// wait4. The verified download must not read the package a second time: an inotify watch on the
// install folder counts every open and every read of a file there during each download. Beside the
// verified download, the digest alone and the sync of the package alone show where its time goes on
// the machine at hand. On a virtual machine whose balloon gives free memory back to its host, the
// page cache costs several times more to fill in some runs than in others (the host must hand the
// memory back first): medians of one run compare with each other, runs with each other less so.
#include <fcntl.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Launcher/DownloadProgress.h"
#include "Launcher/HttpDownloader.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/UniqueFd.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/TestFolders.h"

extern char** environ;

namespace {
namespace fs = std::filesystem;
using launcher::HttpDownloader;
using launcher::platform::ErrorRecord;
using launcher::platform::Url;
using launcher::testing::LocalHttpServer;
using launcher::testing::NginxServer;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr double kGoalMiB = 64;
// Verification may add at most this share to the download's time.
constexpr double kVerificationGoal = 0.05;
constexpr int kVerificationRounds = 5;
// Progress reporting may add at most this share.
constexpr double kProgressGoal = 0.02;
constexpr int kProgressRounds = 9;
// The downloader writes (and reports) the body in pieces of at most this size.
constexpr std::uint64_t kPieceBytes = 128 * 1024;
// A fast network link, for the paced rows, sent in pieces of this size.
constexpr int kPacedMiBPerSecond = 256;
constexpr std::size_t kPacedPiece = 64 * 1024;

struct Run {
  bool ok = false;
  double seconds = 0;
  double peakMiB = 0;
  double cpuSeconds = 0;  // user and system time of this process (the server included)
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Starts a fresh peak for VmHWM (Linux 4.0 and later); false when the kernel refuses.
bool resetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

double peakResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Like LocalHttpServer::serveGenerated, but sent no faster than `bytesPerSecond`.
void serveGeneratedPaced(LocalHttpServer& server, const std::string& path, std::uint64_t size,
                         std::uint64_t bytesPerSecond) {
  server.handle(path, [size, bytesPerSecond](const httplib::Request&, httplib::Response& response) {
    const auto start =
        std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    response.set_content_provider(
        static_cast<std::size_t>(size), "application/octet-stream",
        [start, bytesPerSecond](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          std::this_thread::sleep_until(
              *start + std::chrono::duration<double>(static_cast<double>(offset) /
                                                     static_cast<double>(bytesPerSecond)));
          static const std::string pattern = [] {
            std::string bytes(kPacedPiece + 251, '\0');
            for (std::size_t i = 0; i < bytes.size(); ++i)
              bytes[i] = LocalHttpServer::generatedByte(i);
            return bytes;
          }();
          return sink.write(pattern.data() + offset % 251, std::min(length, kPacedPiece));
        });
  });
}

// Opens and reads of files in one folder, counted by inotify while the object lives.
class FolderAccess {
 public:
  explicit FolderAccess(const std::string& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    watching_ = fd_ && inotify_add_watch(fd_.get(), folder.c_str(), IN_OPEN | IN_ACCESS) >= 0;
  }
  bool watching() const { return watching_; }
  // Drains the events so far; call often enough that the queue does not overflow.
  void collect() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      const ssize_t count = ::read(fd_.get(), buffer, sizeof buffer);
      if (count <= 0) return;
      for (ssize_t at = 0; at < count;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & IN_OPEN) ++opens;
        if (event->mask & IN_ACCESS) ++reads;
        if (event->mask & IN_Q_OVERFLOW) overflowed = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }
  int opens = 0, reads = 0;
  bool overflowed = false;

 private:
  launcher::platform::UniqueFd fd_;
  bool watching_ = false;
};

Run ours(const std::string& address, const std::string& folder, const std::string& expectedPath,
         std::uint64_t size, const HttpDownloader::Options& options = {}, bool keep = false) {
  Run run;
  const double cpuStart = processCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::string path;
  std::optional<ErrorRecord> error;
  HttpDownloader::loadFileSync(
      *Url::parse(address), folder,
      [&](const std::string& p, const std::optional<ErrorRecord>& e) {
        path = p;
        error = e;
      },
      options);
  run.seconds = secondsSince(start);
  run.cpuSeconds = processCpuSeconds() - cpuStart;
  run.peakMiB = peakResidentMiB();
  std::error_code ignored;
  run.ok = !error && path == expectedPath && fs::file_size(path, ignored) == size;
  if (error) std::fprintf(stderr, "download failed: %s\n", error->description.c_str());
  if (!keep) fs::remove(expectedPath, ignored);
  return run;
}

struct Verification {
  bool ok = false;
  double plainSeconds = 0, verifiedSeconds = 0;  // medians
  double plainCpu = 0, verifiedCpu = 0;          // medians
  int plainOpens = 0, plainReads = 0, verifiedOpens = 0, verifiedReads = 0;
  bool counted = false;
  // Where a verified download's time goes on this machine, each measured alone: the digest of
  // the whole package on one processor, and the sync of the whole package written at once (the
  // download starts its writes to the disk as it goes, and waits at the end only for the rest).
  double digestAloneSeconds = 0, syncAloneSeconds = 0;
};

// The package's bytes, as the server sends them, in pieces of kPieceBytes.
template <typename Sink>
void generatePieces(std::uint64_t size, Sink&& sink) {
  std::string piece(kPieceBytes + 251, '\0');
  for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = LocalHttpServer::generatedByte(i);
  for (std::uint64_t offset = 0; offset < size; offset += kPieceBytes)
    sink(piece.data() + offset % 251,
         static_cast<std::size_t>(std::min(kPieceBytes, size - offset)));
}

// The verifier's digest of `size` bytes on this thread, nothing else.
double digestAlone(const std::string& publicKeyLine, const std::string& signature,
                   std::uint64_t size) {
  const auto key = launcher::minisign::parsePublicKey(publicKeyLine);
  auto parsed = launcher::minisign::parseSignature(signature);
  if (!key || !parsed) return 0;
  launcher::minisign::PackageVerifier verifier(*key, std::move(*parsed), 1);
  const auto start = std::chrono::steady_clock::now();
  generatePieces(size, [&](const char* data, std::size_t count) { verifier.update(data, count); });
  return secondsSince(start);
}

// Writes the generated body of `size` bytes to a new file at `path`; returns the file, still
// open, or none when it could not be written whole.
launcher::platform::UniqueFd writeGenerated(const std::string& path, std::uint64_t size) {
  launcher::platform::UniqueFd file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  bool written = static_cast<bool>(file);
  generatePieces(size, [&](const char* data, std::size_t count) {
    written = written && launcher::platform::writeAll(file.get(), std::string_view(data, count));
  });
  if (!written) static_cast<void>(file.reset());
  return file;
}

// Writes `size` bytes to `path` at once, then times the fsync alone.
double syncAlone(const std::string& path, std::uint64_t size) {
  const launcher::platform::UniqueFd file = writeGenerated(path, size);
  const auto start = std::chrono::steady_clock::now();
  const bool synced = file && ::fsync(file.get()) == 0;
  const double seconds = secondsSince(start);
  std::error_code ignored;
  fs::remove(path, ignored);
  return synced ? seconds : 0;
}

// The 1 GiB download with and without verification, alternating, kVerificationRounds each.
Verification compareVerification(const std::string& address, const std::string& folder,
                                 const std::string& expectedPath, std::uint64_t size) {
  Verification result;
  // Sign what the server sends: download it once, unverified, and sign the file.
  if (!ours(address, folder, expectedPath, size, {}, /*keep=*/true).ok) return result;
  const auto keys = launcher::minisign::generateKeyPair("download_bench");
  const auto secret =
      keys ? launcher::minisign::parseSecretKey(keys->secretKeyFile)
           : launcher::minisign::Result<launcher::minisign::SecretKey>::failure(keys.error());
  const auto signature = secret ? launcher::minisign::signFile(*secret, expectedPath, "version:1")
                                : launcher::minisign::Result<std::string>::failure(secret.error());
  std::error_code ignored;
  fs::remove(expectedPath, ignored);
  if (!signature) {
    std::fprintf(stderr, "cannot sign the package: %s\n", signature.error().c_str());
    return result;
  }
  HttpDownloader::Options verified;
  verified.publicKey = keys->publicKeyLine;
  verified.signature = *signature;
  verified.expectedVersion = 1;

  std::vector<double> plain, checked, plainCpu, checkedCpu;
  result.ok = true;
  result.counted = true;
  for (int round = 0; round < kVerificationRounds; ++round) {
    for (const bool verify : {false, true}) {
      FolderAccess access(folder);
      const Run run =
          ours(address, folder, expectedPath, size, verify ? verified : HttpDownloader::Options{});
      access.collect();
      result.ok = result.ok && run.ok;
      result.counted = result.counted && access.watching() && !access.overflowed;
      (verify ? checked : plain).push_back(run.seconds);
      (verify ? checkedCpu : plainCpu).push_back(run.cpuSeconds);
      (verify ? result.verifiedOpens : result.plainOpens) = access.opens;
      (verify ? result.verifiedReads : result.plainReads) = access.reads;
    }
  }
  result.digestAloneSeconds = digestAlone(keys->publicKeyLine, *signature, size);
  result.syncAloneSeconds = syncAlone(expectedPath, size);
  result.plainSeconds = median(plain);
  result.verifiedSeconds = median(checked);
  result.plainCpu = median(plainCpu);
  result.verifiedCpu = median(checkedCpu);
  return result;
}

struct ProgressCost {
  bool ok = true;
  double plainSeconds = 0, reportedSeconds = 0;  // medians
  double plainPeakMiB = 0, reportedPeakMiB = 0;  // the largest of the runs
  std::size_t shown = 0;                         // states shown in the last reported run
};

// The download without progress reporting and with it as the launcher has it (every piece
// written reported to a DownloadProgress, which shows about ten states a second), alternating,
// kProgressRounds each.
ProgressCost compareProgress(const std::string& address, const std::string& folder,
                             const std::string& expectedPath, std::uint64_t size) {
  ProgressCost result;
  std::vector<double> plain, reported;
  for (int round = 0; round < kProgressRounds; ++round) {
    for (const bool report : {false, true}) {
      std::size_t shown = 0;
      launcher::DownloadDisplay last;
      launcher::DownloadProgress progress([&](const launcher::DownloadDisplay& display) {
        last = display;
        ++shown;
      });
      HttpDownloader::Options options;
      if (report) options.progress = progress.reporter();
      resetPeak();
      const Run run = ours(address, folder, expectedPath, size, options);
      result.ok = result.ok && run.ok && (!report || (shown > 0 && last.percent == 100));
      (report ? reported : plain).push_back(run.seconds);
      double& peak = report ? result.reportedPeakMiB : result.plainPeakMiB;
      peak = std::max(peak, run.peakMiB);
      if (report) result.shown = shown;
    }
  }
  result.plainSeconds = median(plain);
  result.reportedSeconds = median(reported);
  return result;
}

Run tool(const std::string& address, const std::string& output, std::uint64_t size) {
  Run run;
  std::vector<std::string> words = {"curl", "-s", "-o", output, address};
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start curl\n");
    return run;
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = secondsSince(start);
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  std::error_code ignored;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && fs::file_size(output, ignored) == size;
  fs::remove(output, ignored);
  return run;
}

void printRow(const char* size, const char* who, const Run& run, std::uint64_t bytes) {
  if (!run.ok) {
    std::printf("%-8s  %-14s  failed\n", size, who);
    return;
  }
  std::printf("%-8s  %-14s  %7.2f s  %8.1f MiB/s  %7.1f MiB\n", size, who, run.seconds,
              static_cast<double>(bytes) / kMiB / run.seconds, run.peakMiB);
}

}  // namespace

int main() {
  launcher::testing::UserFolders folders;
  const std::string install = folders.installFolder();
  fs::create_directories(install);
  LocalHttpServer server;

  struct Size {
    const char* label;
    std::uint64_t bytes;
    std::string path;
  };
  const std::vector<Size> sizes = {{"100 MiB", 100 * kMiB, "/package-100M.zip"},
                                   {"1 GiB", 1024 * kMiB, "/package-1G.zip"}};
  struct Result {
    Run ours, tool;
  };
  std::vector<Result> results;
  bool peakIsPerRun = true;
  for (const Size& size : sizes) {
    server.serveGenerated(size.path, size.bytes);
    peakIsPerRun = resetPeak() && peakIsPerRun;
    Result result;
    result.ours = ours(server.url(size.path), install, install + size.path, size.bytes);
    result.tool = tool(server.url(size.path), folders.root() + "/curl-output", size.bytes);
    results.push_back(result);
  }

  std::printf("\n%-8s  %-14s  %9s  %14s  %11s\n", "size", "client", "time", "throughput",
              "peak RSS");
  bool goalMet = true;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    printRow(sizes[i].label, "loadFileSync", results[i].ours, sizes[i].bytes);
    printRow(sizes[i].label, "curl -s -o", results[i].tool, sizes[i].bytes);
    goalMet = goalMet && results[i].ours.ok && results[i].ours.peakMiB < kGoalMiB;
  }
  std::printf("\npeak RSS of loadFileSync: %s (server included)%s\n",
              peakIsPerRun ? "per download" : "whole process so far",
              goalMet ? "; under 64 MiB for every size" : "; GOAL OF 64 MiB MISSED");

  // Progress reporting, on the largest package at loopback speed, where any cost shows most.
  const Size& largest = sizes.back();
  const ProgressCost progress =
      compareProgress(server.url(largest.path), install, install + largest.path, largest.bytes);
  if (!progress.ok) {
    std::printf("progress: a download failed or its bar did not end full\n");
    return 1;
  }
  const double progressAdded = progress.reportedSeconds / progress.plainSeconds - 1;
  // The reporting alone, free of the noise of a transfer: one report per piece of the package,
  // its own clock included.
  double reportingSeconds = 0;
  {
    std::size_t shown = 0;
    launcher::DownloadProgress alone([&](const launcher::DownloadDisplay&) { ++shown; });
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t received = kPieceBytes; received <= largest.bytes; received += kPieceBytes)
      alone.update(received, largest.bytes);
    reportingSeconds = secondsSince(start);
  }
  std::printf("\n%-8s  %-26s  %9s  %14s  %9s\n", "size", "loadFileSync", "time", "throughput",
              "peak RSS");
  std::printf("%-8s  %-26s  %7.2f s  %8.1f MiB/s  %5.1f MiB\n", largest.label, "without progress",
              progress.plainSeconds,
              static_cast<double>(largest.bytes) / kMiB / progress.plainSeconds,
              progress.plainPeakMiB);
  std::printf("%-8s  %-26s  %7.2f s  %8.1f MiB/s  %5.1f MiB\n", largest.label,
              "with progress reported", progress.reportedSeconds,
              static_cast<double>(largest.bytes) / kMiB / progress.reportedSeconds,
              progress.reportedPeakMiB);
  std::printf(
      "medians of %d alternating runs (peak: the largest); progress reporting takes %.3f times "
      "the time (goal: at most %.2f)%s; %zu states shown in the last run\n",
      kProgressRounds, 1 + progressAdded, 1 + kProgressGoal,
      progressAdded <= kProgressGoal ? "" : ": GOAL MISSED", progress.shown);
  std::printf("reporting alone: %.2f ms for the %llu reports of a 1 GiB download\n",
              reportingSeconds * 1000,
              static_cast<unsigned long long>(largest.bytes / kPieceBytes));
  goalMet = goalMet && progressAdded <= kProgressGoal;

  // Signature verification, on the largest package: at loopback speed, where the transfer and the
  // digest compete for the processors, and paced like a fast network link, where the transfer
  // waits for the network.
  const std::string paced = "/package-1G-paced.zip";
  serveGeneratedPaced(server, paced, largest.bytes, kPacedMiBPerSecond * kMiB);
  struct Setting {
    std::string label;
    std::string address;
    std::string path;
  };
  std::vector<Setting> settings = {
      {"loopback", server.url(largest.path), largest.path},
      {"paced " + std::to_string(kPacedMiBPerSecond) + " MiB/s", server.url(paced), paced}};
  // The same bytes from a file that nginx sends as a publisher's server would, when it is
  // installed: the server then costs this process nothing, and nginx little.
  std::unique_ptr<NginxServer> nginx;
  if (!NginxServer::program().empty()) {
    const std::string feed = folders.root() + "/feed";
    fs::create_directories(feed);
    try {
      if (writeGenerated(feed + largest.path, largest.bytes)) {
        nginx = std::make_unique<NginxServer>(feed, "", folders.root() + "/nginx");
        settings.push_back({"nginx (sendfile)", nginx->address() + largest.path, largest.path});
      }
    } catch (const std::runtime_error& error) {
      std::printf("nginx: %s\n", error.what());
    }
  }
  std::printf("\n%-8s  %-18s  %-22s  %9s  %14s  %9s  %s\n", "size", "server", "loadFileSync",
              "time", "throughput", "CPU time", "files in the install folder");
  bool everyReadOnce = true;
  std::vector<double> added;
  for (const Setting& setting : settings) {
    const Verification check =
        compareVerification(setting.address, install, install + setting.path, largest.bytes);
    if (!check.ok) {
      std::printf("verification: a download failed\n");
      return 1;
    }
    const auto row = [&](const char* who, double seconds, double cpu, int opens, int reads) {
      std::printf("%-8s  %-18s  %-22s  %7.2f s  %8.1f MiB/s  %7.2f s  opened %d, read %d times\n",
                  largest.label, setting.label.c_str(), who, seconds,
                  static_cast<double>(largest.bytes) / kMiB / seconds, cpu, opens, reads);
    };
    row("unverified", check.plainSeconds, check.plainCpu, check.plainOpens, check.plainReads);
    row("verified (minisign ED)", check.verifiedSeconds, check.verifiedCpu, check.verifiedOpens,
        check.verifiedReads);
    std::printf(
        "%-8s  %-18s  alone: the digest takes %.2f s on one processor, the sync of the "
        "package %.2f s\n",
        largest.label, setting.label.c_str(), check.digestAloneSeconds, check.syncAloneSeconds);
    everyReadOnce = everyReadOnce && check.counted && check.verifiedReads == check.plainReads &&
                    check.verifiedOpens == check.plainOpens;
    added.push_back(check.verifiedSeconds / check.plainSeconds - 1);
  }
  // At loopback speed: from this process's server and, when there is one, from nginx.
  double loopbackAdded = added[0];
  std::string fromNginx;
  if (added.size() > 2) {
    loopbackAdded = std::max(loopbackAdded, added[2]);
    char figure[64];
    std::snprintf(figure, sizeof figure, " (%.1f %% from nginx)", added[2] * 100);
    fromNginx = figure;
  }
  std::printf(
      "\nmedians of %d alternating runs; verification adds %.1f %% at loopback speed%s and "
      "%.1f %% paced (goal: at most %.0f %%)%s\n",
      kVerificationRounds, added[0] * 100, fromNginx.c_str(), added[1] * 100,
      kVerificationGoal * 100,
      loopbackAdded <= kVerificationGoal ? "" : ": GOAL MISSED at loopback speed");
  std::printf("the verified download opens and reads the install folder's files %s\n",
              everyReadOnce
                  ? "exactly as often as the unverified one: no second read of the package"
                  : "MORE often than the unverified one (or inotify is unavailable)");
  goalMet = goalMet && everyReadOnce && loopbackAdded <= kVerificationGoal;
  return goalMet ? 0 : 1;
}
