#include "Launcher/DeltaUpdate.h"

#include <fcntl.h>
#include <minizip/unzip.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "Launcher/DownloadProgress.h"
#include "Launcher/Installer.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/Curl.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Text.h"
#include "Launcher/platform/UniqueFd.h"
#include "Zipwell/CentralDirectory.h"
#include "Zipwell/Zipwell.h"

namespace launcher::delta {
namespace {

constexpr std::string_view kManifestHeader = "launcher install manifest 1";
constexpr std::size_t kManifestColumns = 8;
// A manifest larger than this is not read.
constexpr off_t kMaxManifestBytes = off_t{256} * 1024 * 1024;
// The most a local header can take: its fixed part, a name and an extra field.
constexpr std::uint64_t kMaxLocalHeaderBytes = 30 + 0xFFFF + 0xFFFF;

std::string hex(std::uint32_t value) {
  char buffer[8];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
  return error == std::errc() ? std::string(buffer, end) : std::string();
}

// Eight hex digits, zero-padded.
std::string hex8(std::uint32_t value) {
  const std::string digits = hex(value);
  std::string text(8 - digits.size(), '0');
  text += digits;
  return text;
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value, int base = 10) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> split(std::string_view line, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t at = line.find(separator, start);
    parts.push_back(line.substr(start, at == std::string_view::npos ? line.npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

struct InstalledFile {
  std::uint64_t size = 0;
  std::int64_t modified = 0;
  mode_t permissions = 0;  // with set-user-ID, set-group-ID and sticky
};

// The files of an install folder as the staged merge finds them: a file counts only when every
// folder between the install folder and it is a real folder. A link standing for one of them is
// replaced by the package's folder, and what lies behind the link goes with it. Each folder is
// looked at once, however many files share it.
class InstalledTree {
 public:
  explicit InstalledTree(std::string installFolder) : installFolder_(std::move(installFolder)) {}

  // The regular file at `relative` (a path of plain components), or nothing.
  std::optional<InstalledFile> regularFile(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    if (slash != std::string::npos && !realFolder(relative.substr(0, slash))) return std::nullopt;
    struct stat status {};
    if (::lstat(pathOf(relative).c_str(), &status) != 0 || !S_ISREG(status.st_mode))
      return std::nullopt;
    return InstalledFile{
        static_cast<std::uint64_t>(status.st_size),
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
        static_cast<mode_t>(status.st_mode & 07777)};
  }

  std::string pathOf(const std::string& relative) const { return installFolder_ + "/" + relative; }

 private:
  // Whether `relative` and each folder above it is a folder, not a link; each judged once. Up
  // from `relative` to the first folder already judged, then down again: a loop, so that a tree
  // thousands of folders deep takes no more of the stack than a flat one.
  bool realFolder(const std::string& relative) {
    std::vector<std::size_t> ends;  // of the folders not judged yet, deepest first
    bool real = true;
    for (std::size_t end = relative.size();;) {
      if (const auto known = folders_.find(relative.substr(0, end)); known != folders_.end()) {
        real = known->second;
        break;
      }
      ends.push_back(end);
      const std::size_t slash = end == 0 ? std::string::npos : relative.rfind('/', end - 1);
      if (slash == std::string::npos) break;
      end = slash;
    }
    for (auto end = ends.rbegin(); end != ends.rend(); ++end) {
      const std::string folder = relative.substr(0, *end);
      struct stat status {};
      real = real && ::lstat(pathOf(folder).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
      folders_.emplace(folder, real);
    }
    return real;
  }

  std::string installFolder_;
  std::map<std::string, bool> folders_;
};

// Where an entry's file lands below the install folder, spelled as the extraction spells it.
std::string writtenPath(std::string_view name) {
  std::string path;
  for (const std::string& part : zipwell::entryPathParts(name)) {
    if (!path.empty()) path += '/';
    path += part;
  }
  return path;
}

// Whether the extraction takes the entry written at `path` for a nested archive: it then unpacks
// it beside itself, into the folder that holds it, over any file there or below.
bool nests(const zipdir::Entry& entry, const std::string& path) {
  return entry.isFile() && platform::hasZipExtension(path.substr(path.rfind('/') + 1));
}

// Nanoseconds since the epoch, as the manifest records a file's modification time.
std::int64_t nanosecondsOf(platform::FileTime time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

// True once `visit` is true of a folder above `path` ("a", then "a/b", for "a/b/c").
template <typename Visit>
bool anyFolderAbove(const std::string& path, Visit visit) {
  for (std::size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1))
    if (visit(path.substr(0, slash))) return true;
  return false;
}

// The CRC-32 of a regular file's bytes; nothing when it cannot be read whole.
std::optional<std::uint32_t> crcOfFile(const std::string& path) {
  const platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file) return std::nullopt;
  std::vector<unsigned char> buffer(std::size_t{64} * 1024);
  uLong crc = crc32(0L, Z_NULL, 0);
  for (;;) {
    const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) return static_cast<std::uint32_t>(crc);
    crc = crc32(crc, buffer.data(), static_cast<uInt>(count));
  }
}

}  // namespace

// ---- The local manifest

std::string manifestText(const LocalManifest& manifest) {
  std::string text(kManifestHeader);
  text += "\nversion " + std::to_string(manifest.version) + "\n";
  for (const auto& [name, row] : manifest.rows) {
    text += row.name + "\t" + std::to_string(row.size) + "\t" + hex(row.crc) + "\t" +
            hex(row.dosDate) + "\t" + hex(row.attributes) + "\t" + std::to_string(row.fileSize) +
            "\t" + std::to_string(row.modified) + "\t" + row.sha256 + "\n";
  }
  return text;
}

std::optional<LocalManifest> parseManifest(std::string_view text) {
  if (text.empty() || text.back() != '\n') return std::nullopt;
  text.remove_suffix(1);
  const auto lines = split(text, '\n');
  if (lines.size() < 2 || lines[0] != kManifestHeader || !lines[1].starts_with("version "))
    return std::nullopt;
  LocalManifest manifest;
  if (!parseNumber(lines[1].substr(8), manifest.version) || manifest.version <= 0)
    return std::nullopt;
  for (std::size_t index = 2; index < lines.size(); ++index) {
    const auto fields = split(lines[index], '\t');
    if (fields.size() != kManifestColumns) return std::nullopt;
    ManifestRow row;
    row.name = std::string(fields[0]);
    row.sha256 = std::string(fields[7]);
    if (row.name.empty() || platform::hasControlCharacter(row.name) || row.sha256.empty() ||
        !parseNumber(fields[1], row.size) || !parseNumber(fields[2], row.crc, 16) ||
        !parseNumber(fields[3], row.dosDate, 16) || !parseNumber(fields[4], row.attributes, 16) ||
        !parseNumber(fields[5], row.fileSize) || !parseNumber(fields[6], row.modified))
      return std::nullopt;
    if (!manifest.rows.emplace(row.name, row).second) return std::nullopt;
  }
  return manifest;
}

std::optional<std::string> installedPath(std::string_view name) {
  if (name.empty() || name.front() == '/' || name.back() == '/' ||
      platform::hasControlCharacter(name) || name.find('\\') != std::string_view::npos)
    return std::nullopt;
  const auto parts = split(name, '/');
  for (const std::string_view part : parts)
    if (part.empty() || part == "." || part == "..") return std::nullopt;
  if (isReservedEntryName(parts.front())) return std::nullopt;
  return std::string(name);
}

LocalManifest manifestOf(const std::string& installFolder, std::int64_t version,
                         const std::vector<zipdir::Entry>& entries,
                         const std::map<std::string, std::string>& sha256) {
  LocalManifest manifest;
  manifest.version = version;
  // A path that two entries write, under one name or two spellings of it, holds whichever came
  // last, which no row can tell: it gets none, and is always fetched. A nested archive is
  // extracted beside itself and may write over files of the package: with one in the package, a
  // file gets a row only while it holds its own entry's bytes.
  std::map<std::string, std::size_t> writers;
  InstalledTree tree(installFolder);
  bool nested = false;
  for (const zipdir::Entry& entry : entries) {
    const std::string path = writtenPath(entry.name);
    nested = nested || nests(entry, path);
    ++writers[path];
  }
  for (const zipdir::Entry& entry : entries) {
    if (!entry.isFile()) continue;
    const auto relative = installedPath(entry.name);
    if (!relative || writers[*relative] > 1) continue;
    // A nested archive, extracted in place, is no longer a file: always fetched.
    const std::string path = tree.pathOf(*relative);
    const auto installed = tree.regularFile(*relative);
    if (!installed || installed->size != entry.uncompressedSize) continue;
    if (nested && crcOfFile(path) != entry.crc) continue;
    ManifestRow row{
        entry.name,      entry.uncompressedSize, entry.crc, entry.dosDate, entry.externalAttributes,
        installed->size, installed->modified,    "-"};
    if (const auto digest = sha256.find(entry.name); digest != sha256.end())
      row.sha256 = digest->second;
    manifest.rows.emplace(entry.name, std::move(row));
  }
  return manifest;
}

platform::FileResult writeManifest(const std::string& installFolder,
                                   const LocalManifest& manifest) {
  return platform::writeFileDurably(installFolder + "/" + std::string(kManifestFileName),
                                    manifestText(manifest));
}

std::optional<LocalManifest> readManifest(const std::string& installFolder) {
  const auto text = platform::readSmallFile(installFolder + "/" + std::string(kManifestFileName),
                                            kMaxManifestBytes);
  return text ? parseManifest(*text) : std::nullopt;
}

void removeManifest(const std::string& installFolder) {
  // Gone or not there: either way no update is decided on it.
  static_cast<void>(::unlink((installFolder + "/" + std::string(kManifestFileName)).c_str()));
}

// ---- What to fetch

std::vector<bool> entriesToFetch(const zipdir::Directory& directory, const LocalManifest& manifest,
                                 const std::string& installFolder,
                                 const std::map<std::string, std::string>* sha256) {
  std::vector<bool> take(directory.entries.size(), true);
  InstalledTree tree(installFolder);
  // A mode changed since the install leaves the size and time: the extraction would set it back.
  const mode_t umask = Zipwell::currentUmask();
  // A path that several entries write ends with the last of them, and a nested archive writes
  // over files of its folder: the extraction of the fetched entries ends as the whole package's
  // only with every one of them, however unchanged each looks.
  std::map<std::string, std::size_t> writers;
  std::set<std::string> nestFolders;  // "" for the install folder
  // A path that one entry writes as a file or link and another needs as a folder makes the
  // extraction fail: it must see every entry at and below that path, as in the whole package.
  std::set<std::string> leaves;   // the paths of file and link entries
  std::set<std::string> folders;  // every folder above an entry
  for (const zipdir::Entry& entry : directory.entries) {
    const std::string path = writtenPath(entry.name);
    if (nests(entry, path)) {
      const std::size_t slash = path.rfind('/');
      nestFolders.insert(slash == std::string::npos ? std::string() : path.substr(0, slash));
    }
    ++writers[path];
    if (!entry.isFolder()) leaves.insert(path);
    anyFolderAbove(path, [&folders](std::string folder) {
      folders.insert(std::move(folder));
      return false;
    });
  }
  const auto belowALeaf = [&leaves](const std::string& path) {
    return anyFolderAbove(path,
                          [&leaves](const std::string& folder) { return leaves.contains(folder); });
  };
  const auto belowANest = [&nestFolders](const std::string& path) {
    return !nestFolders.empty() && (nestFolders.contains("") ||
                                    anyFolderAbove(path, [&nestFolders](const std::string& folder) {
                                      return nestFolders.contains(folder);
                                    }));
  };
  for (std::size_t index = 0; index < directory.entries.size(); ++index) {
    const zipdir::Entry& entry = directory.entries[index];
    if (!entry.isFile()) continue;
    const std::string path = writtenPath(entry.name);
    if (writers[path] > 1 || belowANest(path) || folders.contains(path) || belowALeaf(path))
      continue;
    const auto row = manifest.rows.find(entry.name);
    const auto relative = installedPath(entry.name);
    if (row == manifest.rows.end() || !relative) continue;
    const ManifestRow& recorded = row->second;
    if (recorded.size != entry.uncompressedSize || recorded.crc != entry.crc ||
        recorded.dosDate != entry.dosDate || recorded.attributes != entry.externalAttributes)
      continue;
    if (sha256 != nullptr) {
      const auto digest = sha256->find(entry.name);
      if (digest == sha256->end() || recorded.sha256 != digest->second) continue;
    }
    // The file must hold as many bytes as the entry, whatever a damaged row says it held.
    const auto installed = tree.regularFile(*relative);
    if (!installed || installed->size != entry.uncompressedSize ||
        installed->size != recorded.fileSize || installed->modified != recorded.modified ||
        installed->permissions != Zipwell::extractedFileMode(entry.externalAttributes, umask))
      continue;
    take[index] = false;
  }
  return take;
}

std::size_t redateKeptFiles(const std::string& installFolder, const LocalManifest& before,
                            const zipdir::Directory& directory) {
  // The files that the install of `before` left as they were are those an update would keep.
  const std::vector<bool> changed = entriesToFetch(directory, before, installFolder);
  InstalledTree tree(installFolder);
  Zipwell::Dates dates;
  std::size_t redated = 0;
  for (std::size_t index = 0; index < directory.entries.size(); ++index) {
    const zipdir::Entry& entry = directory.entries[index];
    // An entry without a date leaves the file its own.
    if (changed[index] || !entry.isFile() || entry.dosDate == 0) continue;
    const auto relative = installedPath(entry.name);
    const std::int64_t date = nanosecondsOf(dates(entry.dosDate));
    const auto installed = relative ? tree.regularFile(*relative) : std::nullopt;
    if (!installed || installed->modified == date) continue;
    const timespec times[2] = {{0, UTIME_OMIT}, {date / 1000000000, date % 1000000000}};
    const std::string path = tree.pathOf(*relative);
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
      platform::logLine(
          platform::describeErrno("cannot set the modification date of", path, errno));
      continue;
    }
    ++redated;
  }
  return redated;
}

std::variant<FetchPlan, std::string> planFetch(const zipdir::Directory& directory,
                                               const std::vector<bool>& take, std::uint64_t gap) {
  if (take.size() != directory.entries.size())
    return std::string("the choice does not match the directory");
  std::vector<std::size_t> order(directory.entries.size());
  for (std::size_t index = 0; index < order.size(); ++index) order[index] = index;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return directory.entries[a].localHeader < directory.entries[b].localHeader;
  });
  FetchPlan plan;
  for (std::size_t at = 0; at < order.size(); ++at) {
    const zipdir::Entry& entry = directory.entries[order[at]];
    const std::uint64_t end = at + 1 < order.size() ? directory.entries[order[at + 1]].localHeader
                                                    : directory.location.offset;
    // Parsing guarantees the data fits before the directory; two entries at one place do not.
    if (end - entry.localHeader < 30 + entry.name.size() + entry.compressedSize)
      return "entry \"" + entry.name + "\" shares its bytes with the next one";
    if (!take[order[at]]) continue;
    if (entry.compressedSize == 0 && !entry.hasDataDescriptor() && entry.isFolder()) {
      plan.written.push_back(order[at]);
      continue;
    }
    plan.chosen.push_back(order[at]);
    if (!plan.ranges.empty() && entry.localHeader - plan.ranges.back().end <= gap)
      plan.ranges.back().end = end;
    else
      plan.ranges.push_back({entry.localHeader, end});
  }
  for (const ByteRange& range : plan.ranges) plan.bytes += range.size();
  return plan;
}

