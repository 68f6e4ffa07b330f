#include "Launcher/platform/Nfd.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace launcher::platform {

std::string nfd(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  const auto length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &out,
                   static_cast<utf8proc_option_t>(UTF8PROC_DECOMPOSE | UTF8PROC_STABLE));
  if (length < 0 || out == nullptr) return std::string(text);
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

bool isValidUtf8(std::string_view text) {
  auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(text.size());
  while (remaining > 0) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(bytes, remaining, &codepoint);
    if (length <= 0 || codepoint < 0) return false;
    bytes += length;
    remaining -= length;
  }
  return true;
}

bool hasPrefixNFD(std::string_view text, std::string_view prefix) {
  return nfd(text).starts_with(nfd(prefix));
}

bool hasSuffixNFD(std::string_view text, std::string_view suffix) {
  return nfd(text).ends_with(nfd(suffix));
}

}  // namespace launcher::platform
