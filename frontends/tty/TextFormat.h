#pragma once
// How texts and numbers look in the terminal.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "Launcher/platform/Text.h"

namespace launcher::tty {

using platform::escapeLine;
using platform::safeLines;

// A progress value without decimals when whole ("45"), else in its shortest exact form ("12.5").
std::string formatNumber(double value);

// The start of a UTF-8 text that takes at most `columns` columns of a terminal, cut at the end
// between two characters. A wide character (CJK, emoji) takes two columns, any other one; a byte
// that is no part of a valid character takes one of its own.
std::string fitColumns(std::string_view text, std::size_t columns);

// The text broken into lines of at most `columns` columns (as fitColumns counts them) at its
// blanks: a word goes whole onto the next line when it does not fit on this one, and a word longer
// than a line is split. Blanks inside a line are kept; the blank at a break is dropped. Never fewer
// than one line.
std::vector<std::string> wrapColumns(std::string_view text, std::size_t columns);

// Lower case (ASCII) without leading and trailing blanks, tabs and carriage returns.
std::string normaliseWord(std::string_view line);

// "a, b, c"
std::string joinWords(const std::vector<std::string>& words);

}  // namespace launcher::tty
