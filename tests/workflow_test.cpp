// The update workflow from the version answer to the launch button, with doubles for the window,
// the alerts and the version request. The install paths use the real downloader against a local
// server, real archives, the real extraction and the real merge.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mount.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string_view>
#include <thread>

#include "Launcher/Config.h"
#include "Launcher/Installer.h"
#include "Launcher/platform/InstanceLock.h"
#include "tests/support/CaptureFd.h"
#include "tests/support/Doubles.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/TestFolders.h"
#include "tests/support/ZipWriter.h"

namespace launcher {
// While not 0, the moves of top-level entries between the install folder and its staging folder
// fail with EIO from this one on (1 is the first), counted in switchMoves. See renameat2 below.
std::atomic<int> failSwitchMovesFrom = 0;
std::atomic<int> switchMoves = 0;
}  // namespace launcher

namespace launcher {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::versionAnswer;
using testing::writeFile;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

class WorkflowTest : public ::testing::Test {
 protected:
  testing::UserFolders folders;
  testing::LocalHttpServer server;
  testing::TestRig rig;
  std::shared_ptr<ViewController> controller;
  std::thread worker;

  WorkflowTest() {
    // terminate() returns here, so that the test thread, which serves the main queue, goes on.
    rig.application = std::make_shared<testing::RecordingApplication>(false);
    rig.environment.application = rig.application;
  }
  ~WorkflowTest() override {
    if (worker.joinable()) worker.join();
  }

  std::string install() const { return folders.installFolder(); }
  std::string versionFile() const { return install() + "/version.txt"; }
  void serverAnswers(std::int64_t version, const std::string& path = "/feed/package_mac.zip") {
    rig.http->answerWithBody(versionAnswer(version, server.url(path + "?dl=1")));
  }
  // A recorded version with the application it names.
  void installed(const std::string& version) {
    writeFile(versionFile(), version);
    const std::string appRun = install() + "/" + APPLICATION_NAME() + ".app/AppRun";
    writeFile(appRun, "#!/bin/sh\n");
    fs::permissions(appRun, fs::perms(0755));
  }