std::optional<std::string> finishArchive(const std::string& archive,
                                         const zipdir::Directory& directory,
                                         const FetchPlan& plan) {
  platform::UniqueFd file(::open(archive.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  struct stat status {};
  if (!file || ::fstat(file.get(), &status) != 0)
    return platform::describeErrno("cannot open", archive, errno);
  if (static_cast<std::uint64_t>(status.st_size) != plan.bytes)
    return std::string("the delta archive does not hold the bytes fetched");
  std::map<std::size_t, std::uint64_t> offsets;  // new local header offsets, in directory order
  std::size_t range = 0;
  std::uint64_t rangeStart = 0;  // where plan.ranges[range] begins in the file
  for (const std::size_t index : plan.chosen) {
    const zipdir::Entry& entry = directory.entries[index];
    while (range < plan.ranges.size() && plan.ranges[range].end <= entry.localHeader)
      rangeStart += plan.ranges[range++].size();
    if (range == plan.ranges.size() || entry.localHeader < plan.ranges[range].first)
      return "entry \"" + entry.name + "\" was not fetched";
    const std::uint64_t at = rangeStart + (entry.localHeader - plan.ranges[range].first);
    const std::uint64_t available = plan.ranges[range].end - entry.localHeader;
    const auto bytes = platform::readAt(file.get(), at, std::min(available, kMaxLocalHeaderBytes));
    if (!bytes) return platform::describeErrno("cannot read", archive, errno);
    auto local = zipdir::parseLocalHeader(*bytes);
    if (auto* problem = std::get_if<std::string>(&local))
      return "entry \"" + entry.name + "\": " + *problem;
    const auto& header = std::get<zipdir::LocalHeader>(local);
    if (auto mismatch = zipdir::localHeaderMismatch(header, entry))
      return "entry \"" + entry.name + "\": " + *mismatch;
    if (available - header.length < entry.compressedSize)
      return "entry \"" + entry.name + "\" has more data than lies before the next entry";
    if (entry.hasDataDescriptor()) {
      // The CRC and sizes follow the data: bytes of another package under the same validator
      // show here before the extraction would fail on them.
      const std::uint64_t data = header.length + entry.compressedSize;
      const auto descriptor =
          platform::readAt(file.get(), at + data, std::min<std::uint64_t>(available - data, 24));
      if (!descriptor) return platform::describeErrno("cannot read", archive, errno);
      if (!zipdir::dataDescriptorMatches(*descriptor, entry))
        return "entry \"" + entry.name + "\": its data descriptor does not match its record";
    }
    offsets[index] = at;
  }
  std::string records;
  for (const std::size_t index : plan.written) {
    offsets[index] = plan.bytes + records.size();
    records += zipdir::localHeaderOf(directory.entries[index]);
  }
  const std::uint64_t start = plan.bytes + records.size();
  for (const auto& [index, at] : offsets)
    records += zipdir::centralRecord(directory.entries[index], at);
  records += zipdir::endRecords(offsets.size(), start, plan.bytes + records.size() - start);
  // After the fetched bytes, which end the file (its size was checked above).
  if (::lseek(file.get(), 0, SEEK_END) < 0 || !platform::writeAll(file.get(), records))
    return platform::describeErrno("cannot write", archive, errno);
  if (::fsync(file.get()) != 0 || !file.reset())
    return platform::describeErrno("cannot write", archive, errno);
  return std::nullopt;
}

// ---- The publisher's signed manifest of a package

std::string packageManifestText(const PackageManifest& manifest) {
  std::string text;
  for (const auto& [name, digest] : manifest)
    text += digest.sha256 + " " + std::to_string(digest.size) + " " + hex8(digest.attributes) +
            " " + hex8(digest.dosDate) + " " + name + "\n";
  return text;
}

std::optional<PackageManifest> parsePackageManifest(std::string_view text) {
  if (!text.empty() && text.back() != '\n') return std::nullopt;
  PackageManifest manifest;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    // Four fields and the name, which may hold spaces itself.
    std::string_view fields[4];
    std::string_view rest = line;
    for (std::string_view& field : fields) {
      const std::size_t space = rest.find(' ');
      if (space == rest.npos) return std::nullopt;
      field = rest.substr(0, space);
      rest.remove_prefix(space + 1);
    }
    const std::string_view name = rest;
    EntryDigest digest;
    digest.sha256 = std::string(fields[0]);
    if (digest.sha256.size() != 64 ||
        !std::all_of(digest.sha256.begin(), digest.sha256.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }) ||
        !parseNumber(fields[1], digest.size) || fields[2].size() != 8 || fields[3].size() != 8 ||
        !parseNumber(fields[2], digest.attributes, 16) ||
        !parseNumber(fields[3], digest.dosDate, 16) || name.empty() ||
        platform::hasControlCharacter(name) || !manifest.emplace(std::string(name), digest).second)
      return std::nullopt;
  }
  return manifest;
}

