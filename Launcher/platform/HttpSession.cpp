#include "Launcher/platform/HttpSession.h"

#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "Launcher/platform/Curl.h"

namespace launcher::platform {
namespace {

// The body as it arrives, up to the cap.
struct Answer {
  std::string body;
  bool tooLarge = false;
  bool noMemory = false;  // memory ran out in the callback (thrown once libcurl returns)
};

size_t appendToAnswer(char* data, size_t size, size_t count, void* userdata) {
  auto& answer = *static_cast<Answer*>(userdata);
  const size_t total = size * count;
  if (total > CurlHttpSession::kMaxAnswerBytes - answer.body.size()) {
    answer.tooLarge = true;
    return CURL_WRITEFUNC_ERROR;
  }
  return guardCallback(answer.noMemory, size_t{CURL_WRITEFUNC_ERROR}, [&] {
    answer.body.append(data, total);
    return total;
  });
}

// The whole exchange, on the session's thread: the body whatever the HTTP status, or the
// transport error.
std::pair<std::optional<std::string>, std::optional<HttpError>> get(
    const std::string& address, std::chrono::milliseconds deadline) {
  CurlEasy handle = makeCurlEasy();
  if (!handle) return {std::nullopt, HttpError{"cannot create a libcurl handle (" + address + ")"}};
  Answer answer;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  CURL* h = handle.get();
  if (!applyCommonOptions(h, address.c_str()) ||
      curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(deadline.count())) != CURLE_OK ||
      // An announced length over the cap is refused before any of the body is read.
      curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(CurlHttpSession::kMaxAnswerBytes)) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToAnswer) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &answer) != CURLE_OK)
    return {std::nullopt, HttpError{"cannot set up the request for " + address}};
  const CURLcode code = curl_easy_perform(h);
  if (answer.noMemory) throw std::bad_alloc();
  if (answer.tooLarge || code == CURLE_FILESIZE_EXCEEDED)
    return {std::nullopt, HttpError{"the answer is larger than " +
                                    std::to_string(CurlHttpSession::kMaxAnswerBytes / 1024) +
                                    " KiB (" + address + ")"}};
  if (code != CURLE_OK)
    return {std::nullopt, HttpError{describeCurlError(code, errorBuffer, address)}};
  return {std::move(answer.body), std::nullopt};
}

}  // namespace

void CurlHttpSession::dataTask(const Url& url, DataTaskCompletion completion) {
  const std::string& address = url.string();
  // The thread gets its own copy of the completion. Should no thread start, the caller still
  // gets its one answer here; it would otherwise wait forever.
  // Made here, so that the request's thread has its answer should its own memory run out.
  HttpError noMemory{"there is not enough memory for the request (" + address + ")"};
  auto task = [address, completion, noMemory = std::move(noMemory),
               deadline = deadline_]() mutable {
    std::pair<std::optional<std::string>, std::optional<HttpError>> answer;
    try {
      answer = get(address, deadline);
    } catch (const std::bad_alloc&) {
      // Under a low ulimit -v, say: the caller still gets its one answer, and the process goes
      // on rather than ending with "terminate called".
      answer = {std::nullopt, std::move(noMemory)};
    }
    completion(std::move(answer.first), std::move(answer.second));
  };
  try {
    std::thread(std::move(task)).detach();
  } catch (const std::system_error& failure) {
    completion(std::nullopt,
               HttpError{std::string("cannot start the request thread: ") + failure.what()});
  }
}

}  // namespace launcher::platform
