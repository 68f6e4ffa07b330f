// The real programs together: the terminal launcher, in its test build (no display pauses, the
// server address taken from LAUNCHER_TEST_SERVER_URL), against the real feed tool serving a real
// published package on a port of its choosing. Per-user folders live in temporary folders. The
// shipped terminal launcher is checked for its display pacing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "Launcher/DownloadProgress.h"
#include "Launcher/platform/UniqueFd.h"
#include "Zipwell/CentralDirectory.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/ServedFeed.h"
#include "tests/support/TestFolders.h"
#include "tests/support/ZipWriter.h"

namespace launcher {
namespace {
namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::readFile;
using testing::writeFile;

const std::string kBuild = LAUNCHER_BUILD_DIR;
const std::string kName = LAUNCHER_E2E_APPLICATION_NAME;

// The per-user folders of a launcher run, inside `root`.
std::map<std::string, std::string> userEnvironment(const testing::TempDir& root) {
  return {{"HOME", root / "home"},
          {"XDG_DATA_HOME", root / "data"},
          {"XDG_CACHE_HOME", root / "cache"}};
}

class EndToEnd : public ::testing::Test {
 protected:
  testing::TempDir root;
  std::unique_ptr<testing::ServedFeed> feedServer;

  std::string install() const { return root / "data/" + kName; }
  std::string versionFile() const { return install() + "/version.txt"; }
  std::string marker() const { return root / "marker.txt"; }
  std::string feed() const { return root / "feed"; }
  // The feed server, started at first use.
  const testing::ServedFeed& served() {
    if (!feedServer)
      feedServer = std::make_unique<testing::ServedFeed>(kBuild + "/launcher-feed", feed());
    return *feedServer;
  }

  // The version server when it is not the feed server (host and port), the address packages are
  // published under when the feed is not served by the feed tool, and the public key the launcher
  // checks packages with; all unused when empty.
  std::string versionServer;
  std::string packageBase;
  std::string publicKey;
  // The launcher's per-user folders when they are not under `root`.
  const testing::TempDir* otherUsers = nullptr;
  // Further variables of the launcher's environment.
  std::map<std::string, std::string> launcherEnvironment;

  std::string keys() const { return root / "keys"; }
  std::string secretKey(const std::string& name) const { return keys() + "/" + name + ".key"; }
  // Makes the pair <name>.pub and <name>.key; returns the public key's base64 line.
  std::string keygen(const std::string& name) {
    ChildProcess tool({kBuild + "/launcher-feed", "keygen", "--out", keys(), "--name", name}, {});
    EXPECT_EQ(tool.waitForExit(), 0) << tool.errors();
    std::istringstream file(readFile(keys() + "/" + name + ".pub"));
    std::string comment, line;
    std::getline(file, comment);
    std::getline(file, line);
    return line;
  }

  // Publishes a sample application whose AppRun writes "version N" into the marker file, signed
  // with `secretKey` when one is given.
  void publish(int version, const std::map<std::string, std::string>& extraFiles = {},
               const std::string& secretKey = {}) {
    const std::string app = root / ("app/" + kName + ".app");
    fs::remove_all(root / "app");
    writeFile(app + "/AppRun", "#!/bin/sh\necho \"version " + std::to_string(version) + "\" > \"" +
                                   marker() + "\"\n");
    fs::permissions(app + "/AppRun", fs::perms(0755));
    writeFile(app + "/lib/v" + std::to_string(version) + ".txt", std::to_string(version));
    for (const auto& [path, content] : extraFiles) writeFile(app + "/" + path, content);
    const std::string base = packageBase.empty() ? served().address() : packageBase;
    std::vector<std::string> command = {kBuild + "/launcher-feed", "publish", "--app", app,
                                        "--version", std::to_string(version), "--base-url", base,
                                        "--out", feed(),
                                        // Cases publish in any order, also a version again.
                                        "--force"};
    if (!secretKey.empty()) command.insert(command.end(), {"--secret-key", secretKey});
    ChildProcess tool(command, {});
    ASSERT_EQ(tool.waitForExit(), 0) << tool.errors();
  }
  // The test build of the terminal launcher, asking the feed server, or a port where nothing
  // listens when no server runs.
  // With `outputFifo`, its standard output is that named pipe, which nobody reads. With
  // `redirections`, a shell applies them to the launcher's standard streams ("<&-", say).
  std::unique_ptr<ChildProcess> startLauncher(
      ChildProcess::Streams streams = ChildProcess::Streams::pipes,
      const std::string& outputFifo = {}, const std::string& redirections = {}) {
    auto environment = userEnvironment(otherUsers ? *otherUsers : root);
    environment["LAUNCHER_TEST_SERVER_URL"] =
        !versionServer.empty() ? versionServer
        : feedServer           ? feedServer->hostAndPort()
                               : "127.0.0.1:" + std::to_string(testing::unusedPort());
    environment["LAUNCHER_TEST_PUBLIC_KEY"] = publicKey;
    environment.insert(launcherEnvironment.begin(), launcherEnvironment.end());
    std::vector<std::string> command{kBuild + "/tests/launcher-cli-e2e"};
    if (!outputFifo.empty())  // opened for reading and writing, so that the open never waits
      command = {"/bin/sh", "-c", "exec 3<>\"$1\" && exec \"$0\" >&3 3>&-", command[0], outputFifo};
    else if (!redirections.empty())
      command = {"/bin/sh", "-c", "exec \"$0\" " + redirections, command[0]};
    return std::make_unique<ChildProcess>(command, environment, streams);
  }
  // Runs the launcher through a whole session: each step waits for a line on standard error and
  // then answers with a line on standard input; then the input ends. Returns the exit status.
  std::optional<int> session(ChildProcess& launcher,
                             const std::vector<std::pair<std::string, std::string>>& steps) {
    for (const auto& [awaited, answer] : steps) {
      EXPECT_TRUE(launcher.waitForErrorLine(awaited, true)) << "no \"" << awaited << "\" in:\n"
                                                            << launcher.errors();
      launcher.writeLine(answer);
    }
    launcher.closeInput();
    return launcher.waitForExit();
  }
  bool waitForMarker(const std::string& content) {
    for (int i = 0; i < 500; ++i) {
      if (readFile(marker()) == content) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  int packageRequests() const {
    int count = 0;
    std::istringstream log(feedServer->log());
    for (std::string line; std::getline(log, line);)
      if (line.find("/package_mac.zip ") != std::string::npos) ++count;  // not its manifest
    return count;
  }
  void firstInstall() {
    auto launcher = startLauncher();
    ASSERT_EQ(session(*launcher,
                      {{"shown: downloadButton", "download"}, {"shown: launchButton", "launch"}}),
              0)
        << launcher->errors();
    ASSERT_TRUE(waitForMarker("version 1\n"));
    fs::remove(marker());
  }
};

TEST_F(EndToEnd, FirstInstallThenLaunchStartsTheApplication) {
  publish(1);
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher,
                    {{"shown: downloadButton", "download"}, {"shown: launchButton", "launch"}}),
            0)
      << launcher->errors();
  EXPECT_TRUE(waitForMarker("version 1\n")) << "the application ran";
  EXPECT_EQ(readFile(versionFile()), "1");
  EXPECT_EQ(readFile(install() + "/" + kName + ".app/lib/v1.txt"), "1");
  EXPECT_FALSE(fs::exists(install() + "/package_mac.zip"));
  EXPECT_FALSE(fs::exists(root / "cache/" + kName + "/tmp/Content"));

  // Standard output carries the launcher's own lines, in order, and nothing of the display.
  const auto lines = launcher->outputLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], root / "data");
  EXPECT_TRUE(lines[1].starts_with("responseString = {"));
  const std::vector<std::string> expected = {"1  :  0",
                                             "file saved [" + install() + "/package_mac.zip]", "",
                                             " subPath: " + kName + ".app", "   create directory"};
  auto at = std::search(lines.begin(), lines.end(), expected.begin(), expected.end());
  EXPECT_NE(at, lines.end()) << launcher->output();
  for (const auto& line : lines) EXPECT_FALSE(line.starts_with("status:")) << line;
}

TEST_F(EndToEnd, UpToDateLaunchesWithoutDownloading) {
  publish(1);
  firstInstall();
  const int before = packageRequests();
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher, {{"shown: launchButton", "launch"}}), 0) << launcher->errors();
  EXPECT_TRUE(waitForMarker("version 1\n"));
  EXPECT_NE(launcher->output().find("\n1  :  1\n"), std::string::npos);
  EXPECT_EQ(packageRequests(), before);
}

TEST_F(EndToEnd, DeclinedUpdateChangesNothing) {
  publish(1);
  firstInstall();
  publish(2);
  auto launcher = startLauncher();
  ASSERT_TRUE(launcher->waitForErrorLine("shown: proceedButton"));
  EXPECT_TRUE(launcher->waitForErrorLine("status: Update Found"));
  launcher->writeLine("proceed");
  ASSERT_TRUE(launcher->waitForErrorLine("shown: launchButton"));
  launcher->closeInput();  // end of input closes the window
  EXPECT_EQ(launcher->waitForExit(), 0);
  EXPECT_EQ(readFile(versionFile()), "1");
  EXPECT_FALSE(fs::exists(install() + "/" + kName + ".app/lib/v2.txt"));
}

