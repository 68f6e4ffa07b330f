#include "Launcher/DownloadProgress.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace launcher {
namespace {

constexpr const char* kSeparator = " \u00b7 ";
constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};

// Whatever the process's locale: always a point and one decimal.
std::string oneDecimal(double value) {
  char digits[64];
  const auto result =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 1);
  return std::string(digits, result.ptr);
}

std::string twoDigits(std::uint64_t value) {
  std::string text = std::to_string(value);
  if (text.size() < 2) text.insert(text.begin(), '0');
  return text;
}

}  // namespace

std::string formatBytes(std::uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  for (const char* unit : kUnits) {
    value /= 1000;
    // The unit is chosen for the rounded figure: 999,960 bytes are "1.0 MB".
    if (std::round(value * 10) < 10000 || unit == kUnits[std::size(kUnits) - 1])
      return oneDecimal(value) + " " + unit;
  }
  return {};  // not reached: the last unit always answers
}

std::string formatTimeLeft(std::chrono::duration<double> left) {
  // Counted in whole seconds: a longer time (an enormous package arriving a byte at a time) shows
  // as the longest one counted, never as a number that does not fit.
  constexpr double kLongest = 1e15;
  const double seconds = std::min(std::max(0.0, left.count()), kLongest);
  const auto wholeSeconds = static_cast<std::uint64_t>(std::ceil(seconds));
  if (wholeSeconds < 60) return std::to_string(wholeSeconds) + " s";
  if (wholeSeconds < 3600)
    return std::to_string(wholeSeconds / 60) + " min " + twoDigits(wholeSeconds % 60) + " s";
  const auto minutes = static_cast<std::uint64_t>(std::ceil(seconds / 60));
  return std::to_string(minutes / 60) + " h " + twoDigits(minutes % 60) + " min";
}

std::string downloadText(std::uint64_t received, std::optional<std::uint64_t> total,
                         std::optional<double> bytesPerSecond) {
  std::string text = formatBytes(received);
  if (total) text += " of " + formatBytes(*total);
  if (!bytesPerSecond) return text;
  const double speed = std::max(0.0, *bytesPerSecond);
  text += kSeparator + formatBytes(static_cast<std::uint64_t>(std::llround(speed))) + "/s";
  if (total && speed > 0 && received < *total)
    text += kSeparator +
            formatTimeLeft(
                std::chrono::duration<double>(static_cast<double>(*total - received) / speed)) +
            " left";
  return text;
}

DownloadProgress::DownloadProgress(Show show, std::function<Clock::time_point()> now)
    : show_(std::move(show)), now_(std::move(now)) {}

void DownloadProgress::update(std::uint64_t received, std::optional<std::uint64_t> total) {
  const Clock::time_point now = now_();
  // The transfer started over: what came before says nothing about its speed.
  if (received < received_) samples_.clear();
  received_ = received;
  total_ = total;
  // Samples often enough for the average, not one per chunk.
  if (samples_.empty() || now - samples_.back().time >= kShowInterval / 2)
    samples_.push_back({now, received});
  // Keep the newest sample from before the window, so that the average spans all of it.
  while (samples_.size() >= 2 && samples_[1].time <= now - kSpeedWindow) samples_.pop_front();

  // Called for every piece written: the state is only made when it is shown.
  const bool due = !lastShown_ || now - *lastShown_ >= kShowInterval;
  const bool full = total_ && received_ >= *total_;
  const bool fullShown = shown_ && !shown_->indeterminate && shown_->percent >= 100;
  if (due || (full && !fullShown)) showNow(displayAt(now), now);
}

void DownloadProgress::finish() {
  const Clock::time_point now = now_();
  if (!total_ || *total_ < received_) total_ = received_;
  received_ = *total_;
  if (shown_ && !shown_->indeterminate && shown_->percent >= 100) return;
  showNow(displayAt(now), now);
}

std::optional<double> DownloadProgress::speed(Clock::time_point now) const {
  if (samples_.empty()) return std::nullopt;
  const Sample& oldest = samples_.front();
  const std::chrono::duration<double> span = now - oldest.time;
  if (span < kFirstSpeedAfter || received_ < oldest.received) return std::nullopt;
  return static_cast<double>(received_ - oldest.received) / span.count();
}

DownloadDisplay DownloadProgress::displayAt(Clock::time_point now) const {
  DownloadDisplay display;
  display.indeterminate = !total_.has_value();
  if (total_) {
    display.percent = *total_ == 0 ? 100.0
                                   : std::min(100.0, static_cast<double>(received_) * 100.0 /
                                                         static_cast<double>(*total_));
  }
  // The bar never goes back.
  if (shown_ && !display.indeterminate)
    display.percent = std::max(display.percent, shown_->percent);
  display.text = downloadText(received_, total_, speed(now));
  return display;
}

void DownloadProgress::showNow(const DownloadDisplay& display, Clock::time_point now) {
  lastShown_ = now;
  shown_ = display;
  if (show_) show_(display);
}

}  // namespace launcher
