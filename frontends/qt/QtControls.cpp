#include "frontends/qt/QtControls.h"

#include <algorithm>
#include <cmath>

namespace launcher::qt {

bool isWidgetHidden(const QWidget* widget) {
  if (widget == nullptr) return true;
  const QWidget* parent = widget->parentWidget();
  return parent != nullptr ? !widget->isVisibleTo(parent) : widget->isHidden();
}

void setWidgetHidden(QWidget* widget, bool hidden) {
  if (widget != nullptr) widget->setHidden(hidden);
}

void QtTextField::setStringValue(const std::string& text) {
  if (label_) label_->setText(QString::fromStdString(text));
}

std::string QtTextField::stringValue() const {
  return label_ ? label_->text().toStdString() : std::string();
}

QtProgressIndicator::QtProgressIndicator(QProgressBar* bar) : bar_(bar) {
  if (bar_) value_ = bar_->value() < bar_->minimum() ? bar_->minimum() : bar_->value();
}

void QtProgressIndicator::setDoubleValue(double value) {
  value_ = value;
  // A busy indicator shows no value, and no step is nearest to NaN.
  if (!bar_ || bar_->maximum() <= bar_->minimum() || std::isnan(value)) return;
  // QProgressBar ignores values outside its range; show the nearest end instead.
  const double shown = std::clamp(std::round(value), static_cast<double>(bar_->minimum()),
                                  static_cast<double>(bar_->maximum()));
  bar_->setValue(static_cast<int>(shown));
}

void QtProgressIndicator::startAnimation() {
  animating_ = true;
  // With an empty range Qt draws the busy animation for as long as the bar is shown.
  if (bar_) bar_->setRange(0, 0);
}

void QtProgressIndicator::display() {
  if (bar_) bar_->repaint();
}

}  // namespace launcher::qt
