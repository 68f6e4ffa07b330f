// The real programs together: the terminal launcher, in its test build (no display pauses, the
// server address taken from LAUNCHER_TEST_SERVER_URL), against the real feed tool serving a real
// published package on a port of its choosing. Per-user folders live in temporary folders. The
// shipped terminal launcher is checked for its display pacing.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/LocalHttpServer.h"
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

  // Publishes a sample application whose AppRun writes "version N" into the marker file.
  void publish(int version, const std::map<std::string, std::string>& extraFiles = {}) {
    const std::string app = root / ("app/" + kName + ".app");
    fs::remove_all(root / "app");
    writeFile(app + "/AppRun", "#!/bin/sh\necho \"version " + std::to_string(version) + "\" > \"" +
                                   marker() + "\"\n");
    fs::permissions(app + "/AppRun", fs::perms(0755));
    writeFile(app + "/lib/v" + std::to_string(version) + ".txt", std::to_string(version));
    for (const auto& [path, content] : extraFiles) writeFile(app + "/" + path, content);
    ChildProcess tool({kBuild + "/launcher-feed", "publish", "--app", app, "--version",
                       std::to_string(version), "--base-url", served().address(), "--out", feed()},
                      {});
    ASSERT_EQ(tool.waitForExit(), 0) << tool.errors();
  }
  // The test build of the terminal launcher, asking the feed server, or a port where nothing
  // listens when no server runs.
  std::unique_ptr<ChildProcess> startLauncher() {
    auto environment = userEnvironment(root);
    environment["LAUNCHER_TEST_SERVER_URL"] =
        feedServer ? feedServer->hostAndPort()
                   : "127.0.0.1:" + std::to_string(testing::unusedPort());
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{kBuild + "/tests/launcher-cli-e2e"}, environment);
  }
  // Runs the launcher through a whole session: each step waits for a line on standard error and
  // then answers with a line on standard input. Returns the exit status.
  std::optional<int> session(ChildProcess& launcher,
                             const std::vector<std::pair<std::string, std::string>>& steps) {
    for (const auto& [awaited, answer] : steps) {
      EXPECT_TRUE(launcher.waitForErrorLine(awaited, true)) << "no \"" << awaited << "\" in:\n"
                                                            << launcher.errors();
      launcher.writeLine(answer);
    }
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
      if (line.find("/package_mac.zip") != std::string::npos) ++count;
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

// ---- Failures record nothing new

TEST_F(EndToEnd, VersionServerDownShowsTheErrorAndExitKeepsTheVersion) {
  writeFile(versionFile(), "1");
  auto launcher = startLauncher();  // no server runs
  EXPECT_EQ(session(*launcher, {{"Failed to launch the application.", "exit"}}), 0);
  EXPECT_TRUE(launcher->output().find("error=") != std::string::npos) << launcher->output();
  EXPECT_EQ(readFile(versionFile()), "1");
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

}  // namespace
}  // namespace launcher
