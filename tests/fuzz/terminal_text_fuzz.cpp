// The terminal front end shows what it was typed, and texts from the network, escaped on one line
// and broken to the terminal's width. Any bytes and any width must give lines no wider than the
// width (a line of one column still takes a wide character), with no control character, keeping
// every character of the text in order, and never hang. The first byte of the input is the width.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "frontends/tty/TextFormat.h"

namespace {

namespace tty = launcher::tty;

using fuzz::fail;

// Columns as the front end counts them: the fewest that fitColumns takes the whole text into.
std::size_t columnsOf(const std::string& text) {
  std::size_t low = 0, high = 2 * text.size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (tty::fitColumns(text, middle).size() == text.size())
      high = middle;
    else
      low = middle + 1;
  }
  return low;
}

std::string withoutBlanks(std::string_view text) {
  std::string kept;
  for (const char c : text)
    if (c != ' ') kept += c;
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::size_t width = data[0];
  const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::string word = tty::normaliseWord(line);
  if (tty::normaliseWord(word) != word) fail("a normalised word changes when normalised again");

  const std::string escaped = tty::escapeLine(line);
  if (launcher::platform::hasControlCharacter(escaped)) fail("an escaped line holds a control");

  const std::string fitted = tty::fitColumns(escaped, width);
  if (escaped.compare(0, fitted.size(), fitted) != 0) fail("a fitted text is not a prefix");
  if (columnsOf(fitted) > width) fail("a fitted text is wider than asked");

  const auto lines = tty::wrapColumns(escaped, width);
  if (lines.empty()) fail("no line");
  std::string joined;
  for (const std::string& wrapped : lines) {
    if (launcher::platform::hasControlCharacter(wrapped)) fail("a wrapped line holds a control");
    const std::size_t columns = columnsOf(wrapped);
    if (columns > std::max<std::size_t>(width, 1) &&
        !(columns == 2 && tty::fitColumns(wrapped, 1).empty()))
      fail("a wrapped line is wider than the width");
    joined += wrapped;
  }
  if (withoutBlanks(joined) != withoutBlanks(escaped)) fail("wrapping lost or added characters");
  return 0;
}
