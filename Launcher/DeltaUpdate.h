#pragma once
// Updates that move only what changed. Every install leaves a manifest of the installed package
// in the install folder (.install-manifest): one row per file entry with what the package said of
// it and what the installed file looked like afterwards. An update then reads the new package's
// central directory by range requests, fetches only the entries whose row no longer fits (plus
// every folder and link entry, which are small) and writes them, as fetched, into a ZIP of their
// own, which the install pipeline extracts, stages and switches in like a whole package: the
// staged merge keeps the installed files the smaller archive lacks.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Launcher/HttpDownloader.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Url.h"
#include "Zipwell/ZipDirectory.h"

namespace launcher::delta {

// ---- The local manifest

// What an install left of one file entry: the entry's name, uncompressed size, CRC-32, DOS date
// and external attributes (mode) as the package gave them, the installed file's size and
// modification time (ns) right after the install, and the SHA-256 of the entry's content from
// the publisher's signed manifest ("-" without one).
struct ManifestRow {
  std::string name;
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  std::uint32_t dosDate = 0;
  std::uint32_t attributes = 0;
  std::uint64_t fileSize = 0;
  std::int64_t modified = 0;
  std::string sha256 = "-";
  bool operator==(const ManifestRow&) const = default;
};

struct LocalManifest {
  std::int64_t version = 0;  // the version installed with it
  std::map<std::string, ManifestRow> rows;
  bool operator==(const LocalManifest&) const = default;
};

// A header line and a "version <N>" line, then one tab-separated line per row. Nothing when `text`
// is not of that form.
std::string manifestText(const LocalManifest& manifest);
std::optional<LocalManifest> parseManifest(std::string_view text);

// The path below the install folder where the file entry `name` is installed, or nothing when
// the name is not a plain relative path of ordinary components, or lands on one of the
// launcher's own top-level names: such entries are never taken as unchanged.
std::optional<std::string> installedPath(std::string_view name);

// The rows for the file entries of `entries` installed as regular files in `installFolder` (below
// real folders, not links to folders), with the SHA-256 of each entry's content where `sha256`
// names one.
LocalManifest manifestOf(const std::string& installFolder, std::int64_t version,
                         const std::vector<zipdir::Entry>& entries,
                         const std::map<std::string, std::string>& sha256);
// Written so that a crash leaves it whole or absent; read back, nothing when missing or unusable.
platform::FileResult writeManifest(const std::string& installFolder, const LocalManifest& manifest);
std::optional<LocalManifest> readManifest(const std::string& installFolder);
void removeManifest(const std::string& installFolder);

// ---- What to fetch

// Which entries of `directory` must be fetched: every folder and link entry, every entry of a
// path that other entries write too, every file entry in the folder of a nested archive (or
// below it), every file entry at or below a path that is both a file or link and a folder of
// other entries, and every other file entry that is not unchanged. An entry is unchanged when its
// row names the same size, CRC-32, DOS date and attributes (and, with `sha256` given, the same
// SHA-256 as the signed manifest's) and the installed file still has the recorded size (the
// entry's) and modification time and the permissions the extraction gives the entry, reached
// through real folders alone: a link in the place of one of them gives way to the package's
// folder.
std::vector<bool> entriesToFetch(const zipdir::Directory& directory, const LocalManifest& manifest,
                                 const std::string& installFolder,
                                 const std::map<std::string, std::string>* sha256 = nullptr);
// DOS dates are local times: a file kept from an install in another time zone bears another date
// than the whole package gives it now. After an update, gives each file that `before` (the
// manifest of the install before it) still counts as unchanged the date its entry of `directory`
// gives in the present time zone; how many were given another date. A date that cannot be set is
// logged.
std::size_t redateKeptFiles(const std::string& installFolder, const LocalManifest& before,
                            const zipdir::Directory& directory);

// Bytes [first, end) of the package.
struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
  std::uint64_t size() const { return end - first; }
  bool operator==(const ByteRange&) const = default;
};

// Ranges at most this far apart are fetched as one, with the bytes between them.
inline constexpr std::uint64_t kSwallowedGap = std::uint64_t{64} * 1024;

