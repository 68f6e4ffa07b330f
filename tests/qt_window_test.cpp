// The Qt window, offscreen, driven through the real controller: element changes posted from
// several threads, modal alerts on the main queue and from other threads, the buttons' actions,
// and closing the window.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
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
  // Tasks never run (behind a pause) hold the controller, which holds the queue.
  ~QtRig() { mainQueue->discardPending(); }
  Environment environment(const platform::UserPaths& paths) const {
    return {paths, mainQueue,     background, alerts, application, workspace,
            http,  progressPause, 0us,        {},     0ms};
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
  std::chrono::microseconds progressPause{0};
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
  // The whole window is on the screen, also on a small one or at a large scale factor
  // (qt_window_small_screen_test).
  const QRect screen = rig.app.window()->screen()->availableGeometry();
  EXPECT_TRUE(screen.contains(rig.app.window()->frameGeometry()));
  EXPECT_TRUE(screen.contains(QRect(rig.find<QPushButton>("quitButton")->mapToGlobal(QPoint()),
                                    rig.find<QPushButton>("quitButton")->size())));
  EXPECT_TRUE(rig.find<QLabel>("updateLabel")->isVisible());
  EXPECT_TRUE(rig.find<QProgressBar>("downloadBar")->isVisible());
  EXPECT_EQ(rig.find<QProgressBar>("progressBar")->value(), 0);
  EXPECT_EQ(rig.find<QProgressBar>("progressBar")->maximum(), 100);
  // A screen reader tells the bars apart, though the window shows no title for them.
  std::set<QString> barNames;
  for (const char* name : {"progressBar", "downloadBar", "circleBar"}) {
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(rig.find<QProgressBar>(name));
    ASSERT_NE(bar, nullptr) << name;
    EXPECT_FALSE(bar->text(QAccessible::Name).isEmpty()) << name;
    barNames.insert(bar->text(QAccessible::Name));
  }
  EXPECT_EQ(barNames.size(), 3u);
  // The application's icon, and the name of the desktop entry the build makes.
  EXPECT_FALSE(rig.app.window()->windowIcon().pixmap(32, 32).isNull());
  const std::string entry = QGuiApplication::desktopFileName().toStdString() + ".desktop";
  EXPECT_TRUE(std::filesystem::is_regular_file(std::string(LAUNCHER_BUILD_DIR) + "/" + entry))
      << entry;

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
  ASSERT_TRUE(platform::createInstallFolder(*paths));
  const auto first = lockInstallFolder(*paths);
  ASSERT_TRUE(first.held()) << first.error();
  // As a process that has shown nothing yet: the alert still belongs to the desktop entry.
  QGuiApplication::setDesktopFileName({});
  QCoreApplication::setApplicationName(QStringLiteral("qt_window_test"));
  QGuiApplication::setWindowIcon(QIcon());
  std::string shown, entry, application;
  bool iconed = false;
  AlertAnswerer answerer([&](QMessageBox& box) {
    shown = box.text().toStdString() + " | " + box.informativeText().toStdString();
    entry = QGuiApplication::desktopFileName().toStdString();
    application = QCoreApplication::applicationName().toStdString();
    iconed = !box.windowIcon().pixmap(32, 32).isNull();
    click(box, "OK");
  });
  EXPECT_FALSE(rig.app.start());
  EXPECT_EQ(answerer.answered(), 1);
  EXPECT_EQ(shown,
            alreadyRunningAlert().messageText + " | " + alreadyRunningAlert().informativeText);
  EXPECT_EQ(alreadyRunningAlert().messageText, APPLICATION_NAME() + " is already running");
  EXPECT_EQ(entry, kDesktopEntryName);
  EXPECT_EQ(application, kDesktopEntryName) << "the class of its window on X11";
  EXPECT_TRUE(iconed);
  EXPECT_EQ(rig.app.window(), nullptr);
  EXPECT_EQ(rig.background->posted.load(), 0) << "no workflow";
  EXPECT_FALSE(std::filesystem::exists(paths->versionFile));
}

