#include "Launcher/Config.h"

#if defined(LAUNCHER_SERVER_URL_VARIABLE) || defined(LAUNCHER_PUBLIC_KEY_VARIABLE)
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

const std::string& APPLICATION_PUBLIC_KEY() {
#ifdef LAUNCHER_PUBLIC_KEY_VARIABLE
  // Test builds only: the key of a pair a test made.
  static const std::string value = [] {
    const char* key = std::getenv(LAUNCHER_PUBLIC_KEY_VARIABLE);
    return std::string(key != nullptr ? key : LAUNCHER_APPLICATION_PUBLIC_KEY);
  }();
#else
  static const std::string value = LAUNCHER_APPLICATION_PUBLIC_KEY;
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

std::chrono::milliseconds DOWNLOAD_RETRY_PAUSE() {
  return std::chrono::milliseconds(LAUNCHER_RETRY_PAUSE_MS);
}

}  // namespace launcher
