#include "tests/support/Doubles.h"

#include <new>
#include <sstream>
#include <utility>

#include "Launcher/Config.h"

namespace launcher::testing {

// ---- Journal
void Journal::add(std::string event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}
std::vector<std::string> Journal::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}
std::vector<std::string> Journal::eventsWithPrefix(const std::string& prefix) const {
  std::vector<std::string> result;
  for (const auto& event : events())
    if (event.starts_with(prefix)) result.push_back(event.substr(prefix.size()));
  return result;
}
void Journal::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

namespace {
std::string number(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}
}  // namespace

// ---- Elements
RecordingTextField::RecordingTextField(std::string name, std::shared_ptr<Journal> journal)
    : name_(std::move(name)), journal_(std::move(journal)) {}
void RecordingTextField::setHidden(bool hidden) {
  hidden_ = hidden;
  journal_->add(name_ + " hidden=" + (hidden ? "1" : "0"));
}
void RecordingTextField::setStringValue(const std::string& text) {
  text_ = text;
  journal_->add(name_ + " text=" + text);
}

RecordingIndicator::RecordingIndicator(std::string name, std::shared_ptr<Journal> journal,
                                       bool hidden)
    : name_(std::move(name)), journal_(std::move(journal)), hidden_(hidden) {}
void RecordingIndicator::setHidden(bool hidden) {
  hidden_ = hidden;
  journal_->add(name_ + " hidden=" + (hidden ? "1" : "0"));
}
void RecordingIndicator::setDoubleValue(double value) {
  journal_->add(name_ + " delta=" + number(value - value_));
  value_ = value;
}
void RecordingIndicator::startAnimation() {
  journal_->add(name_ + " animate");
}
void RecordingIndicator::setText(const std::string& text) {
  text_ = text;
  journal_->add(name_ + " text=" + text);
}
void RecordingIndicator::setIndeterminate(bool indeterminate) {
  indeterminate_ = indeterminate;
  journal_->add(name_ + " indeterminate=" + (indeterminate ? "1" : "0"));
}

RecordingButton::RecordingButton(std::string name, std::shared_ptr<Journal> journal)
    : name_(std::move(name)), journal_(std::move(journal)) {}
void RecordingButton::setHidden(bool hidden) {
  hidden_ = hidden;
  journal_->add(name_ + " hidden=" + (hidden ? "1" : "0"));
}

RecordingWindow::RecordingWindow(std::shared_ptr<Journal> journal)
    : platform::WindowElements{
          .updateLabel = std::make_shared<RecordingTextField>("updateLabel", journal),
          .downloadBar = std::make_shared<RecordingIndicator>("downloadBar", journal, false),
          .circleBar = std::make_shared<RecordingIndicator>("circleBar", journal, true),
          .progressBar = std::make_shared<RecordingIndicator>("progressBar", journal, false),
          .downloadButton = std::make_shared<RecordingButton>("downloadButton", journal),
          .updateButton = std::make_shared<RecordingButton>("updateButton", journal),
          .proceedButton = std::make_shared<RecordingButton>("proceedButton", journal),
          .launchButton = std::make_shared<RecordingButton>("launchButton", journal)} {}

// ---- Queues
ManualMainQueue::ManualMainQueue() : queue_(nullptr), mainThread_(std::this_thread::get_id()) {}
void ManualMainQueue::post(platform::Task task) {
  ++posted_;
  queue_.post(std::move(task));
}
bool ManualMainQueue::isMainThread() const {
  return std::this_thread::get_id() == mainThread_;
}
void ManualMainQueue::pause(std::chrono::steady_clock::duration duration) {
  {
    std::lock_guard lock(mutex_);
    pauses_.push_back(duration);
  }
  queue_.holdUntil(std::chrono::steady_clock::now() + duration);
}
std::vector<std::chrono::steady_clock::duration> ManualMainQueue::pauses() const {
  std::lock_guard lock(mutex_);
  return pauses_;
}

ThreadMainQueue::ThreadMainQueue() : thread_([this] { loop(); }) {}
ThreadMainQueue::~ThreadMainQueue() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}
void ThreadMainQueue::post(platform::Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    ++posted_;
  }
  changed_.notify_all();
}
bool ThreadMainQueue::isMainThread() const {
  return std::this_thread::get_id() == thread_.get_id();
}
void ThreadMainQueue::pause(std::chrono::steady_clock::duration duration) {
  std::lock_guard lock(mutex_);
  notBefore_ = std::chrono::steady_clock::now() + duration;
}
void ThreadMainQueue::drain() {
  std::unique_lock lock(mutex_);
  const std::size_t target = posted_;
  changed_.wait(lock, [&] { return done_ >= target; });
}
void ThreadMainQueue::loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || !tasks_.empty(); });
    if (tasks_.empty()) return;
    if (notBefore_) {
      const auto until = *std::exchange(notBefore_, std::nullopt);
      if (changed_.wait_until(lock, until, [&] { return stop_; })) return;
    }
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
    ++done_;
    changed_.notify_all();
  }
}