  void start() {
    controller = rig.makeController();
    ASSERT_TRUE(controller);
    controller->RunInBackground();
    worker = rig.background->startNext();
  }
  // Serves the main queue on this thread until `done` holds (or 30 s pass).
  template <typename Predicate>
  bool serveUntil(Predicate done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < limit) {
      rig.mainQueue->runAll();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  bool serveUntilShown(const std::string& element) {
    return serveUntil([&] {
      const auto events = rig.journal->events();
      return std::find(events.begin(), events.end(), element + " hidden=0") != events.end();
    });
  }
  void finish() {
    worker.join();
    rig.mainQueue->runAll();
  }
  Strings deltas() const { return rig.journal->eventsWithPrefix("progressBar delta="); }
  Strings texts() const { return rig.journal->eventsWithPrefix("updateLabel text="); }
  // Visibility changes of the buttons and the busy indicator, in order.
  Strings visibility() const {
    Strings result;
    for (const auto& event : rig.journal->events())
      if (event.find(" hidden=") != std::string::npos || event.ends_with(" animate"))
        result.push_back(event);
    return result;
  }
};

// ---- Check and decide

TEST_F(WorkflowTest, EqualVersionsFinishUpToDateWithoutAnOffer) {
  installed("5");
  // A download's leftovers: a part that cannot be continued goes, one that can stays.
  writeFile(install() + "/.old.zip.part", "no side file");
  writeFile(install() + "/.new.zip.part", "continued later");
  writeFile(install() + "/.new.zip.part.json", R"({"address":"http://h/new.zip","validator":"1"})");
  serverAnswers(5);
  testing::CaptureFd out(1);
  start();
  ASSERT_TRUE(serveUntilShown("launchButton"));
  finish();
  const std::string printed = out.finish();
  EXPECT_NE(printed.find("5  :  5\n"), std::string::npos) << printed;
  EXPECT_EQ(deltas(), (Strings{"10", "15", "50", "25"}));
  EXPECT_EQ(texts(), (Strings{"Finishing", "Up to date"}));
  EXPECT_EQ(visibility(), Strings{"launchButton hidden=0"});
  EXPECT_EQ(server.requestCount(), 0) << "no download";
  EXPECT_EQ(readFile(versionFile()), "5");
  EXPECT_FALSE(fs::exists(install() + "/.old.zip.part"));
  EXPECT_TRUE(fs::exists(install() + "/.new.zip.part") &&
              fs::exists(install() + "/.new.zip.part.json"));
}

TEST_F(WorkflowTest, LowerServerVersionIsNoDowngrade) {
  installed("7");
  serverAnswers(5);
  start();
  ASSERT_TRUE(serveUntilShown("launchButton"));
  finish();
  EXPECT_EQ(deltas(), (Strings{"10", "15", "50", "25"}));
  EXPECT_EQ(texts(), (Strings{"Finishing", "Up to date"}));
  EXPECT_EQ(readFile(versionFile()), "7");
}

TEST_F(WorkflowTest, NothingReceivedAndNothingInstalledStillEndsWithLaunch) {
  rig.http->answerWithBody("[]");
  testing::CaptureFd out(1);
  start();
  ASSERT_TRUE(serveUntilShown("launchButton"));
  finish();
  EXPECT_NE(out.finish().find("0  :  0\n"), std::string::npos);
  EXPECT_EQ(deltas(), (Strings{"10", "15", "50", "25"}));
  EXPECT_EQ(readFile(versionFile()), "0") << "the first run creates the version file";
}

// The last status claims "Up to date" only when the server gave a version.
TEST_F(WorkflowTest, FinalStatusSaysWhetherUpdatesWereChecked) {
  struct Case {
    const char* name;
    std::optional<std::string> body;  // nothing: a transport error
    const char* status;
  };
  const Case cases[] = {
      {"transport error", std::nullopt, "Could not check for updates"},
      {"not JSON", "<html>portal</html>", "Could not check for updates"},
      {"malformed answer", R"({"data":{}})", "Could not check for updates"},
      {"top-level array", "[]", "Could not check for updates"},
      {"same version", versionAnswer(5, "http://127.0.0.1:1/p.zip"), "Up to date"},
      {"address not a URL", versionAnswer(5, "not a url"), "Up to date"},
  };
  installed("5");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.body)
      rig.http->answerWithBody(*c.body);
    else
      rig.http->answerWithError("Couldn't connect to server");
    start();
    ASSERT_TRUE(serveUntilShown("launchButton"));
    finish();
    EXPECT_EQ(texts(), (Strings{"Finishing", c.status}));
    EXPECT_EQ(deltas(), (Strings{"10", "15", "50", "25"}));
    EXPECT_EQ(readFile(versionFile()), "5");
    EXPECT_EQ(rig.application->terminateCount(), 0);
    rig.journal->clear();
  }
}

// Memory that runs out on the worker (under a low ulimit -v, say), or on the session's thread
// while it handles the version answer for the waiting worker, ends in the failure alert, not in
// an aborted process; the recorded version stays, and nothing more is done.
TEST_F(WorkflowTest, AWantOfMemoryIsReportedAndEndsTheWorkflow) {
  installed("5");
  const std::function<void()> runsOut[] = {
      [&] {  // the alert of a failed request, shown from the session's thread
        rig.http->answerWithError("Couldn't connect to server");
        rig.alerts->failNextWithoutMemory();
      },
      [&] { rig.http->answerWithoutMemory(); },  // the request itself, on the worker
  };
  for (std::size_t at = 0; at < std::size(runsOut); ++at) {
    SCOPED_TRACE(at);
    const std::size_t before = rig.alerts->shown().size();
    runsOut[at]();
    start();
    ASSERT_TRUE(serveUntil([&] { return rig.alerts->shown().size() > before; }));
    finish();
    const std::string shown = rig.alerts->shown().back().informativeText;
    EXPECT_NE(shown.find("not enough memory"), std::string::npos) << shown;
    EXPECT_EQ(rig.application->terminateCount(), static_cast<int>(at) + 1) << "its Exit quits";
    EXPECT_EQ(visibility(), Strings{});
    EXPECT_EQ(readFile(versionFile()), "5");
  }
}

TEST_F(WorkflowTest, NothingInstalledOffersTheDownloadAndWaitsForTheAnswer) {
  // A version recorded without its application is nothing installed: a launch could not start.
  writeFile(versionFile(), "5");
  serverAnswers(5);
  start();
  ASSERT_TRUE(serveUntilShown("downloadButton"));
  EXPECT_EQ(texts(), Strings{"Download Available"});
  EXPECT_EQ(visibility(), Strings{"downloadButton hidden=0"}) << "only the download button";
  // The worker goes no further however long the offer stays.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rig.mainQueue->runAll();
  EXPECT_EQ(deltas(), (Strings{"10", "15"}));
  controller->TwoEvent();
  finish();
  EXPECT_EQ(visibility(), (Strings{"downloadButton hidden=0", "downloadButton hidden=1",
                                   "launchButton hidden=0"}));
  EXPECT_EQ(deltas(), (Strings{"10", "15", "50", "25"}));
}

TEST_F(WorkflowTest, OlderVersionOffersTheUpdateAndProceedLeavesItAlone) {
  installed("4");
  serverAnswers(5);
  start();
  ASSERT_TRUE(serveUntilShown("proceedButton"));
  EXPECT_EQ(texts(), Strings{"Update Found"});
  EXPECT_EQ(visibility(), (Strings{"updateButton hidden=0", "proceedButton hidden=0"}));
  controller->TwoEvent();
  finish();
  EXPECT_EQ(deltas(), (Strings{"10", "15", "50", "25"}));
  EXPECT_EQ(texts(), (Strings{"Update Found", "Finishing", "Up to date"}));
  EXPECT_EQ(visibility(),
            (Strings{"updateButton hidden=0", "proceedButton hidden=0", "updateButton hidden=1",
                     "proceedButton hidden=1", "launchButton hidden=0"}));
  EXPECT_EQ(readFile(versionFile()), "4");
  EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(WorkflowTest, VersionedBundlesAreDeletedOnEveryPath) {
  for (const std::int64_t local : {5, 4}) {
    SCOPED_TRACE(local);
    installed(std::to_string(local));
    const std::string versioned = install() + "/" + APPLICATION_NAME() + " v.3.app";
    fs::create_directories(versioned + "/inner");
    serverAnswers(5);
    testing::CaptureFd out(1);
    start();
    ASSERT_TRUE(serveUntil([&] { return !fs::exists(versioned); }))
        << "deleted before the decision";
    controller->TwoEvent();
    finish();
    EXPECT_NE(out.finish().find("Deleted:  " + APPLICATION_NAME() + " v.3.app\n"),
              std::string::npos);
    rig.journal->clear();
  }
}

TEST_F(WorkflowTest, WaitingForTheAnswerUsesNoProcessorTime) {
  serverAnswers(5);
  start();
  ASSERT_TRUE(serveUntilShown("downloadButton"));
  clockid_t clock{};
  ASSERT_EQ(pthread_getcpuclockid(worker.native_handle(), &clock), 0);
  const auto cpuTime = [&] {
    timespec value{};
    clock_gettime(clock, &value);
    return std::chrono::seconds(value.tv_sec) + std::chrono::nanoseconds(value.tv_nsec);
  };
  const auto before = cpuTime();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto used = cpuTime() - before;
  EXPECT_LT(used, std::chrono::milliseconds(20)) << "the waiting worker must sleep, not spin";
  controller->TwoEvent();
  finish();
}

// ---- Download and install

class InstallTest : public WorkflowTest {
 protected:
  const std::string bundle = APPLICATION_NAME() + ".app";
  std::vector<testing::ZipEntry> package(const std::string& label) {
    return {testing::directory(bundle + "/"),
            testing::file(bundle + "/AppRun", "#!/bin/sh\necho " + label + "\n").withMode(0100755),
            testing::directory(bundle + "/lib/"), testing::file(bundle + "/lib/data.txt", label),
            testing::file("README.txt", "read me " + label)};
  }
  void publish(const std::vector<testing::ZipEntry>& entries) {
    server.answer("/feed/package_mac.zip", 200, testing::zipBytes(entries), "application/zip");
  }
  // Runs a whole accepted offer; returns the standard output.
  std::string acceptOffer(const std::string& button) {
    testing::CaptureFd out(1);
    start();
    if (!serveUntilShown(button)) return "offer not shown";
    controller->OneEvent();
    finish();
    return out.finish();
  }
  std::string extraction() const { return *controller->extractionFolder(); }
  // One more failure was shown than `alertsBefore`, saying `why`, and version 4 stays whole and
  // recorded.
  void expectVersionFourKept(const std::string& why, std::size_t alertsBefore = 0) {
    ASSERT_EQ(rig.alerts->shown().size(), alertsBefore + 1);
    const std::string shown = rig.alerts->shown().back().informativeText;
    EXPECT_NE(shown.find(why), std::string::npos) << shown;
    EXPECT_EQ(readFile(versionFile()), "4");
    EXPECT_EQ(readFile(install() + "/" + bundle + "/lib/data.txt"), "four");
  }
  // A file that refuses every change (as on a disk that stops taking writes) from make() until
  // undo() or its end; make() may run on the server's thread, and fails where no file can be made
  // immutable.
  struct Immutable {
    const std::string path;
    std::atomic<bool> made = false;
    bool make() {
      return made = std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) == 0;
    }
    void undo() {
      if (made.exchange(false)) {
        EXPECT_EQ(std::system(("chattr -i '" + path + "'").c_str()), 0);
      }
    }
    ~Immutable() { undo(); }
  };
};

TEST_F(InstallTest, FirstInstallFetchesExtractsMergesAndRecords) {
  publish(package("one"));
  serverAnswers(1);
  const std::string printed = acceptOffer("downloadButton");

  EXPECT_EQ(texts(),
            (Strings{"Download Available", "Initializing", "Downloading Application", "Extracting",
                     "Installing Application", "Cleaning Up", "Finishing", "Up to date"}));
  EXPECT_EQ(deltas(), (Strings{"10", "15", "5", "5", "20", "15", "5", "25"}));
  EXPECT_EQ(visibility(),
            (Strings{"downloadButton hidden=0", "downloadButton hidden=1", "circleBar hidden=0",
                     "circleBar animate", "circleBar hidden=1", "launchButton hidden=0"}));
  EXPECT_EQ(readFile(versionFile()), "1");
  EXPECT_EQ(readFile(install() + "/" + bundle + "/lib/data.txt"), "one");
  EXPECT_EQ(readFile(install() + "/README.txt"), "read me one");
  EXPECT_TRUE(fs::status(install() + "/" + bundle + "/AppRun").permissions() == fs::perms(0755));
  EXPECT_FALSE(fs::exists(install() + "/package_mac.zip")) << "the package is removed";
  EXPECT_FALSE(fs::exists(extraction())) << "the extraction folder is removed";
  // A successful download leaves an empty line after the saved-file line.
  EXPECT_NE(printed.find("file saved [" + install() + "/package_mac.zip]\n\n"), std::string::npos)
      << printed;
  EXPECT_TRUE(rig.alerts->shown().empty());
}

TEST_F(InstallTest, UpdateReplacesFilesAndKeepsTheUsersOwn) {
  installed("4");
  writeFile(install() + "/" + bundle + "/lib/data.txt", "four");
  writeFile(install() + "/" + bundle + "/user-settings.ini", "mine");
  writeFile(install() + "/package_mac.zip", "left over from an earlier run");
  const std::string leftover = *rig.makeController()->extractionFolder();
  fs::create_directories(leftover);
  writeFile(leftover + "/stale.txt", "stale");
  publish(package("five"));
  serverAnswers(5);
  acceptOffer("updateButton");

  EXPECT_EQ(texts(), (Strings{"Update Found", "Initializing", "Downloading Update", "Extracting",
                              "Updating Application", "Cleaning Up", "Finishing", "Up to date"}));
  EXPECT_EQ(readFile(versionFile()), "5");
  EXPECT_EQ(readFile(install() + "/" + bundle + "/lib/data.txt"), "five");
  EXPECT_EQ(readFile(install() + "/" + bundle + "/user-settings.ini"), "mine");
  EXPECT_FALSE(fs::exists(install() + "/stale.txt")) << "an old extraction folder is cleared first";
  for (const char* own : {"/.staging", "/.install-journal", "/package_mac.zip"})
    EXPECT_FALSE(fs::exists(install() + own)) << own;
}

// The download bar follows a transfer of about a second and a half: the share received, never
// backwards, at most about ten times a second, full at the end, with the package's size in its
// text.
TEST_F(InstallTest, DownloadBarFollowsTheTransfer) {
  auto entries = package("one");
  entries.push_back(testing::file("payload.bin", testing::pseudoRandomBytes(3 << 20, 5)).stored());
  testing::ServedPackage served(testing::zipBytes(entries), "\"one\"");
  served.pause = std::chrono::milliseconds(25);  // 64 KiB each: about 2.5 MB/s
  const std::uint64_t size = served.bytes.size();
  server.servePackage("/feed/package_mac.zip", served);
  serverAnswers(1);
  start();
  ASSERT_TRUE(serveUntilShown("downloadButton"));
  controller->OneEvent();
  struct Shown {
    std::chrono::steady_clock::time_point time;
    double percent;
    std::string text;
  };
  std::vector<Shown> shown;
  const auto& bar = rig.window.downloadBar;
  // One task at a time, so that each state of the bar is seen when it is drawn.
  const auto limit = std::chrono::steady_clock::now() + 30s;
  while (rig.journal->eventsWithPrefix("launchButton hidden=0").empty() &&
         std::chrono::steady_clock::now() < limit) {
    if (!rig.mainQueue->runNext()) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    if (rig.journal->eventsWithPrefix("downloadBar delta=").size() > shown.size())
      shown.push_back({std::chrono::steady_clock::now(), bar->doubleValue(), bar->text()});
  }
  finish();
  EXPECT_TRUE(rig.alerts->shown().empty());
  ASSERT_GE(shown.size(), 5u) << "the bar moves with the transfer, not only at its end";
  for (std::size_t i = 1; i < shown.size(); ++i)
    EXPECT_GE(shown[i].percent, shown[i - 1].percent) << "state " << i;
  EXPECT_GE(std::count_if(shown.begin(), shown.end(),
                          [](const Shown& s) { return s.percent > 0 && s.percent < 100; }),
            3);
  EXPECT_EQ(shown.back().percent, 100);
  const std::string whole = formatBytes(size);
  EXPECT_TRUE(shown.back().text.starts_with(whole + " of " + whole)) << shown.back().text;
  // At most about ten a second, measured loosely with the real clock.
  for (std::size_t first = 0; first < shown.size(); ++first) {
    std::size_t inSecond = 0;
    for (std::size_t i = first; i < shown.size() && shown[i].time - shown[first].time < 1s; ++i)
      ++inSecond;
    EXPECT_LE(inSecond, 12u) << "from state " << first;
  }
}

// ---- Failed installs keep the previous version

TEST_F(InstallTest, FailedDownloadShowsTheDialogAndKeepsThePreviousVersion) {
  installed("4");
  serverAnswers(5, "/feed/missing.zip");  // 404
  const std::string printed = acceptOffer("updateButton");
  const auto shown = rig.alerts->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].messageText, "Error");
  EXPECT_TRUE(shown[0].informativeText.starts_with("Failed to update the application.\n "));
  EXPECT_NE(shown[0].informativeText.find("1002"), std::string::npos) << shown[0].informativeText;
  EXPECT_EQ(rig.application->terminateCount(), 1);
  EXPECT_EQ(readFile(versionFile()), "4") << "recorded again, and Exit keeps it";
  // The download's error text is the line after it.
  const std::string errorText =
      shown[0].informativeText.substr(std::string("Failed to update the application.\n ").size());
  EXPECT_NE(printed.find("\n" + errorText + "\n"), std::string::npos) << printed;
  const auto shownTexts = texts();
  EXPECT_EQ(std::count(shownTexts.begin(), shownTexts.end(), "Extracting"), 0)
      << "nothing is extracted";
  EXPECT_FALSE(fs::exists(install() + "/missing.zip"));
}

