#include "tests/support/LocalHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "Launcher/platform/UniqueFd.h"

namespace launcher::testing {
namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

// kChunkBytes bytes of the generated sequence starting at any phase: byte i is i % 251.
const std::string& generatedPattern() {
  static const std::string pattern = [] {
    std::string bytes(kChunkBytes + 251, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = LocalHttpServer::generatedByte(i);
    return bytes;
  }();
  return pattern;
}

}  // namespace

LocalHttpServer::LocalHttpServer(bool resets) {
  // A client that keeps its connection open must not hold up the stop for long.
  server_.set_keep_alive_timeout(1);
  // Each answer leaves at once, as from nginx: its body, written after its headers, is not held
  // back until the client acknowledges them, which it delays by up to 40 ms.
  server_.set_tcp_nodelay(true);
  // A lingering time of 0 makes a close send a reset; connections take it from the listener.
  if (resets)
    server_.set_socket_options([](socket_t socket) {
      httplib::default_socket_options(socket);
      const linger reset{1, 0};
      ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    });
  server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    dispatch(request, response);
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("LocalHttpServer: cannot bind to 127.0.0.1");
  // The socket listens already; connections wait in its backlog until the loop accepts them.
  auto loopEnded = std::make_shared<std::atomic<bool>>(false);
  thread_ = std::thread([this, loopEnded] {
    server_.listen_after_bind();
    *loopEnded = true;
  });
  // stop() does nothing until the loop runs, so the destructor must not come before that.
  while (!server_.is_running()) {
    if (*loopEnded) {
      thread_.join();
      throw std::runtime_error("LocalHttpServer: the server loop did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

LocalHttpServer::~LocalHttpServer() {
  server_.stop();
  thread_.join();
}

std::string LocalHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LocalHttpServer::handle(const std::string& path, Handler handler) {
  std::lock_guard lock(mutex_);
  handlers_[path] = std::move(handler);
}

void LocalHttpServer::answer(const std::string& path, int status, std::string body,
                             std::string contentType) {
  handle(path, [status, body = std::move(body), contentType = std::move(contentType)](
                   const httplib::Request&, httplib::Response& response) {
    response.status = status;
    response.set_content(body, contentType.c_str());
  });
}

void LocalHttpServer::redirect(const std::string& path, const std::string& location, int status) {
  handle(path, [location, status](const httplib::Request&, httplib::Response& response) {
    response.status = status;
    response.set_header("Location", location);
  });
}

void LocalHttpServer::serveGenerated(const std::string& path, std::uint64_t size) {
  handle(path, [size](const httplib::Request&, httplib::Response& response) {
    response.status = 200;
    response.set_content_provider(
        static_cast<std::size_t>(size), "application/octet-stream",
        [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          const std::size_t count = std::min(length, kChunkBytes);
          return sink.write(generatedPattern().data() + offset % 251, count);
        });
  });
}

void LocalHttpServer::cutOff(const std::string& path, std::string sent,
                             std::uint64_t announcedLength) {
  if (sent.size() >= announcedLength)
    throw std::invalid_argument("LocalHttpServer::cutOff: nothing would be cut off");
  // Shared, because the body is sent after the handler has returned.
  auto body = std::make_shared<const std::string>(std::move(sent));
  handle(path, [body, announcedLength](const httplib::Request&, httplib::Response& response) {
    response.status = 200;
    response.set_content_provider(
        static_cast<std::size_t>(announcedLength), "application/octet-stream",
        [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          // Returning false makes the server drop the connection mid-body.
          return offset < body->size() && sink.write(body->data() + offset, body->size() - offset);
        });
  });
}

void LocalHttpServer::servePackage(const std::string& path, ServedPackage package) {
  auto served = std::make_shared<const ServedPackage>(std::move(package));
  // Shared with the handler's copies: the cuts are used up one per request.
  auto requestIndex = std::make_shared<std::atomic<std::size_t>>(0);
  handle(path, [this, path, served, requestIndex](const httplib::Request& request,
                                                  httplib::Response& response) {
    const ServedPackage& package = *served;
    const std::uint64_t size = package.bytes.size();
    PackageRequest record{request.get_header_value("Range"), request.get_header_value("If-Range")};
    if (!package.etag.empty()) response.set_header("ETag", package.etag);
    if (!package.lastModified.empty()) response.set_header("Last-Modified", package.lastModified);
    std::uint64_t first = 0;
    std::uint64_t end = size;  // past the last byte sent
    const bool validatorHolds = record.ifRange.empty() || record.ifRange == package.etag ||
                                record.ifRange == package.lastModified;
    // One range: "bytes=N-", "bytes=N-M" or "bytes=-N".
    const std::string asked = record.range.starts_with("bytes=") ? record.range.substr(6) : "";
    const std::size_t dash = asked.find('-');
    if (package.ranges && dash != std::string::npos && asked.find(',') == std::string::npos &&
        validatorHolds) {
      if (dash == 0) {
        const std::uint64_t count = std::stoull(asked.substr(1));
        first = size - std::min(count, size);
      } else {
        first = std::stoull(asked.substr(0, dash));
        if (dash + 1 < asked.size())
          end = std::min<std::uint64_t>(size, std::stoull(asked.substr(dash + 1)) + 1);
      }
      if (first >= size || first >= end) {
        record.status = 416;
        response.status = 416;
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        response.set_content("range not satisfiable", "text/plain");
      } else {
        record.status = 206;
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                 std::to_string(end - 1) + "/" +
                                                 std::to_string(size));
      }
    } else {
      record.status = 200;
      response.status = 200;
    }
    if (record.status != 416) {
      const std::size_t index = (*requestIndex)++;
      const std::uint64_t cut = index < package.cuts.size() ? package.cuts[index] : end - first;
      record.bytes = std::min(cut, end - first);
      // The body from `first`, with a length that announces all of it; the provider stops at
      // the cut, which drops the connection.
      response.set_content_provider(
          static_cast<std::size_t>(end - first), "application/zip",
          [served, first, stop = first + record.bytes](std::size_t offset, std::size_t,
                                                       httplib::DataSink& sink) {
            const std::uint64_t at = first + offset;
            if (at >= stop) return false;
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(served->piece, stop - at));
            // A shorter piece takes its share of the pause.
            if (served->pause.count() > 0)
              std::this_thread::sleep_for(served->pause * count / served->piece);
            return sink.write(served->bytes.data() + at, count);
          });
    }
    std::lock_guard lock(mutex_);
    packageRequests_[path].push_back(record);
  });
}

std::vector<PackageRequest> LocalHttpServer::packageRequests(const std::string& path) const {
  std::lock_guard lock(mutex_);
  const auto found = packageRequests_.find(path);
  return found == packageRequests_.end() ? std::vector<PackageRequest>{} : found->second;
}

void LocalHttpServer::forgetPackageRequests() {
  std::lock_guard lock(mutex_);
  packageRequests_.clear();
}

void LocalHttpServer::dispatch(const httplib::Request& request, httplib::Response& response) {
  // httplib would answer a Range header itself, out of whatever a handler gives; only the
  // handlers here answer ranges (see servePackage). The request is httplib's own object, handed
  // over as const; its ranges are the one thing changed.
  const_cast<httplib::Request&>(request).ranges.clear();
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    requests_.emplace_back(request.path, request.target);
    if (auto found = handlers_.find(request.path); found != handlers_.end())
      handler = found->second;
  }
  if (handler) {
    handler(request, response);
  } else {
    response.status = 404;
    response.set_content("not found", "text/plain");
  }
}

int LocalHttpServer::requestCount(const std::string& path) const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(
      std::count_if(requests_.begin(), requests_.end(),
                    [&](const auto& request) { return request.first == path; }));
}

int LocalHttpServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(requests_.size());
}

std::vector<std::string> LocalHttpServer::requestTargets() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> targets;
  for (const auto& request : requests_) targets.push_back(request.second);
  return targets;
}

namespace {

// A socket bound to 127.0.0.1 with a port the system picks; it does not listen.
platform::UniqueFd boundSocket(int& port) {
  platform::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) throw std::runtime_error("no socket for a port on 127.0.0.1");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot bind to 127.0.0.1");
  port = ntohs(address.sin_port);
  return socket;
}

}  // namespace

int unusedPort() {
  static std::mutex mutex;
  static std::vector<platform::UniqueFd> held;
  int port = 0;
  platform::UniqueFd socket = boundSocket(port);
  std::lock_guard lock(mutex);
  held.push_back(std::move(socket));
  return port;
}

int freePort() {
  int port = 0;
  boundSocket(port);
  return port;
}

std::string versionAnswer(std::int64_t version, const std::string& packageUrl) {
  return R"({"data":{"attributes":{"application_version":")" + std::to_string(version) +
         R"(","application_url_mac":")" + packageUrl + R"("}}})";
}

}  // namespace launcher::testing