TEST_F(EndToEnd, AcceptedUpdateReplacesFilesAndKeepsTheUsersOwn) {
  publish(1);
  firstInstall();
  writeFile(install() + "/" + kName + ".app/settings.ini", "mine");
  publish(2);
  auto launcher = startLauncher();
  EXPECT_EQ(
      session(*launcher, {{"shown: updateButton", "update"}, {"shown: launchButton", "launch"}}), 0)
      << launcher->errors();
  EXPECT_TRUE(waitForMarker("version 2\n"));
  EXPECT_EQ(readFile(versionFile()), "2");
  EXPECT_EQ(readFile(install() + "/" + kName + ".app/lib/v2.txt"), "2");
  EXPECT_EQ(readFile(install() + "/" + kName + ".app/settings.ini"), "mine");
  EXPECT_FALSE(fs::exists(install() + "/package_mac.zip"));
  EXPECT_FALSE(fs::exists(root / "cache/" + kName + "/tmp/Content"));
}

TEST_F(EndToEnd, VersionedBundlesAreDeletedAtStart) {
  publish(1);
  firstInstall();
  fs::create_directories(install() + "/" + kName + " v.0.app/inner");
  fs::create_directories(install() + "/" + kName + " v.7 beta.app");
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher, {{"shown: launchButton", "launch"}}), 0);
  const std::string out = launcher->output();
  EXPECT_NE(out.find("\nDeleted:  " + kName + " v.0.app\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nDeleted:  " + kName + " v.7 beta.app\n"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(install() + "/" + kName + " v.0.app"));
  EXPECT_TRUE(fs::exists(install() + "/" + kName + ".app/AppRun"));
}

// ---- Standard streams

// Started with standard streams closed, the launcher reads no input and writes no line into a
// file of its own: the offer sees the end of its input and the window closes.
TEST_F(EndToEnd, ClosedStandardStreamsAreNoInputAndNoOutput) {
  publish(1);
  for (const std::string redirections : {"<&-", "<&- >&- 2>&-"}) {
    SCOPED_TRACE(redirections);
    auto launcher = startLauncher(ChildProcess::Streams::pipes, {}, redirections);
    EXPECT_EQ(launcher->waitForExit(std::chrono::seconds(20)), 0) << launcher->errors();
    EXPECT_EQ(readFile(versionFile()), "0");
    EXPECT_EQ(readFile(install() + "/.lock"), "");
    EXPECT_EQ(packageRequests(), 0);
  }
}

// Standard output on a pipe whose reader has gone: its lines are lost, the install is not.
TEST_F(EndToEnd, OutputWhoseReaderLeftDoesNotEndTheInstall) {
  publish(1);
  const std::string fifo = root / "output-fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  platform::UniqueFd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader);
  auto launcher = startLauncher(ChildProcess::Streams::pipes, {}, ">\"" + fifo + "\"");
  ASSERT_TRUE(launcher->waitForErrorLine("shown: downloadButton")) << launcher->errors();
  reader.reset();
  EXPECT_EQ(session(*launcher,
                    {{"shown: downloadButton", "download"}, {"shown: launchButton", "launch"}}),
            0)
      << launcher->errors();
  EXPECT_TRUE(waitForMarker("version 1\n"));
  EXPECT_EQ(readFile(versionFile()), "1");
}

// ---- Failures record nothing

TEST_F(EndToEnd, VersionServerDownWithNothingInstalledSaysSoAndGoesOn) {
  auto launcher = startLauncher();  // no server runs
  EXPECT_EQ(session(*launcher, {{"Failed to launch the application.", ""},
                                {"status: Could not check for updates", "launch"},
                                {"alert: Something wrong. Try later.", ""}}),
            0);
  EXPECT_NE(
      launcher->errors().find(
          R"(\n\nNothing is installed yet: try again when the server can be reached. | [OK])"),
      std::string::npos)
      << launcher->errors();
  EXPECT_TRUE(launcher->output().find("error=") != std::string::npos) << launcher->output();
  EXPECT_EQ(readFile(versionFile()), "0");
}

TEST_F(EndToEnd, MissingPackageShowsTheErrorAndLeavesZero) {
  publish(1);
  fs::remove(feed() + "/package_mac.zip");
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher, {{"shown: downloadButton", "download"},
                                {"Failed to update the application.", ""}}),
            0)
      << launcher->errors();
  EXPECT_NE(launcher->errors().find("1002"), std::string::npos);
  EXPECT_EQ(readFile(versionFile()), "0");
  EXPECT_FALSE(fs::exists(install() + "/" + kName + ".app"));
}

