#pragma once
// What the process does between the creation of the QApplication and its event loop: builds the
// delegate, the controller and the window, connects them and starts the controller.
#include <functional>
#include <memory>

#include "Launcher/AppDelegate.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/InstanceLock.h"

namespace launcher::qt {

class MainWindow;

// The name of the installed desktop entry, without ".desktop" (e.g. "vantorel-launcher"): the
// window's desktop file name and the name of its icon in the icon theme.
inline constexpr const char* kDesktopEntryName = LAUNCHER_APP_ID;

class LauncherApp {
 public:
  // Makes the controller's surroundings for the per-user folders looked up at start.
  using EnvironmentMaker = std::function<Environment(const platform::UserPaths&)>;

  // The real services: the Qt main queue and alerts, one thread per background task, process
  // termination, launching from the install folder, libcurl, and the real pauses.
  static Environment productionEnvironment(const platform::UserPaths& paths);

  // Needs the QApplication.
  explicit LauncherApp(EnvironmentMaker makeEnvironment);
  ~LauncherApp();
  LauncherApp(const LauncherApp&) = delete;
  LauncherApp& operator=(const LauncherApp&) = delete;

  // Gives the process the desktop entry's name and icon (every window carries them, the alert of
  // a second start too), looks up the per-user folders, makes the install folder, takes the
  // one-launcher lock, creates the controller and the window (alerts belong to it), shows the
  // window and starts the controller. False when the launcher does not run: with a
  // message on standard error and in an alert once answered, when no per-user data folder can be
  // determined (nothing is written then) or the install folder is refused (see
  // platform::createInstallFolder), exit status 1; or
  // once the user has answered the alert that another launcher holds the lock (exit status 0).
  bool start();
  // start(), then the event loop until the application quits. Returns the exit status.
  int run();

  const std::shared_ptr<ViewController>& controller() const { return controller_; }
  MainWindow* window() const { return window_.get(); }

 private:
  EnvironmentMaker makeEnvironment_;
  AppDelegate delegate_;
  std::shared_ptr<ViewController> controller_;
  std::unique_ptr<MainWindow> window_;
  platform::InstanceLock lock_;
  int exitStatus_ = 1;
};

}  // namespace launcher::qt
