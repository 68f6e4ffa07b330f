#pragma once
// nginx serving a feed folder on 127.0.0.1, as a static file server on the public side would: a
// child process whose configuration, pid file, logs and temporary files live in a folder of its
// own, on a port picked for it. The version document is served uncached, the packages with
// ranges, optionally no faster than a given rate.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace launcher::testing {

class NginxServer {
 public:
  // The nginx program, or empty when it is not installed.
  static std::string program();

  // Serves `feed` under the path `prefix` ("" or e.g. "/updates"), each answer sent at no more
  // than `bytesPerSecond` (0: as fast as it goes), with its files in `workFolder` (created).
  // Throws std::runtime_error when nginx does not start.
  NginxServer(const std::string& feed, const std::string& prefix, const std::string& workFolder,
              std::uint64_t bytesPerSecond = 0);
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  int port() const { return port_; }
  // "127.0.0.1:<port>" and the prefix: the form of the launcher's server setting.
  std::string serverSetting() const;
  // "http://" + serverSetting()
  std::string address() const;
  // One line per answered request, in order:
  //   <method> <path> <status> <body bytes sent> "<Range header>" "<If-Range header>"
  // with "-" for a header that was not sent.
  std::vector<std::string> accessLog() const;

 private:
  // Starts nginx on `port`; false when the port turned out to be taken.
  bool start(int port);

  std::string feed_, prefix_, work_;
  std::uint64_t bytesPerSecond_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace launcher::testing
