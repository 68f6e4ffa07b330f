#include "Launcher/Config.h"

#ifdef LAUNCHER_SERVER_URL_VARIABLE
#include <cstdlib>
#endif

namespace launcher {

const std::string& APPLICATION_NAME() {
  static const std::string value = LAUNCHER_APPLICATION_NAME;
  return value;
}

const std::string& APPLICATION_SERVER_URL() {
#ifdef LAUNCHER_SERVER_URL_VARIABLE
  // Test builds only: the server a test started on a port of its own.
  static const std::string value = [] {
    const char* address = std::getenv(LAUNCHER_SERVER_URL_VARIABLE);
    return std::string(address != nullptr ? address : LAUNCHER_APPLICATION_SERVER_URL);
  }();
#else
  static const std::string value = LAUNCHER_APPLICATION_SERVER_URL;
#endif
  return value;
}

const std::string& APPLICATION_VERSION_PATH() {
  static const std::string value = APPLICATION_SERVER_URL() + "/v/version";
  return value;
}

const std::string& DEFAULT_PACKAGE_ADDRESS() {
  static const std::string value =
      "https://downloads.vantorel.example/releases/package_mac.zip?dl=1";
  return value;
}

std::chrono::microseconds PROGRESS_PAUSE() {
  return std::chrono::microseconds(LAUNCHER_PROGRESS_PAUSE_US);
}

std::chrono::microseconds FINISHING_PAUSE() {
  return std::chrono::microseconds(LAUNCHER_FINISHING_PAUSE_US);
}

}  // namespace launcher
