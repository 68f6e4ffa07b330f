// Configuration, per-user folders, start-up, the main queue's order (alerts included), status and
// progress posting, dialogs and the offer buttons.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "Launcher/Config.h"
#include "Launcher/DownloadProgress.h"
#include "Launcher/platform/QueuedAlerts.h"
#include "Launcher/platform/StandardFolders.h"
#include "tests/support/CaptureFd.h"
#include "tests/support/Doubles.h"
#include "tests/support/TestFolders.h"

namespace launcher {
namespace {
using platform::SerialTaskQueue;
using testing::readFile;
using testing::writeFile;

// ---- Configuration

TEST(Configuration, DefaultPackageAddressIsAnHttpsZipWithDownloadQuery) {
  const auto url = platform::Url::parse(DEFAULT_PACKAGE_ADDRESS());
  ASSERT_TRUE(url);
  EXPECT_TRUE(url->string().starts_with("https://"));
  EXPECT_EQ(url->lastPathComponent(), "package_mac.zip");
  EXPECT_TRUE(url->string().ends_with("?dl=1"));
}

// ---- Per-user folders

platform::UserPaths lookUp() {
  return platform::lookUpUserPaths(APPLICATION_NAME()).value();
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(StandardFolders, DataFolderFollowsXdgThenHome) {
  testing::UserFolders folders;
  EXPECT_EQ(lookUp().dataFolder, folders.dataHome());
  ::setenv("XDG_DATA_HOME", "relative/data", 1);  // not absolute: ignored
  EXPECT_EQ(lookUp().dataFolder, folders.root() + "/home/.local/share");
  ::setenv("XDG_DATA_HOME", (folders.dataHome() + "//").c_str(), 1);
  EXPECT_EQ(lookUp().dataFolder, folders.dataHome());
}

TEST(StandardFolders, LookingUpCreatesNothing) {
  testing::UserFolders folders;
  const std::string data = folders.root() + "/new-account/share";
  const std::string cache = folders.root() + "/new-account/cache/";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  const platform::UserPaths paths = lookUp();
  EXPECT_EQ(paths.versionFile, data + "/" + APPLICATION_NAME() + "/version.txt");
  EXPECT_EQ(paths.temporaryFolder, cache + APPLICATION_NAME() + "/tmp");
  EXPECT_EQ(paths.extractionFolder, paths.temporaryFolder + "/Content");
  EXPECT_FALSE(std::filesystem::exists(folders.root() + "/new-account"));
}

TEST(StandardFolders, MissingDataFolderOfANewAccountIsMadePrivate) {
  testing::UserFolders folders;
  const std::string data = folders.root() + "/new-account/share";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  EXPECT_TRUE(platform::createDataFolder(lookUp()));
  EXPECT_EQ(modeOf(folders.root() + "/new-account"), 0700u);
  EXPECT_EQ(modeOf(data), 0700u);
}

TEST(StandardFolders, DataFolderThatIsALinkToNothingIsAFailure) {
  testing::UserFolders folders;
  std::filesystem::create_directories(folders.root() + "/links");
  const std::string data = folders.root() + "/links/share";
  std::filesystem::create_symlink(folders.root() + "/unmounted/share", data);
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  EXPECT_FALSE(platform::createDataFolder(lookUp()));
  EXPECT_FALSE(std::filesystem::exists(folders.root() + "/unmounted"));
}

TEST(StandardFolders, TemporaryFolderIsMadePrivateAndNeverALink) {
  testing::UserFolders folders;
  const platform::UserPaths paths = lookUp();
  EXPECT_TRUE(platform::createTemporaryFolder(paths));
  EXPECT_EQ(modeOf(paths.temporaryFolder), 0700u);
  ASSERT_EQ(::chmod(paths.temporaryFolder.c_str(), 0755), 0);
  EXPECT_TRUE(platform::createTemporaryFolder(paths));
  EXPECT_EQ(modeOf(paths.temporaryFolder), 0700u) << "an existing folder is made private again";

  // A data folder set inside the temporary folder, directly or through a link: the install
  // folder would be removed with the extraction folder.
  for (const std::string& data :
       {paths.temporaryFolder + "/Content", folders.root() + "/to-content"}) {
    SCOPED_TRACE(data);
    std::filesystem::create_directories(paths.temporaryFolder + "/Content");
    if (!data.ends_with("Content"))
      std::filesystem::create_directory_symlink(paths.temporaryFolder + "/Content", data);
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    const auto made = platform::createTemporaryFolder(lookUp());
    EXPECT_FALSE(made);
    EXPECT_NE(made.error.find("lies inside the temporary folder"), std::string::npos) << made.error;
  }
  ::setenv("XDG_DATA_HOME", folders.dataHome().c_str(), 1);
  EXPECT_TRUE(platform::createTemporaryFolder(lookUp()));

  testing::TempDir elsewhere;
  std::filesystem::remove_all(paths.temporaryFolder);
  std::filesystem::create_directory_symlink(elsewhere.path(), paths.temporaryFolder);
  EXPECT_FALSE(platform::createTemporaryFolder(paths));
}

// The launcher's own folders (the application's cache folder, its temporary folder, the install
// folder) are refused when another user may have put files in them, or may move them away and
// put folders of theirs in their place: a base folder that every user may change and that is not
// sticky as /tmp is. A folder its group may change is not judged, nor a base folder's owner (in a
// sandbox the system's folders show an owner that is nobody's).
TEST(StandardFolders, OwnFoldersAreRefusedWhenAnotherUserMayChangeThem) {
  struct Folder {
    const char* title;
    std::string (*path)(const platform::UserPaths&);
    platform::FileResult (*create)(const platform::UserPaths&);
  };
  const Folder own[] = {
      {"cache",
       [](const platform::UserPaths& p) {
         return std::filesystem::path(p.temporaryFolder).parent_path().string();
       },
       platform::createTemporaryFolder},
      {"temporary", [](const platform::UserPaths& p) { return p.temporaryFolder; },
       platform::createTemporaryFolder},
      {"install", [](const platform::UserPaths& p) { return p.installFolder; },
       platform::createInstallFolder},
  };
  bool chowned = true;
  for (const Folder& folder : own) {
    for (const std::string fault : {"writable by all", "writable by the group", "another user's"}) {
      SCOPED_TRACE(std::string(folder.title) + ", " + fault);
      testing::UserFolders folders;
      ASSERT_EQ(::chmod(folders.cacheHome().c_str(), 01777), 0);
      ASSERT_EQ(::chmod(folders.dataHome().c_str(), 01777), 0);
      const platform::UserPaths paths = lookUp();
      const std::string path = folder.path(paths);
      std::filesystem::create_directories(path);
      const mode_t mode = fault == "writable by all"         ? 0777
                          : fault == "writable by the group" ? 0775
                                                             : 0755;
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
      if (fault == "another user's" && ::chown(path.c_str(), ::geteuid() + 1, -1) != 0) {
        chowned = false;
        continue;
      }
      const auto made = folder.create(paths);
      if (fault == "writable by the group") {
        // A umask of 002 makes folders so, for a group of the user's own.
        EXPECT_TRUE(made) << made.error;
        continue;
      }
      EXPECT_FALSE(made);
      EXPECT_EQ(made.error, "\"" + path + "\" " +
                                (fault == "another user's" ? "belongs to another user"
                                                           : "may be changed by other users"));
      if (std::string(folder.title) == "cache") {
        EXPECT_FALSE(std::filesystem::exists(paths.temporaryFolder)) << "nothing made inside";
      }
    }
  }
  // The base folders, and a folder above them on the way a link takes.
  for (const bool install : {true, false}) {
    for (const std::string fault :
         {"writable by all", "writable by all, sticky", "another user's", "behind a link"}) {
      SCOPED_TRACE(std::string(install ? "data" : "cache") + " base folder, " + fault);
      testing::UserFolders folders;
      const std::string base = install ? folders.dataHome() : folders.cacheHome();
      std::string judged = base;
      if (fault == "behind a link") {
        // The base folder is a link to a folder in a folder that every user may change.
        judged = folders.root() + "/open";
        std::filesystem::create_directories(judged + "/base");
        std::filesystem::remove_all(base);
        std::filesystem::create_directory_symlink(judged + "/base", base);
      }
      const mode_t mode = fault == "writable by all, sticky" ? 01777
                          : fault == "another user's"        ? 0755
                                                             : 0777;
      ASSERT_EQ(::chmod(judged.c_str(), mode), 0);
      if (fault == "another user's" && ::chown(judged.c_str(), ::geteuid() + 1, -1) != 0) {
        chowned = false;
        continue;
      }
      const platform::UserPaths paths = lookUp();
      const auto made =
          install ? platform::createInstallFolder(paths) : platform::createTemporaryFolder(paths);
      if (fault == "writable by all, sticky" || fault == "another user's") {
        EXPECT_TRUE(made) << made.error;
        continue;
      }
      EXPECT_FALSE(made);
      EXPECT_EQ(made.error, "\"" + judged + "\" may be changed by other users");
    }
  }
  // The install folder of a new account is made private; a link is refused.
  testing::UserFolders folders;
  const platform::UserPaths paths = lookUp();
  EXPECT_TRUE(platform::createInstallFolder(paths));
  EXPECT_EQ(modeOf(paths.installFolder), 0700u);
  EXPECT_TRUE(platform::createInstallFolder(paths));
  testing::TempDir elsewhere;
  std::filesystem::remove(paths.installFolder);
  std::filesystem::create_directory_symlink(elsewhere.path(), paths.installFolder);
  EXPECT_FALSE(platform::createInstallFolder(paths));
  if (!chowned) GTEST_SKIP() << "cannot give a folder to another user here";
}

// ---- Start-up

TEST(Construction, ViewDidLoadPrintsTheDataFolderAndStartsOneWorker) {
  testing::UserFolders folders;
  testing::TestRig rig;
  auto controller = rig.makeController();
  testing::CaptureFd out(1);
  controller->viewDidLoad();
  EXPECT_EQ(out.finish(), folders.dataHome() + "\n");
  EXPECT_EQ(rig.background->count(), 1u) << "the workflow is posted, not run, by viewDidLoad";
  EXPECT_TRUE(rig.http->requestedUrls().empty());
}

// ---- Main queue order

TEST(MainQueue, TasksFromSeveralThreadsRunOneAtATimeInPostingOrder) {
  testing::ManualMainQueue queue;
  std::mutex mutex;
  std::vector<std::pair<int, int>> posted, ran;
  constexpr int kThreads = 4, kTasks = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTasks; ++i) {
        std::lock_guard lock(mutex);  // posting order = order of this list
        posted.emplace_back(t, i);
        queue.post([&ran, t, i] { ran.emplace_back(t, i); });
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(queue.runAll(), kThreads * kTasks);
  EXPECT_EQ(ran, posted);
}

// A toolkit's modal alert spins a nested event loop, which keeps asking the queue to run tasks.
// None may run before the alert is answered.
TEST(MainQueue, TaskInsideModalLoopHoldsBackLaterTasks) {
  std::deque<int> wakeups;
  SerialTaskQueue queue([&] { wakeups.push_back(1); });
  std::vector<std::string> ran;
  queue.post([&] {
    ran.push_back("alert opened");
    for (int spin = 0; spin < 10; ++spin) EXPECT_FALSE(queue.runNext());  // the nested loop
    ran.push_back("alert answered");
  });
  queue.post([&] { ran.push_back("status"); });
  queue.post([&] { ran.push_back("progress"); });
  while (!wakeups.empty()) {
    wakeups.pop_front();
    queue.runNext();
  }
  EXPECT_EQ(ran,
            (std::vector<std::string>{"alert opened", "alert answered", "status", "progress"}));
  EXPECT_FALSE(queue.hasPending()) << "held-back tasks must get a new wake-up";
}

// A display pause holds back every later task, one posted during the pause too, until its time
// has come; then they run in posting order.
TEST(MainQueue, PauseHoldsLaterTasksUntilItsEndInPostingOrder) {
  using namespace std::chrono_literals;
  SerialTaskQueue::Clock::time_point now{};
  const auto start = now;
  SerialTaskQueue queue(nullptr, [&] { return now; });
  std::vector<std::string> ran;
  queue.post([&] {
    ran.push_back("step");
    queue.holdUntil(now + 880ms);
  });
  queue.post([&] { ran.push_back("status"); });
  EXPECT_EQ(queue.runAll(), 1);
  queue.post([&] { ran.push_back("alert"); });
  now += 879ms;
  EXPECT_FALSE(queue.runNext());
  EXPECT_EQ(queue.heldUntil(), start + 880ms);
  now += 1ms;
  EXPECT_EQ(queue.heldUntil(), std::nullopt);
  EXPECT_EQ(queue.runAll(), 2);
  EXPECT_EQ(ran, (std::vector<std::string>{"step", "status", "alert"}));
}

// Alerts keep their place in the main queue: one asked for from another thread shows after the
// tasks posted before it, and its caller waits for the answer; on the main thread it shows at once.
TEST(MainQueue, AlertFromAnotherThreadShowsAfterTheTasksPostedBeforeIt) {
  class Presenter final : public platform::ModalPresenter {
   public:
    explicit Presenter(std::vector<std::string>& shown) : shown_(shown) {}
    std::optional<long> presentModal(const platform::Alert& alert) override {
      shown_.push_back("alert " + alert.messageText);
      return platform::kAlertFirstButtonReturn;
    }

   private:
    std::vector<std::string>& shown_;
  };
  auto queue = std::make_shared<testing::ManualMainQueue>();
  std::vector<std::string> shown;
  Presenter presenter(shown);
  platform::QueuedAlerts alerts(queue, presenter);

  std::atomic<long> answer{-1};
  std::thread caller([&] {
    queue->post([&] { shown.push_back("status"); });
    answer = alerts.runModal({"Error", "", platform::kCriticalAlertStyle, {"Exit"}});
  });
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (queue->postedCount() < 2 && std::chrono::steady_clock::now() < limit)
    std::this_thread::yield();
  EXPECT_EQ(answer.load(), -1) << "the caller waits for the answer";
  EXPECT_EQ(queue->runAll(), 2);
  caller.join();
  EXPECT_EQ(shown, (std::vector<std::string>{"status", "alert Error"}));
  EXPECT_EQ(answer.load(), platform::kAlertFirstButtonReturn);

  EXPECT_EQ(alerts.runModal({"Notice", "", platform::kCriticalAlertStyle, {"OK"}}),
            platform::kAlertFirstButtonReturn);
  EXPECT_EQ(shown.back(), "alert Notice");
  EXPECT_EQ(queue->postedCount(), 2u) << "on the main thread nothing is posted";
}

// ---- Status and progress

class DisplayTest : public ::testing::Test {
 protected:
  testing::UserFolders folders;
  testing::TestRig rig;
  std::shared_ptr<ViewController> controller = rig.makeController();
};

TEST_F(DisplayTest, LogAndIncreaseChangeNothingUntilTheMainQueueRuns) {
  controller->Log("Extracting");
  controller->Increase(10);
  EXPECT_TRUE(rig.journal->events().empty());
  rig.mainQueue->runAll();
  EXPECT_EQ(rig.journal->events(),
            (std::vector<std::string>{"updateLabel text=Extracting", "progressBar delta=10"}));
}

TEST_F(DisplayTest, ProgressAddsUnclampedDeltasAndLabelShowsTheLastText) {
  for (double delta : {10.0, 15.0, 0.0, -5.0, 50.0}) controller->Increase(delta);
  controller->Log("");
  controller->Log("Up to date");
  rig.mainQueue->runAll();
  EXPECT_DOUBLE_EQ(rig.window.progressBar->doubleValue(), 70.0);
  EXPECT_EQ(rig.window.updateLabel->stringValue(), "Up to date");
  EXPECT_EQ(rig.journal->eventsWithPrefix("updateLabel text=").size(), 2u);
  EXPECT_DOUBLE_EQ(rig.window.downloadBar->doubleValue(), 0.0);
}

// The step pauses the queue rather than the thread: the main thread is free at once, and the
// status waits until the pause is over.
TEST_F(DisplayTest, ProgressStepPausesTheQueueNotTheMainThread) {
  rig.environment.progressPause = std::chrono::seconds(30);
  auto paced = rig.makeController();
  paced->Increase(0);
  paced->Log("Up to date");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(rig.mainQueue->runAll(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(rig.mainQueue->isPaused());
  EXPECT_EQ(rig.mainQueue->pauses(),
            (std::vector<std::chrono::steady_clock::duration>{std::chrono::seconds(30)}));
  EXPECT_EQ(rig.journal->events(), std::vector<std::string>{"progressBar delta=0"});
  rig.mainQueue->skipPause();
  EXPECT_EQ(rig.mainQueue->runAll(), 1);
  EXPECT_EQ(rig.window.updateLabel->stringValue(), "Up to date");
}

TEST(Pacing, StatusPostedAfterAProgressStepWaitsForItsPause) {
  testing::UserFolders folders;
  testing::TestRig rig;
  auto mainQueue = std::make_shared<testing::ThreadMainQueue>();
  rig.environment.mainQueue = mainQueue;
  rig.environment.progressPause = std::chrono::milliseconds(40);
  auto controller = rig.makeController();

  std::chrono::steady_clock::time_point afterStep;
  const auto start = std::chrono::steady_clock::now();
  controller->Increase(10);
  mainQueue->post([&] { afterStep = std::chrono::steady_clock::now(); });
  controller->Log("Up to date");
  const auto posted = std::chrono::steady_clock::now();
  mainQueue->drain();
  EXPECT_LT(posted - start, std::chrono::milliseconds(40)) << "the poster never waits";
  EXPECT_GE(afterStep - start, std::chrono::milliseconds(40)) << "later tasks wait for the pause";
  EXPECT_EQ(rig.journal->events(),
            (std::vector<std::string>{"progressBar delta=10", "updateLabel text=Up to date"}));
}

TEST_F(DisplayTest, EmptyOutletsAreIgnored) {
  rig.window.updateLabel.reset();
  rig.window.progressBar.reset();
  controller->Log("gone");
  controller->Increase(10);
  EXPECT_EQ(rig.mainQueue->runAll(), 2);
  EXPECT_TRUE(rig.journal->events().empty());
}

// ---- Download progress

TEST(DownloadProgress, TextsForAmountsSpeedsAndTimesLeft) {
  struct Case {
    std::uint64_t received;
    std::optional<std::uint64_t> total;
    std::optional<double> speed;
    std::string text;
  };
  const Case cases[] = {
      {49'000'000, 157'000'000, 4'000'000, "49.0 MB of 157.0 MB \u00b7 4.0 MB/s \u00b7 27 s left"},
      {45'200'000, 157'000'000, std::nullopt, "45.2 MB of 157.0 MB"},
      {45'200'000, std::nullopt, 4'100'000, "45.2 MB \u00b7 4.1 MB/s"},
      {45'200'000, std::nullopt, std::nullopt, "45.2 MB"},
      {0, 999, std::nullopt, "0 B of 999 B"},
      {999'949, std::nullopt, 999'960, "999.9 kB \u00b7 1.0 MB/s"},
      {1'000, 2'000, 0.0, "1.0 kB of 2.0 kB \u00b7 0 B/s"},
      {157'000'000, 157'000'000, 4'100'000, "157.0 MB of 157.0 MB \u00b7 4.1 MB/s"},
      {300'000'000, 2'600'000'000, 2'000'000,
       "300.0 MB of 2.6 GB \u00b7 2.0 MB/s \u00b7 19 min 10 s left"},
      // A size announced far beyond any disk, arriving a byte now and then.
      {10, 9'000'000'000'000'000'000u, 0.2,
       "10 B of 9.0 EB \u00b7 0 B/s \u00b7 277777777777 h 47 min left"},
  };
  for (const Case& test : cases)
    EXPECT_EQ(downloadText(test.received, test.total, test.speed), test.text) << test.received;

  const std::pair<double, std::string> times[] = {
      {0.2, "1 s"},
      {27, "27 s"},
      {59.2, "1 min 00 s"},
      {245, "4 min 05 s"},
      {3599, "59 min 59 s"},
      {3600, "1 h 00 min"},
      {3720, "1 h 02 min"},
      {3721, "1 h 03 min"},
      {90'000, "25 h 00 min"},
      // Beyond any count of seconds (an enormous package trickling in): the longest time shown.
      {1e15, "277777777777 h 47 min"},
      {1e25, "277777777777 h 47 min"}};
  for (const auto& [seconds, text] : times)
    EXPECT_EQ(formatTimeLeft(std::chrono::duration<double>(seconds)), text) << seconds;
}

// A package of 16,384,000 bytes arriving in chunks of 16,384 every 10 ms of the injected clock.
TEST(DownloadProgress, ShowsAtMostTenTimesASecondNeverBackwardsAndEndsFull) {
  using namespace std::chrono_literals;
  DownloadProgress::Clock::time_point now{};
  std::vector<std::pair<DownloadProgress::Clock::time_point, DownloadDisplay>> shown;
  DownloadProgress progress(
      [&](const DownloadDisplay& display) { shown.emplace_back(now, display); },
      [&] { return now; });
  constexpr std::uint64_t kChunk = 16'384, kChunks = 1000;
  for (std::uint64_t chunk = 1; chunk <= kChunks; ++chunk) {
    now += 10ms;
    progress.update(chunk * kChunk, kChunks * kChunk);
  }
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back().second.percent, 100) << "the full bar shows as soon as it is reached";
  const std::size_t beforeFinish = shown.size();
  progress.finish();
  EXPECT_EQ(shown.size(), beforeFinish) << "nothing new to show";

  ASSERT_GE(shown.size(), 95u) << "about ten a second over ten seconds";
  EXPECT_LE(shown.size(), 102u);
  for (std::size_t index = 1; index < shown.size(); ++index) {
    EXPECT_GE(shown[index].second.percent, shown[index - 1].second.percent) << index;
    if (index + 1 < shown.size()) {
      EXPECT_GE(shown[index].first - shown[index - 1].first, 100ms) << index;
    }
  }
  EXPECT_EQ(shown.back().second.percent, 100);
  EXPECT_FALSE(shown.back().second.indeterminate);
  // No speed in the first second; then the average, and the time left.
  EXPECT_EQ(shown.front().second.text, "16.4 kB of 16.4 MB");
  for (const auto& [time, display] : shown) {
    if (time < DownloadProgress::Clock::time_point{} + 1s) {
      EXPECT_EQ(display.text.find("/s"), std::string::npos) << display.text;
    }
  }
  const auto halfway = std::find_if(shown.begin(), shown.end(), [](const auto& item) {
    return item.first == DownloadProgress::Clock::time_point{} + 5010ms;
  });
  ASSERT_NE(halfway, shown.end());
  EXPECT_EQ(halfway->second.text, "8.2 MB of 16.4 MB \u00b7 1.6 MB/s \u00b7 5 s left");
}

TEST(DownloadProgress, UnknownSizeShowsActivityAndTheEndFillsTheBar) {
  using namespace std::chrono_literals;
  DownloadProgress::Clock::time_point now{};
  std::vector<DownloadDisplay> shown;
  DownloadProgress progress([&](const DownloadDisplay& display) { shown.push_back(display); },
                            [&] { return now; });
  progress.update(500'000, std::nullopt);
  now += 2s;
  progress.update(4'500'000, std::nullopt);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_TRUE(shown[1].indeterminate);
  EXPECT_EQ(shown[1].text, "4.5 MB \u00b7 2.0 MB/s");
  now += 10ms;
  progress.finish();
  ASSERT_EQ(shown.size(), 3u) << "the end is shown at once";
  EXPECT_EQ(shown[2], (DownloadDisplay{100, false, "4.5 MB of 4.5 MB \u00b7 2.0 MB/s"}));

  // A count that goes back (the transfer started over) leaves the bar where it was.
  DownloadProgress again([&](const DownloadDisplay& display) { shown.push_back(display); },
                         [&] { return now; });
  now += 1s;
  again.update(600, 1000);
  now += 1s;
  again.update(100, 1000);
  EXPECT_EQ(shown.back().percent, 60);
  EXPECT_EQ(shown.back().text, "100 B of 1.0 kB");
}

TEST(DownloadProgress, SpeedIsTheAverageOfTheLastSeconds) {
  using namespace std::chrono_literals;
  DownloadProgress::Clock::time_point now{};
  DownloadDisplay last;
  DownloadProgress progress([&](const DownloadDisplay& display) { last = display; },
                            [&] { return now; });
  std::uint64_t received = 0;
  for (int step = 0; step < 100; ++step, now += 100ms) progress.update(received += 100'000, {});
  EXPECT_EQ(last.text, "10.0 MB \u00b7 1.0 MB/s");
  for (int step = 0; step < 60; ++step, now += 100ms) progress.update(received += 300'000, {});
  EXPECT_EQ(last.text, "28.0 MB \u00b7 3.0 MB/s");
  // A stall: the same count again and again brings the speed down to nothing.
  for (int step = 0; step < 60; ++step, now += 100ms) progress.update(received, 40'000'000);
  EXPECT_EQ(last.text, "28.0 MB of 40.0 MB \u00b7 0 B/s");
}

TEST_F(DisplayTest, DownloadProgressIsOneTaskWithoutAPause) {
  rig.environment.progressPause = std::chrono::seconds(30);
  auto paced = rig.makeController();
  paced->ShowDownloadProgress({12.5, false, "2.0 MB of 16.0 MB"});
  paced->ShowDownloadProgress({0, true, "3.0 MB"});
  paced->Log("after");
  EXPECT_EQ(rig.mainQueue->runAll(), 3);
  EXPECT_TRUE(rig.mainQueue->pauses().empty());
  EXPECT_EQ(rig.journal->events(),
            (std::vector<std::string>{
                "downloadBar indeterminate=0", "downloadBar text=2.0 MB of 16.0 MB",
                "downloadBar delta=12.5", "downloadBar indeterminate=1", "downloadBar text=3.0 MB",
                "downloadBar delta=-12.5", "updateLabel text=after"}));
  EXPECT_TRUE(rig.window.downloadBar->isIndeterminate());
  EXPECT_EQ(rig.window.downloadBar->text(), "3.0 MB");
}

// ---- Dialogs and buttons

TEST_F(DisplayTest, ExitOnTheFailureDialogTerminatesAndKeepsTheRecordedVersion) {
  writeFile(controller->versionLocation(), "1307");
  rig.application = std::make_shared<testing::RecordingApplication>(false);
  rig.environment.application = rig.application;
  auto dialogs = rig.makeController();
  EXPECT_FALSE(dialogs->dialogOKCancel("Error", "Failed to update the application.\n boom"));
  EXPECT_EQ(readFile(dialogs->versionLocation()), "1307");
  EXPECT_EQ(rig.application->terminateCount(), 1);
  const auto shown = rig.alerts->shown();
  ASSERT_EQ(shown.size(), 1u);
  const auto& alert = shown[0];
  EXPECT_EQ(alert.messageText, "Error");
  EXPECT_EQ(alert.informativeText, "Failed to update the application.\n boom");
  EXPECT_EQ(alert.style, platform::kCriticalAlertStyle);
  EXPECT_EQ(alert.buttons, std::vector<std::string>{"Exit"});
}

TEST_F(DisplayTest, FailureDialogClosedWithoutItsButtonWritesNothing) {
  writeFile(controller->versionLocation(), "1307");
  rig.alerts->queueAnswer(0);
  EXPECT_FALSE(controller->dialogOKCancel("Error", "x"));
  EXPECT_EQ(readFile(controller->versionLocation()), "1307");
  EXPECT_EQ(rig.application->terminateCount(), 0);
}

TEST_F(DisplayTest, NoticeReturnsAfterOkAndWritesNothing) {
  writeFile(controller->versionLocation(), "12");
  controller->DisplayAlert("Something wrong. Try later.");
  EXPECT_EQ(readFile(controller->versionLocation()), "12");
  EXPECT_EQ(rig.application->terminateCount(), 0);
  ASSERT_EQ(rig.alerts->shown().size(), 1u);
  EXPECT_EQ(rig.alerts->shown()[0].messageText, "Something wrong. Try later.");
  EXPECT_EQ(rig.alerts->shown()[0].informativeText, "");
  EXPECT_EQ(rig.alerts->shown()[0].buttons, std::vector<std::string>{"OK"});
}

TEST_F(DisplayTest, ExitNowTerminatesWithoutWriting) {
  writeFile(controller->versionLocation(), "0");
  std::thread([c = controller] { c->ExitNow(); }).detach();
  EXPECT_TRUE(rig.application->waitForTerminate());
  EXPECT_EQ(readFile(controller->versionLocation()), "0");
}

TEST_F(DisplayTest, WaitingWorkerWakesOnThePressAndSeesTheAnswer) {
  std::atomic<std::int64_t> seen{0};
  std::thread worker([&] { seen = controller->WaitForChoice(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(seen.load(), 0);
  controller->TwoEvent();
  worker.join();
  EXPECT_EQ(seen.load(), 2);
}

}  // namespace
}  // namespace launcher
