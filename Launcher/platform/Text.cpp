#include "Launcher/platform/Text.h"

#include <string_view>

namespace launcher::platform {

std::string escapeLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        line += "\\\\";
        break;
      case '\n':
        line += "\\n";
        break;
      case '\r':
        line += "\\r";
        break;
      case '\t':
        line += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          constexpr std::string_view kHexDigits = "0123456789abcdef";
          line += "\\x";
          line += kHexDigits[byte >> 4];
          line += kHexDigits[byte & 0xf];
        } else {
          line += c;
        }
    }
  }
  return line;
}

std::string quotedLine(std::string_view text) {
  // Appended rather than joined with +: GCC 12 at -O3 reports a false -Wrestrict inside
  // `"x" + std::string&&`.
  std::string quoted(1, '"');
  quoted += escapeLine(text);
  quoted += '"';
  return quoted;
}

bool hasControlCharacter(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

bool hasZipExtension(std::string_view name) {
  constexpr std::string_view kExtension = ".zip";
  if (name.size() < kExtension.size()) return false;
  const std::string_view tail = name.substr(name.size() - kExtension.size());
  for (std::size_t index = 0; index < kExtension.size(); ++index) {
    char c = tail[index];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kExtension[index]) return false;
  }
  return true;
}

std::string_view withoutTrailingSlashes(std::string_view text) {
  while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  return text;
}

}  // namespace launcher::platform