namespace {
struct UnzipCloser {
  void operator()(void* handle) const { static_cast<void>(unzClose(handle)); }
};
using UnzipFile = std::unique_ptr<void, UnzipCloser>;

}  // namespace

std::variant<PackageManifest, std::string> digestEntries(const std::string& path) {
  // As many entries as the directory holds. Past 65,535 entries minizip writes 0xFFFF in the plain
  // end record, and reading such a directory it never meets its end: the step past the last
  // record fails as over a damaged one.
  std::size_t count = 0;
  {
    const platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return platform::describeErrno("cannot open", path, errno);
    auto directory = zipwell::readCentralDirectory(file.get());
    if (auto* why = std::get_if<std::string>(&directory))
      return "cannot read the directory of \"" + path + "\": " + *why;
    count = std::get<zipwell::CentralDirectory>(directory).entries.size();
  }
  const UnzipFile zip(unzOpen64(path.c_str()));
  if (!zip) return "cannot open \"" + path + "\" as a ZIP archive";
  PackageManifest manifest;
  std::vector<char> buffer(std::size_t{256} * 1024);
  for (std::size_t index = 0; index < count; ++index) {
    if ((index == 0 ? unzGoToFirstFile(zip.get()) : unzGoToNextFile(zip.get())) != UNZ_OK)
      return std::string("cannot go to the next entry");
    unz_file_info64 info{};
    std::string name(0xFFFF, '\0');
    if (unzGetCurrentFileInfo64(zip.get(), &info, name.data(), name.size() + 1, nullptr, 0, nullptr,
                                0) != UNZ_OK)
      return std::string("cannot read an entry's record");
    name.resize(info.size_filename);
    if (unzOpenCurrentFile(zip.get()) != UNZ_OK) return "cannot open entry \"" + name + "\"";
    crypto_hash_sha256_state state;
    if (crypto_hash_sha256_init(&state) != 0) return std::string("cannot start a digest");
    std::uint64_t size = 0;
    int got = 0;
    while ((got = unzReadCurrentFile(zip.get(), buffer.data(),
                                     static_cast<unsigned>(buffer.size()))) > 0) {
      if (crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(buffer.data()),
                                    static_cast<unsigned long long>(got)) != 0)
        return std::string("cannot digest an entry");
      size += static_cast<std::uint64_t>(got);
    }
    if (unzCloseCurrentFile(zip.get()) != UNZ_OK || got < 0)
      return "entry \"" + name + "\" cannot be read whole";
    unsigned char digest[crypto_hash_sha256_BYTES];
    char digestText[crypto_hash_sha256_BYTES * 2 + 1];
    if (crypto_hash_sha256_final(&state, digest) != 0) return std::string("cannot end a digest");
    // Lower-case hexadecimal, as the manifest writes it.
    sodium_bin2hex(digestText, sizeof digestText, digest, sizeof digest);
    manifest[name] = {digestText, size, static_cast<std::uint32_t>(info.external_fa),
                      static_cast<std::uint32_t>(info.dosDate)};
  }
  return manifest;
}

