#include "tools/feed/FeedServer.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <system_error>
#include <thread>
#include <vector>

#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Text.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher::feed {
namespace {
namespace fs = std::filesystem;

constexpr std::size_t kChunkSize = std::size_t{64} * 1024;
// Workers answering requests. A download holds one for as long as it lasts: with the library's
// default (eight on a machine of few cores), eight launchers fetching a package over slow lines
// left every other request, the version document's too, waiting until one of them ended.
constexpr std::size_t kWorkers = 64;
constexpr char kAllowedMethods[] = "GET, HEAD";

bool isHidden(const fs::path& relative) {
  return std::any_of(relative.begin(), relative.end(), [](const fs::path& component) {
    const std::string text = component.string();
    return !text.empty() && text.front() == '.';
  });
}

// An answer that is not the file: httplib would send only the part of its text that a Range
// names, and make a 404 asked for a part past that text's end a 416. It goes whole; the ranges are
// the one thing changed in httplib's request, handed over as const.
void answer(const httplib::Request& request, httplib::Response& response, int status,
            const std::string& text) {
  const_cast<httplib::Ranges&>(request.ranges).clear();
  response.status = status;
  response.set_content(text + "\n", "text/plain");
}

// A strong validator of the file as it is: another file put in its place (the publisher renames
// new files into place) or a change of its size or time gives another tag.
std::string entityTag(const struct stat& status) {
  char tag[96];  // three 64-bit numbers in hex: always fits
  static_cast<void>(std::snprintf(
      tag, sizeof tag, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(status.st_ino),
      static_cast<unsigned long long>(status.st_size),
      static_cast<unsigned long long>(status.st_mtim.tv_sec) * 1000000000ULL +
          static_cast<unsigned long long>(status.st_mtim.tv_nsec)));
  return tag;
}

// "Sun, 06 Nov 1994 08:49:37 GMT", whatever the locale.
std::string httpDate(std::time_t time) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm parts{};
  if (::gmtime_r(&time, &parts) == nullptr) return {};
  char date[64];  // at most 36 characters, whatever the year: always fits
  static_cast<void>(std::snprintf(date, sizeof date, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                                  kDays[parts.tm_wday], parts.tm_mday, kMonths[parts.tm_mon],
                                  parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec));
  return date;
}

// An If-Range holds when it names the file as it is now: its ETag (strong comparison: a weak tag
// never holds) or exactly its Last-Modified date. Without one, a range always holds.
bool ifRangeHolds(const httplib::Request& request, const std::string& tag,
                  const std::string& modified) {
  if (!request.has_header("If-Range")) return true;
  const std::string condition = request.get_header_value("If-Range");
  if (condition.starts_with("\"")) return condition == tag;
  if (condition.starts_with("W/")) return false;
  return condition == modified;
}

