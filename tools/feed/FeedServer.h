#pragma once
// Serving a feed folder over HTTP, read-only, to launchers asking for the version document and
// the package.
#include <atomic>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "tools/feed/Failure.h"

namespace httplib {
class Server;
}

namespace launcher::feed {

// Where a request path leads inside the feed folder.
struct Resolution {
  // 200 when `file` names the file to send; otherwise the status to answer with.
  int status = 404;
  // Canonical path of a regular file inside the feed folder.
  std::filesystem::path file;
};

// Maps a decoded request path such as "/v/version" to a regular file inside `feedRoot`, which
// must be canonical. 400 for a path that does not begin with "/" or holds a NUL byte; 403 for a
// path with a ".." component, or one that leads outside the feed once symbolic links are
// followed; 404 for what is missing, a folder, or a hidden name (a component beginning with ".",
// among them the publisher's temporary files).
Resolution resolveRequestPath(const std::filesystem::path& feedRoot, std::string_view requestPath);

// The path prefix a feed is served under, in its normal form: "" for none ("" or "/" given),
// else "/a/b" (a leading "/" added, trailing ones removed). Nothing for a prefix that is not a
// plain path: "." or ".." components, "?", "#", "%", "\", blanks or control characters.
std::optional<std::string> normalisedPrefix(std::string_view prefix);

// application/json for the version document, application/zip for names ending in ".zip" (any
// case), application/octet-stream for everything else.
std::string contentTypeFor(std::string_view requestPath);

class FeedServer {
 public:
  // Serves the files below `feedFolder` for GET (and HEAD) under the path `prefix` (see
  // normalisedPrefix; a request outside it gets 404); other methods get 405. One line per
  // request, "METHOD PATH STATUS BYTES", goes to `log`.
  //
  // Files carry an ETag (from their inode, size and modification time) and a Last-Modified date,
  // and a GET may ask for one byte range ("Range: bytes=N-", "N-M" or "-N"): the answer is 206
  // with that part and its Content-Range, or 416 with "Content-Range: bytes */<size>" when the
  // range starts past the end. Several ranges, or an If-Range that names neither the file's ETag
  // nor its Last-Modified date, get the whole file with 200.
  FeedServer(std::filesystem::path feedFolder, std::ostream& log, std::string prefix = {});
  ~FeedServer();
  FeedServer(const FeedServer&) = delete;
  FeedServer& operator=(const FeedServer&) = delete;

  // Binds `host`:`port` and starts listening; port 0 takes a free port. Refused when the feed
  // folder is not an existing folder, the port is out of range or the prefix is no plain path; a
  // runtime failure when the address cannot be bound, also when another server listens on it
  // already.
  std::optional<Failure> bind(const std::string& host, int port);
  // The bound port (0 before `bind`).
  int port() const { return port_; }
  // "http://host:port" and the prefix, once bound.
  std::string address() const;

  // Accepts and answers requests on the calling thread until `stop`. False when the server
  // could not run or failed.
  bool run();
  // Makes `run` return, from any thread, also when `run` has not started yet.
  void stop();

 private:
  void logRequest(const std::string& line);

  std::filesystem::path feedFolder_;
  std::filesystem::path root_;
  std::string prefix_;
  std::ostream& log_;
  std::mutex logMutex_;
  std::unique_ptr<httplib::Server> server_;
  std::string host_;
  int port_ = 0;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
};

// Runs `server` on the calling thread until SIGINT or SIGTERM arrives, then stops it. Both
// signals are blocked in the calling thread (and the server's threads, which inherit that) and
// received by a helper thread; the calling thread's mask is put back before returning. Returns the
// exit code.
int serveUntilSignalled(FeedServer& server);

struct ServeRequest {
  std::filesystem::path feedFolder;
  std::string host = "127.0.0.1";
  int port = 0;
  std::string prefix;
};

// The "serve" command: binds, writes "serving <FEED> on http://H:P[/PREFIX]" to `err` once
// listening, serves until SIGINT or SIGTERM and logs each request to `err`. Returns the exit code.
int runServe(const ServeRequest& request, std::ostream& err);

}  // namespace launcher::feed
