// The version server's answer is read from the network: any bytes must give one of the four
// readings, never a crash, and the reading must not depend on white space around the document.
// (The JSON reader skips a byte order mark at the start, and ends the text at a NUL byte.)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "Launcher/VersionAnswer.h"
#include "Launcher/VersionNumbers.h"

namespace {

using fuzz::fail;

bool same(const launcher::VersionAnswer& a, const launcher::VersionAnswer& b) {
  return a.kind == b.kind && a.version == b.version && a.url == b.url &&
         a.signature == b.signature && a.manifest == b.manifest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using launcher::VersionAnswer;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const VersionAnswer answer = launcher::readVersionAnswer(text);

  // Text the JSON parser refuses can only be "not JSON".
  if (!nlohmann::json::accept(text) && answer.kind != VersionAnswer::Kind::notJson)
    fail("a text that is not JSON was read as a document");
  if (answer.kind != VersionAnswer::Kind::received &&
      (answer.version != 0 || answer.url || answer.signature || answer.manifest))
    fail("a refused answer carries values");
  if (answer.kind == VersionAnswer::Kind::received) {
    // The number read back from its decimal text is the same number.
    if (launcher::parseStrictVersion(std::to_string(answer.version)) != answer.version)
      fail("the version does not read back");
    if (answer.url && launcher::platform::Url::parse(answer.url->string()) != answer.url)
      fail("the package address does not read back");
  }
  // White space around a document changes nothing. A byte order mark opens the text, so the
  // white space goes after it: before it, the mark is no longer one.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  const std::size_t opening =
      text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
  std::string spaced(text.substr(0, opening));
  spaced.append(" \n").append(text.substr(opening)).append("\t ");
  if (!same(launcher::readVersionAnswer(spaced), answer))
    fail("white space around the answer changed its reading");
  return 0;
}