// How a request for a file of `size` bytes is answered: the whole file, one part of it (first to
// last, inclusive), or nothing, for a range that starts past the end.
struct RangeChoice {
  enum class Kind { whole, part, unsatisfiable } kind = Kind::whole;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

// `ranges` as httplib parsed them: (first, last) with -1 for a part left out ("N-", "-N").
RangeChoice chooseRange(const httplib::Ranges& ranges, std::uint64_t size) {
  // No range, or several: the whole file, which a server may always send instead.
  if (ranges.size() != 1) return {};
  const auto [from, to] = ranges.front();
  RangeChoice choice{RangeChoice::Kind::part};
  if (from < 0) {
    // The last `to` bytes.
    if (to <= 0 || size == 0) return {RangeChoice::Kind::unsatisfiable};
    choice.first = size - std::min<std::uint64_t>(static_cast<std::uint64_t>(to), size);
    choice.last = size - 1;
    return choice;
  }
  if (static_cast<std::uint64_t>(from) >= size) return {RangeChoice::Kind::unsatisfiable};
  choice.first = static_cast<std::uint64_t>(from);
  // An end past the file, or none, is the file's end.
  choice.last =
      to < 0 ? size - 1 : std::min<std::uint64_t>(static_cast<std::uint64_t>(to), size - 1);
  if (choice.last < choice.first) return {};
  return choice;
}

void sendFile(const Resolution& found, const std::string& contentType,
              const httplib::Request& request, httplib::Response& response) {
  // O_NOFOLLOW: the resolved path holds no links, so a link appearing since is not followed.
  // Shared by the content provider, which may run after this function has returned.
  auto file = std::make_shared<platform::UniqueFd>(
      ::open(found.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!*file) return answer(request, response, 404, "not found");
  struct stat status {};
  if (::fstat(file->get(), &status) != 0 || !S_ISREG(status.st_mode))
    return answer(request, response, 404, "not found");
  const auto size = static_cast<std::size_t>(status.st_size);
  const std::string tag = entityTag(status);
  const std::string modified = httpDate(status.st_mtim.tv_sec);
  response.set_header("ETag", tag);
  response.set_header("Last-Modified", modified);
  response.set_header("Accept-Ranges", "bytes");

  // httplib parses the Range header into the request's ranges and sends the part they name of
  // what the handler provides, but bounds them by nothing: they are settled here, against the
  // file. The request is httplib's own object, handed over as const; its ranges are the one
  // thing changed.
  auto& ranges = const_cast<httplib::Ranges&>(request.ranges);
  RangeChoice choice;
  if (ifRangeHolds(request, tag, modified)) choice = chooseRange(ranges, size);
  ranges.clear();
  if (choice.kind == RangeChoice::Kind::unsatisfiable) {
    response.set_header("Content-Range", "bytes */" + std::to_string(size));
    return answer(request, response, 416, "range not satisfiable");
  }
  if (choice.kind == RangeChoice::Kind::part) {
    ranges.emplace_back(static_cast<ssize_t>(choice.first), static_cast<ssize_t>(choice.last));
    response.status = 206;
  } else {
    response.status = 200;
  }
  if (size == 0) return response.set_content(std::string(), contentType);
  // Streamed in chunks: the file is never held whole in memory.
  response.set_content_provider(
      size, contentType, [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        std::vector<char> buffer(std::min(length, kChunkSize));
        ssize_t count = 0;
        do {
          count = ::pread(file->get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
        } while (count < 0 && errno == EINTR);
        // A file that shrank or cannot be read ends the response early.
        if (count <= 0) return false;
        return sink.write(buffer.data(), static_cast<std::size_t>(count));
      });
}

}  // namespace

Resolution resolveRequestPath(const fs::path& feedRoot, std::string_view requestPath) {
  if (requestPath.empty() || requestPath.front() != '/' ||
      requestPath.find('\0') != std::string_view::npos)
    return {400, {}};
  fs::path relative;
  std::size_t start = 0;
  while (start < requestPath.size()) {
    std::size_t end = requestPath.find('/', start);
    if (end == std::string_view::npos) end = requestPath.size();
    const std::string_view component = requestPath.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    if (component == "..") return {403, {}};
    if (component.front() == '.') return {404, {}};
    relative /= std::string(component);
  }
  if (relative.empty()) return {404, {}};

  std::error_code error;
  const fs::path real = fs::weakly_canonical(feedRoot / relative, error);
  if (error) return {404, {}};
  if (!platform::isWithin(real, feedRoot)) return {403, {}};
  if (isHidden(real.lexically_relative(feedRoot))) return {404, {}};
  struct stat status {};
  if (::stat(real.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return {404, {}};
  return {200, real};
}

std::optional<std::string> normalisedPrefix(std::string_view prefix) {
  std::string result;
  std::size_t start = 0;
  while (start < prefix.size()) {
    std::size_t end = prefix.find('/', start);
    if (end == std::string_view::npos) end = prefix.size();
    const std::string_view component = prefix.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    if (component == "." || component == "..") return std::nullopt;
    for (const char c : component) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte <= 0x20 || byte == 0x7f || c == '?' || c == '#' || c == '%' || c == '\\')
        return std::nullopt;
    }
    result += '/';
    result += component;
  }
  return result;
}

std::string contentTypeFor(std::string_view requestPath) {
  while (!requestPath.empty() && requestPath.front() == '/') requestPath.remove_prefix(1);
  if (requestPath == "v/version") return "application/json";
  if (platform::hasZipExtension(requestPath)) return "application/zip";
  return "application/octet-stream";
}

FeedServer::FeedServer(fs::path feedFolder, std::ostream& log, std::string prefix)
    : feedFolder_(std::move(feedFolder)),
      prefix_(std::move(prefix)),
      log_(log),
      server_(std::make_unique<httplib::Server>()) {
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    // The feed's own path: what follows the prefix.
    std::string_view path = request.path;
    if (!prefix_.empty()) {
      if (path == prefix_) return answer(request, response, 404, "not found");
      if (!path.starts_with(prefix_ + "/")) return answer(request, response, 404, "not found");
      path.remove_prefix(prefix_.size());
    }
    const Resolution found = resolveRequestPath(root_, path);
    switch (found.status) {
      case 200:
        return sendFile(found, contentTypeFor(path), request, response);
      case 400:
        return answer(request, response, 400, "bad request");
      case 403:
        return answer(request, response, 403, "forbidden");
      default:
        return answer(request, response, 404, "not found");
    }
  });
  const auto refuse = [](const httplib::Request& request, httplib::Response& response) {
    response.set_header("Allow", kAllowedMethods);
    answer(request, response, 405, "method not allowed");
  };
  server_->Post(".*", refuse);
  server_->Put(".*", refuse);
  server_->Patch(".*", refuse);
  server_->Delete(".*", refuse);
  server_->Options(".*", refuse);
  server_->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    const std::string length = response.get_header_value("Content-Length");
    const std::string bytes = length.empty() ? std::to_string(response.body.size()) : length;
    logRequest(platform::escapeLine(request.method) + " " + platform::escapeLine(request.path) +
               " " + std::to_string(response.status) + " " + bytes);
  });
  server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  // Idle keep-alive connections hold a worker; keep that short so that stopping is quick.
  server_->set_keep_alive_timeout(1);
  // An answer's headers and body leave in separate writes: held back until the client
  // acknowledges the headers, which it delays, a small body took 40 ms more, each range of an
  // update of changed entries too.
  server_->set_tcp_nodelay(true);
  // The library's default adds SO_REUSEPORT, with which a second server binds the same port and
  // the two silently share its requests. Only SO_REUSEADDR: a port in use is refused, and a
  // restart right after a stop still binds.
  server_->set_socket_options([](socket_t socket) {
    const int yes = 1;
    // Without it, a restart may find the port taken for a while; the bind then tells.
    static_cast<void>(::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes));
  });
}