TEST_F(EndToEnd, DamagedPackageShowsTheErrorAndLeavesZero) {
  publish(1, {{"payload.bin", testing::pseudoRandomBytes(200'000, 7)}});
  // Cut the package short: its central directory is gone.
  testing::truncateFile(feed() + "/package_mac.zip",
                        fs::file_size(feed() + "/package_mac.zip") / 2);
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher, {{"shown: downloadButton", "download"},
                                {"Failed to update the application.", ""}}),
            0)
      << launcher->errors();
  EXPECT_EQ(readFile(versionFile()), "0");
  EXPECT_FALSE(fs::exists(install() + "/" + kName + ".app"));
}

// A package beyond the file size limit (ulimit -f) fails its write as on a full disk: the
// launcher says so rather than end with the signal. So does a small package whose nested archive
// unpacks beyond it: what that archive left is not installed as the new version.
TEST_F(EndToEnd, FileSizeLimitShowsTheErrorAndLeavesZero) {
  const struct {
    const char* name;
    std::string path;
    std::string content;
  } cases[] = {
      {"the package", "payload.bin", testing::pseudoRandomBytes(200'000, 7)},
      {"a nested archive", "assets/inner.zip",
       testing::zipBytes({testing::file("a.txt", "a"),
                          testing::file("big.bin", std::string(200'000, '\0')),
                          testing::file("z.txt", "z")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    publish(1, {{c.path, c.content}});
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 100'000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    auto launcher = startLauncher();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(session(*launcher, {{"shown: downloadButton", "download"},
                                  {"Failed to update the application.", ""}}),
              0)
        << launcher->errors();
    EXPECT_EQ(readFile(versionFile()), "0");
    EXPECT_FALSE(fs::exists(install() + "/" + kName + ".app"));
  }
}

// ---- The shipped launcher

// The shipped terminal launcher keeps the display pacing that its test build leaves out: once a
// progress step is drawn, the next change of its plain display waits for the pause (a lower
// bound, whatever the version server does).
TEST(ShippedLauncher, HoldsEachProgressStepBeforeTheNextChange) {
  testing::TempDir root;
  ChildProcess launcher({kBuild + "/launcher-cli"}, userEnvironment(root));
  std::size_t step = 0;
  ASSERT_TRUE(launcher.waitForErrorLines([&](const std::vector<std::string>& lines) {
    const auto at = std::find(lines.begin(), lines.end(), "progress: 10");
    step = static_cast<std::size_t>(at - lines.begin());
    return at != lines.end();
  })) << launcher.errors();
  const auto drawn = std::chrono::steady_clock::now();
  ASSERT_TRUE(launcher.waitForErrorLines([&](const std::vector<std::string>& lines) {
    return lines.size() > step + 1;
  })) << launcher.errors();
  EXPECT_GE(std::chrono::steady_clock::now() - drawn, std::chrono::milliseconds(800))
      << launcher.errors();
  // The end of input answers an alert with its first button or closes the window.
  launcher.closeInput();
  EXPECT_TRUE(launcher.waitForExit().has_value());
}

// ==== Flaky and hostile networks, signed packages ================================================

std::string versionAnswer(int version, const std::string& packageAddress,
                          const std::string& signature = {}) {
  nlohmann::json answer{{"data",
                         {{"attributes",
                           {{"application_version", std::to_string(version)},
                            {"application_url_mac", packageAddress}}}}}};
  if (!signature.empty()) answer["data"]["attributes"]["application_signature_mac"] = signature;
  return answer.dump();
}

// The peak resident memory of a running process, in KiB; 0 when it cannot be read.
long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  return 0;
}

// A server in the test plays the version server. Version 2 is installed: its AppRun appends
// "version 2" to the marker file, and the user keeps files inside the bundle and beside it.
class HostileNetwork : public EndToEnd {
 protected:
  testing::LocalHttpServer server;

  HostileNetwork() { versionServer = "127.0.0.1:" + std::to_string(server.port()); }
  std::string bundle() const { return install() + "/" + kName + ".app"; }
  void installVersion2() {
    writeFile(bundle() + "/AppRun", "#!/bin/sh\necho \"version 2\" >> \"" + marker() + "\"\n");
    fs::permissions(bundle() + "/AppRun", fs::perms(0755));
    writeFile(bundle() + "/settings.ini", "mine");
    writeFile(install() + "/notes.txt", "my notes");
    writeFile(versionFile(), "2");
  }
  void expectVersion2Untouched() const {
    EXPECT_TRUE(fs::is_regular_file(bundle() + "/AppRun"));
    EXPECT_EQ(readFile(bundle() + "/settings.ini"), "mine");
    EXPECT_EQ(readFile(install() + "/notes.txt"), "my notes");
  }
  void offer(int version, const std::string& packageAddress, const std::string& signature = {}) {
    server.answer("/v/version", 200, versionAnswer(version, packageAddress, signature),
                  "application/json");
  }
};

// An address that names the application, a user's file or the version file costs nothing: names
// of the launcher's own are refused, and nothing is removed before a whole package has arrived.
TEST_F(HostileNetwork, PackageAddressNeverDeletesInstalledFiles) {
  installVersion2();
  server.answer("/dl/notes.txt", 404, "<html>Not Found</html>", "text/html");
  for (const std::string& address : {server.url("/" + kName + ".app"), testing::fileUrl(bundle()),
                                     server.url("/dl/notes.txt"), server.url("/dl/version.txt")}) {
    SCOPED_TRACE(address);
    writeFile(versionFile(), "2");
    offer(3, address);
    auto launcher = startLauncher();
    EXPECT_EQ(session(*launcher, {{"shown: updateButton", "update"},
                                  {"Failed to update the application.", ""}}),
              0)
        << launcher->errors();
    expectVersion2Untouched();
  }
  EXPECT_EQ(server.requestCount("/" + kName + ".app"), 0) << "refused before any request";
  EXPECT_EQ(server.requestCount("/dl/notes.txt"), 1);
}

// Without a usable answer the version file stays, the user is told the installed version is
// used, the run does not claim to be up to date, and Launch starts the installed application.
TEST_F(HostileNetwork, UnusableVersionAnswerKeepsTheInstalledApplicationLaunchable) {
  installVersion2();
  const std::string local = root / "answer.json";
  writeFile(local, versionAnswer(3, server.url("/package.zip")));
  struct Case {
    const char* name;
    std::function<void()> serve;  // nothing: no server listens
  };
  const Case cases[] = {
      {"server down", nullptr},
      {"500 with an HTML page",
       [&] { server.answer("/v/version", 500, "<html>Internal Error</html>", "text/html"); }},
      {"captive portal page with 200",
       [&] { server.answer("/v/version", 200, "<html>Sign in to Wi-Fi</html>", "text/html"); }},
      {"redirect to a local file", [&] { server.redirect("/v/version", testing::fileUrl(local)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.serve) c.serve();
    versionServer = c.serve ? "127.0.0.1:" + std::to_string(server.port())
                            : "127.0.0.1:" + std::to_string(testing::unusedPort());
    auto launcher = startLauncher();
    EXPECT_EQ(session(*launcher, {{"The installed version will be used. | [OK]", ""},
                                  {"shown: launchButton", "launch"}}),
              0)
        << launcher->errors();
    EXPECT_TRUE(waitForMarker("version 2\n")) << launcher->errors();
    EXPECT_TRUE(launcher->waitForErrorLine("status: Could not check for updates"));
    EXPECT_FALSE(launcher->waitForErrorLine("status: Up to date", false, std::chrono::seconds(0)));
    EXPECT_EQ(readFile(versionFile()), "2");
    expectVersion2Untouched();
    fs::remove(marker());
  }
  EXPECT_EQ(server.requestCount("/package.zip"), 0);
}

TEST_F(HostileNetwork, TricklingVersionServerCanBeLeftAtAnyMoment) {
  installVersion2();
  server.handle("/v/version", [](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider(
        "application/json", [](std::size_t, httplib::DataSink& sink) {
          std::this_thread::sleep_for(std::chrono::milliseconds(500));
          return sink.write(" ", 1);
        });
  });
  auto launcher = startLauncher();
  ASSERT_TRUE(launcher->waitForErrorLine("progress: 10"));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto typed = std::chrono::steady_clock::now();
  launcher->writeLine("exit");
  EXPECT_EQ(launcher->waitForExit(std::chrono::seconds(10)), 0) << launcher->errors();
  EXPECT_LT(std::chrono::steady_clock::now() - typed, std::chrono::seconds(3));
  EXPECT_EQ(readFile(versionFile()), "2");
}

TEST_F(HostileNetwork, HugeVersionAnswerIsCutOffAndNeverEchoed) {
  installVersion2();
  // 300 MiB without an announced length: the cap is found while the answer arrives.
  server.handle("/v/version", [](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider(
        "application/json",
        [sent = std::uint64_t{0}](std::size_t, httplib::DataSink& sink) mutable {
          static const std::string piece(64 * 1024, '7');
          if (sent >= (std::uint64_t{300} << 20)) {
            sink.done();
            return true;
          }
          sent += piece.size();
          return sink.write(piece.data(), piece.size());
        });
  });
  auto launcher = startLauncher();
  ASSERT_TRUE(launcher->waitForErrorLine("The installed version will be used. | [OK]", true))
      << launcher->errors();
  EXPECT_LT(peakResidentKiB(launcher->pid()), 64 * 1024);
  launcher->writeLine("");
  ASSERT_TRUE(launcher->waitForErrorLine("shown: launchButton"));
  launcher->closeInput();
  EXPECT_EQ(launcher->waitForExit(), 0);
  EXPECT_NE(launcher->errors().find("larger than 1024 KiB"), std::string::npos)
      << launcher->errors();
  EXPECT_LT(launcher->output().size(), 64u * 1024) << "the answer is not echoed";
  EXPECT_EQ(readFile(versionFile()), "2");
}

// One press of Launch starts the application once, however many entries look like bundles.
TEST_F(HostileNetwork, LaunchStartsTheApplicationOnce) {
  installVersion2();
  fs::create_directories(install() + "/" + kName + " beta.app");
  writeFile(install() + "/" + kName + "-old.app", "#!/bin/sh\n");
  fs::permissions(install() + "/" + kName + "-old.app", fs::perms(0755));
  offer(2, server.url("/package_mac.zip"));
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher, {{"shown: launchButton", "launch"}}), 0) << launcher->errors();
  ASSERT_TRUE(waitForMarker("version 2\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(readFile(marker()), "version 2\n");
  // Unsigned packages are said to be unverified, once.
  const std::string log = launcher->errors();
  const std::string unverified = "packages are installed without verification";
  const auto first = log.find(unverified);
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find(unverified, first + 1), std::string::npos) << log;
}

// A terminal that cannot move the cursor (TERM=dumb) gets the plain lines, no escape sequences.
TEST_F(EndToEnd, DumbTerminalGetsThePlainLines) {
  publish(1);
  launcherEnvironment["TERM"] = "dumb";
  auto launcher = startLauncher(ChildProcess::Streams::terminal);
  ASSERT_TRUE(launcher->waitForOutputLine("shown: downloadButton", true)) << launcher->output();
  launcher->writeLine("download");
  ASSERT_TRUE(launcher->waitForOutputLine("shown: launchButton", true)) << launcher->output();
  launcher->writeLine("exit");
  EXPECT_EQ(launcher->waitForExit(), 0);
  EXPECT_EQ(launcher->output().find('\x1b'), std::string::npos) << launcher->output();
  EXPECT_EQ(readFile(versionFile()), "1");
}

// Ctrl-C on the launcher's terminal, while the merge writes its lines there, ends it at once.
TEST_F(EndToEnd, InterruptWhileTheMergePrintsEndsTheLauncher) {
  std::map<std::string, std::string> files;
  for (int i = 0; i < 4000; ++i) files["data/f" + std::to_string(i) + ".txt"] = "x";
  publish(1, files);
  launcherEnvironment["TERM"] = "xterm";  // the live display, whatever terminal runs the tests
  auto launcher = startLauncher(ChildProcess::Streams::terminal);
  ASSERT_TRUE(launcher->waitForOutputLine("[download] [exit]", true)) << launcher->output();
  launcher->writeLine("download");
  ASSERT_TRUE(launcher->waitForOutputLine(" subPath: ", true)) << launcher->output();
  const auto pressed = std::chrono::steady_clock::now();
  launcher->write("\x03");
  EXPECT_EQ(launcher->waitForExit(std::chrono::seconds(10)), 130);
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(3));
  EXPECT_EQ(readFile(versionFile()), "0") << "ended before the version was recorded";

  // The same with standard output on a pipe that nobody reads: the merge's lines fill it and
  // the line being written waits, but the interrupt still ends the launcher.
  const std::string fifo = root / "output-fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  launcher = startLauncher(ChildProcess::Streams::pipes, fifo);
  ASSERT_TRUE(launcher->waitForErrorLine("shown: downloadButton")) << launcher->errors();
  launcher->writeLine("download");
  const platform::UniqueFd pipe(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(pipe);
  // Full: 64 KiB less what a line did not fit, and no more for a while.
  int waiting = 0, before = -1;
  for (int i = 0; i < 600 && (waiting < 60 * 1024 || waiting != before); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    before = waiting;
    ASSERT_EQ(::ioctl(pipe.get(), FIONREAD, &waiting), 0);
  }
  ASSERT_GE(waiting, 60 * 1024) << launcher->errors();
  ASSERT_EQ(waiting, before) << launcher->errors();
  const auto interrupted = std::chrono::steady_clock::now();
  launcher->signal(SIGINT);
  EXPECT_EQ(launcher->waitForExit(std::chrono::seconds(10)), 130) << launcher->errors();
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(3));
}

// The feed tool signs with a key pair it made; the test launcher checks with its public key.
class SignedPackages : public EndToEnd {
 protected:
  nlohmann::json versionDocument() const {
    return nlohmann::json::parse(readFile(feed() + "/v/version"));
  }
  void setVersionDocument(const nlohmann::json& document) {
    writeFile(feed() + "/v/version", document.dump());
  }
  std::string bundle() const { return install() + "/" + kName + ".app"; }
};

TEST_F(SignedPackages, OnlyAPackageSignedForItsVersionIsInstalled) {
  publicKey = keygen("publisher");
  keygen("stranger");
  publish(1, {}, secretKey("publisher"));
  firstInstall();
  EXPECT_EQ(readFile(bundle() + "/lib/v1.txt"), "1");

  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string failure;
    int packageRequests;
  };
  const Case cases[] = {
      {"a byte of the package changed",
       [&] {
         publish(2, {}, secretKey("publisher"));
         std::string package = readFile(feed() + "/package_mac.zip");
         package[package.size() / 2] ^= 0x01;
         writeFile(feed() + "/package_mac.zip", package);
       },
       "the package signature is not valid: the signature does not match the package", 1},
      {"signed with another key", [&] { publish(2, {}, secretKey("stranger")); },
       "the package signature is not valid: the package was signed with another key", 0},
      {"no signature", [&] { publish(2); },
       "the package signature is not valid: the version answer carries no signature", 0},
      {"version 2's signature offered as version 3",
       [&] {
         publish(2, {}, secretKey("publisher"));
         auto document = versionDocument();
         document["data"]["attributes"]["application_version"] = "3";
         setVersionDocument(document);
       },
       "the package signature is not valid: the package is signed for version 2, not 3", 1},
      // A window left open while the publisher publishes again: the offered version's package is
      // gone from its address, and nothing is downloaded that its signature would refuse.
      {"version 3 published after the launcher looked for updates",
       [&] {
         publish(2, {}, secretKey("publisher"));
         const auto offered = versionDocument();
         publish(3, {}, secretKey("publisher"));
         setVersionDocument(offered);
       },
       "version 3 was published after the launcher looked for updates; start the launcher again "
       "to get it",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(versionFile(), "1");
    // Without the install's manifest the whole package is downloaded and checked whole (an
    // update of the changed entries checks each against the signed manifest: DeltaUpdates).
    fs::remove(install() + "/.install-manifest");
    c.prepare();
    const int before = packageRequests();
    auto launcher = startLauncher();
    EXPECT_EQ(session(*launcher, {{"shown: updateButton", "update"},
                                  {"Failed to update the application.", ""}}),
              0)
        << launcher->errors();
    EXPECT_NE(launcher->errors().find(R"(Failed to update the application.\n )" + c.failure),
              std::string::npos)
        << launcher->errors();
    EXPECT_EQ(launcher->errors().find("without verification"), std::string::npos);
    EXPECT_EQ(packageRequests() - before, c.packageRequests);
    // The installed application is as it was, and nothing of the refused package stays.
    EXPECT_EQ(readFile(bundle() + "/lib/v1.txt"), "1");
    EXPECT_FALSE(fs::exists(bundle() + "/lib/v2.txt"));
    for (const auto& entry : fs::directory_iterator(install()))
      EXPECT_EQ(entry.path().filename().string().find("package_mac.zip"), std::string::npos)
          << entry.path();
  }
}

TEST_F(SignedPackages, PackageSignedWithMinisignIsAccepted) {
  std::string minisign;
  std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string folder; std::getline(path, folder, ':');)
    if (minisign.empty() && ::access((folder + "/minisign").c_str(), X_OK) == 0)
      minisign = folder + "/minisign";
  if (minisign.empty())
    GTEST_SKIP() << "minisign is not installed (scripts/install-deps.sh installs it)";

  publicKey = keygen("publisher");
  publish(1);
  const std::string package = feed() + "/package_mac.zip";
  ChildProcess sign(
      {minisign, "-S", "-s", secretKey("publisher"), "-m", package, "-t", "version:1"}, {});
  ASSERT_EQ(sign.waitForExit(), 0) << sign.errors();
  auto document = versionDocument();
  document["data"]["attributes"]["application_signature_mac"] = readFile(package + ".minisig");
  setVersionDocument(document);
  firstInstall();
  EXPECT_EQ(readFile(bundle() + "/lib/v1.txt"), "1");
}

// ---- Never a broken installation: staged install, journal, one launcher at a time

// The install folder as a test sees it: "dir/" with its mode, "link@target", and
// "file=<mode>:<size>:<digest of its bytes>" for every entry, the version file, the lock file and
// the install's manifest apart.
std::map<std::string, std::string> manifest(const std::string& root) {
  std::map<std::string, std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
       it.increment(error)) {
    const std::string relative = it->path().lexically_relative(root).string();
    if (relative == "version.txt" || relative == ".lock" || relative == ".install-manifest")
      continue;
    const auto mode = std::to_string(static_cast<unsigned>(it->symlink_status().permissions()));
    if (it->is_symlink()) {
      entries[relative] = "@" + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      entries[relative + "/"] = mode;
    } else {
      const std::string content = readFile(it->path().string());
      const auto digest = std::hash<std::string>()(content);
      entries[relative] =
          mode + ":" + std::to_string(content.size()) + ":" + std::to_string(digest);
    }
  }
  return entries;
}

// Which of the two trees the folder holds, for messages.
std::string describeTree(const std::map<std::string, std::string>& tree,
                         const std::map<std::string, std::string>& oldTree,
                         const std::map<std::string, std::string>& newTree) {
  if (tree == oldTree) return "the old tree";
  if (tree == newTree) return "the new tree";
  std::string differences;
  for (const auto& [path, value] : tree)
    if (!oldTree.contains(path) && !newTree.contains(path)) differences += " +" + path;
  for (const auto& [path, value] : oldTree)
    if (!tree.contains(path)) differences += " -" + path;
  return "a mix:" + differences.substr(0, 2000);
}

class SafeInstall : public EndToEnd {
 protected:
  std::string bundle() const { return install() + "/" + kName + ".app"; }
  std::string app(int version) const {
    return root / ("app-" + std::to_string(version) + "/" + kName + ".app");
  }

  // Publishes `version` of the application folder that `build` fills, with the feed tool.
  void publishApp(int version, const std::function<void(const std::string& app)>& build) {
    fs::remove_all(app(version));
    fs::create_directories(app(version));
    build(app(version));
    ChildProcess tool(
        {kBuild + "/launcher-feed", "publish", "--app", app(version), "--version",
         std::to_string(version), "--base-url", served().address(), "--out", feed(), "--force"},
        {});
    ASSERT_EQ(tool.waitForExit(), 0) << tool.errors();
  }
  // Puts the application folder in place as an earlier install of `version` would have, with a
  // file of the user's own inside it. With `hardLinks` (quicker), its files are hard links to the
  // published folder's: the launcher never writes into a file, and manifests would show it if
  // it did.
  void installDirectly(int version, bool hardLinks = false) {
    fs::remove_all(install());
    fs::create_directories(install());
    fs::copy(app(version), bundle(),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks |
                 (hardLinks ? fs::copy_options::create_hard_links : fs::copy_options::none));
    writeFile(bundle() + "/settings.ini", "the user's own");
    writeFile(versionFile(), std::to_string(version));
  }
  // The tree an update to `version` must leave: its application folder and the user's file.
  std::map<std::string, std::string> expectedTree(int version) {
    testing::TempDir scratch;
    const std::string expected = scratch / (kName + ".app");
    fs::copy(app(version), expected, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    writeFile(expected + "/settings.ini", "the user's own");
    return manifest(scratch.path());
  }
  // Replaces the published package by one holding the application folder of `version` and the
  // `extra` top-level entries.
  void repackage(int version, const std::vector<testing::ZipEntry>& extra) {
    std::vector<testing::ZipEntry> entries;
    for (auto it = fs::recursive_directory_iterator(app(version)); it != fs::end(it); ++it) {
      const std::string name =
          kName + ".app/" + it->path().lexically_relative(app(version)).string();
      if (it->is_directory())
        entries.push_back(testing::directory(name + "/"));
      else
        entries.push_back(
            testing::file(name, readFile(it->path().string()))
                .withMode(0100000 | static_cast<unsigned>(it->status().permissions())));
    }
    entries.insert(entries.end(), extra.begin(), extra.end());
    testing::writeZip(feed() + "/package_mac.zip", entries);
  }
};

void writeProgram(const std::string& path, mode_t mode = 0755) {
  writeFile(path, "#!/bin/sh\nexit 0\n");
  fs::permissions(path, fs::perms(mode));
}

// A file system in memory of `size` at `folder` while the object lives (root only).
class MemoryDisk {
 public:
  MemoryDisk(const std::string& folder, const char* size) : folder_(folder) {
    fs::create_directories(folder);
    const std::string options = std::string("size=") + size;
    mounted_ =
        ::geteuid() == 0 && ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~MemoryDisk() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

struct UpdateCase {
  const char* title;
  // No old application: a first install.
  std::function<void(const std::string&app)> oldApp, newApp;
  // Top-level entries added to the published package beside the application folder.
  std::vector<testing::ZipEntry> extra;
  // Empty: the update installs. Otherwise part of the failure dialog's text; the old
  // installation stays whole and the previous version recorded.
  std::string failure;
  // Leave the failure dialog with Ctrl-C instead of its button.
  bool interrupt = false;
  // The data folder on a 3 MB file system of its own (root only; skipped otherwise).
  bool smallDisk = false;
};

TEST_F(SafeInstall, UpdatesInstallWholeOrLeaveTheOldVersionWholeAndRecorded) {
  const auto plainApp = [](const std::string& label) {
    return [label](const std::string& app) {
      writeProgram(app + "/AppRun");
      writeFile(app + "/lib/core.so", label);
      writeFile(app + "/share/readme.txt", label);
    };
  };
  const std::vector<UpdateCase> cases = {
      {"a file becomes a folder",
       [](const std::string& app) {
         writeProgram(app + "/AppRun");
         writeFile(app + "/lib", "one file in version 1");
       },
       plainApp("2"),
       {},
       ""},
      {"a folder becomes a file",
       plainApp("1"),
       [](const std::string& app) {
         writeProgram(app + "/AppRun");
         writeFile(app + "/lib", "one file in version 2");
         writeFile(app + "/share/readme.txt", "2");
       },
       {},
       ""},
      {"the package brings a version file of its own",
       plainApp("1"),
       plainApp("2"),
       {testing::file("version.txt", "999999"), testing::file(".install-journal", "x")},
       ""},
      {"first install without AppRun",
       nullptr,
       [](const std::string& app) { writeFile(app + "/lib/core.so", "2"); },
       {},
       "the package's " + kName + ".app holds no AppRun"},
      {"AppRun not executable, the package's version file 999999, left with Ctrl-C",
       plainApp("1"),
       [](const std::string& app) {
         writeProgram(app + "/AppRun", 0644);
         writeFile(app + "/lib/core.so", "2");
       },
       {testing::file("version.txt", "999999")},
       "the package's " + kName + ".app/AppRun is not an executable file",
       true},
      {"an empty AppRun, which no kernel starts",
       plainApp("1"),
       [](const std::string& app) {
         writeFile(app + "/AppRun", "");
         fs::permissions(app + "/AppRun", fs::perms(0755));
       },
       {},
       "the package's " + kName + ".app/AppRun is empty"},
      {"the disk fills up during the merge",
       plainApp("1"),
       [](const std::string& app) {
         writeProgram(app + "/AppRun");
         writeFile(app + "/lib/core.so", std::string(40 << 20, '\0'));  // compresses to little
       },
       {},
       "cannot put the package's files in place",
       false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    fs::remove_all(root / "data");
    fs::remove_all(root / "cache");
    std::optional<MemoryDisk> disk;
    if (c.smallDisk) {
      disk.emplace(root / "data", "28m");
      if (!disk->mounted()) {
        std::cout << "[ SKIPPED  ] " << c.title << ": needs root to mount a small file system\n";
        continue;
      }
    }
    const bool firstInstall = !c.oldApp;
    if (firstInstall) {
      fs::create_directories(install());
    } else {
      publishApp(1, c.oldApp);
      installDirectly(1);
    }
    const std::string previous = firstInstall ? "0" : "1";
    const std::string offer = firstInstall ? "download" : "update";
    const auto oldTree = manifest(install());
    publishApp(2, c.newApp);
    if (!c.extra.empty()) repackage(2, c.extra);

    auto launcher = startLauncher();
    ASSERT_TRUE(launcher->waitForErrorLine("shown: " + offer + "Button")) << launcher->errors();
    launcher->writeLine(offer);
    ASSERT_TRUE(launcher->waitForErrorLines([](const std::vector<std::string>& lines) {
      return std::find(lines.begin(), lines.end(), "shown: launchButton") != lines.end() ||
             std::find(lines.begin(), lines.end(), "press Enter for Exit") != lines.end();
    })) << launcher->errors();
    const std::string errors = launcher->errors();
    const bool failed = errors.find("press Enter for Exit") != std::string::npos;
    ASSERT_EQ(failed, !c.failure.empty()) << errors;
    if (!failed) {
      launcher->writeLine("exit");
      EXPECT_EQ(launcher->waitForExit(), 0);
      EXPECT_EQ(readFile(versionFile()), "2");
      const auto tree = manifest(install());
      EXPECT_EQ(tree, expectedTree(2)) << describeTree(tree, oldTree, expectedTree(2));
      continue;
    }

    EXPECT_NE(errors.find("alert: Error | Failed to update the application.\\n "),
              std::string::npos);
    EXPECT_NE(errors.find(c.failure), std::string::npos) << errors;
    if (c.interrupt)
      launcher->signal(SIGINT);
    else
      launcher->writeLine("");
    EXPECT_EQ(launcher->waitForExit(), c.interrupt ? 130 : 0);
    EXPECT_EQ(readFile(versionFile()), previous);
    const auto tree = manifest(install());
    EXPECT_EQ(tree, oldTree) << describeTree(tree, oldTree, expectedTree(2));

    // The next start offers the update again.
    auto again = startLauncher();
    EXPECT_TRUE(again->waitForErrorLine("shown: " + offer + "Button")) << again->errors();
    again->writeLine("exit");
    EXPECT_EQ(again->waitForExit(), 0);
    EXPECT_NE(again->output().find("\n2  :  " + previous + "\n"), std::string::npos)
        << again->output();
  }
}

TEST_F(SafeInstall, TwoLaunchersAtOnceOneInstallsTheOtherSaysSoAndTouchesNothing) {
  publish(1);
  auto first = startLauncher();
  auto second = startLauncher();
  ChildProcess* installing = nullptr;
  ChildProcess* refused = nullptr;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((installing == nullptr || refused == nullptr) &&
         std::chrono::steady_clock::now() < limit) {
    for (auto* launcher : {first.get(), second.get()}) {
      const std::string errors = launcher->errors();
      if (errors.find("shown: downloadButton") != std::string::npos) installing = launcher;
      if (errors.find("press Enter for OK") != std::string::npos) refused = launcher;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(installing && refused && installing != refused) << first->errors() << "\n----\n"
                                                              << second->errors();
  EXPECT_NE(refused->errors().find("alert: " + kName + " is already running | Another " + kName +
                                   " launcher window is open on this account. Use that one; this "
                                   "one closes without changing anything. | [OK]"),
            std::string::npos)
      << refused->errors();
  refused->writeLine("");
  EXPECT_EQ(refused->waitForExit(), 0);
  EXPECT_EQ(refused->output(), "") << "it did not even start its workflow";

  installing->writeLine("download");
  ASSERT_TRUE(installing->waitForErrorLine("shown: launchButton")) << installing->errors();
  installing->writeLine("exit");
  EXPECT_EQ(installing->waitForExit(), 0);
  EXPECT_EQ(readFile(versionFile()), "1");
  EXPECT_EQ(readFile(install() + "/" + kName + ".app/lib/v1.txt"), "1");
  EXPECT_EQ(packageRequests(), 1);
  std::istringstream log(feedServer->log());
  int versionRequests = 0;
  for (std::string line; std::getline(log, line);)
    if (line.find("/v/version") != std::string::npos) ++versionRequests;
  EXPECT_EQ(versionRequests, 1);
}

TEST_F(SafeInstall, DeletedApplicationIsOfferedForDownloadAgain) {
  publish(1);
  firstInstall();
  fs::remove_all(install() + "/" + kName + ".app");
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher,
                    {{"shown: downloadButton", "download"}, {"shown: launchButton", "launch"}}),
            0)
      << launcher->errors();
  EXPECT_NE(launcher->output().find("\n1  :  0\n"), std::string::npos) << launcher->output();
  EXPECT_TRUE(waitForMarker("version 1\n"));
  EXPECT_EQ(readFile(versionFile()), "1");
}

// Kills the launcher at random moments of a real update of a few thousand files (download,
// extraction, staging, merge, switch, version, clean-up) and starts it again: every time the
// install folder holds exactly the old or exactly the new tree, with the user's own file, and
// the recorded version names it. LAUNCHER_KILL_SEED replays a run.
TEST_F(SafeInstall, KilledAtAnyMomentTheNextStartHasTheWholeOldOrTheWholeNewVersion) {
  // In memory when possible: thousands of files created and removed in every round are slow on
  // a busy disk, and a kill loses nothing that has reached the file system.
  const MemoryDisk memory(root.path(), "512m");
  std::cout << (memory.mounted() ? "in memory\n" : "on the disk\n");
  constexpr int kFolders = 20, kFilesPerFolder = 100;
  const auto build = [&](int version) {
    return [version](const std::string& app) {
      writeProgram(app + "/AppRun");
      for (int folder = 0; folder < kFolders; ++folder)
        for (int file = 0; file < kFilesPerFolder + (version - 1) * 5; ++file)
          writeFile(app + "/part-" + std::to_string(folder) + "/file-" + std::to_string(file),
                    "version " + std::to_string(version) + " of " + std::to_string(file));
    };
  };
  publishApp(1, build(1));
  publishApp(2, build(2));
  installDirectly(1, true);
  const auto oldTree = manifest(install());
  const auto newTree = expectedTree(2);
  ASSERT_GT(newTree.size(), 2000u);
  const std::string cache = root / "cache";

  unsigned seed = std::random_device()();
  if (const char* given = std::getenv("LAUNCHER_KILL_SEED")) seed = std::stoul(given);
  std::cout << "LAUNCHER_KILL_SEED=" << seed << "\n";
  std::mt19937 random(seed);

  // How long a whole update takes here, from the press to the launch button, and how much of it
  // comes after the merge has begun: the extraction takes most of the time, so half of the
  // rounds aim at what comes after it. Kills fall within twice these times, as a round may be
  // slower than this measure; a kill after the end tests a start after a finished update.
  auto launcher = startLauncher();
  ASSERT_TRUE(launcher->waitForErrorLine("shown: updateButton")) << launcher->errors();
  const auto pressed = std::chrono::steady_clock::now();
  launcher->writeLine("update");
  ASSERT_TRUE(launcher->waitForOutputLine(" subPath: ", true)) << launcher->errors();
  const auto merging = std::chrono::steady_clock::now();
  ASSERT_TRUE(launcher->waitForErrorLine("shown: launchButton")) << launcher->errors();
  const auto whole = std::chrono::steady_clock::now() - pressed;
  const auto tail = std::chrono::steady_clock::now() - merging;
  launcher->writeLine("exit");
  ASSERT_EQ(launcher->waitForExit(), 0);
  ASSERT_EQ(manifest(install()), newTree);
  ASSERT_EQ(readFile(versionFile()), "2");
  const auto ms = [](auto duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  };
  std::cout << "a whole update takes " << ms(whole) << " ms, " << ms(tail)
            << " ms of it from the merge on\n";

  const auto started = std::chrono::steady_clock::now();
  int rounds = 0, endedOld = 0, endedNew = 0;
  while (rounds < 40 &&
         (rounds < 6 || std::chrono::steady_clock::now() - started < std::chrono::seconds(35))) {
    ++rounds;
    installDirectly(1, true);
    fs::remove_all(cache);
    launcher = startLauncher();
    ASSERT_TRUE(launcher->waitForErrorLine("shown: updateButton")) << launcher->errors();
    const bool fromMerge = rounds % 2 == 0;
    const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
        (fromMerge ? tail : whole) * std::uniform_real_distribution<double>(0.0, 2.0)(random));
    launcher->writeLine("update");
    if (fromMerge) {
      ASSERT_TRUE(launcher->waitForOutputLine(" subPath: ", true)) << launcher->errors();
    }
    std::this_thread::sleep_for(delay);
    launcher->signal(SIGKILL);
    ASSERT_TRUE(launcher->waitForExit().has_value());
    const std::size_t outputLines = launcher->outputLines().size();

    auto next = startLauncher();
    ASSERT_TRUE(next->waitForErrorLines([](const std::vector<std::string>& lines) {
      return std::find(lines.begin(), lines.end(), "shown: updateButton") != lines.end() ||
             std::find(lines.begin(), lines.end(), "shown: launchButton") != lines.end();
    })) << next->errors();
    next->writeLine("exit");
    EXPECT_EQ(next->waitForExit(), 0);

    auto tree = manifest(install());
    // A download cut short leaves its part for the next one to continue.
    tree.erase(".package_mac.zip.part");
    tree.erase(".package_mac.zip.part.json");
    const std::string version = readFile(versionFile());
    const bool isNew = tree == newTree;
    SCOPED_TRACE("round " + std::to_string(rounds) + ", killed " + std::to_string(delay.count()) +
                 " us after " + (fromMerge ? "the merge began, " : "the press, ") +
                 std::to_string(outputLines) + " output lines");
    ASSERT_TRUE(tree == oldTree || isNew) << describeTree(tree, oldTree, newTree);
    ASSERT_EQ(version, isNew ? "2" : "1");
    ASSERT_NE(next->output().find(isNew ? "\n2  :  2\n" : "\n2  :  1\n"), std::string::npos)
        << next->output();
    ++(isNew ? endedNew : endedOld);
  }
  std::cout << rounds << " rounds: " << endedOld << " ended with the old version, " << endedNew
            << " with the new\n";
}

// ==== Downloads that continue where they stopped; the feed behind nginx ==========================

// The shares in the plain display's "download: N%" lines, in order.
std::vector<int> downloadTenths(const std::string& errors) {
  std::vector<int> tenths;
  std::istringstream lines(errors);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with("download: ") && line.ends_with("%"))
      tenths.push_back(std::stoi(line.substr(10)));
  return tenths;
}

// The whole package, "X MB of X MB", in a "download: " line of `errors`.
bool namesTheWholePackage(const std::string& errors, std::uint64_t size) {
  const std::string whole = formatBytes(size);
  return errors.find("\ndownload: " + whole + " of " + whole) != std::string::npos;
}

// Version 1 with 2 MB that do not compress, its package served by the test's server.
class ResumedDownloads : public HostileNetwork {
 protected:
  std::string part() const { return install() + "/.package_mac.zip.part"; }
  // Publishes, signed with a key pair the launcher trusts when `sign`, and serves the package
  // cut off after 40 % of it in the first `cuts` answers and at its start in the rest of them (see
  // ServedPackage). Returns the package.
  std::string serve(bool sign, std::size_t cuts, std::size_t cutsAtStart = 0) {
    if (sign) publicKey = keygen("publisher");
    publish(1, {{"payload.bin", testing::pseudoRandomBytes(2 << 20, 3)}},
            sign ? secretKey("publisher") : "");
    testing::ServedPackage package(readFile(feed() + "/package_mac.zip"), "\"e2e-1\"");
    package.cuts.assign(cuts, cutAt40(package.bytes));
    package.cuts.resize(cuts + cutsAtStart, 0);
    server.servePackage("/package_mac.zip", package);
    const auto document = nlohmann::json::parse(readFile(feed() + "/v/version"));
    const auto& attributes = document["data"]["attributes"];
    offer(1, server.url("/package_mac.zip"),
          attributes.value("application_signature_mac", std::string()));
    return package.bytes;
  }
  static std::uint64_t cutAt40(const std::string& package) { return (package.size() * 4 + 9) / 10; }
  void expectInstalledAsPublished() {
    EXPECT_TRUE(waitForMarker("version 1\n"));
    EXPECT_EQ(readFile(versionFile()), "1");
    EXPECT_TRUE(testing::tree(bundle()) == testing::tree(root / ("app/" + kName + ".app")))
        << "the installed application is the published one, byte for byte";
    EXPECT_FALSE(fs::exists(part()));
  }
};

// Cut at 40 %, and cut again at each retry: the run ends with the failure dialog. The next start
// asks only for the rest, and the signed package, continued, passes its check.
TEST_F(ResumedDownloads, TheNextStartAsksOnlyForTheRest) {
  const std::string package = serve(true, 1, 3);
  const std::uint64_t cut = cutAt40(package);
  auto first = startLauncher();
  EXPECT_EQ(session(*first, {{"shown: downloadButton", "download"},
                             {"Failed to update the application.", ""}}),
            0)
      << first->errors();
  ASSERT_TRUE(fs::exists(part()));
  EXPECT_EQ(fs::file_size(part()), cut) << "the part waits for the next start";

  auto second = startLauncher();
  EXPECT_EQ(
      session(*second, {{"shown: downloadButton", "download"}, {"shown: launchButton", "launch"}}),
      0)
      << second->errors();
  const auto requests = server.packageRequests("/package_mac.zip");
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests.back().range, "bytes=" + std::to_string(cut) + "-");
  EXPECT_EQ(requests.back().ifRange, "\"e2e-1\"");
  EXPECT_EQ(requests.back().status, 206);
  EXPECT_EQ(requests.back().bytes, package.size() - cut);
  expectInstalledAsPublished();
  // The bar starts where the part ends and fills.
  const auto tenths = downloadTenths(second->errors());
  ASSERT_FALSE(tenths.empty()) << second->errors();
  EXPECT_GE(tenths.front(), 40);
  EXPECT_EQ(tenths.back(), 100);
  EXPECT_TRUE(namesTheWholePackage(second->errors(), package.size())) << second->errors();
}

TEST_F(ResumedDownloads, ACutWithinOneRunIsTakenUpWithoutADialog) {
  const std::uint64_t cut = cutAt40(serve(false, 1));
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher,
                    {{"shown: downloadButton", "download"}, {"shown: launchButton", "launch"}}),
            0)
      << launcher->errors();
  EXPECT_EQ(launcher->errors().find("Failed to update the application."), std::string::npos);
  const auto requests = server.packageRequests("/package_mac.zip");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(cut) + "-");
  expectInstalledAsPublished();
}

// A published feed behind nginx, at the root and under a prefix. The first launcher is killed
// at 40 % of the package (nginx sends it at 1 MB/s); the next one asks for the rest, which is all
// nginx sends.
TEST_F(EndToEnd, FeedBehindNginxInstallsAndContinuesAKilledDownload) {
  if (testing::NginxServer::program().empty())
    GTEST_SKIP() << "nginx is not installed (scripts/install-deps.sh installs nginx-light)";
  for (const std::string prefix : {"", "/updates"}) {
    SCOPED_TRACE("prefix \"" + prefix + "\"");
    fs::remove_all(root / "data");
    fs::remove_all(feed());
    testing::NginxServer nginx(feed(), prefix, root / ("nginx" + prefix), 1'000'000);
    packageBase = nginx.address();
    versionServer = nginx.serverSetting();
    publish(1, {{"payload.bin", testing::pseudoRandomBytes(2 << 20, 3)}});
    const std::uint64_t size = fs::file_size(feed() + "/package_mac.zip");
    // The user's own file under the package's name: the killed download never wrote it.
    writeFile(install() + "/package_mac.zip", "the user's own");

    auto killed = startLauncher();
    ASSERT_TRUE(killed->waitForErrorLine("shown: downloadButton")) << killed->errors();
    killed->writeLine("download");
    ASSERT_TRUE(killed->waitForErrorLine("download: 40%")) << killed->errors();
    killed->signal(SIGKILL);
    killed->waitForExit();
    const std::string part = install() + "/.package_mac.zip.part";
    ASSERT_TRUE(fs::exists(part) && fs::exists(part + ".json"));
    const std::uint64_t kept = fs::file_size(part);
    EXPECT_GE(kept, size * 4 / 10);
    EXPECT_LT(kept, size);

    auto launcher = startLauncher();
    ASSERT_TRUE(launcher->waitForErrorLine("shown: downloadButton")) << launcher->errors();
    EXPECT_EQ(readFile(install() + "/package_mac.zip"), "the user's own");
    EXPECT_EQ(session(*launcher,
                      {{"shown: downloadButton", "download"}, {"shown: launchButton", "launch"}}),
              0)
        << launcher->errors();
    EXPECT_TRUE(waitForMarker("version 1\n"));
    fs::remove(marker());
    EXPECT_TRUE(testing::tree(install() + "/" + kName + ".app") ==
                testing::tree(root / ("app/" + kName + ".app")))
        << "the installed application is the published one, byte for byte";
    EXPECT_TRUE(namesTheWholePackage(launcher->errors(), size)) << launcher->errors();

    // nginx's own account: the version document under the prefix, then the package twice, the
    // second time only its rest.
    std::vector<std::string> packageLines;
    bool versionServed = false;
    for (const std::string& line : nginx.accessLog()) {
      if (line.starts_with("GET " + prefix + "/v/version 200 ")) versionServed = true;
      if (line.starts_with("GET " + prefix + "/package_mac.zip ")) packageLines.push_back(line);
    }
    EXPECT_TRUE(versionServed);
    ASSERT_EQ(packageLines.size(), 2u);
    EXPECT_TRUE(packageLines[0].starts_with("GET " + prefix + "/package_mac.zip 200 "))
        << packageLines[0];
    const std::string rest = "GET " + prefix + "/package_mac.zip 206 " +
                             std::to_string(size - kept) + " \"bytes=" + std::to_string(kept) +
                             "-\" \"\\x22";  // nginx writes a quote as \x22
    EXPECT_TRUE(packageLines[1].starts_with(rest)) << packageLines[1] << "\nexpected: " << rest;
  }
}

}  // namespace
}  // namespace launcher