TEST_F(InstallTest, AbsentPackageAddressIsAFailedDownload) {
  rig.http->answerWithBody(
      R"({"data":{"attributes":{"application_version":"3","application_url_mac":"not a url"}}})");
  acceptOffer("downloadButton");
  ASSERT_EQ(rig.alerts->shown().size(), 1u);
  EXPECT_NE(rig.alerts->shown()[0].informativeText.find("1002"), std::string::npos);
  EXPECT_EQ(readFile(versionFile()), "0");
}

TEST_F(InstallTest, DamagedArchiveIsNotMergedNorRecorded) {
  installed("4");
  auto entries = package("five");
  entries.push_back(testing::file("payload.bin", "UNIQUE-PAYLOAD-0123456789").stored());
  entries.push_back(testing::file("after.txt", "after"));
  const std::string zip = folders.root() + "/damaged.zip";
  testing::writeZip(zip, entries);
  testing::flipByteOf(zip, "UNIQUE-PAYLOAD-0123456789");
  server.answer("/feed/package_mac.zip", 200, readFile(zip), "application/zip");
  serverAnswers(5);
  acceptOffer("updateButton");
  ASSERT_EQ(rig.alerts->shown().size(), 1u);
  EXPECT_NE(rig.alerts->shown()[0].informativeText.find("crc"), std::string::npos)
      << rig.alerts->shown()[0].informativeText;
  EXPECT_EQ(readFile(versionFile()), "4");
  EXPECT_FALSE(fs::exists(install() + "/README.txt")) << "nothing merged";
  EXPECT_FALSE(fs::exists(extraction()));
}

