#pragma once
// The asynchronous GET of the version request.
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "Launcher/platform/Url.h"

namespace launcher::platform {

struct HttpError {
  std::string description;  // one line naming the error
};

// Called exactly once, on the session's own thread (or, when none can be started, on the caller's
// before dataTask returns): the body (possibly empty) when no error is reported, or the transport
// error. The HTTP status is not passed on: nobody looks at it.
using DataTaskCompletion =
    std::function<void(std::optional<std::string> body, std::optional<HttpError> error)>;

class HttpSession {
 public:
  virtual ~HttpSession() = default;
  // Starts a plain GET of `url` and returns at once.
  virtual void dataTask(const Url& url, DataTaskCompletion completion) = 0;
};

// libcurl on a thread of its own per request, over http or https only (redirects too). An answer
// is bounded in size and time: a body over kMaxAnswerBytes, or an exchange that has not ended
// within the deadline, is reported as a transport error, and nothing beyond the cap is kept.
class CurlHttpSession final : public HttpSession {
 public:
  static constexpr std::size_t kMaxAnswerBytes = std::size_t{1024} * 1024;
  static constexpr std::chrono::milliseconds kDefaultDeadline = std::chrono::seconds(60);

  explicit CurlHttpSession(std::chrono::milliseconds deadline = kDefaultDeadline)
      : deadline_(deadline) {}
  void dataTask(const Url& url, DataTaskCompletion completion) override;

 private:
  std::chrono::milliseconds deadline_;
};

}  // namespace launcher::platform