namespace launcher {
namespace {

// ==== Updates that fetch only the changed entries ================================================

// Every entry below `folder` with what a full install decides of it: a file's mode, bytes and
// modification time, a folder's mode and time, a link's target and time.
std::map<std::string, std::string> exactTree(const std::string& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string relative = fs::relative(entry.path(), folder);
    if (relative == "version.txt" || relative == ".lock") continue;
    struct stat status {};
    EXPECT_EQ(::lstat(entry.path().c_str(), &status), 0);
    // A folder's time is that of the install that last changed it, and so is the manifest's.
    const bool timed = !entry.is_directory() || entry.is_symlink();
    const std::string stamp =
        std::to_string(status.st_mode) + " " +
        (timed && relative != ".install-manifest"
             ? std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec)
             : "") +
        " ";
    tree[relative] = stamp + (entry.is_symlink()     ? "-> " + fs::read_symlink(entry).string()
                              : entry.is_directory() ? "folder"
                                                     : readFile(entry.path()));
  }
  return tree;
}

// An application of 2,000 entries served by the test's server, v2 installed in full; then v3,
// which changes 5 % of the entries and adds some.
class DeltaUpdates : public HostileNetwork {
 protected:
  // Files of version 2 besides the AppRun and the version file; fewer where the count is not
  // what is tested.
  int files = 1960;
  testing::TempDir fullUsers;  // where the same launcher updates with whole downloads
  std::string app(int version) const { return root / ("app-" + std::to_string(version)); }
  std::string appBundle(int version) const { return app(version) + "/" + kName + ".app"; }
  std::string bundleOf(const std::string& users) const {
    return users + "/data/" + kName + "/" + kName + ".app";
  }

