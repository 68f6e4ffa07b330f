#include "frontends/qt/LauncherApp.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <utility>

#include "Launcher/Config.h"
#include "Launcher/platform/StandardFolders.h"
#include "frontends/qt/MainWindow.h"
#include "frontends/qt/QtAlerts.h"
#include "frontends/qt/QtMainQueue.h"

namespace launcher::qt {

Environment LauncherApp::productionEnvironment() {
  // The same folder that the controller takes as appDir; without one the controller is not
  // created and the workspace is never asked.
  const std::string installFolder =
      platform::userLibraryFolder().value_or("") + "/" + APPLICATION_NAME();
  Environment environment;
  environment.mainQueue = std::make_shared<QtMainQueue>();
  environment.backgroundQueue = std::make_shared<platform::ThreadBackgroundQueue>();
  environment.alerts = std::make_shared<QtAlerts>();
  environment.application = std::make_shared<platform::ProcessApplication>();
  environment.workspace = std::make_shared<platform::LinuxWorkspace>(installFolder);
  environment.httpSession = std::make_shared<platform::CurlHttpSession>();
  environment.progressPause = std::chrono::milliseconds(880);
  environment.finishingPause = std::chrono::seconds(1);
  return environment;
}

LauncherApp::LauncherApp(EnvironmentMaker makeEnvironment)
    : makeEnvironment_(std::move(makeEnvironment)) {}

LauncherApp::~LauncherApp() = default;

bool LauncherApp::start() {
  controller_ = ViewController::create(makeEnvironment_());
  if (!controller_) {
    std::fputs("launcher: cannot determine the per-user data folder (set HOME or XDG_DATA_HOME)\n",
               stderr);
    std::fflush(stderr);
    return false;
  }
  QApplication::setQuitOnLastWindowClosed(
      delegate_.applicationShouldTerminateAfterLastWindowClosed());
  window_ = std::make_unique<MainWindow>();
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
  if (!start()) return 1;
  return QApplication::exec();
}

}  // namespace launcher::qt
