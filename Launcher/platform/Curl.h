#pragma once
// RAII for libcurl handles, shared by the version request and the package download.
#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>

namespace launcher::platform {

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

// curl_global_init once per process (thread-safe); then a fresh easy handle, or null.
CurlEasy makeCurlEasy();

// The body of a libcurl callback, through which no exception may pass: memory that runs out
// there is noted in `noMemory` and stops the transfer with `stop`; the caller throws it again
// once libcurl has returned.
template <class Result, class Body>
Result guardCallback(bool& noMemory, Result stop, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    noMemory = true;
    return stop;
  }
}

// Connection and stall limits of every transfer: give up connecting after 60 s, give up a
// transfer that receives nothing for 60 s; follow at most this many redirects.
constexpr long kConnectTimeoutSeconds = 60;
constexpr long kStallTimeoutSeconds = 60;
constexpr long kMaxRedirects = 10;
// A redirect's body is read and dropped before the redirect is followed; one larger than this
// ends the transfer.
constexpr curl_off_t kMaxRedirectBodyBytes = curl_off_t{1024} * 1024;

// Applies the limits above, redirect following and the URL to `handle`; the handle's progress
// callback is taken for the redirect body's limit. False when libcurl refuses an option.
bool applyCommonOptions(CURL* handle, const char* url);

// What a transfer's progress callback watches for: spells of `interval` in which no byte of the
// body arrives, each told to `quiet` on the transfer's thread, so that a stall shows. libcurl calls
// the callback about once a second while nothing arrives, so spells shorter than that are told
// that often.
struct QuietWatch {
  std::function<void()> quiet;
  std::chrono::milliseconds interval{1000};
  // Kept by watchQuietSpells and the callback.
  CURL* handle = nullptr;
  curl_off_t received = -1;
  std::chrono::steady_clock::time_point since;
  // Memory ran out in `quiet`: the transfer stopped there, and the caller throws it once libcurl
  // has returned, as no exception may pass through libcurl.
  bool noMemory = false;
};

// Sets `watch` (which must outlive the transfers it watches) as the handle's progress callback,
// which also keeps the redirect body's limit of applyCommonOptions; null gives that limit alone
// back. False when libcurl refuses an option.
bool watchQuietSpells(CURL* handle, QuietWatch* watch);

// The options of a package transfer (the whole package or ranges of it), beside those above: only
// http and https, redirects included, since the address comes from the network; a large receive
// buffer; and a transfer that stays below `lowSpeedBytes` a second for `lowSpeedTime` is given up
// like one that stalls. `errorBuffer` (CURL_ERROR_SIZE bytes) receives libcurl's detail. False
// when libcurl refuses an option.
bool applyPackageOptions(CURL* handle, const char* url, long lowSpeedBytes,
                         std::chrono::seconds lowSpeedTime, char* errorBuffer);

// True when the network cut a transfer that had reached the server (a reset, a partial body),
// where another attempt may well get through.
bool cutMidTransfer(CURLcode code);

// One line naming a failed transfer: libcurl's text for `code`, the detail that libcurl left in
// `errorBuffer` (a CURLOPT_ERRORBUFFER, may be empty) and the address, e.g.
// "Couldn't connect to server: Failed to connect to 127.0.0.1 port 9 ... (http://127.0.0.1:9/)".
std::string describeCurlError(CURLcode code, const char* errorBuffer, const std::string& url);

// The value of the header `name` in the last answer of `handle` (after redirects), without
// surrounding blanks; nothing when it is absent, empty or holds a control character.
std::optional<std::string> responseHeader(CURL* handle, const char* name);

// What a later range request for the same body can name in If-Range: a strong ETag (a weak one
// never matches there), else the Last-Modified date, else an ETag sent unquoted; nothing when the
// answer has none of them.
std::optional<std::string> rangeValidator(CURL* handle);

// Whether the answer names a validator of the kind of `validator` (a strong ETag, else a date,
// else an unquoted ETag) other than it: a server that ignored If-Range sent another version of
// the file.
bool namesAnotherValidator(CURL* handle, const std::string& validator);

// The coding the answer's body is in (gzip, deflate, ...) when it is not the file's bytes as
// they are; we never ask for one.
std::optional<std::string> contentCodingOf(CURL* handle);

// The Content-Range of a partial answer: "bytes <first>-<last>/<size>", the size "*" when the
// server does not give it.
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::optional<std::uint64_t> size;
};
// Nothing when the header is absent or not of that form, or its numbers do not fit together.
std::optional<ContentRange> contentRangeOf(CURL* handle);

// The size that the Content-Range of a 416 answer gives, "bytes */<size>"; nothing when the
// header is absent or not of that form.
std::optional<std::uint64_t> unsatisfiedRangeSizeOf(CURL* handle);

}  // namespace launcher::platform
