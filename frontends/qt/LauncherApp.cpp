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

Environment LauncherApp::productionEnvironment(const platform::UserPaths& paths) {
  Environment environment;
  environment.paths = paths;
  environment.mainQueue = std::make_shared<QtMainQueue>();
  environment.backgroundQueue = std::make_shared<platform::ThreadBackgroundQueue>();
  environment.alerts = std::make_shared<QtAlerts>();
  environment.application = std::make_shared<platform::ProcessApplication>();
  environment.workspace = std::make_shared<platform::LinuxWorkspace>(paths.installFolder);
  environment.httpSession = std::make_shared<platform::CurlHttpSession>();
  environment.progressPause = std::chrono::milliseconds(880);
  environment.finishingPause = std::chrono::seconds(1);
  return environment;
}

LauncherApp::LauncherApp(EnvironmentMaker makeEnvironment)
    : makeEnvironment_(std::move(makeEnvironment)) {}

LauncherApp::~LauncherApp() = default;

bool LauncherApp::start() {
  const auto paths = platform::lookUpUserPaths(APPLICATION_NAME());
  if (!paths) {
    std::fprintf(stderr, "launcher: %s\n", platform::kNoUserPathsMessage);
    std::fflush(stderr);
    return false;
  }
  controller_ = ViewController::create(makeEnvironment_(*paths));
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
