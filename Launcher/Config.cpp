#include "Launcher/Config.h"

namespace launcher {

const std::string& APPLICATION_NAME() {
  static const std::string value = LAUNCHER_APPLICATION_NAME;
  return value;
}

const std::string& APPLICATION_SERVER_URL() {
  static const std::string value = LAUNCHER_APPLICATION_SERVER_URL;
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

}  // namespace launcher
