// An update that changes 5 % of the files of a large package, installed by the real terminal
// launcher (its test build) from a server throttled to 4 MB/s: once fetching only the changed
// entries by range requests, once downloading the whole package from the same server told to
// ignore ranges, side by side in one run. Prints what the server sent and how long each update
// took, from the launcher's start to the launch button. Then the same update of changed entries
// unthrottled, from that server and from the publisher's `launcher-feed serve`: a wait on each of
// its few hundred answers (a delayed acknowledgement, say) shows as seconds there.
//
//   build/bench/delta_bench [files] [package MB]     (default 7400 files, 173 MB)
//
// The package mixes incompressible files with text that deflates well, like an application's
// binaries and resources. The version 1 of both sets of user folders is installed first from an
// unthrottled server; only the updates are timed.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Launcher/Config.h"
#include "Launcher/DownloadProgress.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/ServedFeed.h"
#include "tests/support/TestFolders.h"
#include "tests/support/ZipWriter.h"

namespace {
namespace fs = std::filesystem;
using launcher::formatBytes;
using launcher::testing::ChildProcess;
using launcher::testing::LocalHttpServer;
using launcher::testing::readFile;
using launcher::testing::TempDir;
using launcher::testing::versionAnswer;
using launcher::testing::writeFile;

const std::string kBuild = LAUNCHER_BUILD_DIR;
// The throttled line: 64 KiB pieces, one every 16 ms, about 4 MB/s.
constexpr std::size_t kPiece = 64 * 1024;
constexpr std::chrono::milliseconds kPiecePause{16};
constexpr double kBytesGoal = 0.10;
constexpr double kTimeGoal = 0.30;

// Text that deflates about eight to one.
std::string textBytes(std::size_t size, std::mt19937& random) {
  static const char* words[] = {"launcher ", "package ", "entry ", "update ", "folder ",
                                "install ",  "range ",   "delta ", "zip ",    "version\n"};
  std::string text;
  text.reserve(size + 16);
  while (text.size() < size) text += words[random() % 10];
  text.resize(size);
  return text;
}

struct Users {
  TempDir root;
  std::map<std::string, std::string> environment(int port) const {
    return {{"HOME", root / "home"},
            {"XDG_DATA_HOME", root / "data"},
            {"XDG_CACHE_HOME", root / "cache"},
            {"LAUNCHER_TEST_SERVER_URL", "127.0.0.1:" + std::to_string(port)},
            {"LAUNCHER_TEST_PUBLIC_KEY", ""}};
  }
};

// One launcher session answering the offer `button`; seconds from start to the launch button,
// and the launcher's diagnostic output.
double session(const Users& users, int port, const std::string& button, std::string& errors) {
  const auto start = std::chrono::steady_clock::now();
  ChildProcess launcher({kBuild + "/tests/launcher-cli-e2e"}, users.environment(port));
  if (!launcher.waitForErrorLine("shown: " + button, false, std::chrono::minutes(5)))
    throw std::runtime_error("no offer: " + launcher.errors());
  launcher.writeLine(button.substr(0, button.find("Button")));
  if (!launcher.waitForErrorLine("shown: launchButton", false, std::chrono::minutes(10)))
    throw std::runtime_error("no launch button: " + launcher.errors());
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  launcher.closeInput();
  launcher.waitForExit();
  errors = launcher.errors();
  if (errors.find("Failed to update") != std::string::npos)
    throw std::runtime_error("the update failed: " + errors);
  return took.count();
}

void publish(const std::string& app, int version, const std::string& base,
             const std::string& feed) {
  ChildProcess tool({kBuild + "/launcher-feed", "publish", "--app", app, "--version",
                     std::to_string(version), "--base-url", base, "--out", feed, "--force"},
                    {});
  if (tool.waitForExit(std::chrono::minutes(10)) != 0)
    throw std::runtime_error("publish failed: " + tool.errors());
}

std::uint64_t bytesSent(const LocalHttpServer& server, int& requests, bool& allRanges) {
  std::uint64_t sent = 0;
  requests = 0;
  allRanges = true;
  for (const auto& request : server.packageRequests("/package_mac.zip")) {
    ++requests;
    allRanges = allRanges && request.status == 206;
    // A range request answered with the whole package is given up by the launcher at its first
    // bytes: the server records what it meant to send, not what went.
    if (!request.range.empty() && request.status == 200) continue;
    sent += request.bytes;
  }
  return sent;
}

}  // namespace

