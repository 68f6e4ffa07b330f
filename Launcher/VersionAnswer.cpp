#include "Launcher/VersionAnswer.h"

#include <nlohmann/json.hpp>

#include "Launcher/VersionNumbers.h"

namespace launcher {
namespace {

// The member `name` of `object` when `object` is a JSON object that has it; else null.
const nlohmann::json* member(const nlohmann::json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

// "data" -> "attributes" -> `name`, looked up afresh from the top level; a JSON string or null.
const std::string* attribute(const nlohmann::json& top, const char* name) {
  const nlohmann::json* data = member(top, "data");
  const nlohmann::json* attributes = data ? member(*data, "attributes") : nullptr;
  const nlohmann::json* value = attributes ? member(*attributes, name) : nullptr;
  return value && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

}  // namespace

VersionAnswer readVersionAnswer(std::string_view text) {
  VersionAnswer answer;
  const nlohmann::json top = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (top.is_discarded() || (!top.is_object() && !top.is_array())) return answer;
  if (top.is_array()) {
    answer.kind = VersionAnswer::Kind::array;
    return answer;
  }
  const std::string* versionText = attribute(top, "application_version");
  const std::string* urlText = attribute(top, "application_url_mac");
  const auto number = versionText ? parseStrictVersion(*versionText) : std::nullopt;
  if (!number || !urlText) {
    answer.kind = VersionAnswer::Kind::malformed;
    return answer;
  }
  answer.kind = VersionAnswer::Kind::received;
  answer.version = *number;
  answer.url = platform::Url::parse(*urlText);
  // The signature travels with the version it signs; absent or not a string, there is none.
  if (const std::string* signature = attribute(top, "application_signature_mac"))
    answer.signature = *signature;
  if (const std::string* manifest = attribute(top, "application_manifest_mac"))
    answer.manifest = *manifest;
  return answer;
}

}  // namespace launcher
