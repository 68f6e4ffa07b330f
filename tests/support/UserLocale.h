#pragma once
// The process in a user's locale while the object lives, as the window launcher's toolkit sets the
// user's: for one category, "<language>.UTF-8" (say "de_DE", whose numbers have a decimal comma,
// or "tr_TR", whose 'I' lowers to no ASCII letter). Made from the system's locale sources when it
// is not installed; active() tells whether it could be had. Back to "C" afterwards.
#include <string>

#include "tests/support/TestFolders.h"

namespace launcher::testing {

class UserLocale {
 public:
  UserLocale(int category, const std::string& language);
  ~UserLocale();
  UserLocale(const UserLocale&) = delete;
  UserLocale& operator=(const UserLocale&) = delete;
  bool active() const { return active_; }

 private:
  int category_;
  TempDir made_;
  bool madeHere_ = false;
  bool active_ = false;
};

}  // namespace launcher::testing