FeedServer::~FeedServer() {
  stop();
}

std::optional<Failure> FeedServer::bind(const std::string& host, int port) {
  if (port < 0 || port > 65535)
    return Failure::refused("the port must lie between 0 and 65535, not " + std::to_string(port));
  const auto prefix = normalisedPrefix(prefix_);
  if (!prefix)
    return Failure::refused("the prefix \"" + platform::escapeLine(prefix_) +
                            "\" must be a plain path such as /updates");
  prefix_ = *prefix;
  std::error_code error;
  root_ = fs::canonical(feedFolder_, error);
  if (error || !fs::is_directory(root_, error))
    return Failure::refused("the feed folder \"" + feedFolder_.string() +
                            "\" does not exist or is not a folder");
  errno = 0;
  int bound = port;
  if (port == 0) {
    bound = server_->bind_to_any_port(host);
  } else if (!server_->bind_to_port(host, port)) {
    bound = -1;
  }
  if (bound <= 0) {
    const int cause = errno;
    return Failure::runtime("cannot listen on " + host + " port " + std::to_string(port) +
                            (cause != 0 ? ": " + platform::describeErrno(cause) : ""));
  }
  host_ = host;
  port_ = bound;
  return std::nullopt;
}

std::string FeedServer::address() const {
  const bool literalIpv6 = host_.find(':') != std::string::npos;
  return "http://" + (literalIpv6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_) +
         prefix_;
}

