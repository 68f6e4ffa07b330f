// The Qt window, offscreen, driven through the real controller: element changes posted from
// several threads, modal alerts on the main queue and from other threads, the buttons' actions,
// and closing the window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "Launcher/Config.h"
#include "Launcher/SingleInstance.h"
#include "frontends/qt/LauncherApp.h"
#include "frontends/qt/MainWindow.h"
#include "frontends/qt/QtAlerts.h"
#include "frontends/qt/QtMainQueue.h"
#include "tests/support/Doubles.h"
#include "tests/support/TestFolders.h"

namespace launcher::qt {
namespace {

using namespace std::chrono_literals;

class QtApplicationEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "qt_window_test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

// Serves the event loop until `done` holds; false when it does not within the limit.
bool processUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents();
    std::this_thread::yield();
  }
  return true;
}

// From inside whichever event loop runs, waits for the next alert box and hands it to `answer`.
class AlertAnswerer {
 public:
  explicit AlertAnswerer(std::function<void(QMessageBox&)> answer) {
    QObject::connect(&timer_, &QTimer::timeout, [this, answer] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || box->objectName() != kAlertObjectName) return;
      timer_.stop();
      ++answered_;
      answer(*box);
    });
    timer_.start(1);
  }
  int answered() const { return answered_; }

 private:
  QTimer timer_;
  int answered_ = 0;
};

void click(QMessageBox& box, const QString& title) {
  for (QAbstractButton* button : box.buttons())
    if (button->text() == title) return button->click();
  ADD_FAILURE() << "no button " << title.toStdString();
}

// Counts the tasks posted to it and drops them: the tests drive the window themselves.
class IdleBackgroundQueue final : public platform::BackgroundQueue {
 public:
  void post(platform::Task) override { ++posted; }
  std::atomic<int> posted{0};
};

// The real window and controller, with the Qt main queue and alerts, a background queue that never
// starts the workflow, recording application and workspace, and no pauses.
struct QtRig {
  Environment environment(const platform::UserPaths& paths) const {
    return {paths, mainQueue, background, alerts, application, workspace, http, 0us, 0us};
  }
  void start() {
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(app.start());
    output = ::testing::internal::GetCapturedStdout();
  }
  void post(std::function<void(ViewController&)> task) {
    mainQueue->post([controller = app.controller(), task] { task(*controller); });
  }
  void drain() {
    ASSERT_TRUE(processUntil([&] { return !mainQueue->hasPending() && !mainQueue->isRunning(); }));
  }
  template <typename Widget>
  Widget* find(const char* name) {
    return app.window()->findChild<Widget*>(name);
  }
  ViewController& controller() { return *app.controller(); }

  testing::UserFolders folders;
  std::shared_ptr<QtMainQueue> mainQueue = std::make_shared<QtMainQueue>();
  std::shared_ptr<IdleBackgroundQueue> background = std::make_shared<IdleBackgroundQueue>();
  std::shared_ptr<platform::Alerts> alerts = makeQtAlerts(mainQueue);
  std::shared_ptr<testing::RecordingApplication> application =
      std::make_shared<testing::RecordingApplication>(false);
  std::shared_ptr<testing::RecordingWorkspace> workspace =
      std::make_shared<testing::RecordingWorkspace>();
  std::shared_ptr<testing::StubHttpSession> http = std::make_shared<testing::StubHttpSession>();
  LauncherApp app{[this](const platform::UserPaths& paths) { return environment(paths); }};
  std::string output;
};

// The object name of the widget behind an outlet.
template <typename Wrapper, typename Outlet>
std::string widgetOf(const Outlet& outlet) {
  auto element = std::dynamic_pointer_cast<Wrapper>(outlet.lock());
  return element ? element->widget()->objectName().toStdString() : "(empty)";
}

const char* const kOfferAndLaunchButtons[] = {"downloadButton", "updateButton", "proceedButton",
                                              "launchButton"};

// ---- start-up

