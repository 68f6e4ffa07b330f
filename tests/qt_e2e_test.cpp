// The real window of the launcher, with its production services, driven by pressing its buttons
// through a first install against the real feed tool. Only the version request's address is
// redirected to the feed, and ending the launcher ends the event loop instead of the process.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <filesystem>

#include "Launcher/Config.h"
#include "frontends/qt/LauncherApp.h"
#include "frontends/qt/MainWindow.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Doubles.h"
#include "tests/support/ServedFeed.h"
#include "tests/support/TestFolders.h"

namespace launcher {
namespace {
namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::readFile;
using testing::writeFile;

const std::string kBuild = LAUNCHER_BUILD_DIR;

class QuitEventLoop final : public platform::Application {
 public:
  void terminate() override {
    ++count;
    QMetaObject::invokeMethod(
        qApp, [] { QApplication::exit(0); }, Qt::QueuedConnection);
  }
  std::atomic<int> count{0};
};

TEST(QtEndToEnd, FirstInstallByPressingDownloadThenLaunch) {
  int argc = 1;
  char name[] = "qt_e2e_test";
  char* argv[] = {name, nullptr};
  QApplication application(argc, argv);
  testing::UserFolders folders;
  testing::TempDir work;

  // The feed tool serves on a port of its choosing; the package address names that port.
  testing::ServedFeed server(kBuild + "/launcher-feed", work / "feed");
  const std::string base = server.address();

  const std::string app = work / ("app/" + APPLICATION_NAME() + ".app");
  const std::string marker = work / "marker.txt";
  writeFile(app + "/AppRun", "#!/bin/sh\necho started > \"" + marker + "\"\n");
  fs::permissions(app + "/AppRun", fs::perms(0755));
  ChildProcess publish({kBuild + "/launcher-feed", "publish", "--app", app, "--version", "1",
                        "--base-url", base, "--out", work / "feed"},
                       {});
  ASSERT_EQ(publish.waitForExit(), 0) << publish.errors();

  auto quit = std::make_shared<QuitEventLoop>();
  qt::LauncherApp launcher([&](const platform::UserPaths& paths) {
    Environment environment = qt::LauncherApp::productionEnvironment(paths);
    environment.httpSession =
        std::make_shared<testing::RetargetingHttpSession>(base + "/v/version");
    environment.application = quit;
    // Whatever key this build was configured with: the package published here is unsigned.
    environment.publicKey.clear();
    environment.progressPause = std::chrono::microseconds(0);
    environment.finishingPause = std::chrono::microseconds(0);
    return environment;
  });
  ASSERT_TRUE(launcher.start());
  QWidget* window = launcher.window();
  const auto button = [&](const char* objectName) {
    return window->findChild<QPushButton*>(objectName);
  };
  ASSERT_TRUE(button("downloadButton") && button("launchButton"));

  std::vector<std::string> pressed;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (pressed.empty() && button("downloadButton")->isVisible()) {
      pressed.push_back("download");
      button("downloadButton")->click();
    } else if (pressed.size() == 1 && button("launchButton")->isVisible()) {
      pressed.push_back("launch");
      button("launchButton")->click();
    }
  });
  poll.start(10);
  QTimer::singleShot(60'000, [] { QApplication::exit(1); });
  EXPECT_EQ(application.exec(), 0) << "the launcher did not finish in time";

  EXPECT_EQ(pressed, (std::vector<std::string>{"download", "launch"}));
  EXPECT_EQ(quit->count.load(), 1) << "launching quits the launcher";
  EXPECT_EQ(readFile(folders.installFolder() + "/version.txt"), "1");
  EXPECT_TRUE(fs::exists(folders.installFolder() + "/" + APPLICATION_NAME() + ".app/AppRun"));
  bool started = false;
  for (int i = 0; i < 500 && !started; ++i) {
    started = readFile(marker) == "started\n";
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(started) << "the installed application ran";
  EXPECT_NE(server.log().find("GET /package_mac.zip 200"), std::string::npos) << server.log();
}

}  // namespace
}  // namespace launcher