void ManualBackgroundQueue::post(platform::Task task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
}
std::size_t ManualBackgroundQueue::count() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}
void ManualBackgroundQueue::clear() {
  std::deque<platform::Task> dropped;
  std::lock_guard lock(mutex_);
  dropped.swap(tasks_);
}
std::thread ManualBackgroundQueue::startNext() {
  platform::Task task;
  {
    std::lock_guard lock(mutex_);
    if (tasks_.empty()) return {};
    task = std::move(tasks_.front());
    tasks_.pop_front();
  }
  return std::thread(std::move(task));
}

// ---- Alerts
ScriptedAlerts::ScriptedAlerts(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}

long ScriptedAlerts::runModal(const platform::Alert& alert) {
  std::unique_lock lock(mutex_);
  if (std::exchange(failNext_, false)) throw std::bad_alloc();
  shown_.push_back(alert);
  threads_.push_back(std::this_thread::get_id());
  if (journal_) {
    std::string buttons;
    for (const auto& button : alert.buttons) buttons += (buttons.empty() ? "" : ",") + button;
    journal_->add("alert " + alert.messageText + "|" + alert.informativeText + "|" + buttons);
  }
  changed_.notify_all();
  if (holding_) {
    changed_.wait(lock, [&] { return heldAnswer_.has_value(); });
    const long code = *heldAnswer_;
    heldAnswer_.reset();
    return code;
  }
  if (answers_.empty()) return platform::kAlertFirstButtonReturn;
  const long code = answers_.front();
  answers_.pop_front();
  return code;
}
void ScriptedAlerts::failNextWithoutMemory() {
  std::lock_guard lock(mutex_);
  failNext_ = true;
}
void ScriptedAlerts::queueAnswer(long code) {
  std::lock_guard lock(mutex_);
  answers_.push_back(code);
}
void ScriptedAlerts::hold() {
  std::lock_guard lock(mutex_);
  holding_ = true;
}
void ScriptedAlerts::answer(long code) {
  std::lock_guard lock(mutex_);
  heldAnswer_ = code;
  changed_.notify_all();
}
bool ScriptedAlerts::waitForAlerts(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return shown_.size() >= count; });
}
std::vector<platform::Alert> ScriptedAlerts::shown() const {
  std::lock_guard lock(mutex_);
  return shown_;
}
std::vector<std::thread::id> ScriptedAlerts::threads() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

// ---- Application and workspace
void RecordingApplication::terminate() {
  {
    std::lock_guard lock(mutex_);
    ++count_;
  }
  changed_.notify_all();
  if (!park_) return;
  // The process would have ended here: nothing after terminate() may run on this thread.
  std::mutex parked;
  std::unique_lock lock(parked);
  std::condition_variable never;
  for (;;) never.wait(lock);
}
int RecordingApplication::terminateCount() const {
  std::lock_guard lock(mutex_);
  return count_;
}
bool RecordingApplication::waitForTerminate(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return count_ > 0; });
}

bool RecordingWorkspace::launchApplication(const std::string& name) {
  std::lock_guard lock(mutex_);
  requests_.push_back(name);
  return answer_;
}
std::vector<std::string> RecordingWorkspace::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

// ---- HTTP
void StubHttpSession::dataTask(const platform::Url& url, platform::DataTaskCompletion completion) {
  std::optional<std::string> body;
  std::optional<platform::HttpError> error;
  {
    std::lock_guard lock(mutex_);
    urls_.push_back(url.string());
    if (noMemory_) throw std::bad_alloc();
    if (error_)
      error = platform::HttpError{*error_};
    else
      body = body_;
  }
  std::thread([completion = std::move(completion), body, error] {
    completion(body, error);
  }).detach();
}
void StubHttpSession::answerWithBody(std::string body) {
  std::lock_guard lock(mutex_);
  body_ = std::move(body);
  error_.reset();
}
void StubHttpSession::answerWithError(std::string description) {
  std::lock_guard lock(mutex_);
  error_ = std::move(description);
}
void StubHttpSession::answerWithoutMemory() {
  std::lock_guard lock(mutex_);
  noMemory_ = true;
}
std::vector<std::string> StubHttpSession::requestedUrls() const {
  std::lock_guard lock(mutex_);
  return urls_;
}

void RetargetingHttpSession::dataTask(const platform::Url& url,
                                      platform::DataTaskCompletion completion) {
  const auto target = platform::Url::parse(target_);
  if (url.string() != "http://" + APPLICATION_VERSION_PATH() || !target) {
    completion(std::nullopt, platform::HttpError{"unexpected request for " + url.string()});
    return;
  }
  session_.dataTask(*target, std::move(completion));
}

// ---- Rig
TestRig::TestRig() {
  environment.mainQueue = mainQueue;
  environment.backgroundQueue = background;
  environment.alerts = alerts;
  environment.application = application;
  environment.workspace = workspace;
  environment.httpSession = http;
  environment.progressPause = std::chrono::microseconds(0);
  environment.finishingPause = std::chrono::microseconds(0);
}

TestRig::~TestRig() {
  background->clear();
  mainQueue->discardPending();
}

std::shared_ptr<ViewController> TestRig::makeController() {
  const auto paths = platform::lookUpUserPaths(APPLICATION_NAME());
  if (!paths) return nullptr;
  environment.paths = *paths;
  auto controller = ViewController::create(environment);
  controller->connectOutlets(window);
  return controller;
}

}  // namespace launcher::testing
