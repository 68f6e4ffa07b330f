#include "frontends/tty/TextFormat.h"

#include <algorithm>
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

namespace {

// Characters (code points) in a UTF-8 text.
std::size_t columnsOf(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

}  // namespace

std::vector<std::string> wrapColumns(std::string_view text, std::size_t columns) {
  columns = std::max<std::size_t>(columns, 1);
  std::vector<std::string> lines(1);
  std::size_t used = 0;  // characters on the last line
  bool first = true;     // no word on the last line yet
  for (;;) {
    const auto blank = text.find(' ');
    std::string_view word = text.substr(0, blank);
    const std::size_t width = columnsOf(word);
    const std::size_t gap = first ? 0 : 1;
    if (used + gap + width <= columns) {
      if (!first) lines.back() += ' ';
      lines.back() += word;
      used += gap + width;
    } else if (width <= columns) {
      lines.emplace_back(word);
      used = width;
    } else {
      // Too long for any line: what fits here, then whole lines of it.
      if (!first && used + 1 < columns) {
        lines.back() += ' ';
        ++used;
      } else if (!first) {
        lines.emplace_back();
        used = 0;
      }
      while (!word.empty()) {
        if (used == columns) {
          lines.emplace_back();
          used = 0;
        }
        const std::string piece = fitColumns(word, columns - used);
        lines.back() += piece;
        used += columnsOf(piece);
        word.remove_prefix(piece.size());
      }
    }
    first = false;
    if (blank == std::string_view::npos) break;
    text.remove_prefix(blank + 1);
  }
  return lines;
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
