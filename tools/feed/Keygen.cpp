#include "tools/feed/Keygen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <system_error>
#include <utility>

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

// A key file written under a temporary name beside its target, and removed unless placed.
class StagedKey {
 public:
  explicit StagedKey(fs::path target) : target_(std::move(target)) {}
  StagedKey(const StagedKey&) = delete;
  StagedKey& operator=(const StagedKey&) = delete;
  ~StagedKey() {
    if (!staged_.empty()) ::unlink(staged_.c_str());
  }

  // Writes `content` with `mode` and flushes it to the disk.
  std::optional<Failure> write(const std::string& content, mode_t mode) {
    std::string staged = target_.parent_path() / ".";
    staged += target_.filename().string() + ".XXXXXX";
    const int fd = ::mkostemp(staged.data(), O_CLOEXEC);  // created 0600
    if (fd < 0)
      return Failure::runtime("cannot create a temporary file beside " + shown(target_) + ": " +
                              describeErrno(errno));
    staged_ = staged;
    const auto fail = [&](const std::string& what, int error) {
      ::close(fd);
      return Failure::runtime(what + " " + shown(staged_) + ": " + describeErrno(error));
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
    if (::close(fd) != 0)
      return Failure::runtime("cannot close " + shown(staged_) + ": " + describeErrno(errno));
    return std::nullopt;
  }

  // Moves the written file to its target: replacing an existing file when `replace`, otherwise
  // refusing if one appeared (link() leaves an existing target alone, so it is not lost).
  std::optional<Failure> place(bool replace) {
    const int moved = replace ? ::rename(staged_.c_str(), target_.c_str())
                              : ::link(staged_.c_str(), target_.c_str());
    const int error = errno;
    if (replace && moved == 0) staged_.clear();
    if (moved != 0 && error == EEXIST)
      return Failure::refused(shown(target_) + " already exists; pass --force to replace it");
    if (moved != 0)
      return Failure::runtime("cannot move the new key to " + shown(target_) + ": " +
                              describeErrno(error));
    return std::nullopt;
  }

 private:
  fs::path target_;
  std::string staged_;
};

// The text of a regular file of key size, if `path` is one.
std::optional<std::string> oldKeyText(const fs::path& path) {
  constexpr std::size_t kMaxKeyFile = std::size_t{64} * 1024;
  std::error_code error;
  const auto status = fs::symlink_status(path, error);
  if (error || !fs::is_regular_file(status) || fs::file_size(path, error) > kMaxKeyFile || error)
    return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file.good() && !file.eof()) return std::nullopt;
  return text;
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
  // Both files are written before either is moved into place, so that a full disk leaves the
  // old pair as it was. The public key goes first: the secret key an existing launcher's public
  // key belongs to is replaced last, and only once its new public key is in place.
  StagedKey secretKey(report.secretKeyPath), publicKey(report.publicKeyPath);
  if (auto failure = secretKey.write(keys->secretKeyFile, 0600)) return *failure;
  if (auto failure = publicKey.write(keys->publicKeyFile, 0644)) return *failure;
  const auto oldPublicKey = request.force ? oldKeyText(report.publicKeyPath) : std::nullopt;
  if (auto failure = publicKey.place(request.force)) return *failure;
  if (auto failure = secretKey.place(request.force)) {
    // The old secret key stays; its public key goes back beside it.
    StagedKey restored(report.publicKeyPath);
    if (!oldPublicKey)
      ::unlink(report.publicKeyPath.c_str());
    else if (restored.write(*oldPublicKey, 0644) || restored.place(true))
      failure->message += "; " + shown(report.publicKeyPath) +
                          " now holds the new public key, which does not belong to the old secret "
                          "key: run keygen --force again";
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
