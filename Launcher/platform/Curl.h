#pragma once
// RAII for libcurl handles, shared by the version request and the package download.
#include <curl/curl.h>

#include <memory>
#include <string>

namespace launcher::platform {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

// curl_global_init once per process (thread-safe); then a fresh easy handle, or null.
CurlEasy makeCurlEasy();

// Connection and stall limits of every transfer: give up connecting after 60 s, give up a
// transfer that receives nothing for 60 s; follow at most this many redirects.
constexpr long kConnectTimeoutSeconds = 60;
constexpr long kStallTimeoutSeconds = 60;
constexpr long kMaxRedirects = 10;

// Applies the limits above, redirect following and the URL to `handle`. False when libcurl
// refuses an option.
bool applyCommonOptions(CURL* handle, const char* url);

// One line naming a failed transfer: libcurl's text for `code`, the detail that libcurl left in
// `errorBuffer` (a CURLOPT_ERRORBUFFER, may be empty) and the address, e.g.
// "Couldn't connect to server: Failed to connect to 127.0.0.1 port 9 ... (http://127.0.0.1:9/)".
std::string describeCurlError(CURLcode code, const char* errorBuffer, const std::string& url);

}  // namespace launcher::platform