std::map<std::string, std::string> digestsOf(const PackageManifest& manifest) {
  std::map<std::string, std::string> digests;
  for (const auto& [name, digest] : manifest) digests.emplace(name, digest.sha256);
  return digests;
}

std::optional<std::string> manifestMismatch(const PackageManifest& manifest,
                                            const zipdir::Directory& directory) {
  // An entry named twice could stand in for one the manifest lists: the count would still match.
  std::set<std::string_view> seen;
  for (const zipdir::Entry& entry : directory.entries) {
    if (!seen.insert(entry.name).second) return "the package names \"" + entry.name + "\" twice";
    const auto listed = manifest.find(entry.name);
    if (listed == manifest.end()) return "the signed manifest lacks \"" + entry.name + "\"";
    if (listed->second.size != entry.uncompressedSize)
      return "the signed manifest gives \"" + entry.name + "\" another size";
    if (listed->second.attributes != entry.externalAttributes)
      return "the signed manifest gives \"" + entry.name + "\" another mode";
    if (listed->second.dosDate != entry.dosDate)
      return "the signed manifest gives \"" + entry.name + "\" another date";
  }
  if (directory.entries.size() != manifest.size())
    return std::string("the signed manifest lists entries the package does not have");
  return std::nullopt;
}

// ---- Over the network

