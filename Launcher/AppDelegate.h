#pragma once
// The application delegate: no state; closing the launcher's window quits the launcher.

namespace launcher {

class AppDelegate {
 public:
  void applicationDidFinishLaunching() {}
  void applicationWillTerminate() {}
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
};

}  // namespace launcher
