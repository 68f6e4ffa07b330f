#include "frontends/tty/TerminalControls.h"

#include <utility>

namespace launcher::tty {

TerminalTextField::TerminalTextField(std::string name, ElementObserver& observer, std::string text)
    : name_(std::move(name)), observer_(observer), text_(std::move(text)) {}

void TerminalTextField::setHidden(bool hidden) {
  if (hidden == hidden_) return;
  hidden_ = hidden;
  observer_.visibilityChanged(name_, hidden);
}

void TerminalTextField::setStringValue(const std::string& text) {
  text_ = text;
  observer_.textChanged(name_, text_);
}

TerminalProgressIndicator::TerminalProgressIndicator(std::string name, ElementObserver& observer,
                                                     bool hidden)
    : name_(std::move(name)), observer_(observer), hidden_(hidden) {}

void TerminalProgressIndicator::setHidden(bool hidden) {
  if (hidden == hidden_) return;
  hidden_ = hidden;
  observer_.visibilityChanged(name_, hidden);
}

void TerminalProgressIndicator::setDoubleValue(double value) {
  value_ = value;
  observer_.valueChanged(name_, value_);
}

void TerminalProgressIndicator::startAnimation() {
  animating_ = true;
  observer_.animationStarted(name_);
}

void TerminalProgressIndicator::setText(const std::string& text) {
  if (text == text_) return;
  text_ = text;
  observer_.textChanged(name_, text_);
}

void TerminalProgressIndicator::setIndeterminate(bool indeterminate) {
  if (indeterminate == indeterminate_) return;
  indeterminate_ = indeterminate;
  observer_.indeterminateChanged(name_, indeterminate);
}

TerminalButton::TerminalButton(std::string name, std::string word, ElementObserver& observer)
    : name_(std::move(name)), word_(std::move(word)), observer_(observer) {}

void TerminalButton::setHidden(bool hidden) {
  if (hidden == hidden_) return;
  hidden_ = hidden;
  observer_.visibilityChanged(name_, hidden);
}

}  // namespace launcher::tty
