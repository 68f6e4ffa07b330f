#pragma once
// An absolute URL, checked by libcurl's URL parser.
#include <optional>
#include <string>

namespace launcher::platform {

class Url {
 public:
  // The URL for `text`, or nothing when libcurl refuses it (a blank, no scheme, an unsupported
  // scheme, ...) or when it holds a NUL.
  static std::optional<Url> parse(const std::string& text);

  const std::string& string() const { return text_; }
  // The scheme in lower case ("https" for "HTTPS://..."); empty when libcurl cannot tell it.
  std::string scheme() const;
  // The part of the path after its final "/", percent-decoded; without query and fragment.
  // "/" for the root path; empty when the path ends in "/".
  std::string lastPathComponent() const;

  bool operator==(const Url&) const = default;

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

}  // namespace launcher::platform
