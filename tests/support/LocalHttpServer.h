#pragma once
// An HTTP server inside the test process, on 127.0.0.1 with a port the system picks.
//
//   LocalHttpServer server;                                  // listening when constructed
//   server.answer("/v/version", 200, R"({"data":{}})", "application/json");
//   server.serveGenerated("/big.zip", 100 << 20);            // 100 MiB made on the fly
//   server.cutOff("/cut.zip", "PK\3\4...", 1000);           // announces 1000 bytes, then hangs up
//   server.redirect("/old.zip", "/new.zip");
//   server.servePackage("/p.zip", {bytes, "\"v1\""});       // ranges, ETag, cuts on demand
//   Url::parse(server.url("/v/version"))                     // "http://127.0.0.1:<port>/v/version"
//   server.requestCount("/v/version")                        // GETs of that path so far
//
// Paths are matched exactly, without the query. A path with no answer gets 404 "not found". A
// Range header is ignored but by servePackage.
// Answers may be changed at any time, also while requests are being served. The server is
// stopped and its thread joined when the object goes away.
#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace launcher::testing {

// A package served the way a static file server serves one, with the faults a test asks for.
struct ServedPackage {
  explicit ServedPackage(std::string bytes, std::string etag = {}, std::string lastModified = {})
      : bytes(std::move(bytes)), etag(std::move(etag)), lastModified(std::move(lastModified)) {}

  std::string bytes;
  // The validators sent with every answer; empty: none.
  std::string etag;
  std::string lastModified;
  // One range ("Range: bytes=N-", "bytes=N-M", "bytes=-N") gets 206 with those bytes, unless an
  // If-Range names another validator (then 200 with the whole) or N is the size or beyond (416).
  // False: always 200 with the whole.
  bool ranges = true;
  // The connection is closed after this many bytes of the body, one entry for each request in
  // turn; requests beyond the list are answered in full.
  std::vector<std::uint64_t> cuts;
  // Sent in pieces of `piece` bytes, with this pause before each (a shorter last piece, its
  // share of it): a slow link.
  std::size_t piece = 64 * 1024;
  std::chrono::milliseconds pause{0};
};

// One request for a served package, as the server answered it.
struct PackageRequest {
  std::string range;    // the Range header, empty when none
  std::string ifRange;  // the If-Range header, empty when none
  int status = 0;
  std::uint64_t bytes = 0;  // body bytes sent before the end or the cut
};

class LocalHttpServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // `resets`: each connection ends with a reset, as a failing network ends one, rather than
  // closed; a cut answer's too.
  explicit LocalHttpServer(bool resets = false);
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
  // GET `path` answers with `package` (see ServedPackage); each request is recorded, see
  // packageRequests. Serving again replaces the package; a request under way keeps the old one.
  void servePackage(const std::string& path, ServedPackage package);
  std::vector<PackageRequest> packageRequests(const std::string& path) const;
  void forgetPackageRequests();
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
  std::map<std::string, std::vector<PackageRequest>> packageRequests_;
};

// A port on 127.0.0.1 on which nothing listens: connecting to it is refused for as long as the
// test program runs. The port stays bound (never listening) until the program ends, so that no
// other process, such as another test suite running at the same time, can take it meanwhile.
int unusedPort();

// A port on 127.0.0.1 that was free a moment ago, released for a server that binds it itself;
// another process may take it first, which that server must notice.
int freePort();

// The version server's answer that publishes `version` with its package at `packageUrl`.
std::string versionAnswer(std::int64_t version, const std::string& packageUrl);

}  // namespace launcher::testing