namespace {

bool cutByNetwork(CURLcode code) {
  return platform::cutMidTransfer(code) || code == CURLE_OPERATION_TIMEDOUT;
}

using CurlHeaders = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;
using Sink = std::function<bool(const char* data, std::size_t size)>;

// Range requests of one package over one connection. The first answer fixes the package's size
// and validator; every later request carries the validator in If-Range, and every answer must be
// a 206 for exactly the bytes asked, of a package of that size.
class RangeClient {
 public:
  RangeClient(std::string address, const DownloadOptions& options)
      : address_(std::move(address)), options_(options), handle_(platform::makeCurlEasy()) {}

  std::uint64_t packageSize() const { return size_.value_or(0); }

  // Requests from now on give up, with `why`, once `deadline` has passed; none: they take as
  // long as their transfer goes on.
  void setDeadline(std::optional<std::chrono::steady_clock::time_point> deadline,
                   std::string why = {}) {
    deadline_ = deadline;
    deadlineMissed_ = std::move(why);
  }

  // The last `count` bytes of the package (fewer when it is smaller) into `out`.
  std::optional<std::string> fetchTail(std::uint64_t count, std::string& out) {
    for (int retry = 0;; ++retry) {
      out.clear();
      Request request;
      // Appended: GCC 12 at -O3 reports a false -Wrestrict inside "-" + std::string.
      request.range = "-";
      request.range += std::to_string(count);
      request.suffix = count;
      request.sink = [&out](const char* data, std::size_t size) {
        out.append(data, size);
        return true;
      };
      const auto outcome = perform(request);
      if (!outcome.cut) return outcome.refusal;
      if (retry >= options_.retries) return "the transfer was cut off: " + *outcome.refusal;
      pause(retry, *outcome.refusal);
    }
  }

  // Bytes [range.first, range.end) to `sink`, taken up again where a cut left them; `quiet` is
  // called every options.quietReport in which none arrive.
  std::optional<std::string> fetch(ByteRange range, const Sink& sink,
                                   const std::function<void()>& quiet) {
    std::uint64_t first = range.first;
    for (int retry = 0;; ++retry) {
      Request request;
      request.range = std::to_string(first) + "-" + std::to_string(range.end - 1);
      request.first = first;
      request.last = range.end - 1;
      request.sink = [&](const char* data, std::size_t size) {
        first += size;
        return sink(data, size);
      };
      request.quiet = quiet;
      const auto outcome = perform(request);
      if (!outcome.cut) return outcome.refusal;
      if (first >= range.end) return std::nullopt;
      if (retry >= options_.retries) return "the transfer was cut off: " + *outcome.refusal;
      pause(retry, *outcome.refusal);
    }
  }

 private:
  struct Request {
    std::string range;
    std::uint64_t suffix = 0;  // a suffix range: its length
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    Sink sink;
    std::function<void()> quiet;  // called while no byte arrives, when set
    RangeClient* client = nullptr;
    bool begun = false;
    std::uint64_t left = 0;              // bytes of the answer's range still to come
    std::optional<std::string> refusal;  // the answer does not fit: no retry
    bool noMemory = false;  // memory ran out in the callback (thrown once libcurl returns)
  };
  struct Outcome {
    std::optional<std::string> refusal;
    bool cut = false;  // the network cut the transfer; refusal describes it
  };

  void pause(int retry, const std::string& why) const {
    const auto pause = options_.retryPause * (1 << retry);
    platform::logLine("delta update: the transfer was cut off (" + why +
                      "); taking it up again in " + std::to_string(pause.count()) + " ms");
    std::this_thread::sleep_for(pause);
  }

  // Takes up the answer once its headers are in. False (with the refusal set) when it does not
  // fit.
  static bool begin(Request& request) {
    RangeClient& client = *request.client;
    CURL* h = client.handle_.get();
    request.begun = true;
    long status = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    if (status == 200) {
      request.refusal = "the server answered a range request with the whole package";
      return false;
    }
    if (status != 206) {
      request.refusal = "HTTP status " + std::to_string(status);
      return false;
    }
    const auto range = platform::contentRangeOf(h);
    if (!range || !range->size) {
      request.refusal = "a partial answer without a usable Content-Range";
      return false;
    }
    if (const auto coding = platform::contentCodingOf(h)) {
      request.refusal = "the server sent the package encoded (" + *coding + ")";
      return false;
    }
    if (!client.size_) {
      client.size_ = range->size;
      client.validator_ = platform::rangeValidator(h);
      if (!client.validator_) {
        request.refusal = "the server names no validator (ETag or Last-Modified) for the package";
        return false;
      }
    } else if (range->size != *client.size_ ||
               platform::namesAnotherValidator(h, *client.validator_)) {
      request.refusal = "the package changed during the update";
      return false;
    }
    const bool fits =
        request.suffix > 0
            ? range->last + 1 == *range->size &&
                  *range->size - range->first == std::min(request.suffix, *range->size)
            : range->first == request.first && range->last == request.last;
    if (!fits) {
      request.refusal = "the server sent other bytes than those asked for";
      return false;
    }
    request.left = range->last - range->first + 1;
    return true;
  }