bool FeedServer::run() {
  if (port_ == 0) return false;
  running_ = true;
  if (stopRequested_) {
    running_ = false;
    return true;
  }
  const bool served = server_->listen_after_bind();
  running_ = false;
  return served;
}

void FeedServer::stop() {
  stopRequested_ = true;
  // The server ignores stop() until its accept loop runs; when run() is about to start it, wait.
  while (running_ && !server_->is_running())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server_->stop();
}

void FeedServer::logRequest(const std::string& line) {
  const std::lock_guard<std::mutex> lock(logMutex_);
  log_ << line << std::endl;
}

namespace {

// Takes every pending SIGINT and SIGTERM from `signals` (a non-blocking signalfd), so that none is
// left to end the process once the signals are unblocked again.
void drainSignals(int signals) {
  signalfd_siginfo info{};
  while (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
}

// Puts back the signal mask the calling thread had.
class RestoreSignalMask {
 public:
  explicit RestoreSignalMask(const sigset_t& previous) : previous_(previous) {}
  ~RestoreSignalMask() { static_cast<void>(::pthread_sigmask(SIG_SETMASK, &previous_, nullptr)); }
  RestoreSignalMask(const RestoreSignalMask&) = delete;
  RestoreSignalMask& operator=(const RestoreSignalMask&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace

int serveUntilSignalled(FeedServer& server) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigset_t previous;
  if (const int error = ::pthread_sigmask(SIG_BLOCK, &signals, &previous); error != 0)
    return kExitRuntimeFailure;
  const RestoreSignalMask restore(previous);

  // The signals arrive on a signalfd, which a helper thread polls beside a pipe: closing the
  // pipe's write end wakes the helper when the server stops without a signal.
  const platform::UniqueFd signalled(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  platform::Pipe wake = platform::Pipe::make();
  if (!signalled || !wake.readEnd) return kExitRuntimeFailure;

  std::atomic<bool> waitFailed{false};
  std::thread waiter([&] {
    pollfd ready[2] = {{signalled.get(), POLLIN, 0}, {wake.readEnd.get(), POLLIN, 0}};
    int count = 0;
    do {
      count = ::poll(ready, 2, -1);
    } while (count < 0 && errno == EINTR);
    // Unable to wait for a signal, the server could not be stopped: stop it now, as a failure.
    if (count < 0) waitFailed = true;
    if (count < 0 || (ready[0].revents & POLLIN) != 0) server.stop();
  });
  const bool served = server.run();
  static_cast<void>(wake.writeEnd.reset());  // closed whatever close(2) reports: the helper wakes
  waiter.join();
  drainSignals(signalled.get());
  return served && !waitFailed ? kExitSuccess : kExitRuntimeFailure;
}

int runServe(const ServeRequest& request, std::ostream& err) {
  FeedServer server(request.feedFolder, err, request.prefix);
  if (auto failure = server.bind(request.host, request.port)) {
    err << "launcher-feed: " << failure->message << std::endl;
    return failure->exitCode();
  }
  err << ("serving " + request.feedFolder.string() + " on " + server.address() + "\n")
      << std::flush;
  const int code = serveUntilSignalled(server);
  if (code != kExitSuccess) err << "launcher-feed: the server stopped after a failure" << std::endl;
  return code;
}

}  // namespace launcher::feed