TEST(QtWindow, StartsWithOffersAndBusyIndicatorHiddenAndEveryOutletOnItsOwnElement) {
  QtRig rig;
  rig.start();
  EXPECT_EQ(rig.app.window()->windowTitle().toStdString(), APPLICATION_NAME());
  EXPECT_TRUE(rig.app.window()->isVisible());
  for (const char* name : kOfferAndLaunchButtons) {
    ASSERT_NE(rig.find<QPushButton>(name), nullptr) << name;
    EXPECT_FALSE(rig.find<QPushButton>(name)->isVisible()) << name;
  }
  EXPECT_FALSE(rig.find<QProgressBar>("circleBar")->isVisible());
  EXPECT_TRUE(rig.find<QLabel>("updateLabel")->isVisible());
  EXPECT_TRUE(rig.find<QProgressBar>("downloadBar")->isVisible());
  EXPECT_EQ(rig.find<QProgressBar>("progressBar")->value(), 0);
  EXPECT_EQ(rig.find<QProgressBar>("progressBar")->maximum(), 100);

  ViewController& c = rig.controller();
  EXPECT_EQ(widgetOf<QtTextField>(c.updateLabel), "updateLabel");
  EXPECT_EQ(widgetOf<QtProgressIndicator>(c.progressBar), "progressBar");
  EXPECT_EQ(widgetOf<QtProgressIndicator>(c.downloadBar), "downloadBar");
  EXPECT_EQ(widgetOf<QtProgressIndicator>(c.circleBar), "circleBar");
  const std::weak_ptr<platform::Button> buttons[] = {c.downloadButton, c.updateButton,
                                                     c.proceedButton, c.launchButton};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(widgetOf<QtButton>(buttons[i]), kOfferAndLaunchButtons[i]);
    EXPECT_TRUE(buttons[i].lock()->isHidden());
  }
  EXPECT_FALSE(c.updateLabel.lock()->isHidden());
  // viewDidLoad ran: the data folder on standard output and the workflow handed to the worker.
  EXPECT_EQ(rig.output, c.appDir() + "\n");
  EXPECT_EQ(rig.background->posted.load(), 1);
}

TEST(QtWindow, SecondLauncherSaysTheFirstRunsAndQuitsWithoutStarting) {
  QtRig rig;
  const auto paths = platform::lookUpUserPaths(APPLICATION_NAME());
  ASSERT_TRUE(paths);
  const auto first = lockInstallFolder(*paths);
  ASSERT_TRUE(first.held()) << first.error();
  std::string shown;
  AlertAnswerer answerer([&](QMessageBox& box) {
    shown = box.text().toStdString() + " | " + box.informativeText().toStdString();
    click(box, "OK");
  });
  EXPECT_FALSE(rig.app.start());
  EXPECT_EQ(answerer.answered(), 1);
  EXPECT_EQ(shown,
            alreadyRunningAlert().messageText + " | " + alreadyRunningAlert().informativeText);
  EXPECT_EQ(alreadyRunningAlert().messageText, APPLICATION_NAME() + " is already running");
  EXPECT_EQ(rig.app.window(), nullptr);
  EXPECT_EQ(rig.background->posted.load(), 0) << "no workflow";
  EXPECT_FALSE(std::filesystem::exists(paths->versionFile));
}

// ---- the main queue

TEST(QtWindow, ChangesPostedFromSeveralThreadsReachTheWidgetsInPostingOrder) {
  QtRig rig;
  rig.start();
  auto controller = rig.app.controller();
  auto* label = rig.find<QLabel>("updateLabel");
  auto* bar = rig.find<QProgressBar>("progressBar");
  auto* download = rig.find<QPushButton>("downloadButton");
  std::vector<std::string> seen;  // snapshots taken by posted tasks, on the main thread
  auto snapshot = [&] {
    rig.mainQueue->post([&] {
      seen.push_back(label->text().toStdString() + "|" + std::to_string(bar->value()) + "|" +
                     (download->isVisible() ? "shown" : "hidden"));
    });
  };
  auto showDownload = [](bool shown) {
    return [shown](ViewController& c) { c.downloadButton.lock()->setHidden(!shown); };
  };
  std::thread([&] {
    controller->Log("Download Available");
    controller->Increase(10);
    snapshot();
  }).join();
  std::thread([&] {
    rig.post(showDownload(true));
    controller->Increase(15);
    controller->Log("Initializing");
    snapshot();
  }).join();
  EXPECT_TRUE(seen.empty()) << "tasks must wait for the main thread";
  rig.post(showDownload(false));
  controller->Log("");
  snapshot();
  rig.drain();
  EXPECT_EQ(seen, (std::vector<std::string>{"Download Available|10|hidden", "Initializing|25|shown",
                                            "|25|hidden"}));
}

TEST(QtWindow, ProgressKeepsFractionsAndLosesNoStepAcrossThreads) {
  QtRig rig;
  rig.start();
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&] {
      for (int i = 0; i < 50; ++i) rig.controller().Increase(0.5);
    });
  for (auto& poster : posters) poster.join();
  rig.drain();
  auto bar = rig.controller().progressBar.lock();
  EXPECT_EQ(bar->doubleValue(), 100.0);
  EXPECT_EQ(rig.find<QProgressBar>("progressBar")->value(), 100);
  rig.controller().Increase(-0.25);
  rig.controller().Increase(-49.5);
  rig.drain();
  EXPECT_EQ(bar->doubleValue(), 50.25);
  EXPECT_EQ(rig.find<QProgressBar>("progressBar")->value(), 50);

  rig.post([](ViewController& c) {
    c.circleBar.lock()->setHidden(false);
    c.circleBar.lock()->startAnimation();
  });
  rig.drain();
  auto* circle = rig.find<QProgressBar>("circleBar");
  EXPECT_TRUE(circle->isVisible());
  EXPECT_EQ(circle->maximum(), circle->minimum()) << "busy indicators have an empty range";
}

