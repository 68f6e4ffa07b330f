#pragma once
// One launcher at a time per account: the first one holds a lock in the install folder for its
// whole run; a second one touches nothing else, says so and quits.
#include "Launcher/platform/Alerts.h"
#include "Launcher/platform/InstanceLock.h"
#include "Launcher/platform/StandardFolders.h"

namespace launcher {

// Takes the lock on ".lock" in the install folder, which platform::createInstallFolder has made
// and accepted. Held until the returned object goes; a front end takes it before anything else.
platform::InstanceLock lockInstallFolder(const platform::UserPaths& paths);

// What a second launcher shows before it quits: "<Name> is already running", with one button
// "OK".
platform::Alert alreadyRunningAlert();

}  // namespace launcher
