#include "tests/support/ServedFeed.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace launcher::testing {
namespace {

std::vector<std::string> serveCommand(const std::string& tool, const std::string& feed) {
  std::filesystem::create_directories(feed);
  return {tool, "serve", feed, "--port", "0"};
}

}  // namespace

int servingPort(const std::string& errors) {
  const std::string marker = " on http://127.0.0.1:";
  const auto at = errors.find(marker);
  if (at == std::string::npos || errors.find('\n', at) == std::string::npos) return 0;
  return std::atoi(errors.c_str() + at + marker.size());
}

ServedFeed::ServedFeed(const std::string& tool, const std::string& feed)
    : process_(serveCommand(tool, feed), {}) {
  if (process_.waitForErrorLine("serving", true)) port_ = servingPort(process_.errors());
  if (port_ <= 0) throw std::runtime_error("the feed server did not start: " + process_.errors());
}

std::string ServedFeed::address() const {
  return "http://" + hostAndPort();
}

std::string ServedFeed::hostAndPort() const {
  return "127.0.0.1:" + std::to_string(port_);
}

}  // namespace launcher::testing
