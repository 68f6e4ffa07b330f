#include "tools/feed/Keygen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <ostream>
#include <system_error>

#include "Launcher/Config.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/Text.h"

namespace launcher::feed {
namespace {
namespace fs = std::filesystem;

// A path inside a message: quoted, control characters escaped.
std::string shown(const fs::path& path) {
  return platform::quotedLine(path.string());
}

std::string describeErrno(int error) {
  return std::generic_category().message(error);
}

// Writes `content` with `mode` to a temporary file beside `target`, then moves it there:
// replacing an existing file when `replace`, otherwise failing with EEXIST if one appeared.
std::optional<Failure> writeKeyFile(const fs::path& target, const std::string& content, mode_t mode,
                                    bool replace) {
  std::string staged = target.parent_path() / ".";
  staged += target.filename().string() + ".XXXXXX";
  const int fd = ::mkostemp(staged.data(), O_CLOEXEC);  // created 0600
  if (fd < 0)
    return Failure::runtime("cannot create a temporary file beside " + shown(target) + ": " +
                            describeErrno(errno));
  const auto fail = [&](const std::string& what, int error) {
    ::close(fd);
    ::unlink(staged.c_str());
    return Failure::runtime(what + " " + shown(staged) + ": " + describeErrno(error));
  };
  std::string_view rest = content;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return fail("cannot write", errno);
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::fchmod(fd, mode) != 0) return fail("cannot set permissions of", errno);
  if (::fsync(fd) != 0) return fail("cannot flush", errno);
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(staged.c_str());
    return Failure::runtime("cannot close " + shown(staged) + ": " + describeErrno(error));
  }
  // link() leaves an existing target alone, so a file that appeared meanwhile is not lost.
  const int moved =
      replace ? ::rename(staged.c_str(), target.c_str()) : ::link(staged.c_str(), target.c_str());
  const int error = errno;
  if (!replace || moved != 0) ::unlink(staged.c_str());
  if (moved != 0 && error == EEXIST)
    return Failure::refused(shown(target) + " already exists; pass --force to replace it");
  if (moved != 0)
    return Failure::runtime("cannot move the new key to " + shown(target) + ": " +
                            describeErrno(error));
  return std::nullopt;
}

std::string nameProblem(const std::string& name) {
  if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos ||
      std::any_of(name.begin(), name.end(),
                  [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; }))
    return "the key name \"" + name +
           "\" must be a plain file name without control characters, not beginning with \".\"";
  return {};
}

}  // namespace

std::variant<KeygenReport, Failure> generateKeys(const KeygenRequest& request,
                                                 const std::string& applicationName) {
  if (auto problem = nameProblem(request.name); !problem.empty()) return Failure::refused(problem);
  KeygenReport report;
  report.publicKeyPath = request.folder / (request.name + ".pub");
  report.secretKeyPath = request.folder / (request.name + ".key");
  std::error_code error;
  if (fs::exists(request.folder, error) && !fs::is_directory(request.folder, error))
    return Failure::refused(shown(request.folder) + " exists and is not a folder");
  if (!request.force)
    for (const auto& path : {report.secretKeyPath, report.publicKeyPath})
      if (fs::symlink_status(path, error).type() != fs::file_type::not_found)
        return Failure::refused(shown(path) + " already exists; pass --force to replace it");

  auto keys = minisign::generateKeyPair(applicationName + " publisher");
  if (!keys) return Failure::runtime(keys.error());
  report.publicKeyLine = keys->publicKeyLine;
  report.keyId = minisign::keyIdText(keys->id);

  fs::create_directories(request.folder, error);
  if (error)
    return Failure::runtime("cannot create " + shown(request.folder) + ": " + error.message());
  if (auto failure = writeKeyFile(report.secretKeyPath, keys->secretKeyFile, 0600, request.force))
    return *failure;
  if (auto failure = writeKeyFile(report.publicKeyPath, keys->publicKeyFile, 0644, request.force)) {
    // A secret key without its public key is of no use; without --force it is ours to remove.
    if (!request.force) ::unlink(report.secretKeyPath.c_str());
    return *failure;
  }
  return report;
}

int runKeygen(const KeygenRequest& request, std::ostream& out, std::ostream& err) {
  const auto outcome = generateKeys(request, APPLICATION_NAME());
  if (const auto* failure = std::get_if<Failure>(&outcome)) {
    err << "launcher-feed: " << failure->message << std::endl;
    return failure->exitCode();
  }
  const auto& report = std::get<KeygenReport>(outcome);
  out << "wrote " << report.secretKeyPath.string() << " (secret key, keep it private)\n"
      << "wrote " << report.publicKeyPath.string() << " (public key, key id " << report.keyId
      << ")\n"
      << "public key: " << report.publicKeyLine << "\n"
      << "build the launcher with it: cmake -DAPPLICATION_PUBLIC_KEY=" << report.publicKeyLine
      << " ...\n"
      << "sign releases with it: launcher-feed publish ... --secret-key "
      << report.secretKeyPath.string() << std::endl;
  return kExitSuccess;
}

}  // namespace launcher::feed