// The fetch of the chosen entries: each entry's bytes run from its local header up to the next
// entry's local header (or the central directory), in offset order; neighbouring ranges are
// merged, and gaps of at most `gap` bytes swallowed. The ranges are written one after the other
// into the delta archive. Chosen folders without data are not fetched: their local header is made
// from the central record.
struct FetchPlan {
  std::vector<std::size_t> chosen;   // entry indexes, in the order of their local headers
  std::vector<std::size_t> written;  // entries made from their central record alone
  std::vector<ByteRange> ranges;     // in order, disjoint
  std::uint64_t bytes = 0;           // of all ranges
};
std::variant<FetchPlan, std::string> planFetch(const zipdir::Directory& directory,
                                               const std::vector<bool>& take,
                                               std::uint64_t gap = kSwallowedGap);

// Once the plan's ranges stand one after the other at the start of the file `archive`, checks
// each chosen entry's local header (and data descriptor, when the entry has one) against its
// central record, appends the written entries and a central directory of all of them with their
// new offsets, in the package's order: the file is then a ZIP archive of them. Says why when a
// local header or descriptor disagrees or the file cannot be read or written.
std::optional<std::string> finishArchive(const std::string& archive,
                                         const zipdir::Directory& directory, const FetchPlan& plan);

// ---- The publisher's signed manifest of a package

// One line per entry (folders, files and links): the SHA-256 of its content in lower-case hex,
// its size, its external attributes (the Unix mode in the upper half) and its MS-DOS date, both
// as eight hex digits, and its name, separated by single spaces. Published beside the package as
// "<package>.manifest" and signed like it ("<package>.manifest.minisig", trusted comment
// "version:<N>"): an update made of the changed entries alone then installs contents, modes and
// dates that the publisher signed, as the whole signed package would.
struct EntryDigest {
  std::string sha256;
  std::uint64_t size = 0;
  std::uint32_t attributes = 0;
  std::uint32_t dosDate = 0;
  bool operator==(const EntryDigest&) const = default;
};
using PackageManifest = std::map<std::string, EntryDigest>;
std::string packageManifestText(const PackageManifest& manifest);
// The most of a signed manifest that a launcher reads: past it, updates download the whole
// package.
constexpr std::size_t kMaxSignedManifestBytes = std::size_t{64} * 1024 * 1024;
std::optional<PackageManifest> parsePackageManifest(std::string_view text);

// The digests of the entries of the ZIP archive at `path`, read through (CRC checked); or why it
// cannot be read.
std::variant<PackageManifest, std::string> digestEntries(const std::string& path);

// The SHA-256 of each entry the signed manifest lists, by entry name.
std::map<std::string, std::string> digestsOf(const PackageManifest& manifest);

// Why the signed manifest does not describe the entries of `directory` (each listed once, with
// its size, attributes and date), or nothing.
std::optional<std::string> manifestMismatch(const PackageManifest& manifest,
                                            const zipdir::Directory& directory);

// Fetches the signed manifest at `address` and its signature (`address` + ".minisig") and checks
// them with the launcher's public key for `expectedVersion`; the manifest, or why not. `scratch`
// is a path in the temporary folder where the manifest is kept while it is checked. A manifest
// that the key signed for a later version than `expectedVersion` says that the publisher has
// published since the version was asked for: `later`, when given, then gets that version.
std::variant<PackageManifest, std::string> fetchSignedManifest(
    const std::string& address, const std::string& publicKey, std::int64_t expectedVersion,
    const std::string& scratch, std::optional<std::int64_t>* later = nullptr);

// ---- Over the network

// The delta archive is complete at the path it was asked for.
struct Fetched {
  zipdir::Directory directory;  // the new package's
  std::size_t entries = 0;      // in the delta archive: fetched, or made from the directory
};

// Reads the central directory of the package at `url` by range requests, decides what changed
// against `manifest`, fetches it into `archive` (in the temporary folder) and finishes it as a
// ZIP archive. Cut transfers are taken up again where they stopped (options.retries times, after
// options.retryPause, doubled each time); options.progress hears of the entries' bytes. A reason
// in words when any of it does not fit: then the whole package is to be downloaded. Nothing is
// fetched when the archive would leave less than HttpDownloader::kKeepFreeBytes free on its file
// system. With a `signedManifest`, it must list exactly the package's entries, a file counts as
// unchanged only with the SHA-256 recorded, and every entry fetched must have the digest it
// lists: when one does not, `refused` is set, and the update must not go on at all.
std::variant<Fetched, std::string> fetchChangedEntries(
    const platform::Url& url, const LocalManifest& manifest, const std::string& installFolder,
    const std::string& archive, const DownloadOptions& options,
    const PackageManifest* signedManifest, bool& refused);

// The central directory of the package file at `path` (a whole download), for its manifest.
std::variant<zipdir::Directory, std::string> readDirectory(const std::string& path);

}  // namespace launcher::delta
