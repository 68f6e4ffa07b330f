#include "Launcher/ViewController.h"

#include <utility>

#include "Launcher/Config.h"
#include "Launcher/platform/Console.h"

namespace launcher {

std::shared_ptr<ViewController> ViewController::create(Environment environment) {
  return std::shared_ptr<ViewController>(new ViewController(std::move(environment)));
}

ViewController::ViewController(Environment environment)
    : url(platform::Url::parse(DEFAULT_PACKAGE_ADDRESS())),
      version(0),
      environment_(std::move(environment)) {
  ChooseCase.store(0);
}

std::optional<std::string> ViewController::tempURL() const {
  if (environment_.paths.temporaryFolder.empty()) return std::nullopt;
  return environment_.paths.temporaryFolder;
}

std::optional<std::string> ViewController::extractionFolder() const {
  if (environment_.paths.extractionFolder.empty()) return std::nullopt;
  return environment_.paths.extractionFolder;
}

void ViewController::connectOutlets(const platform::WindowElements& elements) {
  updateLabel = elements.updateLabel;
  downloadBar = elements.downloadBar;
  circleBar = elements.circleBar;
  progressBar = elements.progressBar;
  downloadButton = elements.downloadButton;
  updateButton = elements.updateButton;
  proceedButton = elements.proceedButton;
  launchButton = elements.launchButton;
}

void ViewController::viewDidLoad() {
  platform::printLine(appDir());
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
    // Each progress step holds back the next display task, so that the user sees it; the
    // window itself stays responsive meanwhile.
    const auto pause = controller.environment_.progressPause;
    if (pause.count() > 0) controller.environment_.mainQueue->pause(pause);
  });
}

void ViewController::ShowDownloadProgress(const DownloadDisplay& display) {
  post([display](ViewController& controller) {
    if (auto bar = controller.downloadBar.lock()) {
      bar->setIndeterminate(display.indeterminate);
      // The text first: a window that reports the share reports it with the text that goes
      // with it.
      bar->setText(display.text);
      bar->setDoubleValue(display.percent);
    }
  });
}

}  // namespace launcher
