#pragma once
// A small error record: a domain text, an integer code and a textual description.
#include <string>

namespace launcher::platform {

struct ErrorRecord {
  std::string domain;
  long code = 0;
  std::string description;  // one line; names the domain and the code where no other text is given
  bool operator==(const ErrorRecord&) const = default;
};

}  // namespace launcher::platform
