#include "Launcher/SingleInstance.h"

#include <string>

#include "Launcher/Config.h"
#include "Launcher/Installer.h"
#include "Launcher/platform/FileManager.h"

namespace launcher {

platform::InstanceLock lockInstallFolder(const platform::UserPaths& paths) {
  return platform::InstanceLock::acquire(
      platform::appendPathComponent(paths.installFolder, std::string(kLockFileName)));
}

platform::Alert alreadyRunningAlert() {
  platform::Alert alert;
  alert.messageText = APPLICATION_NAME() + " is already running";
  alert.informativeText = "Another " + APPLICATION_NAME() +
                          " launcher window is open on this account. Use that one; this one "
                          "closes without changing anything.";
  alert.style = platform::kCriticalAlertStyle;
  alert.buttons = {"OK"};
  return alert;
}

}  // namespace launcher
