#include "tools/feed/FeedServer.h"

#include <fcntl.h>
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

constexpr std::size_t kChunkSize = 64 * 1024;
constexpr char kAllowedMethods[] = "GET, HEAD";

bool isHidden(const fs::path& relative) {
  return std::any_of(relative.begin(), relative.end(), [](const fs::path& component) {
    const std::string text = component.string();
    return !text.empty() && text.front() == '.';
  });
}

void answer(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(text + "\n", "text/plain");
}

void sendFile(const Resolution& found, const std::string& contentType,
              httplib::Response& response) {
  // O_NOFOLLOW: the resolved path holds no links, so a link appearing since is not followed.
  // Shared by the content provider, which may run after this function has returned.
  auto file = std::make_shared<platform::UniqueFd>(
      ::open(found.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!*file) return answer(response, 404, "not found");
  struct stat status {};
  if (::fstat(file->get(), &status) != 0 || !S_ISREG(status.st_mode))
    return answer(response, 404, "not found");

  response.status = 200;
  const auto size = static_cast<std::size_t>(status.st_size);
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

std::string contentTypeFor(std::string_view requestPath) {
  while (!requestPath.empty() && requestPath.front() == '/') requestPath.remove_prefix(1);
  if (requestPath == "v/version") return "application/json";
  if (platform::hasZipExtension(requestPath)) return "application/zip";
  return "application/octet-stream";
}

FeedServer::FeedServer(fs::path feedFolder, std::ostream& log)
    : feedFolder_(std::move(feedFolder)), log_(log), server_(std::make_unique<httplib::Server>()) {
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    const Resolution found = resolveRequestPath(root_, request.path);
    switch (found.status) {
      case 200:
        return sendFile(found, contentTypeFor(request.path), response);
      case 400:
        return answer(response, 400, "bad request");
      case 403:
        return answer(response, 403, "forbidden");
      default:
        return answer(response, 404, "not found");
    }
  });
  const auto refuse = [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Allow", kAllowedMethods);
    answer(response, 405, "method not allowed");
  };
  server_->Post(".*", refuse);
  server_->Put(".*", refuse);
  server_->Patch(".*", refuse);
  server_->Delete(".*", refuse);
  server_->Options(".*", refuse);
  server_->set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    const std::string length = response.get_header_value("Content-Length");
    const std::string bytes = length.empty() ? std::to_string(response.body.size()) : length;
    logRequest(request.method + " " + platform::escapeLine(request.path) + " " +
               std::to_string(response.status) + " " + bytes);
  });
  // Idle keep-alive connections hold a worker; keep that short so that stopping is quick.
  server_->set_keep_alive_timeout(1);
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
  return "http://" + (literalIpv6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
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

int serveUntilSignalled(FeedServer& server) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigset_t previous;
  if (const int error = ::pthread_sigmask(SIG_BLOCK, &signals, &previous); error != 0)
    return kExitRuntimeFailure;

  std::atomic<bool> finished{false};
  std::thread waiter([&] {
    int received = 0;
    ::sigwait(&signals, &received);
    if (!finished) server.stop();
  });
  const bool served = server.run();
  finished = true;
  // Wakes the waiter when no signal came; a signal directed at a thread that ends is dropped.
  ::pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return served ? kExitSuccess : kExitRuntimeFailure;
}

int runServe(const ServeRequest& request, std::ostream& err) {
  FeedServer server(request.feedFolder, err);
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
