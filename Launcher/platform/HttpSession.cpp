#include "Launcher/platform/HttpSession.h"

#include <system_error>
#include <thread>
#include <utility>

#include "Launcher/platform/Curl.h"

namespace launcher::platform {
namespace {

size_t appendToString(char* data, size_t size, size_t count, void* userdata) {
  static_cast<std::string*>(userdata)->append(data, size * count);
  return size * count;
}

// The whole exchange, on the session's thread: the body whatever the HTTP status, or the
// transport error.
std::pair<std::optional<std::string>, std::optional<HttpError>> get(const std::string& address) {
  CurlEasy handle = makeCurlEasy();
  if (!handle) return {std::nullopt, HttpError{"cannot create a libcurl handle (" + address + ")"}};
  std::string body;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  if (!applyCommonOptions(handle.get(), address.c_str()) ||
      curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, errorBuffer) != CURLE_OK ||
      curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, appendToString) != CURLE_OK ||
      curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &body) != CURLE_OK)
    return {std::nullopt, HttpError{"cannot set up the request for " + address}};
  const CURLcode code = curl_easy_perform(handle.get());
  if (code != CURLE_OK)
    return {std::nullopt, HttpError{describeCurlError(code, errorBuffer, address)}};
  return {std::move(body), std::nullopt};
}

}  // namespace

void CurlHttpSession::dataTask(const Url& url, DataTaskCompletion completion) {
  const std::string address = url.string();
  // The thread gets its own copy of the completion. Should no thread start, the caller still
  // gets its one answer here; it would otherwise wait forever.
  auto task = [address, completion]() mutable {
    auto [body, error] = get(address);
    completion(std::move(body), std::move(error));
  };
  try {
    std::thread(std::move(task)).detach();
  } catch (const std::system_error& failure) {
    completion(std::nullopt,
               HttpError{std::string("cannot start the request thread: ") + failure.what()});
  }
}

}  // namespace launcher::platform