TEST_F(InstallTest, PackageThatCannotStartIsNotSwitchedIn) {
  installed("4");
  writeFile(install() + "/" + bundle + "/lib/data.txt", "four");
  auto entries = package("five");
  entries[1].withMode(0100644);  // AppRun without execute permission
  publish(entries);
  serverAnswers(5);
  acceptOffer("updateButton");
  ASSERT_EQ(rig.alerts->shown().size(), 1u);
  EXPECT_EQ(rig.alerts->shown()[0].informativeText,
            "Failed to update the application.\n the package's " + bundle +
                "/AppRun is not an executable file, so the application could not start. Nothing "
                "was changed.");
  EXPECT_EQ(readFile(versionFile()), "4");
  EXPECT_EQ(readFile(install() + "/" + bundle + "/lib/data.txt"), "four");
  EXPECT_FALSE(fs::exists(install() + "/README.txt"));
  for (const char* own : {"/.staging", "/.install-journal", "/package_mac.zip"})
    EXPECT_FALSE(fs::exists(install() + own)) << own;
  EXPECT_FALSE(fs::exists(extraction()));
}

// The switch waits for its journal: one that cannot be written (its scratch name taken by a
// folder while the package arrives) stops the update before anything changes.
TEST_F(InstallTest, SwitchThatCannotBeJournaledIsNotMade) {
  installed("4");
  writeFile(install() + "/" + bundle + "/lib/data.txt", "four");
  const std::string zip = testing::zipBytes(package("five"));
  server.handle("/feed/package_mac.zip", [&](const httplib::Request&, httplib::Response& answer) {
    writeFile(install() + "/.install-journal.tmp/taken", "");
    answer.status = 200;
    answer.set_content(zip, "application/zip");
  });
  serverAnswers(5);
  acceptOffer("updateButton");
  expectVersionFourKept("cannot write the new files to the disk");
}

