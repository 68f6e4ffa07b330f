#include "tools/feed/Keygen.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <ostream>
#include <system_error>
#include <tuple>

#include "Launcher/Config.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/Text.h"
#include "tools/feed/StagedFile.h"

namespace launcher::feed {
namespace {
namespace fs = std::filesystem;

// A path inside a message: quoted, control characters escaped.
std::string shown(const fs::path& path) {
  return platform::quotedLine(path.string());
}

std::string nameProblem(const std::string& name) {
  if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos ||
      std::any_of(name.begin(), name.end(),
                  [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; }))
    return "the key name \"" + name +
           "\" must be a plain file name without control characters, not beginning with \".\"";
  return {};
}

// A key file that is already there is replaced only when asked to.
Failure withForceHint(Failure failure) {
  if (failure.exitCode() == kExitRefused) failure.message += "; pass --force to replace it";
  return failure;
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

  // The folders made for the keys are the publisher's alone whatever the umask: whoever may
  // change the folder could put a public key of theirs in it, to be built into the launcher, or
  // take the secret key's place.
  const mode_t savedMask = ::umask(077);
  fs::create_directories(request.folder, error);
  ::umask(savedMask);
  if (error)
    return Failure::runtime("cannot create " + shown(request.folder) + ": " + error.message());
  // Both files are written before either is moved into place, so that a full disk leaves the
  // old pair as it was. The public key goes first: the secret key an existing launcher's public
  // key belongs to is replaced last, and only once its new public key is in place.
  StagedFile secretKey(report.secretKeyPath), publicKey(report.publicKeyPath);
  for (auto [file, content, mode] : {std::tuple{&secretKey, &keys->secretKeyFile, mode_t{0600}},
                                     std::tuple{&publicKey, &keys->publicKeyFile, mode_t{0644}}}) {
    if (auto failure = file->creationFailure()) return *failure;
    if (auto failure = file->write(*content)) return *failure;
    if (auto failure = file->settle(mode)) return *failure;
  }
  const auto oldPublicKey =
      request.force ? platform::readSmallFile(report.publicKeyPath.string(), kMaxKeyFileBytes)
                    : std::nullopt;
  if (auto failure = publicKey.place(request.force)) return withForceHint(*failure);
  if (auto failure = secretKey.place(request.force)) {
    // The old secret key stays; its public key goes back beside it.
    StagedFile restored(report.publicKeyPath);
    if (!oldPublicKey)
      ::unlink(report.publicKeyPath.c_str());
    else if (restored.creationFailure() || restored.write(*oldPublicKey) || restored.commit())
      failure->message += "; " + shown(report.publicKeyPath) +
                          " now holds the new public key, which does not belong to the old secret "
                          "key: run keygen --force again";
    return withForceHint(*failure);
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