  // No exception may pass through libcurl: memory that runs out stops the transfer, and
  // perform throws it once libcurl has returned.
  static size_t write(char* data, size_t size, size_t count, void* userdata) {
    auto& request = *static_cast<Request*>(userdata);
    return platform::guardCallback(request.noMemory, size_t{CURL_WRITEFUNC_ERROR},
                                   [&] { return take(request, data, size * count); });
  }

  static size_t take(Request& request, char* data, size_t total) {
    if (!request.begun && !begin(request)) return CURL_WRITEFUNC_ERROR;
    // A body longer than its range is never taken in, however long it would go on.
    if (total > request.left) {
      request.refusal = "the server sent more bytes than those asked for";
      return CURL_WRITEFUNC_ERROR;
    }
    request.left -= total;
    if (!request.sink(data, total)) {
      request.refusal = "cannot write the fetched bytes";
      return CURL_WRITEFUNC_ERROR;
    }
    return total;
  }

  Outcome perform(Request& request) {
    if (!handle_) return {"cannot create a libcurl handle", false};
    request.client = this;
    CURL* h = handle_.get();
    CurlHeaders headers(nullptr, &curl_slist_free_all);
    if (validator_) {
      headers.reset(curl_slist_append(nullptr, ("If-Range: " + *validator_).c_str()));
      if (!headers) return {"cannot set up the request", false};
    }
    long timeLeft = 0;  // milliseconds; 0: no limit
    if (deadline_) {
      timeLeft = static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(
                                       *deadline_ - std::chrono::steady_clock::now())
                                       .count());
      if (timeLeft <= 0) return {deadlineMissed_, false};
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    if (!platform::applyPackageOptions(h, address_.c_str(), options_.lowSpeedBytes,
                                       options_.lowSpeedTime, errorBuffer) ||
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeLeft) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &RangeClient::write) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &request) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_RANGE, request.range.c_str()) != CURLE_OK ||
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) != CURLE_OK)
      return {"cannot set up the request", false};
    platform::QuietWatch watch;
    watch.quiet = request.quiet;
    watch.interval = options_.quietReport;
    if (request.quiet && !platform::watchQuietSpells(h, &watch))
      return {"cannot set up the request", false};
    const CURLcode code = curl_easy_perform(h);
    // The handle keeps the connection for the next request, but none of this one's pointers.
    static_cast<void>(curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr));
    static_cast<void>(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr));
    static_cast<void>(platform::watchQuietSpells(h, nullptr));
    if (request.noMemory || watch.noMemory) throw std::bad_alloc();
    if (request.refusal) return {request.refusal, false};
    if (code != CURLE_OK && deadline_ && std::chrono::steady_clock::now() >= *deadline_)
      return {deadlineMissed_, false};
    if (code != CURLE_OK)
      return {platform::describeCurlError(code, errorBuffer, address_), cutByNetwork(code)};
    if (!request.begun && !begin(request)) return {request.refusal, false};
    // An answer without a length ends when the connection closes, which may be early.
    if (request.left > 0)
      return {"the answer ended " + std::to_string(request.left) + " bytes short of its range",
              true};
    return {};
  }

  std::string address_;
  const DownloadOptions& options_;
  platform::CurlEasy handle_;
  std::optional<std::uint64_t> size_;
  std::optional<std::string> validator_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  std::string deadlineMissed_;
};

std::string withSeparators(std::uint64_t number) {
  // Appended digit by digit: GCC 12 at -O3 reports a false -Wrestrict inside string inserts.
  const std::string digits = std::to_string(number);
  std::string text;
  for (std::size_t at = 0; at < digits.size(); ++at) {
    if (at > 0 && (digits.size() - at) % 3 == 0) text += ',';
    text += digits[at];
  }
  return text;
}

// Why the delta archive `archive` of `plan` would leave less than the whole download keeps free
// (HttpDownloader::kKeepFreeBytes) on the file system of its folder, or nothing; nothing too when
// the file system does not tell, as it then refuses writes itself when full.
std::optional<std::string> noRoomFor(const std::string& archive, const zipdir::Directory& directory,
                                     const FetchPlan& plan) {
  // The fetched ranges, then what finishArchive appends: the written entries' local headers, a
  // central record of each entry (counted with a ZIP64 offset, the longest it gets) and the end
  // records.
  std::uint64_t needed = plan.bytes + HttpDownloader::kKeepFreeBytes;
  for (const std::size_t index : plan.written)
    needed += zipdir::localHeaderOf(directory.entries[index]).size();
  for (const auto* indexes : {&plan.chosen, &plan.written})
    for (const std::size_t index : *indexes)
      needed += zipdir::centralRecord(directory.entries[index], UINT64_MAX).size();
  needed += zipdir::endRecords(plan.chosen.size() + plan.written.size(), 0, 0).size();
  const std::string folder = std::filesystem::path(archive).parent_path().string();
  const auto available = platform::freeBytesAt(folder.empty() ? "." : folder);
  if (!available || needed <= *available) return std::nullopt;
  return "the changed entries need " + formatBytes(needed) + " but only " +
         formatBytes(*available) + " is free in the temporary folder";
}

