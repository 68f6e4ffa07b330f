// Alerts and the actions of the window's buttons.
#include "Launcher/ViewController.h"

namespace launcher {

bool ViewController::dialogOKCancel(const std::string& question, const std::string& text) {
  platform::Alert alert;
  alert.messageText = question;
  alert.informativeText = text;
  alert.style = platform::kCriticalAlertStyle;
  alert.buttons = {"Exit"};
  if (environment_.alerts->runModal(alert) == platform::kAlertFirstButtonReturn) {
    // The next start finds nothing installed and offers a fresh download.
    WriteVersion("0");
    environment_.application->terminate();
  }
  return false;
}

void ViewController::DisplayAlert(const std::string& message) {
  platform::Alert alert;
  alert.messageText = message;
  alert.style = platform::kCriticalAlertStyle;
  alert.buttons = {"OK"};
  environment_.alerts->runModal(alert);
}

void ViewController::ExitNow(platform::Control*) {
  environment_.application->terminate();
}

void ViewController::OneEvent(platform::Control*) {
  ChooseCase.store(1);
  ChooseCase.notify_all();
}

void ViewController::TwoEvent(platform::Control*) {
  ChooseCase.store(2);
  ChooseCase.notify_all();
}

std::int64_t ViewController::WaitForChoice() {
  // Sleeps until an offer button stores a non-zero answer.
  std::int64_t choice = ChooseCase.load();
  while (choice == 0) {
    ChooseCase.wait(0);
    choice = ChooseCase.load();
  }
  return choice;
}

}  // namespace launcher