  static void setTimes(const std::string& folder, fs::file_time_type time) {
    for (const auto& entry : fs::recursive_directory_iterator(folder))
      if (!entry.is_symlink()) fs::last_write_time(entry.path(), time);
    fs::last_write_time(folder, time);
  }
  // A month ago, whole seconds, and `hours` later.
  const fs::file_time_type epoch = std::chrono::floor<std::chrono::seconds>(
      fs::file_time_type::clock::now() - std::chrono::hours(24 * 30));
  fs::file_time_type fixedTime(int hours) const { return epoch + std::chrono::hours(hours); }
  // Version 2: files of 1 to 8 kB in 40 folders, some random, some text, the AppRun and a link.
  void buildVersion2() {
    const std::string bundle = appBundle(2);
    for (int i = 0; i < files; ++i) {
      const std::string name =
          bundle + "/data/" + std::to_string(i % 40) + "/f" + std::to_string(i);
      writeFile(name, i % 2 == 0
                          ? testing::pseudoRandomBytes(1000 + (i * 37) % 7000, i)
                          : std::string(1000 + (i * 53) % 7000, static_cast<char>('a' + i % 26)));
    }
    writeFile(
        bundle + "/AppRun",
        "#!/bin/sh\necho \"version $(cat \"$(dirname \"$0\")/v\")\" > \"" + marker() + "\"\n");
    fs::permissions(bundle + "/AppRun", fs::perms(0755));
    writeFile(bundle + "/v", "2");
    fs::create_symlink("data/0/f0", bundle + "/first");
    setTimes(app(2), fixedTime(0));
  }
  // Version 3: the files of two of the 40 folders rewritten (5 % of the entries), 30 files
  // added, the version file changed; what did not change keeps its time.
  static bool changedIn3(const std::string& name) {
    return name.find("/data/3/") != std::string::npos ||
           name.find("/data/17/") != std::string::npos ||
           name.find("/data/new/") != std::string::npos || name.ends_with(".app/v");
  }
  void buildVersion3() {
    fs::copy(app(2), app(3), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    setTimes(app(3), fixedTime(0));
    const std::string bundle = appBundle(3);
    for (const std::string folder : {"/data/3", "/data/17"})
      for (const auto& entry : fs::directory_iterator(bundle + folder))
        writeFile(entry.path(), testing::pseudoRandomBytes(fs::file_size(entry.path()), 99));
    for (int i = 0; i < 30; ++i)
      writeFile(bundle + "/data/new/n" + std::to_string(i),
                testing::pseudoRandomBytes(3000, i + 7));
    writeFile(bundle + "/v", "3");
    for (const auto& entry : fs::recursive_directory_iterator(bundle))
      if (changedIn3(entry.path().string()) && entry.is_regular_file())
        fs::last_write_time(entry.path(), fixedTime(5));
  }
  // Publishes `version` with the feed tool, signed with `secretKey` when one is given, and serves
  // its package (with ranges or without), its signature and its signed manifest.
  std::string serve(int version, bool ranges, const std::string& secretKey = {}) {
    std::vector<std::string> command{kBuild + "/launcher-feed",
                                     "publish",
                                     "--app",
                                     appBundle(version),
                                     "--version",
                                     std::to_string(version),
                                     "--base-url",
                                     server.url(""),
                                     "--out",
                                     feed(),
                                     "--force"};
    if (!secretKey.empty()) command.insert(command.end(), {"--secret-key", secretKey});
    ChildProcess tool(command, {});
    EXPECT_EQ(tool.waitForExit(), 0) << tool.errors();
    testing::ServedPackage package(readFile(feed() + "/package_mac.zip"),
                                   "\"e2e-" + std::to_string(version) + "\"");
    package.ranges = ranges;
    server.servePackage("/package_mac.zip", package);
    if (!secretKey.empty()) {
      for (const std::string name :
           {"/package_mac.zip.manifest", "/package_mac.zip.manifest.minisig"})
        server.answer(name, 200, readFile(feed() + name));
    }
    const auto document = nlohmann::json::parse(readFile(feed() + "/v/version"));
    server.answer("/v/version", 200, document.dump(), "application/json");
    return package.bytes;
  }
  std::string run(const std::string& button, const std::string& expectedMarker) {
    auto launcher = startLauncher();
    EXPECT_EQ(session(*launcher, {{"shown: " + button, button.substr(0, button.find("Button"))},
                                  {"shown: launchButton", "launch"}}),
              0)
        << launcher->errors();
    EXPECT_TRUE(waitForMarker(expectedMarker)) << launcher->errors();
    fs::remove(marker());
    return launcher->errors();
  }
};

TEST_F(DeltaUpdates, OnlyTheChangedEntriesAreFetchedAndTheTreeIsTheFullInstallsOne) {
  buildVersion2();
  buildVersion3();
  // Version 2, in full, in both sets of user folders.
  serve(2, true);
  run("downloadButton", "version 2\n");
  otherUsers = &fullUsers;
  run("downloadButton", "version 2\n");
  otherUsers = nullptr;
  ASSERT_TRUE(fs::exists(install() + "/.install-manifest"));
  // A file the update does not change, edited by the user: the update puts it right.
  const std::string edited = bundle() + "/data/5/f5";
  const std::string original = readFile(edited);
  writeFile(edited, std::string(original.size(), '#'));

  // Version 3 with ranges: only they were asked for, for the changed entries and the directory.
  // The user has moved to another time zone since: the files the update keeps are given the
  // dates the package gives them there, as the whole package would.
  launcherEnvironment["TZ"] = "JST-9";
  const std::string package = serve(3, true);
  server.forgetPackageRequests();
  // A whole download of version 3 was cut earlier; its part is no use once the update is in.
  const std::string part = install() + "/.package_mac.zip.part";
  writeFile(part, package.substr(0, 1000));
  writeFile(part + ".json", nlohmann::json{{"address", server.url("/package_mac.zip")},
                                           {"validator", "\"e2e-3\""},
                                           {"size", package.size()}}
                                .dump());
  const std::string errors = run("updateButton", "version 3\n");
  EXPECT_FALSE(fs::exists(part));
  EXPECT_FALSE(fs::exists(part + ".json"));
  EXPECT_NE(errors.find("delta update: fetched 174 of 2,036 entries, "), std::string::npos)
      << errors;
  // Each range but the tail and the directory runs from the local header of an entry to fetch
  // to the end of one (the next local header), and every file or link to fetch lies in one.
  const std::string file = root / "served.zip";
  writeFile(file, package);
  const platform::UniqueFd served(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  auto read = zipwell::readCentralDirectory(served.get());
  ASSERT_TRUE(std::holds_alternative<zipwell::CentralDirectory>(read));
  const auto& directory = std::get<zipwell::CentralDirectory>(read);
  std::map<std::uint64_t, std::string> starts, ends;  // entries by local header, by end
  std::vector<std::uint64_t> offsets{directory.start};
  for (const auto& entry : directory.entries) offsets.push_back(entry.localHeader);
  std::sort(offsets.begin(), offsets.end());
  std::set<std::string> toFetch;
  for (const auto& entry : directory.entries) {
    starts[entry.localHeader] = entry.name;
    ends[*std::upper_bound(offsets.begin(), offsets.end(), entry.localHeader)] = entry.name;
    // Folders are made from their central record.
    if (entry.name.ends_with("/")) continue;
    if (changedIn3("/" + entry.name) || entry.name == edited.substr(install().size() + 1) ||
        entry.name.ends_with("/first"))
      toFetch.insert(entry.name);
  }
  std::uint64_t sent = 0;
  std::set<std::string> fetched;
  for (const auto& request : server.packageRequests("/package_mac.zip")) {
    EXPECT_EQ(request.status, 206) << request.range;
    sent += request.bytes;
    std::uint64_t first = 0, last = 0;
    if (request.range.starts_with("bytes=-") ||
        std::sscanf(request.range.c_str(), "bytes=%" SCNu64 "-%" SCNu64, &first, &last) != 2) {
      EXPECT_TRUE(request.range.starts_with("bytes=-")) << "not a range: " << request.range;
      continue;
    }
    if (first == directory.start) continue;
    EXPECT_TRUE(starts.contains(first) && toFetch.contains(starts[first])) << request.range;
    EXPECT_TRUE(ends.contains(last + 1) && toFetch.contains(ends[last + 1])) << request.range;
    for (auto at = starts.lower_bound(first); at != starts.end() && at->first <= last; ++at)
      fetched.insert(at->second);
  }
  for (const auto& name : toFetch) EXPECT_TRUE(fetched.contains(name)) << "not fetched: " << name;
  // The directory of 2,036 entries and the tail are a good part of it in so small a package.
  EXPECT_LT(sent, package.size() / 5) << sent << " of " << package.size();
  EXPECT_EQ(readFile(edited), original);

  // Version 3 in full, where the server ignores ranges: the same tree.
  serve(3, false);
  server.forgetPackageRequests();
  otherUsers = &fullUsers;
  const std::string fullErrors = run("updateButton", "version 3\n");
  otherUsers = nullptr;
  EXPECT_NE(fullErrors.find("delta update not possible (the server answered a range request with "
                            "the whole package)"),
            std::string::npos)
      << fullErrors;
  const auto requests = server.packageRequests("/package_mac.zip");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "");
  const auto delta = exactTree(install());
  const auto full = exactTree(fullUsers / ("data/" + kName));
  EXPECT_EQ(delta.size(), full.size());
  for (const auto& [path, value] : full) {
    const auto found = delta.find(path);
    if (found == delta.end())
      ADD_FAILURE() << "missing after the delta update: " << path;
    else if (found->second.substr(0, 200) != value.substr(0, 200) || found->second != value)
      ADD_FAILURE() << path << ": " << found->second.substr(0, 60) << " | " << value.substr(0, 60);
  }
}

// A local header that is not what the central directory says: the whole package is downloaded
// instead, and fails its extraction; version 2 stays whole and recorded.
TEST_F(DeltaUpdates, ACentralDirectoryThatLiesFallsBackToTheWholePackage) {
  files = 200;
  buildVersion2();
  buildVersion3();
  serve(2, true);
  run("downloadButton", "version 2\n");
  const auto before = exactTree(install());
  std::string package = serve(3, true);
  const std::size_t name = package.find(kName + ".app/data/3/f3");
  ASSERT_NE(name, std::string::npos);
  package[name - 30 + 14] ^= 0x55;  // the CRC in its local header
  server.servePackage("/package_mac.zip", testing::ServedPackage(package, "\"lies\""));
  server.forgetPackageRequests();
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher,
                    {{"shown: updateButton", "update"}, {"Failed to update the application.", ""}}),
            0)
      << launcher->errors();
  EXPECT_NE(launcher->errors().find("delta update not possible (the package is not what its "
                                    "central directory says: entry \"" +
                                    kName + ".app/data/3/f3\": its local header has another CRC)"),
            std::string::npos)
      << launcher->errors();
  const auto requests = server.packageRequests("/package_mac.zip");
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().range, "") << "the whole package";
  EXPECT_EQ(readFile(versionFile()), "2");
  EXPECT_TRUE(exactTree(install()) == before);

  // A range answer whose body runs on far past its range is cut short at once; the whole
  // package goes in.
  const std::string genuine = serve(3, true);
  auto sent = std::make_shared<std::atomic<std::uint64_t>>(0);
  server.handle("/package_mac.zip", [genuine, sent](const httplib::Request& request,
                                                    httplib::Response& response) {
    const std::string range = request.get_header_value("Range");
    if (!range.starts_with("bytes=-")) {
      response.set_content(genuine, "application/zip");
      return;
    }
    const std::uint64_t size = genuine.size();
    const std::uint64_t count = std::min<std::uint64_t>(std::stoull(range.substr(7)), size);
    response.status = 206;
    response.set_header("ETag", "\"on and on\"");
    response.set_header("Content-Range", "bytes " + std::to_string(size - count) + "-" +
                                             std::to_string(size - 1) + "/" + std::to_string(size));
    response.set_content_provider(std::size_t{1} << 30, "application/zip",
                                  [sent](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                    const std::string piece(
                                        std::min<std::size_t>(length, 64 * 1024), 'x');
                                    *sent += piece.size();
                                    return sink.write(piece.data(), piece.size());
                                  });
  });
  const std::string errors = run("updateButton", "version 3\n");
  EXPECT_NE(errors.find("delta update not possible (the server sent more bytes than those asked "
                        "for)"),
            std::string::npos)
      << errors;
  EXPECT_LT(sent->load(), std::uint64_t{16} << 20) << "bytes of the endless answer sent";
  EXPECT_EQ(readFile(versionFile()), "3");
}