// Comparing the entries with the install keeps every folder above every entry, each name a copy
// of its own: names deep and long enough (a few thousand folders each), or enough of them, would
// take more memory and time than the whole download. Past this much, counted with each folder's
// keeping, the whole package is downloaded.
constexpr std::uint64_t kMaxFolderBytes = std::uint64_t{128} * 1024 * 1024;

std::optional<std::string> tooDeepToCompare(const zipdir::Directory& directory) {
  constexpr std::uint64_t kKeeping = 64;  // a set's node and a string's own bytes, about
  std::uint64_t bytes = 0;
  for (const zipdir::Entry& entry : directory.entries)
    for (std::size_t slash = entry.name.find('/'); slash != std::string::npos;
         slash = entry.name.find('/', slash + 1))
      if ((bytes += slash + kKeeping) > kMaxFolderBytes)
        return "the package's paths are too many or too deep to compare with the install";
  return std::nullopt;
}

}  // namespace

std::variant<Fetched, std::string> fetchChangedEntries(
    const platform::Url& url, const LocalManifest& manifest, const std::string& installFolder,
    const std::string& archive, const DownloadOptions& options,
    const PackageManifest* signedManifest, bool& refused) {
  refused = false;
  RangeClient client(url.string(), options);
  // The tail and the directory are small beside the package: a server that hands them out a
  // trickle at a time does not hold the update for hours.
  client.setDeadline(
      std::chrono::steady_clock::now() + options.directoryDeadline,
      "the package's central directory did not arrive within " +
          std::to_string(
              std::chrono::ceil<std::chrono::seconds>(options.directoryDeadline).count()) +
          " s");
  // The tail: the end record, its comment and the ZIP64 records; often the directory too.
  std::string tail;
  if (auto problem = client.fetchTail(zipdir::kTailBytes, tail)) return *problem;
  const std::uint64_t size = client.packageSize();
  auto located = zipdir::locateDirectory(tail, size);
  if (auto* problem = std::get_if<std::string>(&located)) return *problem;
  const auto& location = std::get<zipdir::DirectoryLocation>(located);
  const std::uint64_t tailStart = size - tail.size();
  std::string bytes;
  if (location.offset >= tailStart) {
    bytes = tail.substr(static_cast<std::size_t>(location.offset - tailStart),
                        static_cast<std::size_t>(location.size));
  } else if (location.size > 0) {
    bytes.reserve(static_cast<std::size_t>(location.size));
    if (auto problem = client.fetch({location.offset, location.offset + location.size},
                                    [&bytes](const char* data, std::size_t count) {
                                      bytes.append(data, count);
                                      return true;
                                    },
                                    {}))
      return *problem;
  }
  auto parsed = zipdir::parseDirectory(bytes, location);
  if (auto* problem = std::get_if<std::string>(&parsed)) return *problem;
  Fetched fetched;
  fetched.directory = std::move(std::get<zipdir::Directory>(parsed));

  std::map<std::string, std::string> digests;
  if (signedManifest != nullptr) {
    if (auto mismatch = manifestMismatch(*signedManifest, fetched.directory)) return *mismatch;
    digests = digestsOf(*signedManifest);
  }
  if (auto problem = tooDeepToCompare(fetched.directory)) return *problem;
  const auto take = entriesToFetch(fetched.directory, manifest, installFolder,
                                   signedManifest != nullptr ? &digests : nullptr);
  auto planned = planFetch(fetched.directory, take);
  if (auto* problem = std::get_if<std::string>(&planned)) return *problem;
  const auto& plan = std::get<FetchPlan>(planned);
  // An archive of no entries is one the extraction refuses; the whole package installs the same.
  if (plan.chosen.empty() && plan.written.empty())
    return std::string("no entry of the package changed");
  if (plan.bytes > size / 2)
    return "more than half of the package changed (" + formatBytes(plan.bytes) + " of " +
           formatBytes(size) + ")";
  if (auto problem = noRoomFor(archive, fetched.directory, plan)) return *problem;

  client.setDeadline(std::nullopt);
  platform::UniqueFd file(
      ::open(archive.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file) return platform::describeErrno("cannot create", archive, errno);
  std::uint64_t received = 0;
  // Also while no byte arrives: the bar's speed falls during a stall.
  const auto report = [&] {
    if (options.progress) options.progress(received, plan.bytes);
  };
  report();
  // Why the fetched bytes could not be written (a full disk, the file size limit): said in
  // place of the transfer's own "cannot write the fetched bytes".
  std::optional<std::string> notWritten;
  for (const ByteRange& range : plan.ranges) {
    if (auto problem = client.fetch(
            range,
            [&](const char* data, std::size_t count) {
              if (!platform::writeAll(file.get(), std::string_view(data, count))) {
                const int error = errno;
                notWritten = platform::describeErrno("cannot write", archive, error);
                return false;
              }
              received += count;
              report();
              return true;
            },
            report))
      return notWritten ? *notWritten : *problem;
  }
  if (!file.reset()) return platform::describeErrno("cannot write", archive, errno);
  if (auto problem = finishArchive(archive, fetched.directory, plan))
    return "the package is not what its central directory says: " + *problem;
  // Under a signed manifest nothing fetched reaches the extraction unless it is what the
  // publisher signed.
  if (signedManifest != nullptr) {
    auto read = digestEntries(archive);
    if (auto* problem = std::get_if<std::string>(&read)) {
      refused = true;
      return "the changed entries cannot be checked: " + *problem;
    }
    for (const auto& [name, digest] : std::get<PackageManifest>(read)) {
      const auto listed = signedManifest->find(name);
      if (listed == signedManifest->end() || listed->second != digest) {
        refused = true;
        return "entry \"" + name + "\" is not the one the publisher signed";
      }
    }
  }
  fetched.entries = plan.chosen.size() + plan.written.size();
  platform::logLine("delta update: fetched " + withSeparators(fetched.entries) + " of " +
                    withSeparators(fetched.directory.entries.size()) + " entries, " +
                    formatBytes(received) + " of " + formatBytes(size));
  return fetched;
}

namespace {

// The body of a GET of `address`, at most `limit` bytes; or why there is none.
std::variant<std::string, std::string> fetchSmall(const std::string& address, std::size_t limit) {
  struct Body {
    std::string text;
    std::size_t limit = 0;
    bool over = false;      // the answer went on past the limit
    bool noMemory = false;  // memory ran out in the callback (thrown once libcurl returns)
  } body{{}, limit, false, false};
  const platform::CurlEasy handle = platform::makeCurlEasy();
  if (!handle)
    return std::variant<std::string, std::string>(std::in_place_index<1>, "no libcurl handle");
  CURL* h = handle.get();
  char errorBuffer[CURL_ERROR_SIZE] = {};
  const auto write = +[](char* data, size_t size, size_t count, void* userdata) -> size_t {
    auto& into = *static_cast<Body*>(userdata);
    if (into.text.size() + size * count > into.limit) {
      into.over = true;
      return CURL_WRITEFUNC_ERROR;
    }
    return platform::guardCallback(into.noMemory, size_t{CURL_WRITEFUNC_ERROR}, [&] {
      into.text.append(data, size * count);
      return size * count;
    });
  };
  // The package's floor for the speed, and a deadline: these bytes show no progress, and
  // without them the whole package is fetched.
  const DownloadOptions floor;
  if (!platform::applyPackageOptions(h, address.c_str(), floor.lowSpeedBytes, floor.lowSpeedTime,
                                     errorBuffer) ||
      curl_easy_setopt(h, CURLOPT_TIMEOUT,
                       static_cast<long>(std::chrono::seconds(kSmallFetchDeadline).count())) !=
          CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &body) != CURLE_OK)
    return std::variant<std::string, std::string>(std::in_place_index<1>,
                                                  "cannot set up the request for " + address);
  const CURLcode code = curl_easy_perform(h);
  if (body.noMemory) throw std::bad_alloc();
  long status = 0;
  const bool answered = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK;
  // Stopped by the limit, not by the disk as libcurl's own words would have it; a large error
  // page (a 404 of the web server's own) is told by its status.
  if (body.over && answered && status == 200)
    return std::variant<std::string, std::string>(
        std::in_place_index<1>,
        "the answer holds more than " + withSeparators(limit) + " bytes (" + address + ")");
  if (code != CURLE_OK && !body.over)
    return std::variant<std::string, std::string>(
        std::in_place_index<1>, platform::describeCurlError(code, errorBuffer, address));
  if (!answered || status != 200)
    return std::variant<std::string, std::string>(
        std::in_place_index<1>, "HTTP status " + std::to_string(status) + " (" + address + ")");
  return std::variant<std::string, std::string>(std::in_place_index<0>, std::move(body.text));
}

constexpr std::size_t kMaxSignatureBytes = std::size_t{16} * 1024;

}  // namespace

