#pragma once
// The two ways version text becomes a number.
#include <cstdint>
#include <optional>
#include <string_view>

namespace launcher {

// The server's "application_version": an optional single "+" or "-", one or more ASCII digits and
// nothing else, within the signed 64-bit range. Leading zeros are allowed.
std::optional<std::int64_t> parseStrictVersion(std::string_view text);

// The version file's content: leading white space skipped, an optional sign, the longest run of
// digits, the rest ignored; 0 without digits, and 0 for a run beyond the signed 64-bit range.
std::int64_t parseLenientVersion(std::string_view text);

}  // namespace launcher
