// Time and peak memory of the package download for large packages, side by side with the curl
// command-line tool fetching the same bodies from the same server.
//
// The server runs in this process and makes its bodies on the fly, so the figure for our process
// covers the server too. Our peak is the high-water mark of the resident set (VmHWM), reset before
// each download; the tool's is its own ru_maxrss, from wait4.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Launcher/HttpDownloader.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/TestFolders.h"

extern char** environ;

namespace {
namespace fs = std::filesystem;
using launcher::HttpDownloader;
using launcher::platform::ErrorRecord;
using launcher::platform::Url;
using launcher::testing::LocalHttpServer;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr double kGoalMiB = 64;

struct Run {
  bool ok = false;
  double seconds = 0;
  double peakMiB = 0;
};

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

Run ours(const std::string& address, const std::string& folder, const std::string& expectedPath,
         std::uint64_t size) {
  Run run;
  const auto start = std::chrono::steady_clock::now();
  std::string path;
  std::optional<ErrorRecord> error;
  HttpDownloader::loadFileSync(*Url::parse(address), folder,
                               [&](const std::string& p, const std::optional<ErrorRecord>& e) {
                                 path = p;
                                 error = e;
                               });
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakMiB = peakResidentMiB();
  std::error_code ignored;
  run.ok = !error && path == expectedPath && fs::file_size(path, ignored) == size;
  if (error) std::fprintf(stderr, "download failed: %s\n", error->description.c_str());
  fs::remove(expectedPath, ignored);
  return run;
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
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
  return goalMet ? 0 : 1;
}
