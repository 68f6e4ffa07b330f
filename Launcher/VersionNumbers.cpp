#include "Launcher/VersionNumbers.h"

#include <charconv>
#include <limits>

namespace launcher {
namespace {
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Value of sign + digits, or nothing beyond the signed 64-bit range.
std::optional<std::int64_t> signedValue(bool negative, std::string_view digits) {
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    if (magnitude > max) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > max + 1) return std::nullopt;
  if (magnitude == max + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}
}  // namespace

std::optional<std::int64_t> parseStrictVersion(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (!isDigit(c)) return std::nullopt;
  return signedValue(negative, text);
}

std::int64_t parseLenientVersion(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r' || text[i] == '\v' || text[i] == '\f'))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t start = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == start) return 0;
  return signedValue(negative, text.substr(start, i - start)).value_or(0);
}

}  // namespace launcher
