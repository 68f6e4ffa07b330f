#pragma once
// Small text helpers shared by the launcher, its front ends and the feed tool.
#include <string>
#include <string_view>
#include <vector>

namespace launcher::platform {

// One line of text from any text: a backslash becomes "\\", a line feed "\n", a carriage return
// "\r", a tab "\t", and any other control character "\xHH" (a C1 control, U+0080 to U+009F or
// a stray byte 0x80 to 0x9F, byte by byte), so that nothing a server sends can move the cursor or
// split a line.
std::string escapeLine(std::string_view text);

// The text split at its line feeds, each piece made safe with escapeLine: a text of several lines
// keeps its line breaks.
std::vector<std::string> safeLines(std::string_view text);

// True when the locale the environment names for characters (LC_ALL, else LC_CTYPE, else LANG)
// is installed and uses UTF-8. A terminal set up for another character set reads bytes, and
// takes 0x80 to 0x9F for controls wherever they stand, inside a UTF-8 character too (0x9B
// begins a control sequence as ESC [ does).
bool localeIsUtf8();

// A line made by escapeLine, as it may go to a terminal: unchanged in a UTF-8 locale (see
// localeIsUtf8); in any other, each character with a byte from 0x80 to 0x9F is shown byte by byte
// as "\xHH", so that no part of it can act on the terminal. The others stay as they are.
std::string terminalLine(std::string_view escaped, bool utf8Locale);

// `text` escaped as escapeLine does, between double quotes: a name or path inside a message.
std::string quotedLine(std::string_view text);

// True when `text` holds a control character (below 0x20, or 0x7F).
bool hasControlCharacter(std::string_view text);

// True when `name` ends in ".zip", in any letter case (ASCII).
bool hasZipExtension(std::string_view name);

// `text` without its trailing slashes; a text made only of slashes keeps one.
std::string_view withoutTrailingSlashes(std::string_view text);

}  // namespace launcher::platform
