#pragma once
// Name tests by canonical equivalence: both sides in canonical decomposed form (NFD),
// compared case-sensitively.
#include <string>
#include <string_view>

namespace launcher::platform {

// The NFD form of UTF-8 text; text that is not valid UTF-8 is returned unchanged.
std::string nfd(std::string_view text);
// True when `text` is well-formed UTF-8.
bool isValidUtf8(std::string_view text);
bool hasPrefixNFD(std::string_view text, std::string_view prefix);
bool hasSuffixNFD(std::string_view text, std::string_view suffix);

}  // namespace launcher::platform
