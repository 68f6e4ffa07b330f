#pragma once
// The asynchronous GET of the version request.
#include <functional>
#include <optional>
#include <string>

#include "Launcher/platform/Url.h"

namespace launcher::platform {

struct HttpError {
  std::string description;  // one line naming the error
};

// Called exactly once, on the session's own thread: the body (possibly empty) when no error is
// reported, or the transport error. The HTTP status is not passed on: nobody looks at it.
using DataTaskCompletion =
    std::function<void(std::optional<std::string> body, std::optional<HttpError> error)>;

class HttpSession {
 public:
  virtual ~HttpSession() = default;
  // Starts a plain GET of `url` and returns at once.
  virtual void dataTask(const Url& url, DataTaskCompletion completion) = 0;
};

// libcurl on a thread of its own per request.
class CurlHttpSession final : public HttpSession {
 public:
  void dataTask(const Url& url, DataTaskCompletion completion) override;
};

}  // namespace launcher::platform