int main(int argc, char** argv) try {
  const int files = argc > 1 ? std::stoi(argv[1]) : 7400;
  const double packageMB = argc > 2 ? std::stod(argv[2]) : 173;
  const std::string name = launcher::APPLICATION_NAME() + ".app";
  TempDir work;
  const std::string app1 = work / "app-1/" + name;
  const std::string app2 = work / "app-2/" + name;

  // Version 1: half the files random (1:1 in the package), half text (about 8:1), sized so that
  // the package comes to about `packageMB`.
  std::mt19937 random(7);
  const double averageRandom = packageMB * 1e6 / (files / 2.0) * 0.9;
  const double averageText = averageRandom * 0.8;
  std::printf("making %d files ...\n", files);
  for (int i = 0; i < files; ++i) {
    const std::string path =
        app1 + "/lib/" + std::to_string(i % 97) + "/file" + std::to_string(i) + ".bin";
    const auto size = static_cast<std::size_t>((i % 2 == 0 ? averageRandom : averageText) *
                                               (0.2 + 1.6 * (random() % 1000) / 1000.0));
    writeFile(path,
              i % 2 == 0 ? launcher::testing::pseudoRandomBytes(size, i) : textBytes(size, random));
  }
  writeFile(app1 + "/AppRun", "#!/bin/sh\nexit 0\n");
  fs::permissions(app1 + "/AppRun", fs::perms(0755));

  // Version 2: 5 % of the files rewritten (chosen at random), the others the same files.
  fs::create_directories(work / "app-2");
  fs::copy(app1, app2, fs::copy_options::recursive | fs::copy_options::create_hard_links);
  std::vector<int> indexes(files);
  for (int i = 0; i < files; ++i) indexes[i] = i;
  std::shuffle(indexes.begin(), indexes.end(), random);
  indexes.resize(files / 20);
  for (const int i : indexes) {
    const std::string path =
        app2 + "/lib/" + std::to_string(i % 97) + "/file" + std::to_string(i) + ".bin";
    const auto size = fs::file_size(path);
    fs::remove(path);  // a hard link to version 1's file
    writeFile(path, i % 2 == 0 ? launcher::testing::pseudoRandomBytes(size, i + files)
                               : textBytes(size, random));
  }

  LocalHttpServer server;
  const std::string feed1 = work / "feed-1";
  const std::string feed2 = work / "feed-2";
  std::printf("publishing ...\n");
  publish(app1, 1, server.url(""), feed1);
  publish(app2, 2, server.url(""), feed2);
  const std::string package1 = readFile(feed1 + "/package_mac.zip");
  const std::string package2 = readFile(feed2 + "/package_mac.zip");

  // Version 1 in every set of user folders, unthrottled.
  Users delta, full, quick, fromFeed;
  std::string errors;
  server.servePackage("/package_mac.zip", launcher::testing::ServedPackage(package1, "\"v1\""));
  server.answer("/v/version", 200, versionAnswer(1, server.url("/package_mac.zip")),
                "application/json");
  std::printf("installing version 1 four times ...\n");
  for (const Users* users : {&delta, &full, &quick, &fromFeed})
    session(*users, server.port(), "downloadButton", errors);

  // Version 2, throttled: the whole package from a server that ignores ranges, then only the
  // changed entries.
  server.answer("/v/version", 200, versionAnswer(2, server.url("/package_mac.zip")),
                "application/json");
  launcher::testing::ServedPackage served(package2, "\"v2\"");
  served.piece = kPiece;
  served.pause = kPiecePause;
  served.ranges = false;
  server.servePackage("/package_mac.zip", served);
  server.forgetPackageRequests();
  std::printf("updating with the whole package ...\n");
  const double fullSeconds = session(full, server.port(), "updateButton", errors);
  int fullRequests = 0;
  bool fullRanges = false;
  const std::uint64_t fullSent = bytesSent(server, fullRequests, fullRanges);

  served.ranges = true;
  server.servePackage("/package_mac.zip", served);
  server.forgetPackageRequests();
  std::printf("updating with the changed entries ...\n");
  const double deltaSeconds = session(delta, server.port(), "updateButton", errors);
  int deltaRequests = 0;
  bool deltaRanges = false;
  const std::uint64_t deltaSent = bytesSent(server, deltaRequests, deltaRanges);
  std::string line;
  if (const auto at = errors.find("delta update: fetched"); at != std::string::npos)
    line = errors.substr(at, errors.find('\n', at) - at);

  // Unthrottled: from the test server, and from the publisher's server, whose feed is version 2's
  // with a version document naming the port it got.
  served.pause = std::chrono::milliseconds(0);
  server.servePackage("/package_mac.zip", served);
  std::printf("updating with the changed entries, unthrottled ...\n");
  const double quickSeconds = session(quick, server.port(), "updateButton", errors);
  const std::string feed3 = work / "feed-3";
  fs::create_directories(feed3 + "/v");
  fs::create_hard_link(feed2 + "/package_mac.zip", feed3 + "/package_mac.zip");
  const launcher::testing::ServedFeed feedServer(kBuild + "/launcher-feed", feed3);
  writeFile(feed3 + "/v/version", versionAnswer(2, feedServer.address() + "/package_mac.zip"));
  std::printf("updating with the changed entries from launcher-feed serve ...\n");
  const double servedSeconds = session(fromFeed, feedServer.port(), "updateButton", errors);

  const double bytesShare = static_cast<double>(deltaSent) / static_cast<double>(package2.size());
  const double timeShare = deltaSeconds / fullSeconds;
  std::printf("\npackage: %d files, %s (version 1: %s)\n", files,
              formatBytes(package2.size()).c_str(), formatBytes(package1.size()).c_str());
  std::printf("changed: %zu files (5 %%)\n", indexes.size());
  std::printf("launcher: %s\n", line.empty() ? "(no delta line)" : line.c_str());
  std::printf("%-22s %10s %9s %14s\n", "update", "sent", "requests", "launcher time");
  std::printf("%-22s %10s %9d %12.1f s\n", "whole package", formatBytes(fullSent).c_str(),
              fullRequests, fullSeconds);
  std::printf("%-22s %10s %9d %12.1f s%s\n", "changed entries", formatBytes(deltaSent).c_str(),
              deltaRequests, deltaSeconds, deltaRanges ? "" : "  (not all ranges!)");
  std::printf("%-22s %10s %9s %12.1f s  (test server)\n", "  unthrottled", "", "", quickSeconds);
  std::printf("%-22s %10s %9s %12.1f s  (launcher-feed serve)\n", "  unthrottled", "", "",
              servedSeconds);
  std::printf("bytes sent: %.1f %% of the package (goal at most %.0f %%): %s\n", bytesShare * 100,
              kBytesGoal * 100, bytesShare <= kBytesGoal ? "met" : "NOT MET");
  std::printf("time: %.2fx the whole update's (goal at most %.2fx): %s\n", timeShare, kTimeGoal,
              timeShare <= kTimeGoal ? "met" : "NOT MET");
  return bytesShare <= kBytesGoal && timeShare <= kTimeGoal ? 0 : 1;
} catch (const std::exception& error) {
  std::fprintf(stderr, "delta_bench: %s\n", error.what());
  return 2;
}
