#pragma once
// Test doubles for the platform services the controller uses.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Launcher/ViewController.h"
#include "Launcher/platform/Alerts.h"
#include "Launcher/platform/Application.h"
#include "Launcher/platform/Controls.h"
#include "Launcher/platform/Dispatch.h"
#include "Launcher/platform/HttpSession.h"

namespace launcher::testing {

// Every element change and every alert, in the order they happened, from any thread.
class Journal {
 public:
  void add(std::string event);
  std::vector<std::string> events() const;
  // Only the events that start with `prefix`, with the prefix removed.
  std::vector<std::string> eventsWithPrefix(const std::string& prefix) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

// Window elements that record each change as "<name> <change>" in a journal:
// "updateLabel text=...", "progressBar delta=...", "launchButton hidden=0", "circleBar animate",
// "downloadBar text=...", "downloadBar indeterminate=1".
class RecordingTextField final : public platform::TextField {
 public:
  RecordingTextField(std::string name, std::shared_ptr<Journal> journal);
  void setHidden(bool hidden) override;
  bool isHidden() const override { return hidden_; }
  void setStringValue(const std::string& text) override;
  std::string stringValue() const override { return text_; }

 private:
  std::string name_;
  std::shared_ptr<Journal> journal_;
  bool hidden_ = false;
  std::string text_;
};

class RecordingIndicator final : public platform::ProgressIndicator {
 public:
  RecordingIndicator(std::string name, std::shared_ptr<Journal> journal, bool hidden);
  void setHidden(bool hidden) override;
  bool isHidden() const override { return hidden_; }
  double doubleValue() const override { return value_; }
  void setDoubleValue(double value) override;
  void startAnimation() override;
  void display() override {}
  void setText(const std::string& text) override;
  std::string text() const override { return text_; }
  void setIndeterminate(bool indeterminate) override;
  bool isIndeterminate() const override { return indeterminate_; }

 private:
  std::string name_;
  std::shared_ptr<Journal> journal_;
  bool hidden_;
  double value_ = 0;
  std::string text_;
  bool indeterminate_ = false;
};

class RecordingButton final : public platform::Button {
 public:
  RecordingButton(std::string name, std::shared_ptr<Journal> journal);
  void setHidden(bool hidden) override;
  bool isHidden() const override { return hidden_; }

 private:
  std::string name_;
  std::shared_ptr<Journal> journal_;
  bool hidden_ = true;
};

// The window's elements, owned here. Buttons and circleBar start hidden, as in the real window.
struct RecordingWindow : platform::WindowElements {
  explicit RecordingWindow(std::shared_ptr<Journal> journal);
};

// A main queue whose tasks run only when the test says so, on the test's thread. A pause holds
// the queue as in a window, for real time; the test sees the pauses asked for and may skip one.
class ManualMainQueue final : public platform::MainQueue {
 public:
  ManualMainQueue();
  void post(platform::Task task) override;
  bool isMainThread() const override;
  void pause(std::chrono::steady_clock::duration duration) override;
  // Runs posted tasks until none is left or a pause holds the rest; returns how many ran.
  int runAll() { return queue_.runAll(); }
  bool runNext() { return queue_.runNext(); }
  bool hasPending() const { return queue_.hasPending(); }
  void discardPending() { queue_.discardPending(); }
  std::size_t postedCount() const { return posted_.load(); }
  // Every pause asked for so far, in order.
  std::vector<std::chrono::steady_clock::duration> pauses() const;
  bool isPaused() const { return queue_.heldUntil().has_value(); }
  // Ends the pause under way, as if its time had passed.
  void skipPause() { queue_.releaseHold(); }

 private:
  platform::SerialTaskQueue queue_;
  std::thread::id mainThread_;
  std::atomic<std::size_t> posted_{0};
  mutable std::mutex mutex_;
  std::vector<std::chrono::steady_clock::duration> pauses_;
};

// A main queue served by a thread of its own, like a window's event loop.
class ThreadMainQueue final : public platform::MainQueue {
 public:
  ThreadMainQueue();
  ~ThreadMainQueue() override;
  void post(platform::Task task) override;
  bool isMainThread() const override;
  // The loop's thread waits out the pause before it takes the next task.
  void pause(std::chrono::steady_clock::duration duration) override;
  // Waits until every task posted so far has run.
  void drain();

