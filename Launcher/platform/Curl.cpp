#include "Launcher/platform/Curl.h"

#include <charconv>
#include <mutex>
#include <string_view>
#include <system_error>

#include "Launcher/platform/Text.h"

namespace launcher::platform {

CurlEasy makeCurlEasy() {
  static std::once_flag once;
  static CURLcode initialized = CURLE_OK;
  std::call_once(once, [] { initialized = curl_global_init(CURL_GLOBAL_DEFAULT); });
  // Without the library's global state no transfer can work: every caller treats a null handle
  // as a failed transfer.
  if (initialized != CURLE_OK) return CurlEasy();
  return CurlEasy(curl_easy_init());
}

namespace {

// The progress callback of every transfer: stops one that receives more than
// kMaxRedirectBodyBytes of a redirect's body. libcurl reads such a body to the end before it
// follows, and counts it as received: without this, a redirect whose body never ends (or names
// terabytes) would hold the transfer for ever, fast enough never to count as stalled.
int stopEndlessRedirectBody(void* handle, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  if (received <= kMaxRedirectBodyBytes) return 0;
  long status = 0;
  if (curl_easy_getinfo(static_cast<CURL*>(handle), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK)
    return 0;
  return status >= 300 && status <= 399 ? 1 : 0;
}

int watchQuiet(void* data, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto& watch = *static_cast<QuietWatch*>(data);
  if (stopEndlessRedirectBody(watch.handle, 0, received, 0, 0) != 0) return 1;
  const auto now = std::chrono::steady_clock::now();
  if (received != watch.received) {
    watch.received = received;
    watch.since = now;
  } else if (now - watch.since >= watch.interval) {
    watch.since = now;
    if (watch.quiet)
      return guardCallback(watch.noMemory, 1, [&] {
        watch.quiet();
        return 0;
      });
  }
  return 0;
}

}  // namespace

bool watchQuietSpells(CURL* handle, QuietWatch* watch) {
  if (watch == nullptr)
    return curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, stopEndlessRedirectBody) ==
               CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_XFERINFODATA, handle) == CURLE_OK;
  watch->handle = handle;
  watch->received = -1;
  return curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, watchQuiet) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_XFERINFODATA, watch) == CURLE_OK;
}

bool applyCommonOptions(CURL* handle, const char* url) {
  return curl_easy_setopt(handle, CURLOPT_URL, url) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, stopEndlessRedirectBody) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_XFERINFODATA, handle) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         // No proxy from the environment (http_proxy, ALL_PROXY...): the launcher reads no
         // variables beyond the standard folders'.
         curl_easy_setopt(handle, CURLOPT_PROXY, "") == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds) == CURLE_OK &&
         // A transfer that gives up while the host name is still being resolved returns at once:
         // libcurl would otherwise wait for the system resolver, which may take minutes (a
         // name server that never answers), far beyond the limits here.
         curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK &&
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
  // The only callback that stops a transfer is the one of applyCommonOptions.
  if (code == CURLE_ABORTED_BY_CALLBACK)
    return "the server sent a redirect whose body is larger than " +
           std::to_string(kMaxRedirectBodyBytes / 1024) + " KiB (" + url + ")";
  std::string text = curl_easy_strerror(code);
  if (!detail.empty() && detail != text) text += ": " + detail;
  return text + " (" + url + ")";
}

bool applyPackageOptions(CURL* handle, const char* url, long lowSpeedBytes,
                         std::chrono::seconds lowSpeedTime, char* errorBuffer) {
  // libcurl hands over the body in pieces of at most this size; each piece is one write(2).
  constexpr long kReceiveBufferBytes = 128L * 1024;
  return applyCommonOptions(handle, url) &&
         curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferBytes) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, lowSpeedBytes) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                          static_cast<long>(lowSpeedTime.count())) == CURLE_OK &&
         curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK;
}

bool cutMidTransfer(CURLcode code) {
  switch (code) {
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

std::optional<std::string> responseHeader(CURL* handle, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
      header == nullptr || header->value == nullptr)
    return std::nullopt;
  std::string_view value = header->value;
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty() || hasControlCharacter(value)) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> rangeValidator(CURL* handle) {
  // A strong ETag is quoted. One sent unquoted, against the rules, is taken only without a date:
  // the continuation's answer is compared with the header that the validator's spelling names.
  auto tag = responseHeader(handle, "ETag");
  if (tag && tag->starts_with('"')) return tag;
  if (auto date = responseHeader(handle, "Last-Modified")) return date;
  if (tag && !tag->starts_with("W/")) return tag;
  return std::nullopt;
}

bool namesAnotherValidator(CURL* handle, const std::string& validator) {
  // A date, or a tag sent unquoted by a server that sends no date (see rangeValidator): an
  // answer without a date is told by its ETag, as a quoted tag always is.
  if (!validator.starts_with('"'))
    if (const auto date = responseHeader(handle, "Last-Modified")) return *date != validator;
  const auto tag = responseHeader(handle, "ETag");
  return tag && *tag != validator;
}

std::optional<std::string> contentCodingOf(CURL* handle) {
  auto coding = responseHeader(handle, "Content-Encoding");
  // Compared in ASCII, not with strcasecmp: that follows the process's locale, and the window's
  // toolkit sets the user's, where a Turkish one gives 'I' no lower case among these letters.
  if (coding && ::curl_strequal(coding->c_str(), "identity") != 0) return std::nullopt;
  return coding;
}

std::optional<ContentRange> contentRangeOf(CURL* handle) {
  const auto header = responseHeader(handle, "Content-Range");
  if (!header || !header->starts_with("bytes ")) return std::nullopt;
  const char* at = header->data() + 6;
  const char* end = header->data() + header->size();
  const auto number = [&](std::uint64_t& value) {
    const auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc() || next == at) return false;
    at = next;
    return true;
  };
  ContentRange range;
  if (!number(range.first) || at == end || *at++ != '-' || !number(range.last) ||
      range.last < range.first || at == end || *at++ != '/')
    return std::nullopt;
  if (end - at == 1 && *at == '*') return range;
  std::uint64_t size = 0;
  if (!number(size) || at != end || range.last >= size) return std::nullopt;
  range.size = size;
  return range;
}

std::optional<std::uint64_t> unsatisfiedRangeSizeOf(CURL* handle) {
  const auto header = responseHeader(handle, "Content-Range");
  if (!header || !header->starts_with("bytes */")) return std::nullopt;
  const char* at = header->data() + 8;
  const char* end = header->data() + header->size();
  std::uint64_t size = 0;
  const auto [next, error] = std::from_chars(at, end, size);
  if (error != std::errc() || next == at || next != end) return std::nullopt;
  return size;
}

}  // namespace launcher::platform
