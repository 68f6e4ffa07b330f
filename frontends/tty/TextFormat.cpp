#include "frontends/tty/TextFormat.h"

#include <utf8proc.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace launcher::tty {

std::string formatNumber(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15)
    return std::to_string(static_cast<long long>(value));
  char digits[64];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  if (result.ec != std::errc()) return "?";
  return std::string(digits, result.ptr);
}

namespace {

// The first character of a non-empty UTF-8 text: its length in bytes and the columns a terminal
// gives it. A byte that starts no valid character stands alone and takes a column (terminals
// show a replacement character). A character that utf8proc gives two columns (East Asian wide
// and full-width, emoji) takes two; every other one is counted as one, a combining mark too,
// which never makes a row wider than counted.
struct Glyph {
  std::size_t bytes;
  std::size_t columns;
};

Glyph firstGlyph(std::string_view text) {
  utf8proc_int32_t c = 0;
  const utf8proc_ssize_t length =
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                       static_cast<utf8proc_ssize_t>(text.size()), &c);
  if (length <= 0) return {1, 1};
  return {static_cast<std::size_t>(length), utf8proc_charwidth(c) >= 2 ? 2u : 1u};
}

// Columns of a UTF-8 text on a terminal.
std::size_t columnsOf(std::string_view text) {
  std::size_t count = 0;
  while (!text.empty()) {
    const Glyph glyph = firstGlyph(text);
    count += glyph.columns;
    text.remove_prefix(glyph.bytes);
  }
  return count;
}

}  // namespace

std::string fitColumns(std::string_view text, std::size_t columns) {
  std::size_t used = 0, index = 0;
  while (index < text.size()) {
    const Glyph glyph = firstGlyph(text.substr(index));
    if (used + glyph.columns > columns) break;
    used += glyph.columns;
    index += glyph.bytes;
  }
  return std::string(text.substr(0, index));
}

std::vector<std::string> wrapColumns(std::string_view text, std::size_t columns) {
  columns = std::max<std::size_t>(columns, 1);
  std::vector<std::string> lines(1);
  std::size_t used = 0;  // columns taken on the last line
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
        if (used >= columns) {
          lines.emplace_back();
          used = 0;
        }
        std::string piece = fitColumns(word, columns - used);
        if (piece.empty() && used > 0) {
          // Its next character is wider than what is left of this line.
          lines.emplace_back();
          used = 0;
          continue;
        }
        // A line narrower than one character still takes one.
        if (piece.empty()) piece = std::string(word.substr(0, firstGlyph(word).bytes));
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
