// The launcher's process entry: the Qt application, the window and the controller.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "Launcher/platform/Application.h"
#include "frontends/qt/LauncherApp.h"

int main(int argc, char** argv) {
  launcher::platform::prepareProcess();
  QApplication application(argc, argv);
  launcher::qt::LauncherApp launcher(&launcher::qt::LauncherApp::productionEnvironment);
  const int status = launcher.run();
  // The window has closed. The worker may still be running, even inside a download: end the
  // process here, before any destructor can pull state from under it. A flush that fails has
  // nobody left to be told.
  static_cast<void>(std::fflush(stdout));
  static_cast<void>(std::fflush(stderr));
  std::_Exit(status);
}
