#include "frontends/qt/LauncherApp.h"

#include <QApplication>
#include <QIcon>
#include <cstdio>
#include <string>
#include <utility>

#include "Launcher/Config.h"
#include "Launcher/ProductionEnvironment.h"
#include "Launcher/SingleInstance.h"
#include "Launcher/platform/StandardFolders.h"
#include "frontends/qt/MainWindow.h"
#include "frontends/qt/QtAlerts.h"
#include "frontends/qt/QtMainQueue.h"

namespace launcher::qt {
namespace {

// A line on standard error, for whoever started the launcher from a terminal. With standard error
// gone there is nowhere else to say it: a failed write is dropped.
void tellStandardError(const std::string& text) {
  static_cast<void>(std::fprintf(stderr, "launcher: %s\n", text.c_str()));
  static_cast<void>(std::fflush(stderr));
}

// Why the launcher does not start: on standard error, and in an alert for whoever started it from
// the desktop entry, where standard error goes unread and no window would appear at all.
void tellWhyItQuits(const std::string& text) {
  tellStandardError(text);
  platform::Alert alert;
  alert.messageText = "Error";
  alert.informativeText = text;
  alert.style = platform::kCriticalAlertStyle;
  alert.buttons = {"OK"};
  MessageBoxPresenter().presentModal(alert);
}

}  // namespace

Environment LauncherApp::productionEnvironment(const platform::UserPaths& paths) {
  auto mainQueue = std::make_shared<QtMainQueue>();
  return makeProductionEnvironment(paths, mainQueue, makeQtAlerts(mainQueue),
                                   std::make_shared<platform::ProcessApplication>());
}

LauncherApp::LauncherApp(EnvironmentMaker makeEnvironment)
    : makeEnvironment_(std::move(makeEnvironment)) {}

LauncherApp::~LauncherApp() = default;

bool LauncherApp::start() {
  // Named like the installed desktop entry, so that the desktop groups every window of the
  // launcher with it, and with its icon: from the icon theme when installed, else the one built
  // in. Before anything is shown, the alert of a second start included.
  QGuiApplication::setDesktopFileName(QString::fromUtf8(kDesktopEntryName));
  QCoreApplication::setApplicationName(QString::fromUtf8(kDesktopEntryName));
  QGuiApplication::setWindowIcon(QIcon::fromTheme(QString::fromUtf8(kDesktopEntryName),
                                                  QIcon(QStringLiteral(":/icons/launcher.svg"))));
  const auto paths = platform::lookUpUserPaths(APPLICATION_NAME());
  if (!paths) {
    tellWhyItQuits(platform::kNoUserPathsMessage);
    return false;
  }
  // The application in the install folder runs as this user: a folder that another user may
  // change is refused before anything in it is read.
  if (auto own = platform::createInstallFolder(*paths); !own) {
    tellWhyItQuits(own.error);
    return false;
  }
  // One launcher per account, decided before anything else touches the disk.
  lock_ = lockInstallFolder(*paths);
  if (lock_.state() == platform::InstanceLock::State::heldElsewhere) {
    MessageBoxPresenter().presentModal(alreadyRunningAlert());
    exitStatus_ = 0;
    return false;
  }
  if (!lock_.held()) {
    tellStandardError(lock_.error() + "; going on without the lock");
  }
  controller_ = ViewController::create(makeEnvironment_(*paths));
  QApplication::setQuitOnLastWindowClosed(
      delegate_.applicationShouldTerminateAfterLastWindowClosed());
  window_ = std::make_unique<MainWindow>();
  alertPresenter().setWindow(window_.get());
  // Tied to the window, so that the connection goes away with this object.
  QObject::connect(qApp, &QCoreApplication::aboutToQuit, window_.get(),
                   [this] { delegate_.applicationWillTerminate(); });
  window_->connectController(controller_);
  window_->show();
  delegate_.applicationDidFinishLaunching();
  controller_->viewDidLoad();
  return true;
}

int LauncherApp::run() {
  if (!start()) return exitStatus_;
  return QApplication::exec();
}

}  // namespace launcher::qt
