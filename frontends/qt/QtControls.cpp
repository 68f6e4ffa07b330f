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

QtProgressIndicator::QtProgressIndicator(QProgressBar* bar, QLabel* textLabel)
    : bar_(bar), textLabel_(textLabel) {
  if (bar_) {
    maximum_ = bar_->maximum();
    value_ = bar_->value() < bar_->minimum() ? bar_->minimum() : bar_->value();
  }
}

void QtProgressIndicator::setDoubleValue(double value) {
  value_ = value;
  showValue();
}

void QtProgressIndicator::showValue() {
  // A busy indicator shows no value, and no step is nearest to NaN.
  if (!bar_ || bar_->maximum() <= bar_->minimum() || std::isnan(value_)) return;
  // QProgressBar ignores values outside its range; show the nearest end instead.
  const double shown = std::clamp(std::round(value_), static_cast<double>(bar_->minimum()),
                                  static_cast<double>(bar_->maximum()));
  bar_->setValue(static_cast<int>(shown));
}

void QtProgressIndicator::setText(const std::string& text) {
  text_ = text;
  const QString shown = QString::fromStdString(text);
  if (textLabel_) {
    textLabel_->setText(shown);
    textLabel_->setHidden(text.empty());
  } else if (bar_) {
    // In a bar's format %p, %v and %m are placeholders; a zero-width space keeps them as typed.
    QString format = shown;
    for (const char* placeholder : {"%p", "%v", "%m"})
      format.replace(QLatin1String(placeholder),
                     QString(QChar('%')) + QChar(0x200B) + QLatin1Char(placeholder[1]));
    bar_->setFormat(format);
    bar_->setTextVisible(!text.empty());
  }
}

void QtProgressIndicator::setIndeterminate(bool indeterminate) {
  if (indeterminate == indeterminate_) return;
  indeterminate_ = indeterminate;
  if (!bar_ || animating_) return;
  bar_->setRange(0, indeterminate ? 0 : maximum_);
  if (!indeterminate) showValue();
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