std::variant<PackageManifest, std::string> fetchSignedManifest(const std::string& address,
                                                               const std::string& publicKey,
                                                               std::int64_t expectedVersion,
                                                               const std::string& scratch,
                                                               std::optional<std::int64_t>* later) {
  const auto key = minisign::parsePublicKey(publicKey);
  if (!key) return "the launcher's public key cannot be used: " + key.error();
  auto text = fetchSmall(address, kMaxSignedManifestBytes);
  if (text.index() == 1) return "cannot fetch the signed manifest: " + std::get<1>(text);
  auto signatureText = fetchSmall(address + ".minisig", kMaxSignatureBytes);
  if (signatureText.index() == 1)
    return "cannot fetch the manifest's signature: " + std::get<1>(signatureText);
  auto signature = minisign::parseSignature(std::get<0>(signatureText));
  if (!signature) return "the manifest's signature cannot be read: " + signature.error();
  if (signature->keyId != key->id) return std::string("the manifest was signed with another key");
  const std::string& manifest = std::get<0>(text);
  if (auto written = platform::writeFileDurably(scratch, manifest); !written)
    return "cannot keep the signed manifest: " + written.error;
  // A manifest naming a later version is checked for that version: authentic, it is the
  // publisher's newer release, which the package at its address now is as well.
  const auto named = minisign::signedVersion(signature->trustedComment);
  const bool newer = named && *named > expectedVersion;
  minisign::PackageVerifier verifier(*key, std::move(*signature), newer ? *named : expectedVersion);
  verifier.update(manifest.data(), manifest.size());
  const auto problem = verifier.finish(scratch);
  static_cast<void>(::unlink(scratch.c_str()));
  if (problem) return "the manifest's signature is not valid: " + *problem;
  if (newer) {
    if (later != nullptr) *later = named;
    return "the manifest's signature is not valid: the package is signed for version " +
           std::to_string(*named) + ", not " + std::to_string(expectedVersion);
  }
  auto parsed = parsePackageManifest(manifest);
  if (!parsed) return std::string("the signed manifest cannot be read");
  return std::move(*parsed);
}

std::variant<zipdir::Directory, std::string> readDirectory(const std::string& path) {
  const platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat status {};
  if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    return platform::describeErrno("cannot open", path, errno);
  const auto size = static_cast<std::uint64_t>(status.st_size);
  const std::uint64_t count = std::min(size, zipdir::kTailBytes);
  const auto tail = platform::readAt(file.get(), size - count, count);
  if (!tail) return platform::describeErrno("cannot read", path, errno);
  auto located = zipdir::locateDirectory(*tail, size);
  if (auto* problem = std::get_if<std::string>(&located)) return *problem;
  const auto& location = std::get<zipdir::DirectoryLocation>(located);
  const auto bytes = platform::readAt(file.get(), location.offset, location.size);
  if (!bytes) return platform::describeErrno("cannot read", path, errno);
  return zipdir::parseDirectory(*bytes, location);
}

}  // namespace launcher::delta
