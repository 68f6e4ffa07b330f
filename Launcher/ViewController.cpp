#include "Launcher/ViewController.h"

#include <filesystem>
#include <thread>
#include <utility>

#include "Launcher/Config.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/StandardFolders.h"
#include "Launcher/platform/Text.h"

namespace launcher {

std::shared_ptr<ViewController> ViewController::create(Environment environment) {
  if (!platform::userLibraryFolder()) return nullptr;
  return std::shared_ptr<ViewController>(new ViewController(std::move(environment)));
}

ViewController::ViewController(Environment environment)
    : url(platform::Url::parse(DEFAULT_PACKAGE_ADDRESS())),
      version(0),
      environment_(std::move(environment)) {
  // The per-user data folder takes the place of the Library folder; it is asked twice, once for
  // appDir and once for the version file, as both are fixed here.
  appDir_ = platform::userLibraryFolder().value_or("");
  if (auto temporary = platform::temporaryFolder(APPLICATION_NAME())) {
    tempURL_ = std::string(platform::withoutTrailingSlashes(
        std::filesystem::path(*temporary).lexically_normal().string()));
  }
  versionLocation_ =
      platform::userLibraryFolder().value_or("") + "/" + APPLICATION_NAME() + "/version.txt";
  ChooseCase.store(0);
}

std::string ViewController::installFolder() const {
  return appDir_ + "/" + APPLICATION_NAME();
}

std::optional<std::string> ViewController::extractionFolder() const {
  if (!tempURL_) return std::nullopt;
  return *tempURL_ + "/Content";
}

void ViewController::viewDidLoad() {
  platform::printLine(appDir_);
  RunInBackground();
}

void ViewController::RunInBackground() {
  auto self = shared_from_this();
  environment_.backgroundQueue->post([self] { self->RunWorkflow(); });
}

void ViewController::post(std::function<void(ViewController&)> task) {
  auto self = shared_from_this();
  environment_.mainQueue->post([self, task = std::move(task)] { task(*self); });
}

void ViewController::Log(const std::string& text) {
  post([text](ViewController& controller) {
    if (auto label = controller.updateLabel.lock()) label->setStringValue(text);
  });
}

void ViewController::Increase(double delta) {
  post([delta](ViewController& controller) {
    if (auto bar = controller.progressBar.lock()) {
      bar->setDoubleValue(bar->doubleValue() + delta);
      bar->display();
    }
    // Each progress step holds the main thread, so that the user sees it.
    const auto pause = controller.environment_.progressPause;
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  });
}

}  // namespace launcher