// A move the install cannot make (from or onto a file made immutable while the package arrives)
// stops it, in the merge as in the switch: the previous version stays whole and recorded.
TEST_F(InstallTest, MoveThatCannotBeMadeKeepsThePreviousVersion) {
  const std::string leftover = *rig.makeController()->extractionFolder() + "/extra.txt";
  const std::string readMe = install() + "/README.txt";
  for (const bool switching : {false, true}) {
    const std::string fixed = switching ? readMe : leftover;
    SCOPED_TRACE(fixed);
    fs::remove_all(install());
    installed("4");
    writeFile(install() + "/" + bundle + "/lib/data.txt", "four");
    writeFile(readMe, "read me four");
    const std::size_t alerts = rig.alerts->shown().size();
    Immutable immutable{fixed};
    const std::string zip = testing::zipBytes(package("five"));
    server.handle("/feed/package_mac.zip", [&](const httplib::Request&, httplib::Response& answer) {
      if (!switching) writeFile(leftover, "in the way");
      immutable.make();
      answer.status = 200;
      answer.set_content(zip, "application/zip");
    });
    serverAnswers(5);
    acceptOffer("updateButton");
    if (!immutable.made) GTEST_SKIP() << "no file can be made immutable here";
    expectVersionFourKept(
        switching ? "cannot switch to the new files" : "cannot put the package's files in place",
        alerts);
    EXPECT_EQ(readFile(readMe), "read me four");
    EXPECT_FALSE(fs::exists(install() + "/.install-journal"));
  }
}

