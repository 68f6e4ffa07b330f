#pragma once
// The real feed tool serving a feed folder on 127.0.0.1, at a port it picks.
#include <string>

#include "tests/support/ChildProcess.h"

namespace launcher::testing {

// The port in a whole "serving <FEED> on http://127.0.0.1:<port>" line of `errors`; 0 before
// there is one.
int servingPort(const std::string& errors);

class ServedFeed {
 public:
  // Runs `<tool> serve <feed> --port 0` (the folder is created when missing) and waits until it
  // announces its port. Throws std::runtime_error when it does not.
  ServedFeed(const std::string& tool, const std::string& feed);

  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string address() const;
  // "127.0.0.1:<port>", the form of the launcher's server setting.
  std::string hostAndPort() const;
  // What the server has written: its announcement and one line per request.
  std::string log() const { return process_.errors(); }

 private:
  ChildProcess process_;
  int port_ = 0;
};

}  // namespace launcher::testing