// ---- alerts

TEST(QtAlerts, AlertOfAPostedTaskHoldsBackLaterTasksUntilAnswered) {
  QtRig rig;
  rig.start();
  long answer = -1;
  std::string labelWhileOpen;
  AlertAnswerer answerer([&](QMessageBox& box) {
    labelWhileOpen = rig.find<QLabel>("updateLabel")->text().toStdString();
    EXPECT_EQ(box.icon(), QMessageBox::Critical);
    EXPECT_EQ(box.text(), "Error");
    EXPECT_EQ(box.informativeText(), "Failed to update the application.\n boom");
    EXPECT_EQ(box.windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(box.buttons().size(), 1);
    click(box, "Exit");
  });
  rig.mainQueue->post([&] {
    answer = rig.alerts->runModal({"Error",
                                   "Failed to update the application.\n boom",
                                   platform::kCriticalAlertStyle,
                                   {"Exit"}});
  });
  rig.controller().Log("after");
  rig.drain();
  EXPECT_EQ(answer, 1000);
  EXPECT_FALSE(labelWhileOpen.empty());
  EXPECT_NE(labelWhileOpen, "after");
  EXPECT_EQ(rig.find<QLabel>("updateLabel")->text(), "after");
}

TEST(QtAlerts, ButtonsAnswerInTheirOrderAndAnEndWithoutAButtonAnswersZero) {
  MessageBoxPresenter presenter;
  const platform::Alert choice{"Choose", "", 2, {"First", "Second", "Third"}};
  {
    AlertAnswerer answerer([](QMessageBox& box) { click(box, "Third"); });
    EXPECT_EQ(presenter.presentModal(choice), 1002);
  }
  {
    AlertAnswerer answerer([](QMessageBox& box) { box.reject(); });
    EXPECT_EQ(presenter.presentModal(choice), 0);
  }
}

TEST(QtAlerts, ExitAlertFromAnotherThreadShowsOnTheMainThreadAndBlocksItsCaller) {
  QtRig rig;
  rig.start();
  testing::writeFile(rig.controller().versionLocation(), "7");
  std::atomic<bool> returned{false};
  bool callerWaited = false, onMainThread = false;
  AlertAnswerer answerer([&](QMessageBox& box) {
    callerWaited = !returned.load();
    onMainThread = box.thread() == QCoreApplication::instance()->thread();
    click(box, "Exit");
  });
  std::thread completion([&] {
    rig.controller().dialogOKCancel("Error", "Failed to serialize the version.\n ");
    returned = true;
  });
  const bool answered = processUntil([&] { return returned.load(); });
  answered ? completion.join() : completion.detach();
  ASSERT_TRUE(answered);
  EXPECT_TRUE(callerWaited);
  EXPECT_TRUE(onMainThread);
  EXPECT_EQ(rig.application->terminateCount(), 1);
  EXPECT_EQ(testing::readFile(rig.controller().versionLocation()), "7");
}

// ---- buttons and quitting

TEST(QtWindow, ButtonsRunTheirActions) {
  QtRig rig;
  rig.start();
  ViewController& c = rig.controller();
  rig.find<QPushButton>("downloadButton")->click();
  EXPECT_EQ(c.ChooseCase.load(), 1);
  rig.find<QPushButton>("proceedButton")->click();
  EXPECT_EQ(c.ChooseCase.load(), 2);
  rig.find<QPushButton>("updateButton")->click();
  EXPECT_EQ(c.ChooseCase.load(), 1);

  // Launch without an installed bundle: a notice, and the launcher stays.
  AlertAnswerer answerer([](QMessageBox& box) {
    EXPECT_EQ(box.text(), "Something wrong. Try later.");
    click(box, "OK");
  });
  rig.find<QPushButton>("launchButton")->click();
  EXPECT_EQ(answerer.answered(), 1);
  EXPECT_EQ(rig.application->terminateCount(), 0);
  testing::writeFile(rig.folders.installFolder() + "/" + APPLICATION_NAME() + ".app", "");
  rig.find<QPushButton>("launchButton")->click();
  EXPECT_EQ(rig.workspace->requests(), std::vector<std::string>{APPLICATION_NAME()});
  EXPECT_EQ(rig.application->terminateCount(), 1);
  rig.find<QPushButton>("quitButton")->click();
  EXPECT_EQ(rig.application->terminateCount(), 2);
}

TEST(QtWindow, ClosingTheWindowEndsTheEventLoop) {
  QtRig rig;
  QObject guard;
  int quits = 0;
  QObject::connect(qApp, &QCoreApplication::aboutToQuit, &guard, [&] { ++quits; });
  QTimer::singleShot(0, &guard, [&] { rig.app.window()->close(); });
  QTimer::singleShot(20s, &guard, [] { QCoreApplication::exit(3); });
  ::testing::internal::CaptureStdout();
  const int status = rig.app.run();
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(quits, 1);
}

}  // namespace
}  // namespace launcher::qt