// A package of files only (no folder entries), published again unchanged as version 3: nothing is
// left to fetch, and an archive of no entries would not extract, so the whole package goes in.
TEST_F(DeltaUpdates, AnUnchangedPackageOfFilesOnlyIsInstalledWhole) {
  files = 10;
  buildVersion2();
  const std::string bundle = appBundle(2);
  std::vector<testing::ZipEntry> entries;
  for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    entries.push_back(
        testing::file(kName + ".app/" + fs::relative(entry.path(), bundle).string(),
                      readFile(entry.path()))
            .withMode(0100000 | static_cast<unsigned>(fs::status(entry).permissions())));
  }
  const std::string zip = testing::zipBytes(entries);
  serve(2, true);
  server.servePackage("/package_mac.zip", testing::ServedPackage(zip, "\"files-2\""));
  run("downloadButton", "version 2\n");
  ASSERT_TRUE(fs::exists(install() + "/.install-manifest"));
  fs::copy(app(2), app(3), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  serve(3, true);
  server.servePackage("/package_mac.zip", testing::ServedPackage(zip, "\"files-3\""));
  // A scheme in capitals is the same scheme: the package's directory is still asked for alone.
  auto document = nlohmann::json::parse(readFile(feed() + "/v/version"));
  auto& address = document["data"]["attributes"]["application_url_mac"];
  address = "HTTP" + address.get<std::string>().substr(4);
  server.answer("/v/version", 200, document.dump(), "application/json");
  const std::string errors = run("updateButton", "version 2\n");
  EXPECT_NE(errors.find("delta update not possible (no entry of the package changed)"),
            std::string::npos)
      << errors;
  EXPECT_EQ(readFile(versionFile()), "3");
}