// Started from the desktop entry, nobody reads standard error: a refused install folder is also
// said in an alert, and the launcher quits once it is answered, having started nothing.
TEST(QtWindow, RefusedInstallFolderIsSaidInAnAlertBeforeTheLauncherQuits) {
  const struct {
    const char* what;
    std::function<void(const std::string&)> make;
    std::string reason;
  } cases[] = {
      {"writable by all",
       [](const std::string& folder) {
         std::filesystem::create_directories(folder);
         std::filesystem::permissions(folder, std::filesystem::perms::all);
       },
       "may be changed by other users"},
      {"a link",
       [](const std::string& folder) {
         std::filesystem::create_directories(folder + ".real");
         std::filesystem::create_directory_symlink(folder + ".real", folder);
       },
       "is not a folder of its own (a link or a file)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QtRig rig;
    const std::string folder = rig.folders.installFolder();
    c.make(folder);
    std::string shown;
    AlertAnswerer answerer([&](QMessageBox& box) {
      shown = box.text().toStdString() + " | " + box.informativeText().toStdString();
      click(box, "OK");
    });
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(rig.app.start());
    const std::string error = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(answerer.answered(), 1);
    EXPECT_EQ(shown, "Error | \"" + folder + "\" " + c.reason);
    // The offscreen platform may add its own lines after it.
    const std::string line = "launcher: \"" + folder + "\" " + c.reason + "\n";
    EXPECT_EQ(error.substr(0, line.size()), line);
    EXPECT_EQ(rig.app.window(), nullptr);
    EXPECT_EQ(rig.background->posted.load(), 0) << "no workflow";
  }
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

TEST(QtWindow, DownloadBarShowsItsShareItsTextAndAnUnknownSize) {
  QtRig rig;
  rig.start();
  auto* bar = rig.find<QProgressBar>("downloadBar");
  auto* text = rig.find<QLabel>("downloadText");
  ASSERT_TRUE(bar && text);
  EXPECT_FALSE(text->isVisible());

  rig.controller().ShowDownloadProgress({0, true, "3.0 MB \u00b7 1.5 MB/s"});
  rig.drain();
  EXPECT_EQ(bar->maximum(), bar->minimum()) << "busy while the size is unknown";
  EXPECT_TRUE(text->isVisible());
  EXPECT_EQ(text->text().toStdString(), "3.0 MB \u00b7 1.5 MB/s");

  rig.controller().ShowDownloadProgress({42.4, false, "4.2 MB of 10.0 MB"});
  rig.drain();
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 42);
  EXPECT_EQ(text->text().toStdString(), "4.2 MB of 10.0 MB");

  rig.controller().ShowDownloadProgress({100, false, ""});
  rig.drain();
  EXPECT_EQ(bar->value(), 100);
  EXPECT_FALSE(text->isVisible());

  // A bar without a label of its own shows its text inside, as it is.
  auto overall = rig.controller().progressBar.lock();
  overall->setText("50% done");
  auto* overallBar = rig.find<QProgressBar>("progressBar");
  EXPECT_TRUE(overallBar->isTextVisible());
  EXPECT_EQ(overallBar->text().toStdString(), "50% done");
  overall->setText("%p of %v");
  EXPECT_EQ(overallBar->text().remove(QChar(0x200B)).toStdString(), "%p of %v");
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
    EXPECT_EQ(box.parentWidget(), rig.app.window());
    EXPECT_EQ(box.windowModality(), Qt::WindowModal);
    const QPoint offset = box.geometry().center() - rig.app.window()->geometry().center();
    EXPECT_LE(offset.manhattanLength(), 2) << "centred on the window";
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

// A text of a server's (a header, a package address) may be of any length: the box stays on the
// screen with its button, and the whole text is behind its details. A short one shows whole. A
// word wider than the box (a long path) is broken across lines rather than cut at its edge, and
// then the exact text, without the breaks, is behind the details; a path that fits stays as it is.
TEST(QtAlerts, ALongTextKeepsTheAlertAndItsButtonOnTheScreen) {
  MessageBoxPresenter presenter;
  QString longWords, manyLines, longPath = QStringLiteral("cannot create /home/");
  for (int i = 0; i < 20000; ++i) longWords += QStringLiteral("gzip ");
  for (int i = 0; i < 2000; ++i) manyLines += QStringLiteral("line\n");
  QString errorPage = QStringLiteral("Failed to launch the application.\n HTTP 502:");
  for (int i = 0; i < 30; ++i) errorPage += QStringLiteral(" <p>Bad Gateway</p>");
  errorPage += QStringLiteral("\n\nThe installed version will be used.");
  for (int i = 0; i < 3000; ++i) longPath += QChar(i % 7 == 0 ? 0x05e9 : 'a' + i % 26);
  longPath += QStringLiteral(": File name too long");
  // Lines break after a slash: a path of short names fits; one long name does not.
  const QString shortNames =
      QStringLiteral("cannot create /home/ada/.local/share/Vantorel/Vantorel.app/lib/libfoo.so.1");
  const QString longName = QStringLiteral("cannot create /home/ada/") +
                           QString(200, QLatin1Char('n')) + QStringLiteral(": File name too long");
  for (const QString& text : {longWords, manyLines, errorPage, longPath, shortNames, longName,
                              QStringLiteral("the disk is full")}) {
    SCOPED_TRACE(text.left(20).toStdString());
    QString shown, details;
    // The widest piece of the text, and of what the box shows, with no place to break.
    int height = 0, screenHeight = 0, lineWidth = 0, widestWord = 0, widestShown = 0;
    bool onScreen = false, detailsByKeyboard = false;
    AlertAnswerer answerer([&](QMessageBox& box) {
      shown = box.informativeText();
      details = box.detailedText();
      height = box.frameGeometry().height();
      screenHeight = box.screen()->availableGeometry().height();
      const QRect screen = box.screen()->availableGeometry();
      onScreen = true;
      for (const QWidget* button : box.buttons())
        onScreen =
            onScreen && screen.contains(QRect(button->mapToGlobal(QPoint()), button->size()));
      if (auto* label = box.findChild<QLabel*>("qt_msgbox_informativelabel")) {
        lineWidth = label->width();
        widestShown = label->minimumSizeHint().width();
        QLabel whole(text);
        whole.setFont(label->font());
        whole.setWordWrap(true);
        widestWord = whole.minimumSizeHint().width();
      }
      // Without a mouse: the details open and Tab reaches their text, to scroll through it.
      for (QAbstractButton* button : box.buttons())
        if (box.buttonRole(button) == QMessageBox::ActionRole) button->click();
      for (int tab = 0; tab < 4 && !detailsByKeyboard; ++tab) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(box.focusWidget() != nullptr ? box.focusWidget() : &box, &press);
        detailsByKeyboard = qobject_cast<QTextEdit*>(box.focusWidget()) != nullptr;
      }
      click(box, "Exit");
    });
    const platform::Alert alert{"Failed to update the application.",
                                text.toStdString(),
                                platform::kCriticalAlertStyle,
                                {"Exit"}};
    EXPECT_EQ(presenter.presentModal(alert), 1000);
    EXPECT_LE(height, screenHeight);
    EXPECT_TRUE(onScreen) << "every button on the screen";
    EXPECT_LE(widestShown, lineWidth) << "no word wider than the box";
    if (text.size() < 100 && widestWord <= lineWidth) {
      EXPECT_EQ(shown, text);
      EXPECT_TRUE(details.isEmpty());
    } else {
      shown.remove(QChar(0x200B));  // where a long word may break
      EXPECT_TRUE(text.startsWith(shown.chopped(1))) << "the text's beginning";
      EXPECT_TRUE(details == text) << "the whole text behind the details";
      EXPECT_TRUE(detailsByKeyboard);
    }
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

// Sends a key press to the window's focus widget, as typing does: a key it ignores goes on to
// the window.
void press(QWidget* window, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent event(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(window->focusWidget() != nullptr ? window->focusWidget() : window,
                          &event);
}

TEST(QtWindow, ReturnPressesTheVisiblePrimaryButton) {
  QtRig rig;
  rig.start();
  ViewController& c = rig.controller();
  QWidget* window = rig.app.window();
  const auto show = [&](std::vector<const char*> shown) {
    rig.post([shown](ViewController& controller) {
      const std::pair<const char*, std::weak_ptr<platform::Button>> buttons[] = {
          {"downloadButton", controller.downloadButton},
          {"updateButton", controller.updateButton},
          {"proceedButton", controller.proceedButton},
          {"launchButton", controller.launchButton}};
      for (const auto& [name, button] : buttons)
        button.lock()->setHidden(std::find(shown.begin(), shown.end(), std::string(name)) ==
                                 shown.end());
    });
    rig.drain();
  };
  rig.find<QPushButton>("quitButton")->setFocus();
  press(window, Qt::Key_Return);  // nothing on offer, and Quit is not pressed
  EXPECT_EQ(c.ChooseCase.load(), 0);
  EXPECT_EQ(rig.application->terminateCount(), 0);

  show({"downloadButton"});
  EXPECT_TRUE(rig.find<QPushButton>("downloadButton")->isDefault());
  press(window, Qt::Key_Return);
  EXPECT_EQ(c.ChooseCase.load(), 1);

  show({"updateButton", "proceedButton"});
  EXPECT_FALSE(rig.find<QPushButton>("downloadButton")->isDefault());
  EXPECT_TRUE(rig.find<QPushButton>("updateButton")->isDefault());
  c.TwoEvent();
  press(window, Qt::Key_Enter);
  EXPECT_EQ(c.ChooseCase.load(), 1) << "Update, not Proceed";

  show({"launchButton"});
  EXPECT_TRUE(rig.find<QPushButton>("launchButton")->isDefault());
  testing::writeFile(rig.folders.installFolder() + "/" + APPLICATION_NAME() + ".app", "");
  press(window, Qt::Key_Return);
  EXPECT_EQ(rig.workspace->requests(), std::vector<std::string>{APPLICATION_NAME()});
}

TEST(QtWindow, EscapeAndCtrlQCloseTheWindowAndEndTheEventLoop) {
  const std::pair<int, Qt::KeyboardModifiers> keys[] = {{Qt::Key_Escape, Qt::NoModifier},
                                                        {Qt::Key_Q, Qt::ControlModifier}};
  for (const auto& [key, modifiers] : keys) {
    SCOPED_TRACE(QKeySequence(key | modifiers).toString().toStdString());
    QtRig rig;
    QObject guard;
    QTimer::singleShot(0, &guard, [&, key = key, modifiers = modifiers] {
      press(rig.app.window(), key, modifiers);
    });
    QTimer::singleShot(20s, &guard, [] { QCoreApplication::exit(3); });
    ::testing::internal::CaptureStdout();
    const int status = rig.app.run();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(rig.app.window()->isVisible());
    EXPECT_EQ(rig.application->terminateCount(), 0) << "closed as by the window's close button";
  }
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

// The task held back by a pause runs once the pause is over, without any other event.
TEST(QtWindow, TaskHeldByAPauseRunsWhenItEnds) {
  QtRig rig;
  rig.progressPause = 50ms;
  rig.start();
  const auto start = std::chrono::steady_clock::now();
  rig.controller().Increase(10);
  rig.controller().Log("after the pause");
  ASSERT_TRUE(
      processUntil([&] { return rig.find<QLabel>("updateLabel")->text() == "after the pause"; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

// A pause that ends between the two readings of the clock in one turn: the first finds it
// holding, the second over. The task still runs, without another post to wake the queue.
TEST(QtWindow, APauseThatEndsWhileATurnLooksStillLetsTheTaskRun) {
  auto readings = std::make_shared<std::atomic<int>>(0);
  // Every reading of this clock is 1 ms later than the one before.
  QtMainQueue queue([readings] { return QtMainQueue::Clock::time_point(1ms * ++*readings); });
  queue.pause(1500us);
  bool ran = false;
  queue.post([&ran] { ran = true; });
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (!ran && std::chrono::steady_clock::now() < deadline) QCoreApplication::processEvents();
  EXPECT_TRUE(ran) << "the task waits for another post";
  EXPECT_GE(readings->load(), 3) << "the pause was never seen holding";
}

// During a display pause the window still handles its own events: a close request ends the
// event loop long before the pause is over, and the task held back never runs.
TEST(QtWindow, ClosesDuringADisplayPause) {
  QtRig rig;
  rig.progressPause = 30s;
  QObject guard;
  auto* bar = static_cast<QProgressBar*>(nullptr);
  QTimer::singleShot(0, &guard, [&] {
    bar = rig.find<QProgressBar>("progressBar");
    rig.controller().Increase(10);
    rig.controller().Log("after the pause");
  });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (bar != nullptr && bar->value() == 10 && rig.mainQueue->isPaused()) {
      poll.stop();
      rig.app.window()->close();
    }
  });
  poll.start(1);
  QTimer::singleShot(20s, &guard, [] { QCoreApplication::exit(3); });
  ::testing::internal::CaptureStdout();
  const auto start = std::chrono::steady_clock::now();
  const int status = rig.app.run();
  const auto took = std::chrono::steady_clock::now() - start;
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, 15s);
  EXPECT_NE(rig.find<QLabel>("updateLabel")->text().toStdString(), "after the pause");
  EXPECT_TRUE(rig.mainQueue->hasPending());
}

}  // namespace
}  // namespace launcher::qt
