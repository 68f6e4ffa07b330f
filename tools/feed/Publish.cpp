#include "tools/feed/Publish.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <system_error>
#include <vector>

#include "Launcher/Config.h"
#include "Launcher/DeltaUpdate.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Nfd.h"
#include "Launcher/platform/Text.h"
#include "Launcher/platform/UniqueFd.h"
#include "Launcher/platform/Url.h"
#include "Zipwell/Zipwell.h"
#include "tools/feed/Keygen.h"
#include "tools/feed/PackageWriter.h"
#include "tools/feed/StagedFile.h"

namespace launcher::feed {
namespace {
namespace fs = std::filesystem;

std::string lowered(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

bool isUnreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// The application folder as an absolute, normalised path without a trailing separator.
fs::path normalisedFolder(const fs::path& folder) {
  std::error_code error;
  fs::path result = fs::absolute(folder, error).lexically_normal();
  if (error) result = folder.lexically_normal();
  if (!result.has_filename() && result.has_parent_path() && result != result.root_path())
    result = result.parent_path();
  return result;
}

std::vector<std::string> bundleWarnings(const fs::path& appFolder, std::string_view name,
                                        std::string_view applicationName) {
  std::vector<std::string> warnings;
  const std::string launched = std::string(applicationName) + ".app";
  if (platform::nfd(name) != platform::nfd(launched))
    warnings.push_back("the launcher starts " + platform::quotedLine(launched) + "; " +
                       platform::quotedLine(name) + " will be installed but not started");
  const fs::path appRun = appFolder / "AppRun";
  struct stat status {};
  if (::stat(appRun.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
      (status.st_mode & S_IXUSR) == 0)
    warnings.push_back(platform::quotedLine(appRun.string()) +
                       " is missing or not executable; the launcher cannot start the application");
  return warnings;
}

// The secret key to sign with, or why it cannot be used.
std::variant<minisign::SecretKey, Failure> loadSecretKey(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::string text(static_cast<std::size_t>(kMaxKeyFileBytes) + 1, '\0');
  if (file) file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (!file.is_open() || file.bad())
    return Failure::refused("cannot read the secret key " + platform::quotedLine(path.string()) +
                            ": " + std::generic_category().message(errno));
  text.resize(static_cast<std::size_t>(file.gcount()));
  const std::string prefix = "cannot sign with " + platform::quotedLine(path.string()) + ": ";
  if (text.size() > static_cast<std::size_t>(kMaxKeyFileBytes))
    return Failure::refused(prefix + "it is not a secret key file");
  auto key = minisign::parseSecretKey(text);
  if (!key) return Failure::refused(prefix + key.error());
  return *key;
}

// The bytes of the key file at `keyPath`; nothing when it is missing, empty or oversized, which
// loading the key describes.
std::optional<std::string> keyFileBytes(const fs::path& keyPath) {
  std::error_code error;
  const fs::path realKey = fs::canonical(keyPath, error);
  auto key = error ? std::nullopt : platform::readSmallFile(realKey, kMaxKeyFileBytes);
  if (!key || key->empty()) return std::nullopt;
  return key;
}

// The first file below `folder` (links not followed) that holds the bytes `key` of the key file:
// the key file itself, a hard link to it or a copy. Only files of the key's size are read; a
// folder that does not exist holds none. A folder that cannot be searched (a `lost+found`, say)
// is passed over, with why, in `unsearched`, rather than ending the search before the folders
// after it.
std::optional<fs::path> copyOfKeyIn(const fs::path& folder, const std::string& key,
                                    std::vector<std::string>& unsearched) {
  const auto cannotSearch = [&](const fs::path& path) {
    // Listed, and its files examined.
    if (::faccessat(AT_FDCWD, path.c_str(), R_OK | X_OK, AT_EACCESS) == 0) return false;
    const int why = errno;
    unsearched.push_back("cannot look for copies of the secret key in " +
                         platform::quotedLine(path.string()) + ": " + platform::describeErrno(why));
    return true;
  };
  std::error_code error;
  fs::recursive_directory_iterator entry(folder, error);
  if (error) {
    if (error != std::errc::no_such_file_or_directory) cannotSearch(folder);
    return std::nullopt;
  }
  for (const fs::recursive_directory_iterator end; !error && entry != end; entry.increment(error)) {
    std::error_code ignored;
    if (entry->is_directory(ignored) && !entry->is_symlink(ignored)) {
      if (cannotSearch(entry->path())) entry.disable_recursion_pending();
      continue;
    }
    if (entry->is_regular_file(ignored) && !entry->is_symlink(ignored) &&
        entry->file_size(ignored) == key.size() &&
        platform::readSmallFile(entry->path(), kMaxKeyFileBytes) == key)
      return entry->path();
  }
  return std::nullopt;
}

// Refuses a version that would not replace the feed's current one, unless forced. A feed without
// a version document takes any version.
std::optional<Failure> feedVersionProblem(const fs::path& documentPath, std::int64_t version,
                                          bool force) {
  if (force) return std::nullopt;
  std::error_code error;
  if (!fs::exists(fs::symlink_status(documentPath, error))) return std::nullopt;
  constexpr std::size_t kMaxDocument = std::size_t{1024} * 1024;  // far above any version document
  std::ifstream file(documentPath, std::ios::binary);
  std::string text(kMaxDocument + 1, '\0');
  if (file) file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (!file.is_open() || file.bad())
    return Failure::refused(
        "cannot read the feed's version document " + platform::quotedLine(documentPath.string()) +
        ": " + std::generic_category().message(errno) + "; pass --force to replace it");
  text.resize(static_cast<std::size_t>(file.gcount()));
  const auto current = text.size() > kMaxDocument ? std::nullopt : publishedVersion(text);
  if (!current)
    return Failure::refused("the feed's version document " +
                            platform::quotedLine(documentPath.string()) +
                            " holds no version number; pass --force to replace it");
  if (version <= *current)
    return Failure::refused(
        "version " + std::to_string(version) + " is not above version " + std::to_string(*current) +
        ", which the feed " +
        platform::quotedLine(documentPath.parent_path().parent_path().string()) +
        " already publishes; pass --force to publish it anyway");
  return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> parseVersionNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::string bundleNameProblem(std::string_view folderName, std::string_view applicationName) {
  const std::string expected = std::string(applicationName) + ".app";
  if (!platform::hasPrefixNFD(folderName, applicationName) ||
      !platform::hasSuffixNFD(folderName, ".app"))
    return "the application folder must be named like " + platform::quotedLine(expected) +
           " (beginning with " + platform::quotedLine(applicationName) +
           " and ending in \".app\"), not " + platform::quotedLine(folderName);
  const std::string versioned = std::string(applicationName) + " v.";
  if (platform::hasPrefixNFD(folderName, versioned))
    return "refusing the application folder " + platform::quotedLine(folderName) +
           ": the launcher deletes every bundle named " +
           platform::quotedLine(versioned + "*.app") +
           " at start, so the installed application would disappear; rename it to " +
           platform::quotedLine(expected);
  return {};
}

std::string baseUrlProblem(std::string_view baseUrl) {
  const std::string shown = platform::quotedLine(baseUrl);
  const std::size_t schemeEnd = baseUrl.find("://");
  const std::string scheme = schemeEnd == std::string_view::npos
                                 ? std::string()
                                 : lowered(baseUrl.substr(0, schemeEnd + 3));
  if (scheme != "http://" && scheme != "https://")
    return "the base URL must begin with http:// or https://, not " + shown;
  const std::string_view rest = baseUrl.substr(scheme.size());
  if (rest.empty() || rest.front() == '/') return "the base URL " + shown + " names no host";
  if (!platform::isValidUtf8(baseUrl))
    return "the base URL " + shown + " must be UTF-8 text, as the version document is";
  for (const char c : baseUrl) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::iscntrl(byte) || std::isspace(byte))
      return "the base URL " + shown + " contains white space or control characters";
    if (c == '?' || c == '#')
      return "the base URL " + shown +
             " has a query or fragment; the package name is appended to its path";
  }
  if (!platform::Url::parse(std::string(platform::withoutTrailingSlashes(baseUrl))))
    return "the base URL " + shown + " is not a well-formed URL";
  return {};
}

std::string packageNameProblem(std::string_view packageName) {
  const std::string shown = platform::quotedLine(packageName);
  if (packageName.empty()) return "the package name is empty";
  if (packageName.find('/') != std::string_view::npos || packageName.front() == '.')
    return "the package name " + shown + " must be a plain file name not beginning with \".\"";
  if (!platform::isValidUtf8(packageName) ||
      std::any_of(packageName.begin(), packageName.end(),
                  [](char c) { return std::iscntrl(static_cast<unsigned char>(c)) != 0; }))
    return "the package name " + shown + " must be UTF-8 text without control characters";
  if (!platform::hasZipExtension(packageName))
    return "the package name " + shown + " must end in \".zip\"";
  // The signature's trusted comment names the file after the version: a second "version:" in
  // it would make every launcher refuse the package.
  if (packageName.find("version:") != std::string_view::npos)
    return "the package name " + shown + " must not contain \"version:\"";
  return {};
}

std::string versionedPackageName(std::string_view packageName, std::int64_t version) {
  const fs::path name{std::string(packageName)};
  return name.stem().string() + "-" + std::to_string(version) + name.extension().string();
}

std::optional<std::int64_t> publishedVersion(std::string_view document) {
  const auto json = nlohmann::json::parse(document, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  const auto data = json.find("data");
  if (data == json.end() || !data->is_object()) return std::nullopt;
  const auto attributes = data->find("attributes");
  if (attributes == data->end() || !attributes->is_object()) return std::nullopt;
  const auto version = attributes->find("application_version");
  if (version == attributes->end() || !version->is_string()) return std::nullopt;
  return parseVersionNumber(version->get<std::string>());
}

std::string packageUrl(std::string_view baseUrl, std::string_view packageName) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result(platform::withoutTrailingSlashes(baseUrl));
  result += '/';
  for (const char c : packageName) {
    const auto byte = static_cast<unsigned char>(c);
    if (isUnreserved(byte)) {
      result += c;
    } else {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 0x0f];
    }
  }
  return result;
}

std::string versionDocument(std::int64_t version, const std::string& packageUrl,
                            const std::string& signature, const std::string& manifestUrl) {
  nlohmann::json document = {{"data",
                              {{"attributes",
                                {{"application_version", std::to_string(version)},
                                 {"application_url_mac", packageUrl}}}}}};
  if (!signature.empty()) document["data"]["attributes"]["application_signature_mac"] = signature;
  if (!manifestUrl.empty())
    document["data"]["attributes"]["application_manifest_mac"] = manifestUrl;
  return document.dump(2) + "\n";
}

namespace {
// The folder for scratch files: $TMPDIR when set and not empty, else /tmp, as mktemp(1) has it.
// A TMPDIR that names no folder fails where it is used, with its name in the message.
std::string scratchFolder() {
  const char* value = std::getenv("TMPDIR");
  return value != nullptr && value[0] != '\0' ? std::string(value) : std::string("/tmp");
}
}  // namespace

// The launcher extracts the .zip files it finds in a package, and a refusal inside one fails
// the whole install: a package that holds any is extracted here as the launcher would, so that
// the publisher learns it now. `unpacked` receives those that the extraction unpacked and
// removed; one that is no archive stays a file, as it does in the launcher.
std::optional<Failure> nestedArchivesProblem(const std::string& package,
                                             const PackageSummary& summary,
                                             std::vector<std::string>& unpacked) {
  if (summary.nestedArchives.empty()) return std::nullopt;
  const std::string scratch = scratchFolder();
  std::string folder = (fs::path(scratch) / "launcher-feed-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr)
    return Failure::runtime(
        platform::describeErrno("cannot check the nested archives in", scratch, errno));
  std::optional<platform::ErrorRecord> error;
  // The extraction's own lines are not the tool's.
  platform::setConsoleSink([](platform::ConsoleStream, std::string_view) {});
  bool storageFailed = false;
  const bool extracted =
      Zipwell::unzipFileAtPath(package, folder, true, std::nullopt, &error, &storageFailed);
  platform::setConsoleSink(nullptr);
  if (extracted)
    for (const auto& name : summary.nestedArchives) {
      std::error_code ignored;
      if (!fs::is_regular_file(fs::symlink_status(fs::path(folder) / name, ignored)))
        unpacked.push_back(name);
    }
  static_cast<void>(platform::removeTree(folder));
  if (extracted) return std::nullopt;
  const std::string why = error ? error->description : "an entry could not be extracted in full";
  // Room or a disk that fails here says nothing of what the launcher would do.
  if (storageFailed || (error && error->code == Zipwell::kNotEnoughSpace))
    return Failure::runtime("cannot check the nested archives: " + why);
  return Failure::refused("the launcher would refuse this package: " + why);
}

namespace {

// The files a signed publish adds beside the package, staged: the package's signature, and the
// manifest of its entries with the manifest's own signature.
struct SignedFiles {
  std::string signature;  // the package's .minisig text
  std::optional<StagedFile> signatureFile;
  std::optional<StagedFile> manifestFile;
  std::optional<StagedFile> manifestSignatureFile;
};

// Signs the staged package at `packagePath` with `secretKey`, then stages in `feedFolder` its
// signature, the manifest of its entries and the manifest's signature; `report` gets their
// paths, the key id and a warning when the manifest is larger than launchers read.
std::optional<Failure> stageSignedFiles(const minisign::SecretKey& secretKey,
                                        const fs::path& packagePath, const fs::path& feedFolder,
                                        const std::string& packageName, PublishReport& report,
                                        SignedFiles& files) {
  auto signedText =
      minisign::signFile(secretKey, packagePath,
                         "version:" + std::to_string(report.version) + "\tfile:" + packageName);
  if (!signedText) return Failure::runtime("cannot sign the package: " + signedText.error());
  files.signature = *signedText;
  report.signaturePath = feedFolder / (packageName + ".minisig");
  report.keyId = minisign::keyIdText(secretKey.id);
  files.signatureFile.emplace(report.signaturePath);
  if (auto failure = files.signatureFile->creationFailure()) return *failure;
  if (auto failure = files.signatureFile->write(files.signature)) return *failure;

  // The manifest of the package's entries, signed the same way, lets a launcher check an
  // update that fetches only the entries that changed.
  auto digests = delta::digestEntries(packagePath);
  if (auto* problem = std::get_if<std::string>(&digests))
    return Failure::runtime("cannot list the package's entries: " + *problem);
  report.manifestPath = feedFolder / (packageName + ".manifest");
  files.manifestFile.emplace(report.manifestPath);
  if (auto failure = files.manifestFile->creationFailure()) return *failure;
  const std::string manifestText =
      delta::packageManifestText(std::get<delta::PackageManifest>(digests));
  if (auto failure = files.manifestFile->write(manifestText)) return *failure;
  // Launchers still install the package whole; only their updates lose the changed entries.
  if (manifestText.size() > delta::kMaxSignedManifestBytes)
    report.warnings.push_back(
        "the signed manifest takes " + std::to_string(manifestText.size()) +
        " bytes, more than the " + std::to_string(delta::kMaxSignedManifestBytes >> 20) +
        " MiB a launcher reads: updates to this version download the whole package (fewer "
        "entries or shorter names make it smaller)");
  auto signedManifest = minisign::signFile(
      secretKey, files.manifestFile->path(),
      "version:" + std::to_string(report.version) + "\tfile:" + packageName + ".manifest");
  if (!signedManifest)
    return Failure::runtime("cannot sign the manifest: " + signedManifest.error());
  files.manifestSignatureFile.emplace(feedFolder / (packageName + ".manifest.minisig"));
  if (auto failure = files.manifestSignatureFile->creationFailure()) return *failure;
  if (auto failure = files.manifestSignatureFile->write(*signedManifest)) return *failure;
  return std::nullopt;
}

}  // namespace

std::variant<PublishReport, Failure> publish(const PublishRequest& request,
                                             std::string_view applicationName) {
  // Every check comes before the first write.
  const auto version = parseVersionNumber(request.version);
  if (!version)
    return Failure::refused(
        "the version must be a whole number greater than 0 written in digits only (at most " +
        std::to_string(std::numeric_limits<std::int64_t>::max()) + "), not " +
        platform::quotedLine(request.version));
  if (auto problem = baseUrlProblem(request.baseUrl); !problem.empty())
    return Failure::refused(problem);
  if (auto problem = packageNameProblem(request.packageName); !problem.empty())
    return Failure::refused(problem);

  const fs::path appFolder = normalisedFolder(request.appFolder);
  std::error_code error;
  const auto appStatus = fs::status(appFolder, error);
  if (!fs::exists(appStatus))
    return Failure::refused("the application folder " +
                            platform::quotedLine(request.appFolder.string()) + " does not exist");
  if (!fs::is_directory(appStatus))
    return Failure::refused(platform::quotedLine(request.appFolder.string()) + " is not a folder");
  const std::string bundleName = appFolder.filename().string();
  if (auto problem = bundleNameProblem(bundleName, applicationName); !problem.empty())
    return Failure::refused(problem);

  // An empty path (an unset variable in a script, say) would be the current folder.
  if (request.feedFolder.empty())
    return Failure::refused("the feed folder is an empty path: name the folder to write into");
  const fs::path feedFolder = normalisedFolder(request.feedFolder);
  const auto feedStatus = fs::status(feedFolder, error);
  if (fs::exists(feedStatus) && !fs::is_directory(feedStatus))
    return Failure::refused("the feed folder " + platform::quotedLine(request.feedFolder.string()) +
                            " exists and is not a folder");
  std::error_code appError, feedError;
  const fs::path realApp = fs::canonical(appFolder, appError);
  const fs::path realFeed = fs::weakly_canonical(feedFolder, feedError);
  if (!appError && !feedError && platform::isWithin(realFeed, realApp))
    return Failure::refused("the feed folder " + platform::quotedLine(request.feedFolder.string()) +
                            " lies inside the application folder and would be packaged into it");
  // A key kept among the application's files would go out to every user with the package; one
  // among the feed's files, to anyone who asks its server.
  std::vector<std::string> unsearched;
  if (const auto key = request.secretKey.empty() ? std::nullopt : keyFileBytes(request.secretKey)) {
    const struct {
      const fs::path& folder;
      const char* named;
      const char* consequence;
    } places[] = {
        {appFolder, "the application folder", "it would be published with the package"},
        {feedFolder, "the feed folder", "it would be served with the package; keep it elsewhere"},
    };
    for (const auto& place : places)
      if (auto copy = copyOfKeyIn(place.folder, *key, unsearched))
        return Failure::refused(std::string(place.named) + " holds the secret key " +
                                platform::quotedLine(request.secretKey.string()) + " at " +
                                platform::quotedLine(copy->string()) + ": " + place.consequence);
  }

  const fs::path documentPath = feedFolder / std::string(kVersionDocumentPath);
  if (auto problem = feedVersionProblem(documentPath, *version, request.force)) return *problem;

  std::optional<minisign::SecretKey> secretKey;
  if (!request.secretKey.empty()) {
    auto loaded = loadSecretKey(request.secretKey);
    if (auto* failure = std::get_if<Failure>(&loaded)) return *failure;
    secretKey = std::get<minisign::SecretKey>(loaded);
  }

  const std::string packageName = request.versionedName
                                      ? versionedPackageName(request.packageName, *version)
                                      : request.packageName;
  PublishReport report;
  report.version = *version;
  report.packageUrl = packageUrl(request.baseUrl, packageName);
  report.packagePath = feedFolder / packageName;
  report.versionPath = documentPath;
  report.warnings = bundleWarnings(appFolder, bundleName, applicationName);
  report.warnings.insert(report.warnings.end(), unsearched.begin(), unsearched.end());

  // The folders made here are opened to a web server that runs as another user, as the files
  // are, whatever the umask; folders that exist keep their modes.
  if (auto made = platform::createDirectory(report.versionPath.parent_path().string(), true,
                                            std::nullopt, 0755);
      !made)
    return Failure::runtime(platform::escapeLine(made.error));

  StagedFile package(report.packagePath);
  if (auto failure = package.creationFailure()) return *failure;
  auto written = writePackage(appFolder, package.path());
  if (auto* failure = std::get_if<Failure>(&written)) return *failure;
  const auto& summary = std::get<PackageSummary>(written);
  std::vector<std::string> unpackedArchives;
  if (auto failure = nestedArchivesProblem(package.path(), summary, unpackedArchives))
    return *failure;
  // The package is signed before anything is moved into place.
  SignedFiles signedFiles;
  if (secretKey) {
    if (auto failure = stageSignedFiles(*secretKey, package.path(), feedFolder, packageName, report,
                                        signedFiles))
      return *failure;
  }
  // The document too is written whole before anything is moved into place, so that a full
  // disk never leaves a new package beside the old document; it is moved last.
  StagedFile document(report.versionPath);
  if (auto failure = document.creationFailure()) return *failure;
  if (auto failure = document.write(
          versionDocument(report.version, report.packageUrl, signedFiles.signature,
                          report.manifestPath.empty() ? "" : report.packageUrl + ".manifest")))
    return *failure;

  // Two publishes into one feed at once would each find the feed's version below their own, and
  // the files of one could land beside the document of the other. From the last look at the
  // feed's version until its own document is in place, a publish holds the feed folder.
  const platform::UniqueFd feedLock(::open(feedFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int locked = -1;
  if (feedLock) {
    do {
      locked = ::flock(feedLock.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
  }
  if (locked != 0)
    report.warnings.push_back(
        platform::describeErrno("cannot lock the feed folder", feedFolder.string(), errno) +
        "; another publish into it at the same time could mix its files with these");
  if (auto problem = feedVersionProblem(documentPath, *version, request.force)) return *problem;

  // Every file is on the disk, and every name free for it, before the first move: a failure then
  // leaves the feed's files as they were, never a new package under the old document.
  std::vector<StagedFile*> staged{&package};
  for (auto* file :
       {&signedFiles.signatureFile, &signedFiles.manifestFile, &signedFiles.manifestSignatureFile})
    if (*file) staged.push_back(&**file);
  staged.push_back(&document);
  for (StagedFile* file : staged) {
    if (auto failure = file->settle(0644)) return *failure;
    if (auto failure = file->targetProblem()) return *failure;
  }
  for (StagedFile* file : staged)
    if (auto failure = file->place(true)) return *failure;
  if (!secretKey) {
    // An earlier signed publish's files would no longer match the package.
    for (const char* suffix : {".minisig", ".manifest", ".manifest.minisig"})
      fs::remove(feedFolder / (packageName + suffix), error);
  }
  report.entries = summary.entries;
  report.packageBytes = summary.bytes;
  for (const auto& name : unpackedArchives)
    report.warnings.push_back(platform::quotedLine(name) +
                              " will not be installed as a file: the launcher extracts .zip files "
                              "found in the package and then deletes them");
  return report;
}

int runPublish(const PublishRequest& request, std::ostream& out, std::ostream& err) {
  const auto outcome = publish(request, APPLICATION_NAME());
  if (const auto* failure = std::get_if<Failure>(&outcome)) {
    err << "launcher-feed: " << failure->message << std::endl;
    return failure->exitCode();
  }
  const auto& report = std::get<PublishReport>(outcome);
  for (const auto& warning : report.warnings) err << "launcher-feed: warning: " << warning << "\n";
  err.flush();
  out << "wrote " << report.packagePath.string() << " (" << report.entries << " entries, "
      << report.packageBytes << " bytes)\n";
  if (!report.signaturePath.empty())
    out << "wrote " << report.signaturePath.string() << " (key id " << report.keyId << ")\n";
  if (!report.manifestPath.empty())
    out << "wrote " << report.manifestPath.string() << " and its signature\n";
  out << "wrote " << report.versionPath.string() << " (version " << report.version << ")\n"
      << "package address " << report.packageUrl << std::endl;
  return kExitSuccess;
}

}  // namespace launcher::feed
