#include "Launcher/platform/Text.h"

#include <langinfo.h>
#include <locale.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace launcher::platform {

namespace {

void appendHex(std::string& line, unsigned char byte) {
  constexpr std::string_view kHexDigits = "0123456789abcdef";
  line += "\\x";
  line += kHexDigits[byte >> 4];
  line += kHexDigits[byte & 0xf];
}

// A C1 control: U+0080 to U+009F, or one of the bytes 0x80 to 0x9F standing alone, which a
// terminal reading 8-bit text takes as such (0x9B begins a control sequence as ESC [ does).
bool isC1Control(std::int32_t codePoint) {
  return codePoint >= 0x80 && codePoint <= 0x9f;
}

}  // namespace

std::string escapeLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t index = 0; index < text.size(); ++index) {
    const char c = text[index];
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
          appendHex(line, byte);
        } else if (byte >= 0x80) {
          utf8proc_int32_t codePoint = 0;
          const utf8proc_ssize_t length =
              utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + index),
                               static_cast<utf8proc_ssize_t>(text.size() - index), &codePoint);
          if (length <= 0) {
            // Not UTF-8: the byte as it is, unless a terminal would take it for a control.
            if (isC1Control(byte))
              appendHex(line, byte);
            else
              line += c;
            break;
          }
          const std::string_view character = text.substr(index, static_cast<std::size_t>(length));
          if (isC1Control(codePoint))
            for (const char part : character) appendHex(line, static_cast<unsigned char>(part));
          else
            line += character;
          index += static_cast<std::size_t>(length) - 1;
        } else {
          line += c;
        }
    }
  }
  return line;
}

std::vector<std::string> safeLines(std::string_view text) {
  std::vector<std::string> lines;
  for (;;) {
    const auto end = text.find('\n');
    lines.push_back(escapeLine(text.substr(0, end)));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

bool localeIsUtf8() {
  // The character set of the locale the environment names for LC_CTYPE, as the C library reads
  // it, without changing the process's own locale. One that is not installed counts as not UTF-8.
  const locale_t named = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (named == static_cast<locale_t>(nullptr)) return false;
  const std::string_view codeset = ::nl_langinfo_l(CODESET, named);
  const bool utf8 = codeset == "UTF-8";
  ::freelocale(named);
  return utf8;
}

std::string terminalLine(std::string_view escaped, bool utf8Locale) {
  if (utf8Locale) return std::string(escaped);
  std::string line;
  line.reserve(escaped.size());
  for (std::size_t index = 0; index < escaped.size();) {
    utf8proc_int32_t codePoint = 0;
    const utf8proc_ssize_t length =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(escaped.data() + index),
                         static_cast<utf8proc_ssize_t>(escaped.size() - index), &codePoint);
    const std::string_view character =
        escaped.substr(index, length > 0 ? static_cast<std::size_t>(length) : 1);
    const bool control = std::any_of(character.begin(), character.end(), [](char c) {
      return isC1Control(static_cast<unsigned char>(c));
    });
    if (control)
      for (const char part : character) appendHex(line, static_cast<unsigned char>(part));
    else
      line += character;
    index += character.size();
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
