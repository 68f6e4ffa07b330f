#pragma once
// What the version server's answer says, read without side effects: the version request's handler
// turns it into stored properties or an alert. A pure function of its text, so that it can be
// tried with any bytes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Launcher/platform/Url.h"

namespace launcher {

struct VersionAnswer {
  enum class Kind {
    // Not JSON, empty, or a top-level scalar: "Failed to serialize the version.\n ".
    notJson,
    // A top-level array: nothing to store, no alert.
    array,
    // An object without a usable "application_version" or "application_url_mac" string:
    // "Error serializing JSON!\nFile can be removed."
    malformed,
    // Both strings present and the version a whole number: `version`, `url` and `signature` hold.
    received,
  };
  Kind kind = Kind::notJson;
  std::int64_t version = 0;
  // Absent when "application_url_mac" is not a well-formed URL.
  std::optional<platform::Url> url;
  // "application_signature_mac" when it is a string.
  std::optional<std::string> signature;
  // "application_manifest_mac" when it is a string: the address of the package's signed manifest
  // (see DeltaUpdate.h).
  std::optional<std::string> manifest;
};

// "data" -> "attributes" -> "application_version" (a JSON string holding an optional sign and
// digits, within 64 bits), "application_url_mac", "application_signature_mac" and
// "application_manifest_mac".
VersionAnswer readVersionAnswer(std::string_view text);

}  // namespace launcher
