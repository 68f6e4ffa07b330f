#include "tests/support/NginxServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Launcher/platform/UniqueFd.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/TestFolders.h"

namespace launcher::testing {
namespace {
namespace fs = std::filesystem;

constexpr int kPortAttempts = 5;
constexpr auto kStartPatience = std::chrono::seconds(20);

// True once something accepts connections on 127.0.0.1:`port`.
bool accepts(int port) {
  const platform::UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A path as one argument of a directive, whatever spaces, quotes or semicolons it holds.
std::string quoted(const std::string& path) {
  std::string text = "\"";
  for (const char c : path) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + '"';
}

// The configuration: one server on 127.0.0.1:`port`, everything nginx writes inside `work`. One
// process (no master), so that stopping it leaves nothing behind.
std::string configuration(const std::string& feed, const std::string& prefix,
                          const std::string& workFolder, std::uint64_t bytesPerSecond, int port) {
  const auto work = [&workFolder](const std::string& name) {
    return quoted(workFolder + "/" + name);
  };
  std::ostringstream text;
  text << "master_process off;\n"
       << "pid " << work("nginx.pid") << ";\n"
       << "error_log " << work("error.log") << ";\n"
       << "events { worker_connections 64; }\n"
       << "http {\n"
       << "  types { application/zip zip; }\n"
       << "  default_type application/octet-stream;\n"
       // Files sent from the page cache, as Debian's own configuration has it.
       << "  sendfile on;\n";
  for (const char* temporary : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    text << "  " << temporary << "_temp_path " << work(temporary) << ";\n";
  text << "  log_format transfer '$request_method $uri $status $body_bytes_sent "
          "\"$http_range\" \"$http_if_range\"';\n"
       << "  access_log " << work("access.log") << " transfer;\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << port << ";\n";
  if (bytesPerSecond > 0) text << "    limit_rate " << bytesPerSecond << ";\n";
  // As a publisher would: the version document never cached, the packages cacheable.
  text << "    location = " << prefix << "/v/version {\n"
       << "      alias " << quoted(feed + "/v/version") << ";\n"
       << "      default_type application/json;\n"
       << "      add_header Cache-Control \"no-cache\";\n"
       << "    }\n"
       << "    location " << prefix << "/ { alias " << quoted(feed + "/") << "; }\n"
       << "  }\n"
       << "}\n";
  return text.str();
}

}  // namespace

std::string NginxServer::program() {
  std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  std::vector<std::string> folders;
  for (std::string folder; std::getline(path, folder, ':');) folders.push_back(folder);
  folders.push_back("/usr/sbin");
  for (const auto& folder : folders)
    if (!folder.empty() && ::access((folder + "/nginx").c_str(), X_OK) == 0)
      return folder + "/nginx";
  return {};
}

NginxServer::NginxServer(const std::string& feed, const std::string& prefix,
                         const std::string& workFolder, std::uint64_t bytesPerSecond)
    : feed_(feed), prefix_(prefix), work_(workFolder), bytesPerSecond_(bytesPerSecond) {
  if (program().empty()) throw std::runtime_error("nginx is not installed");
  fs::create_directories(work_);
  fs::create_directories(feed_);
  // nginx cannot be given port 0: a port that was free a moment ago is tried, and another one
  // when something took it meanwhile.
  for (int attempt = 0; attempt < kPortAttempts; ++attempt)
    if (start(freePort())) return;
  throw std::runtime_error("nginx found no free port: " + readFile(work_ + "/error.log"));
}

bool NginxServer::start(int port) {
  const std::string conf = work_ + "/nginx.conf";
  writeFile(conf, configuration(feed_, prefix_, work_, bytesPerSecond_, port));
  fs::remove(work_ + "/error.log");
  // nginx writes its pid file once it has bound its port, so the pid there tells its listener
  // from one that another process put on the port meanwhile.
  const std::string pidFile = work_ + "/nginx.pid";
  fs::remove(pidFile);
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{program(), "-p", work_, "-c", conf, "-e", work_ + "/error.log", "-g",
                               "daemon off;"},
      std::map<std::string, std::string>{});
  const auto limit = std::chrono::steady_clock::now() + kStartPatience;
  while (std::chrono::steady_clock::now() < limit) {
    if (std::atoi(readFile(pidFile).c_str()) == process_->pid() && accepts(port)) {
      port_ = port;
      return true;
    }
    if (process_->waitForExit(std::chrono::milliseconds(0))) {
      const std::string errors = readFile(work_ + "/error.log") + process_->errors();
      process_.reset();
      if (errors.find("Address already in use") != std::string::npos) return false;
      throw std::runtime_error("nginx did not start: " + errors);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("nginx did not listen in time: " + readFile(work_ + "/error.log"));
}

NginxServer::~NginxServer() = default;

std::string NginxServer::serverSetting() const {
  return "127.0.0.1:" + std::to_string(port_) + prefix_;
}

std::string NginxServer::address() const {
  return "http://" + serverSetting();
}

std::vector<std::string> NginxServer::accessLog() const {
  std::vector<std::string> lines;
  std::ifstream log(work_ + "/access.log");
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

}  // namespace launcher::testing
