#pragma once
// The window's elements as the controller sees them, each wrapping one Qt widget. The widgets
// belong to the window (their Qt parent); a wrapper whose widget has gone does nothing.
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <string>

#include "Launcher/platform/Controls.h"

namespace launcher::qt {

// Hidden means hidden by request: an element of a window that is not shown yet is not hidden.
bool isWidgetHidden(const QWidget* widget);
void setWidgetHidden(QWidget* widget, bool hidden);

class QtTextField final : public platform::TextField {
 public:
  explicit QtTextField(QLabel* label) : label_(label) {}
  void setHidden(bool hidden) override { setWidgetHidden(label_, hidden); }
  bool isHidden() const override { return isWidgetHidden(label_); }
  void setStringValue(const std::string& text) override;
  std::string stringValue() const override;
  QLabel* widget() const { return label_; }

 private:
  QPointer<QLabel> label_;
};

// A determinate bar (range 0..100) or a busy indicator (range 0..0, animated by Qt while shown).
// The value is kept as a double; the bar shows it rounded to the nearest whole step inside its
// range. Its text goes into `textLabel` when the window gives one (hidden while empty), else
// into the bar. Indeterminate, the bar takes the busy range, and its own range back afterwards.
class QtProgressIndicator final : public platform::ProgressIndicator {
 public:
  explicit QtProgressIndicator(QProgressBar* bar, QLabel* textLabel = nullptr);
  void setHidden(bool hidden) override { setWidgetHidden(bar_, hidden); }
  bool isHidden() const override { return isWidgetHidden(bar_); }
  double doubleValue() const override { return value_; }
  void setDoubleValue(double value) override;
  void startAnimation() override;
  void display() override;
  void setText(const std::string& text) override;
  std::string text() const override { return text_; }
  void setIndeterminate(bool indeterminate) override;
  bool isIndeterminate() const override { return indeterminate_; }
  QProgressBar* widget() const { return bar_; }

 private:
  void showValue();

  QPointer<QProgressBar> bar_;
  QPointer<QLabel> textLabel_;
  int maximum_ = 0;  // the bar's own range is 0..maximum_
  double value_ = 0;
  std::string text_;
  bool animating_ = false;
  bool indeterminate_ = false;
};

class QtButton final : public platform::Button {
 public:
  explicit QtButton(QPushButton* button) : button_(button) {}
  void setHidden(bool hidden) override { setWidgetHidden(button_, hidden); }
  bool isHidden() const override { return isWidgetHidden(button_); }
  QPushButton* widget() const { return button_; }

 private:
  QPointer<QPushButton> button_;
};

}  // namespace launcher::qt
