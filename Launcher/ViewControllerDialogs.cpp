// Alerts and the actions of the window's buttons.
#include "Launcher/ViewController.h"

namespace launcher {

bool ViewController::dialogOKCancel(const std::string& question, const std::string& text) {
  platform::Alert alert;
  alert.messageText = question;
  alert.informativeText = text;
  alert.style = platform::kCriticalAlertStyle;
  alert.buttons = {"Exit"};
  // Exit quits and writes nothing: the install sequence has already recorded the version that
  // is installed (the previous one after a failure), and overwriting it with "0" would make the
  // next start offer a download although a working application is there.
  if (environment_.alerts->runModal(alert) == platform::kAlertFirstButtonReturn)
    environment_.application->terminate();
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
