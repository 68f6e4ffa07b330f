#pragma once
// An HTTP server inside the test process, on 127.0.0.1 with a port the system picks.
//
//   LocalHttpServer server;                                  // listening when constructed
//   server.answer("/v/version", 200, R"({"data":{}})", "application/json");
//   server.serveGenerated("/big.zip", 100 << 20);            // 100 MiB made on the fly
//   server.cutOff("/cut.zip", "PK\3\4...", 1000);           // announces 1000 bytes, then hangs up
//   server.redirect("/old.zip", "/new.zip");
//   Url::parse(server.url("/v/version"))                     // "http://127.0.0.1:<port>/v/version"
//   server.requestCount("/v/version")                        // GETs of that path so far
//
// Paths are matched exactly, without the query. A path with no answer gets 404 "not found".
// Answers may be changed at any time, also while requests are being served. The server is
// stopped and its thread joined when the object goes away.
#include <httplib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace launcher::testing {

class LocalHttpServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  LocalHttpServer();
  ~LocalHttpServer();
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" + `path` (which may carry a query).
  std::string url(const std::string& path) const;

  // GET `path` answers with this status, body and content type.
  void answer(const std::string& path, int status, std::string body,
              std::string contentType = "application/octet-stream");
  // GET `path` answers with `status` and a Location header (relative or absolute).
  void redirect(const std::string& path, const std::string& location, int status = 302);
  // GET `path` answers 200 with `size` bytes of generatedByte(0), generatedByte(1), ...,
  // produced in chunks while sending; nothing of that size is held in memory.
  void serveGenerated(const std::string& path, std::uint64_t size);
  // GET `path` answers 200 with a Content-Length of `announcedLength`, sends only `sent`
  // (shorter) and closes the connection.
  void cutOff(const std::string& path, std::string sent, std::uint64_t announcedLength);
  // Anything else: GET `path` runs `handler` on a server thread.
  void handle(const std::string& path, Handler handler);

  // The byte at `offset` of a serveGenerated body.
  static char generatedByte(std::uint64_t offset) { return static_cast<char>(offset % 251); }

  // Requests received so far: for one path, in all, and their targets (path and query) in order.
  int requestCount(const std::string& path) const;
  int requestCount() const;
  std::vector<std::string> requestTargets() const;

 private:
  void dispatch(const httplib::Request& request, httplib::Response& response);

  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::map<std::string, Handler> handlers_;
  std::vector<std::pair<std::string, std::string>> requests_;  // path, target
};

// A port on 127.0.0.1 on which nothing listens (it was free a moment ago): connecting to it is
// refused.
int unusedPort();

}  // namespace launcher::testing
