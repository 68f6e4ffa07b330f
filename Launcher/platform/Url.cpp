#include "Launcher/platform/Url.h"

#include <curl/curl.h>

#include <memory>

namespace launcher::platform {
namespace {
struct UrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

UrlHandle parseHandle(const std::string& text) {
  // libcurl reads the text up to its first NUL: with one inside, it would check and fetch
  // another address than the one kept.
  if (text.find('\0') != std::string::npos) return nullptr;
  UrlHandle handle(curl_url());
  if (!handle) return nullptr;
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return nullptr;
  return handle;
}
}  // namespace

std::optional<Url> Url::parse(const std::string& text) {
  if (!parseHandle(text)) return std::nullopt;
  return Url(text);
}

std::string Url::scheme() const {
  UrlHandle handle = parseHandle(text_);
  char* raw = nullptr;
  if (!handle || curl_url_get(handle.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK ||
      raw == nullptr)
    return {};
  const CurlString scheme(raw);
  return scheme.get();
}

std::string Url::lastPathComponent() const {
  UrlHandle handle = parseHandle(text_);
  if (!handle) return {};
  char* raw = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_PATH, &raw, 0) != CURLUE_OK || raw == nullptr) return {};
  CurlString path(raw);
  std::string text(path.get());
  if (text.empty() || text == "/") return "/";
  std::string segment = text.substr(text.rfind('/') + 1);
  int length = 0;
  char* decoded =
      curl_easy_unescape(nullptr, segment.c_str(), static_cast<int>(segment.size()), &length);
  if (decoded == nullptr) return {};
  CurlString owned(decoded);
  return std::string(decoded, static_cast<std::size_t>(length));
}

}  // namespace launcher::platform
