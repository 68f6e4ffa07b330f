#pragma once
// The window's elements in the terminal. Each keeps its own state and reports every change to the
// window, which draws it. Used on the main thread only, like any window element.
#include <string>

#include "Launcher/platform/Controls.h"

namespace launcher::tty {

class ElementObserver {
 public:
  virtual ~ElementObserver() = default;
  // `name` is the element's outlet name, e.g. "downloadButton".
  virtual void visibilityChanged(const std::string& name, bool hidden) = 0;
  virtual void textChanged(const std::string& name, const std::string& text) = 0;
  virtual void valueChanged(const std::string& name, double value) = 0;
  virtual void animationStarted(const std::string& name) = 0;
  // A progress indicator's size became unknown (or known again).
  virtual void indeterminateChanged(const std::string& name, bool indeterminate) = 0;
  // Draw now: the main thread is about to pause.
  virtual void displayRequested() = 0;
};

class TerminalTextField final : public platform::TextField {
 public:
  TerminalTextField(std::string name, ElementObserver& observer, std::string text);
  void setHidden(bool hidden) override;
  bool isHidden() const override { return hidden_; }
  void setStringValue(const std::string& text) override;
  std::string stringValue() const override { return text_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  ElementObserver& observer_;
  std::string text_;
  bool hidden_ = false;
};

class TerminalProgressIndicator final : public platform::ProgressIndicator {
 public:
  TerminalProgressIndicator(std::string name, ElementObserver& observer, bool hidden);
  void setHidden(bool hidden) override;
  bool isHidden() const override { return hidden_; }
  double doubleValue() const override { return value_; }
  void setDoubleValue(double value) override;
  void startAnimation() override;
  void display() override { observer_.displayRequested(); }
  // A new text is reported through textChanged.
  void setText(const std::string& text) override;
  std::string text() const override { return text_; }
  void setIndeterminate(bool indeterminate) override;
  bool isIndeterminate() const override { return indeterminate_; }
  bool isAnimating() const { return animating_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  ElementObserver& observer_;
  bool hidden_;
  double value_ = 0;
  std::string text_;
  bool animating_ = false;
  bool indeterminate_ = false;
};

class TerminalButton final : public platform::Button {
 public:
  // `word` is what the user types to press it, e.g. "download".
  TerminalButton(std::string name, std::string word, ElementObserver& observer);
  void setHidden(bool hidden) override;
  bool isHidden() const override { return hidden_; }
  const std::string& name() const { return name_; }
  const std::string& word() const { return word_; }

 private:
  std::string name_;
  std::string word_;
  ElementObserver& observer_;
  bool hidden_ = true;
};

}  // namespace launcher::tty
