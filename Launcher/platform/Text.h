#pragma once
// Small text helpers shared by the launcher, its front ends and the feed tool.
#include <string>
#include <string_view>

namespace launcher::platform {

// One line of text from any text: a backslash becomes "\\", a line feed "\n", a carriage return
// "\r", a tab "\t", and any other control character "\xHH" (a C1 control, U+0080 to U+009F or
// a stray byte 0x80 to 0x9F, byte by byte), so that nothing a server sends can move the cursor or
// split a line.
std::string escapeLine(std::string_view text);

// `text` escaped as escapeLine does, between double quotes: a name or path inside a message.
std::string quotedLine(std::string_view text);

// True when `text` holds a control character (below 0x20, or 0x7F).
bool hasControlCharacter(std::string_view text);

// True when `name` ends in ".zip", in any letter case (ASCII).
bool hasZipExtension(std::string_view name);

// `text` without its trailing slashes; a text made only of slashes keeps one.
std::string_view withoutTrailingSlashes(std::string_view text);

}  // namespace launcher::platform
