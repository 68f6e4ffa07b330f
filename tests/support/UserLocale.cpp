#include "tests/support/UserLocale.h"

#include <clocale>
#include <cstdlib>

namespace launcher::testing {

UserLocale::UserLocale(int category, const std::string& language) : category_(category) {
  const std::string name = language + ".UTF-8";
  active_ = std::setlocale(category, name.c_str()) != nullptr;
  if (active_) return;
  const std::string command =
      "localedef -i " + language + " -f UTF-8 '" + (made_ / name) + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return;
  madeHere_ = ::setenv("LOCPATH", made_.path().c_str(), 1) == 0;
  active_ = madeHere_ && std::setlocale(category, name.c_str()) != nullptr;
}

UserLocale::~UserLocale() {
  std::setlocale(category_, "C");
  if (madeHere_) ::unsetenv("LOCPATH");
}

}  // namespace launcher::testing