 private:
  void loop();
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<platform::Task> tasks_;
  std::optional<std::chrono::steady_clock::time_point> notBefore_;
  bool stop_ = false;
  std::size_t posted_ = 0, done_ = 0;
  std::thread thread_;
};

// Background tasks kept until the test starts them.
class ManualBackgroundQueue final : public platform::BackgroundQueue {
 public:
  void post(platform::Task task) override;
  std::size_t count() const;
  // Runs the oldest kept task on a new thread; returns that thread (joinable).
  std::thread startNext();
  void clear();

 private:
  mutable std::mutex mutex_;
  std::deque<platform::Task> tasks_;
};

// Alerts answered with pre-queued codes (1000, the first button, when none is queued). Every alert
// shown is recorded, and also written to the journal as "alert <message>|<informative>|<buttons>".
// With hold(), runModal blocks until the test calls answer().
class ScriptedAlerts final : public platform::Alerts {
 public:
  explicit ScriptedAlerts(std::shared_ptr<Journal> journal = nullptr);
  long runModal(const platform::Alert& alert) override;
  void queueAnswer(long code);
  // The next alert throws std::bad_alloc rather than show, as when the memory for it runs out.
  void failNextWithoutMemory();
  void hold();
  void answer(long code);
  // Waits until `count` alerts have been shown (or the timeout passes); true when they were.
  bool waitForAlerts(std::size_t count,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::vector<platform::Alert> shown() const;
  std::vector<std::thread::id> threads() const;

 private:
  std::shared_ptr<Journal> journal_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<long> answers_;
  std::vector<platform::Alert> shown_;
  std::vector<std::thread::id> threads_;
  bool holding_ = false;
  bool failNext_ = false;
  std::optional<long> heldAnswer_;
};

// Records terminate(). Like the real one it does not return: the calling thread is parked for the
// rest of the test program, unless constructed with parkOnTerminate = false.
class RecordingApplication final : public platform::Application {
 public:
  explicit RecordingApplication(bool parkOnTerminate = true) : park_(parkOnTerminate) {}
  void terminate() override;
  int terminateCount() const;
  bool waitForTerminate(std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  bool park_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

class RecordingWorkspace final : public platform::Workspace {
 public:
  explicit RecordingWorkspace(bool answer = true) : answer_(answer) {}
  bool launchApplication(const std::string& name) override;
  std::vector<std::string> requests() const;

 private:
  bool answer_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

// Answers every request with a canned body or transport error, on a thread of its own.
class StubHttpSession final : public platform::HttpSession {
 public:
  void dataTask(const platform::Url& url, platform::DataTaskCompletion completion) override;
  void answerWithBody(std::string body);
  void answerWithError(std::string description);
  // From now on dataTask throws std::bad_alloc, as when the memory for the request runs out.
  void answerWithoutMemory();
  std::vector<std::string> requestedUrls() const;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> body_ = std::string();
  std::optional<std::string> error_;
  bool noMemory_ = false;
  std::vector<std::string> urls_;
};

// The real libcurl session, with the request for the configured version address sent to `target`
// (a local server) instead; any other address is refused as a transport error.
class RetargetingHttpSession final : public platform::HttpSession {
 public:
  explicit RetargetingHttpSession(std::string target) : target_(std::move(target)) {}
  void dataTask(const platform::Url& url, platform::DataTaskCompletion completion) override;

 private:
  std::string target_;
  platform::CurlHttpSession session_;
};

// Everything a controller test needs: doubles wired into an Environment with zero pauses.
struct TestRig {
  TestRig();
  // Drops tasks that were never run: they hold the controller, which holds the queues.
  ~TestRig();
  // Creates the controller with the per-user folders that the environment points at (a temporary
  // folder already) and connects the recording window.
  std::shared_ptr<ViewController> makeController();
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  RecordingWindow window{journal};
  std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
  std::shared_ptr<ManualBackgroundQueue> background = std::make_shared<ManualBackgroundQueue>();
  std::shared_ptr<ScriptedAlerts> alerts = std::make_shared<ScriptedAlerts>(journal);
  std::shared_ptr<RecordingApplication> application = std::make_shared<RecordingApplication>();
  std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
  std::shared_ptr<StubHttpSession> http = std::make_shared<StubHttpSession>();
  Environment environment;
};

}  // namespace launcher::testing
