#pragma once
// Window elements as the controller sees them. The window owns them; the controller holds weak
// references (its outlets). Every call happens on the main thread.
#include <memory>
#include <string>

namespace launcher::platform {

class Control {
 public:
  virtual ~Control() = default;
  virtual void setHidden(bool hidden) = 0;
  virtual bool isHidden() const = 0;
};

class TextField : public Control {
 public:
  virtual void setStringValue(const std::string& text) = 0;
  virtual std::string stringValue() const = 0;
};

class ProgressIndicator : public Control {
 public:
  virtual double doubleValue() const = 0;
  virtual void setDoubleValue(double value) = 0;
  virtual void startAnimation() = 0;
  // Draws the element now, so that a change is visible before the main thread pauses.
  virtual void display() = 0;
  // The text shown in or beside the bar, e.g. what a download has brought so far; an empty text
  // shows none.
  virtual void setText(const std::string& text) = 0;
  virtual std::string text() const = 0;
  // The size of the work is unknown: the bar shows that it goes on, not how far. Its value is
  // kept meanwhile and shown again when the bar becomes determinate.
  virtual void setIndeterminate(bool indeterminate) = 0;
  virtual bool isIndeterminate() const = 0;
};

class Button : public Control {};

// A window's eight elements, named like the controller's outlets; the window fills it with its
// own elements and the controller connects its outlets from it.
struct WindowElements {
  std::shared_ptr<TextField> updateLabel;
  std::shared_ptr<ProgressIndicator> downloadBar;
  std::shared_ptr<ProgressIndicator> circleBar;
  std::shared_ptr<ProgressIndicator> progressBar;
  std::shared_ptr<Button> downloadButton;
  std::shared_ptr<Button> updateButton;
  std::shared_ptr<Button> proceedButton;
  std::shared_ptr<Button> launchButton;
};

// The elements of a window that offers them under the outlets' names: updateLabel(), ...
template <typename Window>
WindowElements elementsOf(const Window& window) {
  return {.updateLabel = window.updateLabel(),
          .downloadBar = window.downloadBar(),
          .circleBar = window.circleBar(),
          .progressBar = window.progressBar(),
          .downloadButton = window.downloadButton(),
          .updateButton = window.updateButton(),
          .proceedButton = window.proceedButton(),
          .launchButton = window.launchButton()};
}

}  // namespace launcher::platform