// A link that stays inside the package's own tree can lead out of the install folder through a
// link of the installed version that the package lacks ("up" -> ".." below, then "up/.."): the
// staged tree is refused and nothing changes.
TEST_F(InstallTest, ALinkLeadingOutThroughAnInstalledLinkIsNotSwitchedIn) {
  const struct {
    const char* title;
    std::function<void(const std::string& install)> before;
    std::vector<testing::ZipEntry> added;
    std::string link, through;
  } cases[] = {
      {"a new link through an installed link in the bundle",
       [&](const std::string& install) {
         fs::create_directory_symlink("..", install + "/" + bundle + "/up");
       },
       {testing::file(bundle + "/lib/out", "../up/..").withMode(0120777)},
       bundle + "/lib/out",
       bundle + "/up"},
      {"an installed link in the bundle through another installed one",
       [&](const std::string& install) {
         fs::create_directory_symlink("..", install + "/" + bundle + "/up");
         fs::create_directories(install + "/" + bundle + "/lib");
         fs::create_symlink("../up/..", install + "/" + bundle + "/lib/out");
       },
       {},
       bundle + "/lib/out",
       bundle + "/up"},
      {"a new link through an installed top-level link the package lacks",
       [](const std::string& install) { fs::create_directory_symlink(".", install + "/up"); },
       {testing::file(bundle + "/lib/out", "../../up/..").withMode(0120777)},
       bundle + "/lib/out",
       "up"},
      {"an installed link the package lacks through a new top-level link",
       [](const std::string& install) {
         fs::create_directories(install + "/up");
         fs::create_directories(install + "/extras");
         fs::create_symlink("../up/..", install + "/extras/l");
       },
       {testing::file("up", ".").withMode(0120777)},
       "extras/l",
       "up"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    fs::remove_all(install());
    const std::size_t alerts = rig.alerts->shown().size();
    installed("4");
    c.before(install());
    const auto before = testing::tree(install());
    auto entries = package("five");
    entries.insert(entries.end(), c.added.begin(), c.added.end());
    publish(entries);
    serverAnswers(5);
    acceptOffer("updateButton");
    ASSERT_EQ(rig.alerts->shown().size(), alerts + 1);
    EXPECT_EQ(rig.alerts->shown().back().informativeText,
              "Failed to update the application.\n the link \"" + c.link +
                  "\" cannot stay: its target passes through the link \"" + c.through +
                  "\". Nothing was changed.");
    EXPECT_EQ(testing::tree(install()), before) << "version 4 as it was";
  }
}

// A folder of the installed version that becomes a link, while a link of that version leading
// through it is no longer in the package: that link goes, rather than refusing this update and
// every later one.
TEST_F(InstallTest, AnInstalledLinkThePackageDroppedGoesWhenANewLinkLiesOnItsWay) {
  installed("4");
  writeFile(install() + "/" + bundle + "/lib/v2/mod.txt", "two");
  fs::create_directories(install() + "/" + bundle + "/bin");
  fs::create_symlink("../lib/v2/mod.txt", install() + "/" + bundle + "/bin/tool");
  fs::create_directory_symlink("v2", install() + "/" + bundle + "/lib/current");
  auto entries = package("five");
  entries.insert(entries.end(), {testing::file(bundle + "/lib/v3/mod.txt", "three"),
                                 testing::file(bundle + "/lib/v2", "v3").withMode(0120777)});
  publish(entries);
  serverAnswers(5);
  acceptOffer("updateButton");

  EXPECT_TRUE(rig.alerts->shown().empty());
  EXPECT_EQ(readFile(versionFile()), "5");
  EXPECT_EQ(fs::read_symlink(install() + "/" + bundle + "/lib/v2"), "v3");
  EXPECT_FALSE(fs::is_symlink(install() + "/" + bundle + "/bin/tool"));
  EXPECT_EQ(fs::read_symlink(install() + "/" + bundle + "/lib/current"), "v2")
      << "a link whose last step is the new link stays";
  EXPECT_EQ(readFile(install() + "/" + bundle + "/lib/v3/mod.txt"), "three");
  EXPECT_TRUE(fs::exists(install() + "/" + bundle + "/bin"));
}

// An install folder on a file system mounted noexec: the package is fine, and the failure says
// where the fault lies.
TEST_F(InstallTest, InstallFolderWhereProgramsCannotRunSaysSo) {
  if (::mount("tmpfs", folders.dataHome().c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              "size=32m,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs (needs root)";
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{folders.dataHome()};
  publish(package("one"));
  serverAnswers(1);
  acceptOffer("downloadButton");
  ASSERT_EQ(rig.alerts->shown().size(), 1u);
  EXPECT_EQ(rig.alerts->shown()[0].informativeText,
            "Failed to update the application.\n programs cannot run from \"" + install() +
                "\": its file system is mounted noexec, so the application could not start. "
                "Nothing was changed.");
  EXPECT_EQ(readFile(versionFile()), "0");
}

// A temporary folder that is refused (its application folder a link elsewhere) fails the install
// with the reason in the log, and nothing is removed through the link.
TEST_F(InstallTest, RefusedTemporaryFolderFailsAndRemovesNothingThroughIt) {
  installed("4");
  const std::string elsewhere = folders.root() + "/elsewhere";
  writeFile(elsewhere + "/tmp/Content/mine.txt", "mine");
  fs::create_directory_symlink(elsewhere, folders.cacheHome() + "/" + APPLICATION_NAME());
  publish(package("five"));
  serverAnswers(5);
  testing::CaptureFd errors(2);
  acceptOffer("updateButton");
  const std::string logged = errors.finish();
  ASSERT_EQ(rig.alerts->shown().size(), 1u);
  EXPECT_EQ(rig.alerts->shown()[0].informativeText,
            "Failed to update the application.\n no temporary folder is available for the "
            "extraction");
  EXPECT_NE(logged.find("is not a folder of its own"), std::string::npos) << logged;
  EXPECT_EQ(readFile(elsewhere + "/tmp/Content/mine.txt"), "mine");
  EXPECT_EQ(readFile(versionFile()), "4");
}

// The launcher of another install folder (another data folder, the same cache folder) installing
// through the temporary folder: this update fails rather than remove what that one unpacks, and
// goes through once the other has finished.
TEST_F(InstallTest, TemporaryFolderInUseByAnotherLauncherIsLeftToIt) {
  installed("4");
  writeFile(install() + "/" + bundle + "/lib/data.txt", "four");
  const std::string temporary = *rig.makeController()->tempURL();
  writeFile(temporary + "/Content/theirs.txt", "unpacking");
  auto other = platform::InstanceLock::acquire(temporary + "/.lock");
  ASSERT_TRUE(other.held());
  publish(package("five"));
  serverAnswers(5);
  acceptOffer("updateButton");
  expectVersionFourKept("another " + APPLICATION_NAME() +
                        " launcher is installing through the temporary folder \"" + temporary +
                        "\"; try again once it has finished");
  EXPECT_EQ(readFile(temporary + "/Content/theirs.txt"), "unpacking");

  other = {};
  rig.journal->clear();
  acceptOffer("updateButton");
  EXPECT_EQ(readFile(install() + "/" + bundle + "/lib/data.txt"), "five");
}

// An install cut short leaves the changed entries it fetched or the package it unpacked in the
// cache: the next start undoes the install and removes them, but nothing through a link in the
// cache's place, nor while the launcher of another install folder works there.
TEST_F(InstallTest, InterruptedInstallLeavesNothingInTheCache) {
  enum class Cache { linked, own, inUse };
  for (const Cache cache : {Cache::linked, Cache::own, Cache::inUse}) {
    SCOPED_TRACE(static_cast<int>(cache));
    fs::remove_all(folders.cacheHome());
    const std::string app = folders.cacheHome() + "/" + APPLICATION_NAME();
    const std::string elsewhere = folders.root() + "/elsewhere";
    if (cache == Cache::linked) {
      fs::create_directories(folders.cacheHome());
      fs::create_directory_symlink(elsewhere, app);
    }
    const std::string temporary = (cache == Cache::linked ? elsewhere : app) + "/tmp";
    const std::string extracted = temporary + "/Content/" + bundle + "/AppRun";
    writeFile(extracted, "unpacked");
    writeFile(temporary + "/changed-entries.zip", "fetched");
    platform::InstanceLock other;
    if (cache == Cache::inUse) {
      other = platform::InstanceLock::acquire(temporary + "/.lock");
      ASSERT_TRUE(other.held());
    }
    installed("4");
    Installer interrupted(install(), APPLICATION_NAME());
    ASSERT_TRUE(interrupted.begin(4, 5, {}));
    writeFile(versionFile(), "0");

    rig.makeController()->RecoverInstallation();
    EXPECT_EQ(readFile(versionFile()), "4");
    EXPECT_FALSE(fs::exists(interrupted.journalPath()));
    EXPECT_EQ(fs::exists(extracted), cache != Cache::own);
    EXPECT_EQ(fs::exists(temporary + "/changed-entries.zip"), cache != Cache::own);
    fs::remove_all(elsewhere);
  }
}

// A version file that cannot be written (here made immutable): the update is refused before it
// changes anything, rather than installed beside a record of the previous version, and an
// interrupted install's journal stays until its version is recorded.
TEST_F(InstallTest, VersionFileThatCannotBeWrittenKeepsTheInstallAndItsJournal) {
  installed("4");
  writeFile(install() + "/" + bundle + "/lib/data.txt", "four");
  Installer interrupted(install(), APPLICATION_NAME());
  ASSERT_TRUE(interrupted.begin(4, 5, {}));
  Immutable immutable{versionFile()};
  if (!immutable.make()) GTEST_SKIP() << "the version file cannot be made immutable here";

  rig.makeController()->RecoverInstallation();
  EXPECT_TRUE(fs::exists(interrupted.journalPath())) << "kept until version 4 is recorded";

  publish(package("five"));
  serverAnswers(5);
  acceptOffer("updateButton");
  expectVersionFourKept("cannot write the version file");
  for (const char* own : {"/.staging", "/.install-journal", "/package_mac.zip"})
    EXPECT_FALSE(fs::exists(install() + own)) << own;
}

// A version file that stops taking writes while the package arrives (as on a full disk): a failed
// update cannot put version 4 back over its "0", nor a switched one record version 5, so the
// journal stays and the next start records the version installed, rather than forgetting it.
TEST_F(InstallTest, FailedUpdateThatCannotRecordAVersionKeepsItsJournal) {
  for (const bool served : {false, true}) {
    SCOPED_TRACE(served ? "package switched in" : "download failed");
    fs::remove_all(install());
    installed("4");
    const std::size_t alerts = rig.alerts->shown().size();
    Immutable immutable{versionFile()};
    const std::string zip = testing::zipBytes(package("five"));
    server.handle("/feed/package_mac.zip", [&](const httplib::Request&, httplib::Response& answer) {
      immutable.make();
      answer.status = served ? 200 : 404;
      if (served) answer.set_content(zip, "application/zip");
    });
    serverAnswers(5);
    acceptOffer("updateButton");
    if (!immutable.made) GTEST_SKIP() << "the version file cannot be made immutable here";
    ASSERT_EQ(rig.alerts->shown().size(), alerts + 1);
    EXPECT_EQ(readFile(versionFile()), "0");
    EXPECT_TRUE(fs::exists(install() + "/.install-journal")) << "no version is recorded yet";
    {
      // A start while it still takes no writes: the version installed is the one to launch and
      // to update, not a first install to offer.
      const auto started = rig.makeController();
      started->RecoverInstallation();
      EXPECT_EQ(started->InstalledVersion(), served ? 5 : 4);
      EXPECT_TRUE(fs::exists(install() + "/.install-journal"));
    }

    immutable.undo();
    rig.makeController()->RecoverInstallation();
    EXPECT_EQ(readFile(versionFile()), served ? "5" : "4");
    if (served) {
      EXPECT_EQ(readFile(install() + "/" + bundle + "/lib/data.txt"), "five");
    }
    EXPECT_FALSE(fs::exists(install() + "/.install-journal"));
  }
}

// A switch cut short that cannot be undone either (a disk that fails half-way through it) keeps
// its journal: the alert says that the next start finishes the update, and it does.
TEST_F(InstallTest, SwitchThatCannotBeUndoneIsFinishedByTheNextStart) {
  installed("4");
  writeFile(install() + "/" + bundle + "/lib/data.txt", "four");
  publish(package("five"));
  serverAnswers(5);
  switchMoves = 0;
  failSwitchMovesFrom = 2;
  acceptOffer("updateButton");
  failSwitchMovesFrom = 0;
  ASSERT_EQ(switchMoves, 3) << "one entry switched, the next and the way back refused";
  ASSERT_EQ(rig.alerts->shown().size(), 1U);
  const std::string shown = rig.alerts->shown().back().informativeText;
  EXPECT_NE(shown.find("the next start finishes the update"), std::string::npos) << shown;
  EXPECT_EQ(readFile(versionFile()), "0");
  EXPECT_TRUE(fs::exists(install() + "/.install-journal"));

  rig.makeController()->RecoverInstallation();
  EXPECT_EQ(readFile(versionFile()), "5");
  EXPECT_EQ(readFile(install() + "/" + bundle + "/lib/data.txt"), "five");
  EXPECT_EQ(readFile(install() + "/README.txt"), "read me five");
  EXPECT_FALSE(fs::exists(install() + "/.install-journal"));
}

}  // namespace
}  // namespace launcher

// Every rename of this test program comes here first (see failSwitchMovesFrom).
extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to,
                         unsigned int flags) {
  using Renameat2 = int (*)(int, const char*, int, const char*, unsigned int);
  static const auto next = reinterpret_cast<Renameat2>(::dlsym(RTLD_NEXT, "renameat2"));
  // A top-level entry of the staging folder, moved in or out.
  const auto staged = [](std::string_view path) {
    const auto at = path.find("/.staging/");
    return at != std::string_view::npos && path.find('/', at + 10) == std::string_view::npos;
  };
  if (const int first = launcher::failSwitchMovesFrom; first != 0 && (staged(from) || staged(to))) {
    if (++launcher::switchMoves >= first) {
      errno = EIO;
      return -1;
    }
  }
  return next(fromFolder, from, toFolder, to, flags);
}
