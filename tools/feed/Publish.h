#pragma once
// Publishing a release: the package archive and the version document the launcher asks for.
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tools/feed/Failure.h"

namespace launcher::feed {

inline constexpr std::string_view kDefaultPackageName = "package_mac.zip";
// Where the version document lies inside the feed folder, and the path the launcher requests.
inline constexpr std::string_view kVersionDocumentPath = "v/version";

// Input checks. Each "problem" function returns an empty text for an acceptable value and
// otherwise one line saying why it is refused.

// A release number: ASCII digits only, greater than 0, within the signed 64-bit range (leading
// zeros allowed). Nothing otherwise.
std::optional<std::int64_t> parseVersionNumber(std::string_view text);
// The application folder's name must begin with `applicationName` and end in ".app" (compared in
// canonical decomposed form, as the launcher does), and must not begin with
// `applicationName` + " v.", since the launcher deletes such bundles at every start.
std::string bundleNameProblem(std::string_view folderName, std::string_view applicationName);
// An absolute http:// or https:// address with a host, without query or fragment, which the
// package name can be appended to.
std::string baseUrlProblem(std::string_view baseUrl);
// A plain file name ending in ".zip" that the server will publish: no "/", no leading ".".
std::string packageNameProblem(std::string_view packageName);

// The package name for one version, so that caches never serve an old package under a name that
// a new version uses: "-<version>" before the extension, "package_mac.zip" -> "package_mac-3.zip".
std::string versionedPackageName(std::string_view packageName, std::int64_t version);

// The version published in a feed's version document, read from its text; nothing when the text
// is not such a document or its version is not a number above 0.
std::optional<std::int64_t> publishedVersion(std::string_view document);

// `baseUrl` without its trailing slashes, "/", and the package name percent-encoded.
std::string packageUrl(std::string_view baseUrl, std::string_view packageName);
// The version server's answer: {"data":{"attributes":{"application_version":"<version>",
// "application_url_mac":"<packageUrl>"}}}, both values JSON strings. A signed package adds
// "application_signature_mac", the text of its .minisig file, and "application_manifest_mac",
// the address of its signed manifest.
std::string versionDocument(std::int64_t version, const std::string& packageUrl,
                            const std::string& signature = {}, const std::string& manifestUrl = {});

struct PublishRequest {
  std::filesystem::path appFolder;
  std::string version;
  std::string baseUrl;
  std::filesystem::path feedFolder;
  std::string packageName = std::string(kDefaultPackageName);
  // An unencrypted secret key file in minisign's format; empty to publish unsigned.
  std::filesystem::path secretKey;
  // Name the package per version (see versionedPackageName).
  bool versionedName = false;
  // Publish even when the feed already holds this version or a newer one, or a version document
  // that cannot be read.
  bool force = false;
};

struct PublishReport {
  std::filesystem::path packagePath;
  std::filesystem::path versionPath;
  // <package>.minisig beside the package, when signed; and then the package's manifest (one
  // line per entry, folders included: SHA-256, size, mode, date and name; see
  // delta::packageManifestText) with its own .minisig beside it.
  std::filesystem::path signaturePath;
  std::filesystem::path manifestPath;
  std::string keyId;
  std::string packageUrl;
  std::int64_t version = 0;
  std::size_t entries = 0;
  std::uintmax_t packageBytes = 0;
  // Things that do not stop publishing but that the publisher should know.
  std::vector<std::string> warnings;
};

// Checks the request, then writes the package into the feed folder, its signature when a secret
// key is given, and after them the version document, which names the package just written (so that
// a launcher never sees a version whose package or signature is not there yet), each first into a
// temporary file in its final folder and then renamed into place. The signature's trusted comment
// is "version:<N>\tfile:<package name>". The feed folder and its "v" folder are created when
// missing. Unless `force` is set, a version that is not above the one in the feed's version
// document, and a version document that cannot be read, are refused: checked first, and again
// just before the files move into place, with the feed folder locked (flock) until the document
// is in place, so that another publish into the same feed never mixes its files with these.
// `applicationName` is the launcher's build-time application name. Nothing is written when the
// request is refused; a package that fails part-way leaves the feed's files as they were (only
// the feed folder and its "v" folder may have been created).
std::variant<PublishReport, Failure> publish(const PublishRequest& request,
                                             std::string_view applicationName);

// The "publish" command: publishes with the configured application name, prints what was
// written on `out` and warnings or the failure on `err`. Returns the process exit code.
int runPublish(const PublishRequest& request, std::ostream& out, std::ostream& err);

}  // namespace launcher::feed
