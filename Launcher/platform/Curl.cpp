#include "Launcher/platform/Curl.h"

#include <mutex>

namespace launcher::platform {

CurlEasy makeCurlEasy() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  return CurlEasy(curl_easy_init());
}

bool applyCommonOptions(CURL* handle, const char* url) {
  return curl_easy_setopt(handle, CURLOPT_URL, url) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK &&
         // No byte for 60 s (below 1 byte/s for 60 s) ends the transfer.
         curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kStallTimeoutSeconds) == CURLE_OK;
}

std::string describeCurlError(CURLcode code, const char* errorBuffer, const std::string& url) {
  std::string detail = errorBuffer != nullptr ? errorBuffer : "";
  // libcurl ends some details with a line feed; the description must stay one line.
  for (char& c : detail)
    if (c == '\n' || c == '\r') c = ' ';
  while (!detail.empty() && detail.back() == ' ') detail.pop_back();
  std::string text = curl_easy_strerror(code);
  if (!detail.empty() && detail != text) text += ": " + detail;
  return text + " (" + url + ")";
}

}  // namespace launcher::platform
