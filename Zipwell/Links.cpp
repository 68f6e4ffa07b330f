// The rule for symbolic links that the extraction makes and the publisher packages.
#include <vector>

#include "Launcher/platform/Text.h"
#include "Zipwell/Zipwell.h"

namespace launcher {
namespace {

std::vector<std::string_view> parts(std::string_view path) {
  std::vector<std::string_view> result;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty()) result.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return result;
}

std::string joined(const std::vector<std::string_view>& components) {
  std::string text;
  for (const std::string_view component : components) {
    if (!text.empty()) text.push_back('/');
    text.append(component);
  }
  return text;
}

}  // namespace

std::optional<std::string> Zipwell::linkTargetProblem(
    std::string_view linkPath, std::string_view target,
    const std::function<bool(const std::string&)>& isLink) {
  if (target.empty()) return "its target is empty";
  if (target.front() == '/') return "its target is an absolute path";
  if (platform::hasControlCharacter(target)) return "its target holds a control character";

  // Lexically, from the link's folder: the folder's own components are real folders. The path
  // reached is kept joined as it grows and shrinks, so that a long target costs no more than
  // its length.
  std::vector<std::string_view> folder = parts(linkPath);
  if (!folder.empty()) folder.pop_back();
  std::string at = joined(folder);
  const std::vector<std::string_view> steps = parts(target);
  for (std::size_t index = 0; index < steps.size(); ++index) {
    const std::string_view step = steps[index];
    if (step == ".") continue;
    if (step == "..") {
      if (at.empty()) return "its target leads outside the folder";
      const std::size_t slash = at.rfind('/');
      at.resize(slash == std::string::npos ? 0 : slash);
      continue;
    }
    if (!at.empty()) at.push_back('/');
    at.append(step);
    // Only the last component may be a link: past a link, ".." would climb from wherever that
    // link leads.
    if (index + 1 < steps.size() && isLink(at))
      return "its target passes through the link \"" + at + "\"";
  }
  return std::nullopt;
}

}  // namespace launcher
