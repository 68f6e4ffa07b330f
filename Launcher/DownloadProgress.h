#pragma once
// What the download bar shows while the package arrives: the share received, a line of amounts,
// speed and time left, and when it is worth showing again.
//
// The downloader feeds a DownloadProgress from its own thread as bytes arrive; the progress
// decides when to show (about ten times a second, and always the full bar at the end) and hands
// each state to the controller, which posts it to the window without any display pause:
//
//   DownloadProgress progress([controller](const DownloadDisplay& display) {
//     controller->ShowDownloadProgress(display);
//   });
//   ... for each chunk written: progress.update(received, totalOrNothing);
//   ... once the whole package is there: progress.finish();
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace launcher {

// One state of the download bar.
struct DownloadDisplay {
  // The share received, 0 to 100; 0 while the size is unknown.
  double percent = 0;
  // The size is unknown: the bar shows that the transfer goes on rather than a share.
  bool indeterminate = false;
  // "45.2 MB of 157.0 MB · 4.1 MB/s · 27 s left"; empty shows no text.
  std::string text;

  bool operator==(const DownloadDisplay&) const = default;
};

// An amount in decimal units: "512 B", "45.2 kB", "157.0 MB", "1.3 GB" (one decimal from kB up,
// the unit chosen after rounding, so never "1000.0 kB").
std::string formatBytes(std::uint64_t bytes);

// Time left, rounded up to the last unit shown: "27 s", "4 min 05 s", "1 h 02 min".
std::string formatTimeLeft(std::chrono::duration<double> left);

// The bar's text: the amount received, "of" the total when known, then the speed when known, then
// the time left when the total and a speed above zero are known and bytes are still missing:
//   "45.2 MB of 157.0 MB · 4.1 MB/s · 27 s left", "45.2 MB of 157.0 MB", "45.2 MB · 4.1 MB/s".
// The pieces are joined by a middle dot (U+00B7) with a blank on each side.
std::string downloadText(std::uint64_t received, std::optional<std::uint64_t> total,
                         std::optional<double> bytesPerSecond);

// Turns byte counts into states of the download bar and decides when to show them. Used from one
// thread at a time (the download's own).
class DownloadProgress {
 public:
  using Clock = std::chrono::steady_clock;
  using Show = std::function<void(const DownloadDisplay&)>;

  // Shown at most this often; the full bar is shown whenever it is reached.
  static constexpr std::chrono::milliseconds kShowInterval{100};
  // The speed is the average over this last stretch of the transfer...
  static constexpr std::chrono::seconds kSpeedWindow{5};
  // ...and is not known before the transfer has run this long.
  static constexpr std::chrono::seconds kFirstSpeedAfter{1};

  // `show` receives each state to show; `now` tells the time (tests pass their own clock).
  explicit DownloadProgress(Show show, std::function<Clock::time_point()> now = &Clock::now);

  // `received` bytes are in; `total` is the package's size when known. Shows the new state when
  // the last was shown long enough ago, or when this one is the full bar. The share never goes
  // back; a count that does (the transfer started over) starts the speed afresh.
  void update(std::uint64_t received, std::optional<std::uint64_t> total);
  // `update` as a transfer's progress callback; usable while this object lives.
  std::function<void(std::uint64_t received, std::optional<std::uint64_t> total)> reporter() {
    return [this](std::uint64_t received, std::optional<std::uint64_t> total) {
      update(received, total);
    };
  }

  // The whole package is in: shows the full bar with the final amounts, unless it is on show.
  void finish();

 private:
  struct Sample {
    Clock::time_point time;
    std::uint64_t received;
  };

  std::optional<double> speed(Clock::time_point now) const;
  DownloadDisplay displayAt(Clock::time_point now) const;
  void showNow(const DownloadDisplay& display, Clock::time_point now);

  Show show_;
  std::function<Clock::time_point()> now_;
  std::uint64_t received_ = 0;
  std::optional<std::uint64_t> total_;
  std::deque<Sample> samples_;
  std::optional<Clock::time_point> lastShown_;
  std::optional<DownloadDisplay> shown_;
};

}  // namespace launcher