// Signed: an update's fetched entries must be those of the publisher's signed manifest. A package
// with one entry changed on the way is refused, and version 2 stays; the genuine one goes in.
TEST_F(DeltaUpdates, UnderASignedManifestATamperedEntryIsRefused) {
  files = 200;
  publicKey = keygen("publisher");
  buildVersion2();
  buildVersion3();
  serve(2, true, secretKey("publisher"));
  run("downloadButton", "version 2\n");
  const std::string recorded = readFile(install() + "/.install-manifest");
  EXPECT_NE(recorded.find("AppRun\t"), std::string::npos);
  EXPECT_EQ(recorded.find("\t-\n"), std::string::npos) << "every row has its digest";
  const auto before = exactTree(install());

  const std::string genuine = serve(3, true, secretKey("publisher"));
  // The same package with one changed file's bytes replaced, a valid archive otherwise.
  const std::string changed = appBundle(3) + "/data/3/f3";
  const auto time = fs::last_write_time(changed);
  const std::string original = readFile(changed);
  writeFile(changed, std::string(original.size(), 'X'));
  fs::last_write_time(changed, time);
  ChildProcess tool({kBuild + "/launcher-feed", "publish", "--app", appBundle(3), "--version", "3",
                     "--base-url", server.url(""), "--out", root / "tampered", "--force"},
                    {});
  ASSERT_EQ(tool.waitForExit(), 0) << tool.errors();
  server.servePackage("/package_mac.zip",
                      testing::ServedPackage(readFile(root / "tampered/package_mac.zip"), "\"t\""));
  auto launcher = startLauncher();
  EXPECT_EQ(session(*launcher,
                    {{"shown: updateButton", "update"}, {"Failed to update the application.", ""}}),
            0)
      << launcher->errors();
  EXPECT_NE(launcher->errors().find("entry \"" + kName +
                                    ".app/data/3/f3\" is not the one the publisher signed"),
            std::string::npos)
      << launcher->errors();
  EXPECT_EQ(readFile(versionFile()), "2");
  EXPECT_TRUE(exactTree(install()) == before);

  server.servePackage("/package_mac.zip", testing::ServedPackage(genuine, "\"e2e-3\""));
  const std::string errors = run("updateButton", "version 3\n");
  EXPECT_NE(errors.find("delta update: fetched "), std::string::npos) << errors;
  EXPECT_EQ(readFile(versionFile()), "3");
}

}  // namespace
}  // namespace launcher
