#include "frontends/tty/TextFormat.h"

#include <charconv>
#include <cmath>

namespace launcher::tty {

std::vector<std::string> safeLines(std::string_view text) {
  std::vector<std::string> lines;
  for (;;) {
    const auto end = text.find('\n');
    lines.push_back(platform::escapeLine(text.substr(0, end)));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string formatNumber(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15)
    return std::to_string(static_cast<long long>(value));
  char digits[64];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  if (result.ec != std::errc()) return "?";
  return std::string(digits, result.ptr);
}

std::string fitColumns(std::string_view text, std::size_t columns) {
  std::size_t count = 0;
  for (std::size_t index = 0; index < text.size(); ++index) {
    // A continuation byte belongs to the character before it.
    if ((static_cast<unsigned char>(text[index]) & 0xC0) == 0x80) continue;
    if (count == columns) return std::string(text.substr(0, index));
    ++count;
  }
  return std::string(text);
}

std::string normaliseWord(std::string_view line) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!line.empty() && blank(line.front())) line.remove_prefix(1);
  while (!line.empty() && blank(line.back())) line.remove_suffix(1);
  std::string word(line);
  for (char& c : word)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return word;
}

std::string joinWords(const std::vector<std::string>& words) {
  std::string joined;
  for (const std::string& word : words) {
    if (!joined.empty()) joined += ", ";
    joined += word;
  }
  return joined;
}

}  // namespace launcher::tty
