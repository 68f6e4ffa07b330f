#include "Zipwell/Zipwell.h"

#include <fcntl.h>
#include <minizip/unzip.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <new>
#include <numeric>
#include <set>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "Launcher/platform/Console.h"
#include "Launcher/platform/Text.h"
#include "Launcher/platform/UniqueFd.h"
#include "Zipwell/Beneath.h"
#include "Zipwell/CentralDirectory.h"

namespace launcher {
namespace {

using platform::ErrorRecord;
using platform::escapeLine;
using platform::FileTime;
using platform::logLine;
using platform::quotedLine;
using platform::UniqueFd;
using zipwell::Beneath;
using zipwell::CentralEntry;
using zipwell::Components;

// Entry data is streamed through one buffer of this size per call.
constexpr unsigned kReadBufferSize = 4096;
// Output is gathered into larger writes than the read chunks, so that a big entry reaches the
// disk in few system calls.
constexpr std::size_t kWriteBufferSize = std::size_t{256} * 1024;
// A link's target is read whole; the system takes none longer.
constexpr std::uint64_t kMaxLinkTarget = 4095;
// Archives with fewer entries or fewer bytes than these are extracted on the caller's thread
// alone: more threads would cost more than they save.
constexpr std::size_t kParallelMinimumEntries = 16;
constexpr std::uint64_t kParallelMinimumBytes = std::uint64_t{4} * 1024 * 1024;
// General purpose flags: bit 0 encrypted, bit 6 strong encryption. Method 99: AES encryption.
constexpr std::uint16_t kEncryptedFlags = 0x0001 | 0x0040;
constexpr std::uint16_t kAesMethod = 99;

ErrorRecord makeError(long code, std::string description) {
  return ErrorRecord{Zipwell::kErrorDomain, code, std::move(description)};
}

bool isRefusal(long code) {
  return code <= Zipwell::kControlCharacterName && code >= Zipwell::kEncryptedEntry;
}

// An archive opened for reading; closed on every way out.
class Archive {
 public:
  explicit Archive(const std::string& path) : path_(path), handle_(open(path)) {}
  ~Archive() { close(); }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  unzFile get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Why the archive could not be opened when the system said so (no descriptor or no memory to
  // spare, say); 0 when it was opened, or when it is no archive.
  int openError() const { return openError_; }

  void close() {
    if (handle_ == nullptr) return;
    if (unzClose(std::exchange(handle_, nullptr)) != UNZ_OK)
      logLine("[Zipwell] Failed to close archive: " + path_);
  }

 private:
  unzFile open(const std::string& path) {
    errno = 0;
    unzFile handle = unzOpen(path.c_str());
    if (handle == nullptr) openError_ = errno;
    return handle;
  }

  std::string path_;
  int openError_ = 0;
  unzFile handle_;
};

// The current entry's data, opened for reading. Closed by close(), whose result tells a CRC
// failure, or else when it goes away.
class OpenEntry {
 public:
  explicit OpenEntry(unzFile archive) : archive_(archive) {}
  ~OpenEntry() {
    // An entry left half-way ends its walk anyway; the library has nothing to report for it.
    if (archive_ != nullptr) static_cast<void>(unzCloseCurrentFile(archive_));
  }
  OpenEntry(const OpenEntry&) = delete;
  OpenEntry& operator=(const OpenEntry&) = delete;

  int close() { return unzCloseCurrentFile(std::exchange(archive_, nullptr)); }

 private:
  unzFile archive_;
};

// Threads for one archive as set by Zipwell::setThreadCount; 0 lets the machine decide.
std::atomic<unsigned> forcedThreadCount{0};

// The processors this process may run on, at least 1.
unsigned availableProcessors() {
  unsigned count = std::thread::hardware_concurrency();
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    const auto affine = static_cast<unsigned>(CPU_COUNT(&allowed));
    if (affine > 0 && (count == 0 || affine < count)) count = affine;
  }
  return std::max(count, 1u);
}

// A size in decimal units for people: "512 bytes", "16.8 MB", "3.0 GB".
std::string decimalSize(std::uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000.0;
  std::size_t unit = 0;
  while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
    value /= 1000.0;
    ++unit;
  }
  // A point whatever the process's locale (the window launcher's toolkit sets the user's); always
  // fits: at most "999.9".
  char digits[32];
  const auto written =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 1);
  return std::string(digits, written.ptr) + " " + kUnits[unit];
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

std::uint64_t saturatingMultiply(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// The non-empty components of a name (slashes only).
std::vector<std::string> nameParts(std::string_view name) {
  std::vector<std::string> parts;
  while (!name.empty()) {
    const std::size_t slash = name.find('/');
    if (slash != 0) parts.emplace_back(name.substr(0, slash));
    if (slash == std::string_view::npos) break;
    name.remove_prefix(slash + 1);
  }
  return parts;
}

// Paths as their components, in the order of a walk through their tree: by the first component,
// then the next, a path right before those below it, so that the paths below one, and the same
// one, follow it at once. With `fold`, ASCII letters are compared without case, as on a
// case-insensitive file system.
struct TreeOrder {
  using Path = std::span<const std::string>;
  bool fold = false;

  char folded(char c) const {
    return fold && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  // How many leading components `a` and `b` share.
  std::size_t shared(Path a, Path b) const {
    const auto same = [&](char x, char y) { return folded(x) == folded(y); };
    std::size_t count = 0;
    while (count < a.size() && count < b.size() &&
           std::equal(a[count].begin(), a[count].end(), b[count].begin(), b[count].end(), same))
      ++count;
    return count;
  }
  bool operator()(Path a, Path b) const {
    const std::size_t common = shared(a, b);
    if (common == a.size() || common == b.size()) return a.size() < b.size();
    const auto less = [&](char x, char y) {
      return static_cast<unsigned char>(folded(x)) < static_cast<unsigned char>(folded(y));
    };
    return std::lexicographical_compare(a[common].begin(), a[common].end(), b[common].begin(),
                                        b[common].end(), less);
  }
};

// The file system that holds `path`, or its nearest existing ancestor.
std::optional<struct statvfs> fileSystemOf(const std::string& path, const Beneath* root) {
  struct statvfs info {};
  if (root != nullptr) {
    if (::fstatvfs(root->fd(), &info) != 0) return std::nullopt;
  } else {
    std::filesystem::path at = path.empty() ? "." : path;
    while (::statvfs(at.c_str(), &info) != 0) {
      std::filesystem::path parent = at.parent_path();
      if (parent.empty()) parent = ".";
      if (errno != ENOENT || parent == at) return std::nullopt;
      at = std::move(parent);
    }
  }
  return info;
}

// One entry as the walk will meet it, judged from the central directory.
struct PlannedEntry {
  CentralEntry central;
  std::string name;     // backslashes read as slashes
  Components relative;  // below the destination of the outermost archive
  // The entry's date, converted while planning: the system's conversion takes a lock of its own
  // that the threads of the walk would contend for.
  FileTime date;
  bool isDirectory = false;
  bool isLink = false;
};

// A link entry read during the walk and made once every entry of the extraction is in place.
struct PendingLink {
  Components relative;
  std::string name;
  std::string target;
  FileTime date;
  bool dated = false;
  // Before its refusal's description: the nested archives it lies in, outermost first.
  std::string nesting;
};

// What one call shares with the extractions of the archives nested in its archive.
struct Extraction {
  std::string destination;
  bool overwrite = true;
  std::optional<std::string> password;
  mode_t umask = 022;
  // Opened once the destination exists; every item is made relative to it.
  std::optional<Beneath> root;
  // The archives being read, outermost first: none of them may be rewritten.
  std::vector<std::string> openArchives;
  // The link entries of every archive planned so far, relative to the destination, and its
  // other entries (files, folders, nested archives).
  std::set<std::string> linkPaths;
  std::set<std::string> filePaths;
  // What the archives judged so far leave of the free space, in bytes and in files and folders
  // (where the file system counts them): a nested archive may take only that, so that all the
  // archives of the extraction together fit in what was free when it began.
  std::optional<std::uint64_t> bytesLeft;
  std::optional<std::uint64_t> itemsLeft;
  // What waits for the end of the outermost walk: the links read, to be judged together, and the
  // dates of folder entries, set once the links are made in their folders. An archive's follow
  // those of the archives nested in it.
  std::vector<PendingLink> links;
  std::vector<std::pair<std::string, FileTime>> directoryDates;

  bool withPassword() const { return password.has_value() && !password->empty(); }
};

enum class Written { kPartial, kComplete };

// How the handling of one entry ended: the walk goes on, ends there (its closing steps still
// run), or is abandoned without them.
enum class EntryEnd { kGoOn, kEndWalk, kAbandon };

// What handling one entry did. Kept apart for each entry, so that threads handling different
// entries share nothing, and taken into the walk's result in entry order: the first failure of
// the first failing entry is the walk's record, whichever thread met it first.
struct EntryOutcome {
  bool failed = false;
  std::optional<ErrorRecord> record;
  EntryEnd end = EntryEnd::kGoOn;
  // A folder that could not be made when the folders were made ahead of the threads: told when
  // the entry is reached.
  std::optional<std::string> folderError;
  int folderCause = 0;  // its errno
  std::optional<PendingLink> link;

  void fail(long code, std::string description) {
    failed = true;
    if (!record) record = makeError(code, std::move(description));
  }
  // Whether a write failed for want of room (or of the disk itself, or of the descriptors or
  // memory the system grants this process): no fault of the archive.
  static bool noRoom(int cause) {
    return cause == ENOSPC || cause == EDQUOT || cause == EFBIG || cause == EIO ||
           cause == EMFILE || cause == ENFILE || cause == ENOMEM;
  }
  // A file, a folder or a link that could not be written, `cause` being the errno.
  void failWriting(std::string description, int cause) {
    fail(Zipwell::kWriteFailed, std::move(description));
    storage = storage || noRoom(cause);
  }
  void failWrite(const std::string& path, int cause) {
    failWriting(platform::describeErrno("cannot write", path, cause), cause);
  }
  bool storage = false;
};

// The buffers of one thread of the walk, and when the walk is shared among threads, the entry
// it is on and the first entry at which the walk ended.
struct Worker {
  std::vector<char> readBuffer = std::vector<char>(kReadBufferSize);
  std::vector<char> writeBuffer;
  std::size_t index = 0;
  const std::atomic<std::size_t>* endedAt = nullptr;

  // True once the walk ended at an entry before this one: its data is no longer wanted.
  bool overtaken() const {
    return endedAt != nullptr && endedAt->load(std::memory_order_relaxed) < index;
  }
};

// The walk over one archive's entries, with its own result and first error record.
class ArchiveWalk {
 public:
  ArchiveWalk(Extraction& extraction, const std::string& archivePath, Components base,
              std::optional<Components> archiveRelative, std::string nesting)
      : x_(extraction),
        archivePath_(archivePath),
        base_(std::move(base)),
        archiveRelative_(std::move(archiveRelative)),
        nesting_(std::move(nesting)) {}

  bool run();
  const std::optional<ErrorRecord>& record() const { return record_; }
  // Whether a write failed for want of room or of the disk, or the archive could not be opened
  // for want of descriptors or memory: what the walk left is not the archive's, whatever the
  // archive holds.
  bool storageFailed() const { return storageFailed_; }

 private:
  void fail(long code, std::string description) {
    success_ = false;
    if (!record_) record_ = makeError(code, std::move(description));
  }
  // Logs `line` and records the refusal.
  void refuse(const std::string& line, long code, std::string description) {
    logLine("[Zipwell] " + line);
    fail(code, std::move(description));
  }
  // Takes one entry's outcome into the walk's result.
  void take(EntryOutcome& outcome);
  // The archive ended before the `index`th entry its directory lists.
  void failShort(std::size_t index) {
    fail(Zipwell::kDamagedArchive,
         "the archive is damaged: entry " + std::to_string(index + 1) + " cannot be read");
  }

  bool plan(unzFile archive, int archiveFd);
  bool judgeEntries(const std::vector<CentralEntry>& entries);
  // Refuses an entry that is encrypted (unless a password is given and the encryption is not
  // AES) or compressed other than stored or deflated; false when it did.
  bool judgeMethod(const CentralEntry& central, const std::string& name);
  bool judgeLinks();
  bool judgeSpace();
  std::uint64_t foldersNeeded() const;
  bool openRoot();
  unsigned threadCount() const;
  bool entriesShareItems() const;
  // Whether a file written for `entry` is extracted as a nested archive.
  static bool nests(const PlannedEntry& entry);
  // The walks: over the entries in their order, on this thread; or on `threads` threads.
  // False when the walk was abandoned.
  bool walkInOrder(unzFile archive);
  bool walkInParallel(unzFile archive, unsigned threads);
  void walkRange(std::size_t begin, std::size_t end, unsigned threads, unzFile archive,
                 const std::vector<unz64_file_pos>& positions, std::vector<EntryOutcome>& outcomes,
                 std::atomic<std::size_t>& endedAt);
  void makeFoldersAhead(std::size_t begin, std::size_t end, std::vector<EntryOutcome>& outcomes);
  // Opens, checks, extracts and closes the current entry of `archive`, the `index`th. With
  // `foldersMade`, its folders were made ahead (makeFoldersAhead).
  EntryEnd extractEntry(unzFile archive, std::size_t index, Worker& worker, EntryOutcome& out,
                        bool foldersMade);
  // False when the walk must end after this entry.
  bool handleEntry(const PlannedEntry& entry, unzFile archive, Worker& worker, EntryOutcome& out,
                   bool foldersMade);
  void handleFile(const PlannedEntry& entry, unzFile archive, int parent, FileTime date,
                  std::uint32_t dosDate, Worker& worker, EntryOutcome& out, bool& endWalk);
  Written copyEntry(const PlannedEntry& entry, unzFile archive, int fd, const std::string& path,
                    Worker& worker, EntryOutcome& out);
  void readLink(const PlannedEntry& entry, unzFile archive, FileTime date, std::uint32_t dosDate,
                Worker& worker, EntryOutcome& out);
  void makeLinks();
  void restoreDirectoryDates();

  Extraction& x_;
  const std::string archivePath_;
  const Components base_;
  const std::optional<Components> archiveRelative_;  // of a nested archive, below the root
  const std::string nesting_;                        // as PendingLink::nesting
  std::vector<PlannedEntry> planned_;
  std::uint64_t declaredSize_ = 0;
  std::mutex directoryDatesMutex_;
  std::set<std::pair<std::string, FileTime>> directoryDates_;
  std::vector<PendingLink> links_;  // in entry order
  Worker worker_;                   // of the thread that runs the walk
  std::optional<ErrorRecord> record_;
  bool success_ = true;
  bool storageFailed_ = false;
};

// --- Judging the archive before anything is written -------------------------------------------

bool ArchiveWalk::plan(unzFile archive, int archiveFd) {
  auto read = zipwell::readCentralDirectory(archiveFd);
  if (const auto* why = std::get_if<std::string>(&read)) {
    refuse("Refused damaged archive: " + *why, Zipwell::kDamagedArchive,
           "the archive is damaged: " + *why);
    return false;
  }
  const auto& directory = std::get<zipwell::CentralDirectory>(read);
  // minizip found a first entry, so a directory without one is not what it reads.
  if (directory.entries.empty()) {
    refuse("Refused damaged archive: its directory lists no entries", Zipwell::kDamagedArchive,
           "the archive is damaged: its directory lists no entries");
    return false;
  }
  // minizip takes a ZIP64 end record from a locator anywhere in the archive's last bytes, so it
  // may read another directory than this one; it counts as many entries, or 0xFFFF as the plain
  // end record does when its writer counted further.
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(archive, &global) != UNZ_OK ||
      (global.number_entry != directory.entries.size() &&
       (global.number_entry != 0xFFFF || directory.counted != 0xFFFF))) {
    const std::string why = "its end records disagree on how many entries it holds";
    refuse("Refused damaged archive: " + why, Zipwell::kDamagedArchive,
           "the archive is damaged: " + why);
    return false;
  }
  // minizip reads no ZIP64 size field and gives 0xFFFFFFFF instead (writers use them for files
  // of 4 GiB or more, some from 2 GiB on): such an entry would be taken for a damaged one once
  // the entries before it were written.
  for (const CentralEntry& central : directory.entries) {
    if (!central.zip64Sizes) continue;
    refuse("Refused entry with ZIP64 sizes: " + escapeLine(central.name),
           Zipwell::kUnsupportedMethod,
           "entry " + quotedLine(central.name) + " (" + decimalSize(central.uncompressedSize) +
               ") gives its sizes in ZIP64 fields, which cannot be unpacked: files must stay "
               "below 4 GiB and be written without them");
    return false;
  }
  if (!judgeEntries(directory.entries)) return false;
  if (const auto overlap = zipwell::findOverlap(directory)) {
    const std::string& first = planned_[overlap->first].name;
    const std::string& second = planned_[overlap->second].name;
    refuse("Refused overlapping entries: " + escapeLine(first) + " and " + escapeLine(second),
           Zipwell::kOverlappingEntries,
           "entries " + quotedLine(first) + " and " + quotedLine(second) +
               " share the same bytes of the archive");
    return false;
  }
  return judgeLinks() && judgeSpace();
}

bool ArchiveWalk::judgeMethod(const CentralEntry& central, const std::string& name) {
  if ((central.flags & kEncryptedFlags) != 0 || central.method == kAesMethod) {
    if (!x_.withPassword() || central.method == kAesMethod) {
      refuse("Refused encrypted entry: " + escapeLine(name), Zipwell::kEncryptedEntry,
             "entry " + quotedLine(name) + " is encrypted");
      return false;
    }
  } else if (central.method != 0 && central.method != Z_DEFLATED) {
    const char* known = central.method == 12   ? " (bzip2)"
                        : central.method == 14 ? " (LZMA)"
                        : central.method == 9  ? " (Deflate64)"
                        : central.method == 93 ? " (Zstandard)"
                        : central.method == 95 ? " (xz)"
                        : central.method == 98 ? " (PPMd)"
                                               : "";
    const std::string method = std::to_string(central.method) + known;
    refuse("Refused entry with unsupported compression method " + method + ": " + escapeLine(name),
           Zipwell::kUnsupportedMethod,
           "entry " + quotedLine(name) + " uses compression method " + method +
               ", which is not supported");
    return false;
  }
  return true;
}

bool ArchiveWalk::judgeEntries(const std::vector<CentralEntry>& entries) {
  planned_.reserve(entries.size());
  // A path must fit the system's limit from the destination on: the threads reach an entry's
  // folder in one call, and so does everyone who opens the file later.
  std::size_t baseLength = x_.destination.size();
  for (const std::string& part : base_) baseLength += 1 + part.size();
  Zipwell::Dates dates;
  for (const CentralEntry& central : entries) {
    PlannedEntry entry;
    entry.central = central;
    entry.name = central.name;
    if (platform::hasControlCharacter(entry.name)) {
      refuse("Refused entry with a control character in its name: " + escapeLine(entry.name),
             Zipwell::kControlCharacterName,
             "entry " + quotedLine(entry.name) + " has a control character in its name");
      return false;
    }
    entry.date = dates(central.dosDate);
    entry.isDirectory =
        !entry.name.empty() && (entry.name.back() == '/' || entry.name.back() == '\\');
    std::replace(entry.name.begin(), entry.name.end(), '\\', '/');
    entry.relative = base_;
    std::size_t length = baseLength;
    for (std::string& part : zipwell::entryPathParts(entry.name)) {
      if (part == "..") {
        refuse("Refused entry outside the destination: " + escapeLine(entry.name),
               Zipwell::kOutsideDestination,
               "entry " + quotedLine(entry.name) + " leads outside the destination folder");
        return false;
      }
      length += 1 + part.size();
      if (length >= PATH_MAX) {
        refuse(
            "Refused entry whose path is longer than the system allows: " + escapeLine(entry.name),
            Zipwell::kOutsideDestination,
            "entry " + quotedLine(entry.name) + " has a path longer than the system allows");
        return false;
      }
      entry.relative.push_back(std::move(part));
    }
    if (!judgeMethod(central, entry.name)) return false;
    const auto mode = static_cast<mode_t>(central.externalAttributes >> 16);
    entry.isLink = !entry.isDirectory && S_ISLNK(mode);
    if (entry.isLink && central.uncompressedSize > kMaxLinkTarget) {
      refuse("Refused link with an overlong target: " + escapeLine(entry.name),
             Zipwell::kLinkRefused,
             "the link " + quotedLine(entry.name) + " has a target longer than the system allows");
      return false;
    }
    declaredSize_ = saturatingAdd(declaredSize_, central.uncompressedSize);
    planned_.push_back(std::move(entry));
  }
  return true;
}

// Nothing may lie inside a link, or share its path: each is judged against the links of this
// archive and of the archives around it, whatever their order; and a link, against the files of
// the archives planned before, which it would otherwise replace when the links are made.
bool ArchiveWalk::judgeLinks() {
  // This archive's links, kept apart from those of the archives planned before until it is
  // accepted: copying theirs for every nested archive took time in the product of both counts.
  std::set<std::string> added;
  const auto isLinkPath = [&](const std::string& path) {
    return added.contains(path) || x_.linkPaths.contains(path);
  };
  // An entry of the archives before at `path`, or one inside a folder there.
  const auto isTaken = [&](const std::string& path) {
    if (x_.filePaths.contains(path)) return true;
    const std::string inside = path + "/";
    const auto next = x_.filePaths.lower_bound(inside);
    return next != x_.filePaths.end() && next->starts_with(inside);
  };
  for (const PlannedEntry& entry : planned_) {
    if (!entry.isLink) continue;
    const std::string path = zipwell::joined(entry.relative);
    if (x_.linkPaths.contains(path) || !added.insert(path).second || path.empty() ||
        isTaken(path)) {
      refuse("Refused link sharing its path with another entry: " + escapeLine(entry.name),
             Zipwell::kLinkRefused,
             "the link " + quotedLine(entry.name) + " shares its path with another entry");
      return false;
    }
  }
  for (const PlannedEntry& entry : planned_) {
    std::string prefix;
    for (std::size_t index = 0; index < entry.relative.size(); ++index) {
      if (index > 0) prefix.push_back('/');
      prefix += entry.relative[index];
      const bool last = index + 1 == entry.relative.size();
      if (!isLinkPath(prefix) || (last && entry.isLink)) continue;
      if (last) {
        refuse("Refused entry sharing its path with a link: " + escapeLine(entry.name),
               Zipwell::kLinkRefused,
               "entry " + quotedLine(entry.name) + " shares its path with a link");
      } else {
        refuse("Refused entry inside a link: " + escapeLine(entry.name), Zipwell::kLinkRefused,
               "entry " + quotedLine(entry.name) + " lies inside the link " + quotedLine(prefix));
      }
      return false;
    }
  }
  x_.linkPaths.merge(added);
  for (const PlannedEntry& entry : planned_)
    if (!entry.isLink && !entry.relative.empty())
      x_.filePaths.insert(zipwell::joined(entry.relative));
  return true;
}

// How many folders the entries need, each counted once: sorted in the order of a walk through
// the tree, each entry's folder adds those it does not share with the one before.
std::uint64_t ArchiveWalk::foldersNeeded() const {
  const TreeOrder order;
  std::vector<TreeOrder::Path> folders;
  folders.reserve(planned_.size());
  for (const PlannedEntry& entry : planned_) {
    if (entry.relative.empty()) continue;
    const std::size_t size = entry.relative.size();
    folders.push_back(TreeOrder::Path(entry.relative).first(entry.isDirectory ? size : size - 1));
  }
  std::sort(folders.begin(), folders.end(), order);
  std::uint64_t count = 0;
  for (std::size_t index = 0; index < folders.size(); ++index)
    count +=
        folders[index].size() - (index > 0 ? order.shared(folders[index - 1], folders[index]) : 0);
  return count;
}

bool ArchiveWalk::judgeSpace() {
  const std::optional<struct statvfs> fileSystem =
      fileSystemOf(x_.destination, x_.root ? &*x_.root : nullptr);
  if (!fileSystem) {
    logLine("[Zipwell] Cannot tell the free space for " + x_.destination);
    return true;
  }
  const std::uint64_t available =
      std::min(saturatingMultiply(fileSystem->f_bavail, fileSystem->f_frsize),
               x_.bytesLeft.value_or(UINT64_MAX));
  // A folder takes a block at least, whatever its entries declare.
  const std::uint64_t folders = foldersNeeded();
  const std::uint64_t taken = saturatingAdd(saturatingAdd(declaredSize_, declaredSize_ / 20),
                                            saturatingMultiply(folders, fileSystem->f_frsize));
  const std::uint64_t needed = saturatingAdd(taken, Zipwell::kFreeSpaceMargin);
  const std::string what = archiveRelative_ ? "it" : "the package";
  if (needed > available) {
    refuse("Refused archive needing " + std::to_string(needed) + " bytes with " +
               std::to_string(available) + " bytes free: " + archivePath_,
           Zipwell::kNotEnoughSpace,
           what + " needs " + decimalSize(needed) + " but only " + decimalSize(available) +
               " is free");
    return false;
  }
  x_.bytesLeft = available - taken;
  // Every folder, file and link takes an inode, where the file system counts them.
  const auto items = folders + static_cast<std::uint64_t>(std::count_if(
                                   planned_.begin(), planned_.end(),
                                   [](const PlannedEntry& entry) { return !entry.isDirectory; }));
  if (fileSystem->f_files == 0) return true;
  const std::uint64_t itemsFree =
      std::min(std::uint64_t{fileSystem->f_favail}, x_.itemsLeft.value_or(UINT64_MAX));
  if (items <= itemsFree) {
    x_.itemsLeft = itemsFree - items;
    return true;
  }
  const std::string count = std::to_string(items);
  const std::string room = std::to_string(itemsFree);
  refuse("Refused archive needing " + count + " files and folders with room for " + room + ": " +
             archivePath_,
         Zipwell::kNotEnoughSpace,
         what + " needs " + count + " files and folders but only " + room + " more fit");
  return false;
}

// --- Writing ---------------------------------------------------------------------------------

bool ArchiveWalk::openRoot() {
  if (x_.root) return true;
  const FileTime date = planned_.front().date;
  const std::string& destination = x_.destination.empty() ? "." : x_.destination;
  if (const auto created = platform::createDirectory(destination, true, date); !created) {
    logLine("[Zipwell] Error: " + created.error);
    fail(Zipwell::kWriteFailed, created.error);
    return false;
  }
  UniqueFd folder(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) {
    const int cause = errno;
    const std::string why = platform::describeErrno("cannot open folder", destination, cause);
    logLine("[Zipwell] Error: " + why);
    fail(Zipwell::kWriteFailed, why);
    // Without a descriptor or memory to spare, the archive is none the worse.
    storageFailed_ = EntryOutcome::noRoom(cause);
    return false;
  }
  x_.root.emplace(std::move(folder), destination);
  return true;
}

Written ArchiveWalk::copyEntry(const PlannedEntry& entry, unzFile archive, int fd,
                               const std::string& path, Worker& worker, EntryOutcome& out) {
  std::vector<char>& readBuffer = worker.readBuffer;
  std::vector<char>& writeBuffer = worker.writeBuffer;
  if (writeBuffer.empty()) writeBuffer.resize(kWriteBufferSize);
  std::size_t buffered = 0;
  std::uint64_t total = 0;
  const auto flush = [&] {
    const bool written = platform::writeAll(fd, std::string_view(writeBuffer.data(), buffered));
    buffered = 0;
    return written;
  };
  for (;;) {
    // An entry past the one where the walk ended is left as it is.
    if (worker.overtaken()) return Written::kPartial;
    const int count = unzReadCurrentFile(archive, readBuffer.data(), kReadBufferSize);
    // Damaged data can also end the stream early without an error code: the end only counts
    // when the entry's whole size has been delivered.
    if (count == 0 && unzeof(archive) == 1) break;
    total += count > 0 ? static_cast<std::uint64_t>(count) : 0;
    if (count <= 0 || total > entry.central.uncompressedSize) {
      logLine("[Zipwell] Failed to read entry data for file: " + path);
      out.fail(Zipwell::kDamagedArchive, "the archive is damaged: the data of entry " +
                                             quotedLine(entry.name) + " cannot be read");
      flush();
      return Written::kPartial;
    }
    if (buffered + static_cast<std::size_t>(count) > writeBuffer.size() && !flush()) {
      const int cause = errno;
      logLine("[Zipwell] Failed to write file: " + path);
      out.failWrite(path, cause);
      return Written::kPartial;
    }
    std::memcpy(writeBuffer.data() + buffered, readBuffer.data(), static_cast<std::size_t>(count));
    buffered += static_cast<std::size_t>(count);
  }
  if (!flush()) {
    const int cause = errno;
    logLine("[Zipwell] Failed to write file: " + path);
    out.failWrite(path, cause);
    return Written::kPartial;
  }
  return Written::kComplete;
}

void ArchiveWalk::handleFile(const PlannedEntry& entry, unzFile archive, int parent, FileTime date,
                             std::uint32_t dosDate, Worker& worker, EntryOutcome& out,
                             bool& endWalk) {
  const Beneath& root = *x_.root;
  const std::string path = root.pathOf(entry.relative);
  if (std::find(x_.openArchives.begin(), x_.openArchives.end(), path) != x_.openArchives.end()) {
    logLine("[Zipwell] Refused entry that would overwrite an archive being read: " + path);
    out.fail(Zipwell::kWriteFailed,
             "cannot write " + quotedLine(path) + ": an archive being read is there");
    return;
  }
  const char* leaf = entry.relative.back().c_str();
  struct stat status {};
  if (!x_.overwrite && ::fstatat(parent, leaf, &status, AT_SYMLINK_NOFOLLOW) == 0) return;

  // O_NOFOLLOW: a link standing at the path is replaced, never written through; so is a file whose
  // mode forbids writing (a read-only one an entry before wrote, which a nested archive now writes
  // over), as it is for root. O_NONBLOCK: a pipe standing there fails instead of waiting for a
  // reader.
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  UniqueFd file(::openat(parent, leaf, flags, 0666));
  if (!file && (errno == ELOOP || errno == EACCES) && x_.overwrite &&
      ::unlinkat(parent, leaf, 0) == 0)
    file = UniqueFd(::openat(parent, leaf, flags | O_EXCL, 0666));
  int cause = errno;
  if (file && (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))) {
    file.reset();
    cause = EINVAL;
  }
  if (!file) {
    logLine("[Zipwell] Failed to create file: " + path);
    out.failWriting(cause == EINVAL
                        ? "cannot write " + quotedLine(path) + ": it is not a regular file"
                        : zipwell::describeFailure("cannot write", path, cause),
                    cause);
    return;
  }

  Written written = copyEntry(entry, archive, file.get(), path, worker, out);
  // Set on the open file, so that they apply to what was written and nothing else.
  if (dosDate != 0) {
    const timespec times[2] = {timespec{0, UTIME_OMIT}, platform::toTimespec(date)};
    if (::futimens(file.get(), times) != 0)
      logLine("[Zipwell] Failed to set attributes - whilst setting modification date");
  }
  // Only the permission bits, without set-user-ID, set-group-ID and sticky, and never more than
  // the umask allows.
  const auto mode = static_cast<mode_t>(entry.central.externalAttributes >> 16);
  const mode_t wanted = Zipwell::extractedFileMode(entry.central.externalAttributes, x_.umask);
  if (mode != 0 && ::fchmod(file.get(), wanted) != 0) {
    const int error = errno;  // before the log line, whose write may change it
    logLine("[Zipwell] Failed to set attributes - whilst setting permissions");
    // A file system that keeps permissions of its own (FAT, say) refuses most changes: its file
    // will do as long as it runs when the entry's would and nobody else may change it. Otherwise
    // it is not the entry: a tool that cannot run, or one that anyone may rewrite.
    struct stat kept {};
    if (::fstat(file.get(), &kept) != 0 ||
        ((wanted & S_IXUSR) != 0 && (kept.st_mode & S_IXUSR) == 0) ||
        (kept.st_mode & ~wanted & (S_IWGRP | S_IWOTH)) != 0) {
      out.fail(Zipwell::kWriteFailed,
               platform::describeErrno("cannot set the permissions of", path, error));
      if (written == Written::kComplete) written = Written::kPartial;
    }
  }
  if (!file.reset() && written == Written::kComplete) {
    const int cause = errno;
    logLine("[Zipwell] Failed to write file: " + path);
    out.failWrite(path, cause);
    written = Written::kPartial;
  }
  if (written != Written::kComplete || !nests(entry)) return;

  // A nested archive is extracted beside itself and removed.
  if (x_.openArchives.size() > static_cast<std::size_t>(Zipwell::kMaxNestingDepth)) {
    logLine("[Zipwell] Nested archive too deep, left as a file: " + path);
    return;
  }
  logLine("Unzipping nested .zip file:  " + entry.relative.back());
  x_.openArchives.push_back(path);
  const Components base(entry.relative.begin(), entry.relative.end() - 1);
  std::string nesting = nesting_;
  nesting.append("in the nested archive ").append(quotedLine(entry.name)).append(": ");
  ArchiveWalk nested(x_, path, base, entry.relative, std::move(nesting));
  const bool extracted = nested.run();
  x_.openArchives.pop_back();
  if (extracted) {
    static_cast<void>(::unlinkat(parent, leaf, 0));
  } else if (nested.record() && (isRefusal(nested.record()->code) || nested.storageFailed())) {
    // A disk that filled up under it is no fault of the archive: what it left is not what the
    // package holds, and the extraction fails with it.
    out.fail(nested.record()->code, "in the nested archive " + quotedLine(entry.name) + ": " +
                                        nested.record()->description);
    out.storage = nested.storageFailed();
    endWalk = true;
  } else {
    // A .zip the application ships may be one it reads itself, damaged or no archive at all:
    // the extraction goes on without it, and the log says so.
    logLine("[Zipwell] Nested archive not extracted in full, left as a file: " + path +
            (nested.record() ? " (" + nested.record()->description + ")" : std::string()));
  }
}

void ArchiveWalk::readLink(const PlannedEntry& entry, unzFile archive, FileTime date,
                           std::uint32_t dosDate, Worker& worker, EntryOutcome& out) {
  PendingLink link{entry.relative, entry.name, {}, date, dosDate != 0, nesting_};
  for (;;) {
    const int count = unzReadCurrentFile(archive, worker.readBuffer.data(), kReadBufferSize);
    if (count == 0 && unzeof(archive) == 1) break;
    if (count <= 0 || link.target.size() + static_cast<std::size_t>(count) > kMaxLinkTarget) {
      logLine("[Zipwell] Failed to read entry data for link: " + x_.root->pathOf(entry.relative));
      out.fail(Zipwell::kDamagedArchive, "the archive is damaged: the data of entry " +
                                             quotedLine(entry.name) + " cannot be read");
      return;
    }
    link.target.append(worker.readBuffer.data(), static_cast<std::size_t>(count));
  }
  out.link = std::move(link);
}

bool ArchiveWalk::handleEntry(const PlannedEntry& entry, unzFile archive, Worker& worker,
                              EntryOutcome& out, bool foldersMade) {
  const Beneath& root = *x_.root;
  const std::uint32_t dosDate = entry.central.dosDate;
  const FileTime date = entry.date;
  std::string error;
  int cause = out.folderCause;
  if (entry.isDirectory) {
    if (foldersMade ? out.folderError.has_value()
                    : !root.makeFolders(entry.relative, date, error, &cause)) {
      if (foldersMade) error = *out.folderError;
      logLine("[Zipwell] Error: " + error);
      out.failWriting(error, cause);
    }
    const std::lock_guard lock(directoryDatesMutex_);
    directoryDates_.emplace(zipwell::joined(entry.relative), date);
    return true;
  }
  if (entry.relative.empty()) {
    logLine("[Zipwell] Failed to create file: " + root.path());
    out.fail(Zipwell::kWriteFailed, "cannot write " + quotedLine(root.path()) + ": it is a folder");
    return true;
  }
  const Components parentPath(entry.relative.begin(), entry.relative.end() - 1);
  UniqueFd parent;
  if (!foldersMade) {
    parent = root.makeFolders(parentPath, date, error, &cause);
  } else if (out.folderError) {
    error = *out.folderError;
  } else if (parent = root.open(parentPath, O_RDONLY | O_DIRECTORY); !parent) {
    cause = errno;
    error = zipwell::describeFailure("cannot open folder", root.pathOf(parentPath), cause);
  }
  if (!parent) {
    logLine("[Zipwell] Error: " + error);
    // A folder the disk had no room for (or no inode, within a quota) is no fault of the archive.
    out.failWriting(error, cause);
    return true;
  }
  if (entry.isLink) {
    readLink(entry, archive, date, dosDate, worker, out);
    return true;
  }
  bool endWalk = false;
  handleFile(entry, archive, parent.get(), date, dosDate, worker, out, endWalk);
  return !endWalk;
}

// Links are judged once every entry of the extraction is in place, nested archives' included, so
// that no order of theirs matters (a link of a later archive may stand in the way of an earlier
// one's target), and made only when none is refused.
void ArchiveWalk::makeLinks() {
  if (x_.links.empty() || !x_.root) return;
  const Beneath& root = *x_.root;
  // What stands on the disk at a path, looked up once: a target is judged at every folder it
  // passes, and many links may pass the same deep folders, so that looking each up from the
  // destination again took time in the square of a target's length, for every link. Nothing
  // below a link or below anything but a folder is looked up.
  enum class OnDisk { kLink, kFolder, kOther };
  std::unordered_map<std::string, OnDisk> onDisk;
  const std::function<OnDisk(const std::string&)> standing = [&](const std::string& path) {
    if (const auto found = onDisk.find(path); found != onDisk.end()) return found->second;
    const std::size_t slash = path.rfind('/');
    OnDisk state = slash == std::string::npos ? OnDisk::kFolder : standing(path.substr(0, slash));
    if (state == OnDisk::kFolder) {
      // Every folder above is a real one: the lookup follows no link.
      struct stat status {};
      state = ::fstatat(root.fd(), path.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ? OnDisk::kOther
              : S_ISLNK(status.st_mode)                                             ? OnDisk::kLink
              : S_ISDIR(status.st_mode) ? OnDisk::kFolder
                                        : OnDisk::kOther;
    }
    onDisk.emplace(path, state);
    return state;
  };
  const auto isLink = [&](const std::string& path) {
    return x_.linkPaths.contains(path) || standing(path) == OnDisk::kLink;
  };
  bool refused = false;
  for (const PendingLink& link : x_.links) {
    const auto problem =
        Zipwell::linkTargetProblem(zipwell::joined(link.relative), link.target, isLink);
    if (!problem) continue;
    refuse("Refused link " + escapeLine(link.name) + " -> " + escapeLine(link.target) + ": " +
               *problem,
           Zipwell::kLinkRefused,
           link.nesting + "the link " + quotedLine(link.name) + " -> " + quotedLine(link.target) +
               " is refused: " + *problem);
    refused = true;
  }
  if (refused) return;

  for (const PendingLink& link : x_.links) {
    const std::string path = root.pathOf(link.relative);
    const Components parentPath(link.relative.begin(), link.relative.end() - 1);
    const UniqueFd parent = root.open(parentPath, O_RDONLY | O_DIRECTORY);
    const char* leaf = link.relative.back().c_str();
    int made = parent ? ::symlinkat(link.target.c_str(), parent.get(), leaf) : -1;
    if (made != 0 && parent && errno == EEXIST) {
      struct stat status {};
      if (!x_.overwrite) continue;
      if (::fstatat(parent.get(), leaf, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
          !S_ISDIR(status.st_mode) && ::unlinkat(parent.get(), leaf, 0) == 0)
        made = ::symlinkat(link.target.c_str(), parent.get(), leaf);
      else
        errno = EEXIST;
    }
    if (made != 0) {
      const int cause = errno;
      const std::string why = zipwell::describeFailure("cannot make the link", path, cause);
      logLine("[Zipwell] Error: " + why);
      fail(Zipwell::kWriteFailed, why);
      // A link whose target takes a block of its own needs room as a file does.
      storageFailed_ = storageFailed_ || EntryOutcome::noRoom(cause);
      continue;
    }
    if (link.dated) {
      const timespec times[2] = {timespec{0, UTIME_OMIT}, platform::toTimespec(link.date)};
      if (::utimensat(parent.get(), leaf, times, AT_SYMLINK_NOFOLLOW) != 0)
        logLine("[Zipwell] Failed to set attributes - whilst setting modification date");
    }
  }
}

void ArchiveWalk::restoreDirectoryDates() {
  if (!x_.root) return;
  const Beneath& root = *x_.root;
  for (const auto& [relative, date] : x_.directoryDates) {
    const UniqueFd folder = root.open(nameParts(relative), O_RDONLY | O_DIRECTORY);
    const timespec times[2] = {timespec{0, UTIME_OMIT}, platform::toTimespec(date)};
    if (!folder || ::futimens(folder.get(), times) != 0) {
      const int cause = errno;  // before the first log line, whose write may change it
      const std::string path = root.pathOf(relative);
      logLine("[Zipwell] Set attributes failed for directory: " + path + ".");
      logLine("[Zipwell] Error setting directory file modification date attribute: " +
              zipwell::describeFailure("cannot set the modification date of", path, cause));
    }
  }
}

void ArchiveWalk::take(EntryOutcome& outcome) {
  if (outcome.failed) {
    success_ = false;
    if (!record_) record_ = std::move(outcome.record);
    storageFailed_ = storageFailed_ || outcome.storage;
  }
  if (outcome.link) links_.push_back(std::move(*outcome.link));
}

EntryEnd ArchiveWalk::extractEntry(unzFile archive, std::size_t index, Worker& worker,
                                   EntryOutcome& out, bool foldersMade) {
  worker.index = index;
  const int opened = x_.withPassword() ? unzOpenCurrentFilePassword(archive, x_.password->c_str())
                                       : unzOpenCurrentFile(archive);
  const std::string number = "entry " + std::to_string(index + 1);
  if (opened != UNZ_OK) {
    out.fail(Zipwell::kDamagedArchive, "the archive is damaged: " + number + " cannot be opened");
    return EntryEnd::kEndWalk;
  }
  OpenEntry open(archive);

  unz_file_info64 info{};
  if (unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
    out.fail(Zipwell::kDamagedArchive, "the archive is damaged: " + number + " cannot be read");
    return EntryEnd::kEndWalk;
  }
  std::string name;
  try {
    name.assign(info.size_filename + 1, '\0');
  } catch (const std::bad_alloc&) {
    return EntryEnd::kAbandon;
  }
  if (unzGetCurrentFileInfo64(archive, &info, name.data(), info.size_filename + 1, nullptr, 0,
                              nullptr, 0) != UNZ_OK) {
    out.fail(Zipwell::kDamagedArchive, "the archive is damaged: " + number + " cannot be read");
    return EntryEnd::kEndWalk;
  }
  name.resize(info.size_filename);
  // Every entry written must be the one judged: same name, sizes, method and bytes.
  const CentralEntry* central = index < planned_.size() ? &planned_[index].central : nullptr;
  if (central == nullptr || name != central->name ||
      info.compressed_size != central->compressedSize ||
      info.uncompressed_size != central->uncompressedSize ||
      info.compression_method != central->method || info.flag != central->flags ||
      info.dosDate != central->dosDate || info.external_fa != central->externalAttributes ||
      unzGetCurrentFileZStreamPos64(archive) != central->dataStart) {
    logLine("[Zipwell] Refused archive whose " + number +
            " does not match its directory: " + archivePath_);
    out.fail(Zipwell::kDamagedArchive,
             "the archive is damaged: " + number + " does not match its directory");
    return EntryEnd::kEndWalk;
  }
  const bool goOn = handleEntry(planned_[index], archive, worker, out, foldersMade);

  if (open.close() == UNZ_CRCERROR) {
    out.fail(Zipwell::kCrcMismatch, "crc check failed for file");
    // A file keeps what was read; a link with a damaged target is not made.
    out.link.reset();
    return EntryEnd::kEndWalk;
  }
  return goOn ? EntryEnd::kGoOn : EntryEnd::kEndWalk;
}

bool ArchiveWalk::walkInOrder(unzFile archive) {
  for (std::size_t index = 0;; ++index) {
    EntryOutcome outcome;
    const EntryEnd end = extractEntry(archive, index, worker_, outcome, false);
    if (end == EntryEnd::kAbandon) return false;
    take(outcome);
    if (end != EntryEnd::kGoOn) return true;
    if (unzGoToNextFile(archive) != UNZ_OK) {
      if (index + 1 < planned_.size()) failShort(index + 1);
      return true;
    }
  }
}

bool ArchiveWalk::nests(const PlannedEntry& entry) {
  return !entry.isDirectory && !entry.isLink && !entry.relative.empty() &&
         platform::hasZipExtension(entry.relative.back());
}

unsigned ArchiveWalk::threadCount() const {
  if (const unsigned forced = forcedThreadCount.load(std::memory_order_relaxed); forced != 0)
    return forced;
  if (planned_.size() < kParallelMinimumEntries || declaredSize_ < kParallelMinimumBytes) return 1;
  return availableProcessors();
}

// Two entries that write the same item, or one that writes a file or a link where another needs
// a folder, make the outcome depend on which comes first: only the walk in order keeps it.
// Letters are compared without case, as a case-insensitive file system would. The paths are
// sorted in the order of a walk through their tree, so that memory grows with the names alone.
bool ArchiveWalk::entriesShareItems() const {
  const TreeOrder order{true};
  std::vector<const PlannedEntry*> sorted;
  for (const PlannedEntry& entry : planned_)
    if (!entry.relative.empty()) sorted.push_back(&entry);
  std::sort(sorted.begin(), sorted.end(), [&](const PlannedEntry* a, const PlannedEntry* b) {
    return order(a->relative, b->relative);
  });
  // What lies below an item, or shares its path, follows it at once; an item that shares its
  // path with the entry before is the last of those.
  for (std::size_t index = 1; index < sorted.size(); ++index) {
    const PlannedEntry& before = *sorted[index - 1];
    const PlannedEntry& after = *sorted[index];
    const std::size_t common = order.shared(before.relative, after.relative);
    if ((!before.isDirectory && common == before.relative.size()) ||
        (!after.isDirectory && common == after.relative.size()))
      return true;
  }
  return false;
}

// Every folder the entries from `begin` to `end` need, made in entry order before the threads
// start, so that each gets the date the walk in order would give it: that of the first entry
// that needs it.
void ArchiveWalk::makeFoldersAhead(std::size_t begin, std::size_t end,
                                   std::vector<EntryOutcome>& outcomes) {
  const Beneath& root = *x_.root;
  std::optional<Components> previous;  // made by the entry before, so there already
  for (std::size_t index = begin; index < end; ++index) {
    const PlannedEntry& entry = planned_[index];
    if (!entry.isDirectory && entry.relative.empty()) continue;
    Components folder = entry.relative;
    if (!entry.isDirectory) folder.pop_back();
    if (previous == folder) continue;
    std::string error;
    int cause = 0;
    if (root.makeFolders(folder, entry.date, error, &cause)) {
      previous = std::move(folder);
    } else {
      outcomes[index].folderError = std::move(error);
      outcomes[index].folderCause = cause;
      previous.reset();
    }
  }
}

void ArchiveWalk::walkRange(std::size_t begin, std::size_t end, unsigned threads, unzFile archive,
                            const std::vector<unz64_file_pos>& positions,
                            std::vector<EntryOutcome>& outcomes,
                            std::atomic<std::size_t>& endedAt) {
  // Positions the handle on the entry and extracts it; notes where the walk ended.
  const auto extract = [&](unzFile handle, std::size_t index, Worker& worker, bool foldersMade) {
    EntryOutcome& outcome = outcomes[index];
    if (unzGoToFilePos64(handle, &positions[index]) == UNZ_OK) {
      outcome.end = extractEntry(handle, index, worker, outcome, foldersMade);
    } else {
      outcome.fail(Zipwell::kDamagedArchive, "the archive is damaged: entry " +
                                                 std::to_string(index + 1) + " cannot be read");
      outcome.end = EntryEnd::kEndWalk;
    }
    if (outcome.end == EntryEnd::kGoOn) return;
    std::size_t seen = endedAt.load();
    while (index < seen && !endedAt.compare_exchange_weak(seen, index)) {
    }
  };

  const auto workers = static_cast<unsigned>(std::min<std::size_t>(threads, end - begin));
  if (workers <= 1) {
    for (std::size_t index = begin; index < end && endedAt.load() == SIZE_MAX; ++index)
      extract(archive, index, worker_, false);
    return;
  }

  makeFoldersAhead(begin, end, outcomes);
  // Largest first, so that a big entry does not start last while the other threads sit idle.
  std::vector<std::size_t> order(end - begin);
  std::iota(order.begin(), order.end(), begin);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return planned_[a].central.uncompressedSize > planned_[b].central.uncompressedSize;
  });
  std::atomic<std::size_t> next{0};
  const auto work = [&](unzFile handle, Worker& worker) {
    worker.endedAt = &endedAt;
    for (;;) {
      const std::size_t slot = next.fetch_add(1, std::memory_order_relaxed);
      if (slot >= order.size()) break;
      // Past the entry where the walk ended, nothing more is extracted.
      if (order[slot] < endedAt.load()) extract(handle, order[slot], worker, true);
    }
    worker.endedAt = nullptr;
  };

  std::mutex failureMutex;
  std::exception_ptr failure;
  std::vector<std::jthread> helpers;
  for (unsigned helper = 1; helper < workers; ++helper) {
    try {
      helpers.emplace_back([&] {
        try {
          Archive own(archivePath_);
          if (!own) return;  // the other threads take its share
          Worker worker;
          work(own.get(), worker);
        } catch (...) {
          const std::lock_guard lock(failureMutex);
          if (!failure) failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      break;  // no more threads to be had: fewer take the entries
    }
  }
  work(archive, worker_);
  for (std::jthread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

bool ArchiveWalk::walkInParallel(unzFile archive, unsigned threads) {
  // Where each entry's record lies, for the threads' own handles; as many entries as the walk
  // in order would meet.
  std::vector<unz64_file_pos> positions;
  for (;;) {
    unz64_file_pos position{};
    if (unzGetFilePos64(archive, &position) != UNZ_OK) break;
    positions.push_back(position);
    if (unzGoToNextFile(archive) != UNZ_OK) break;
  }
  // More entries than the directory lists: the walk in order refuses the first surplus one.
  if (positions.size() > planned_.size() || positions.empty()) {
    if (unzGoToFirstFile(archive) != UNZ_OK) {
      fail(Zipwell::kDamagedArchive, "the archive is damaged: entry 1 cannot be read");
      return true;
    }
    return walkInOrder(archive);
  }

  const std::size_t count = positions.size();
  std::vector<EntryOutcome> outcomes(count);
  std::atomic<std::size_t> endedAt{SIZE_MAX};  // the first entry where the walk ended
  for (std::size_t begin = 0; begin < count && endedAt.load() == SIZE_MAX;) {
    // A nested archive is extracted on its own, between the entries listed before it and those
    // after it, as in the walk in order: what it holds may land where they go.
    std::size_t end = begin + 1;
    if (!nests(planned_[begin]))
      while (end < count && !nests(planned_[end])) ++end;
    walkRange(begin, end, nests(planned_[begin]) ? 1 : threads, archive, positions, outcomes,
              endedAt);
    begin = end;
  }
  for (std::size_t index = 0; index < count && index <= endedAt.load(); ++index) {
    if (outcomes[index].end == EntryEnd::kAbandon) return false;
    take(outcomes[index]);
  }
  if (count < planned_.size() && endedAt.load() == SIZE_MAX) failShort(count);
  return true;
}

bool ArchiveWalk::run() {
  // Without a descriptor or memory to spare, the archive is none the worse: the record says so.
  const auto cannotOpen = [&](int cause) {
    storageFailed_ = EntryOutcome::noRoom(cause);
    record_ = makeError(
        Zipwell::kCannotOpenArchive,
        storageFailed_ ? platform::describeErrno("failed to open zip file", archivePath_, cause)
                       : "failed to open zip file");
    return false;
  };
  Archive archive(archivePath_);
  if (!archive) return cannotOpen(archive.openError());
  if (unzGoToFirstFile(archive.get()) != UNZ_OK) {
    record_ = makeError(Zipwell::kNoFirstEntry, "failed to open first file in zip file");
    return false;
  }
  {
    const UniqueFd fd = archiveRelative_
                            ? x_.root->open(*archiveRelative_, O_RDONLY)
                            : UniqueFd(::open(archivePath_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return cannotOpen(errno);
    if (!plan(archive.get(), fd.get()) || !openRoot()) return false;
  }

  const unsigned threads = threadCount();
  const bool walked = threads > 1 && !entriesShareItems() ? walkInParallel(archive.get(), threads)
                                                          : walkInOrder(archive.get());
  if (!walked) return false;

  archive.close();
  std::move(links_.begin(), links_.end(), std::back_inserter(x_.links));
  x_.directoryDates.insert(x_.directoryDates.end(), directoryDates_.begin(), directoryDates_.end());
  if (!archiveRelative_) {
    makeLinks();
    restoreDirectoryDates();
  }
  return success_;
}

}  // namespace

mode_t Zipwell::extractedFileMode(std::uint32_t externalAttributes, mode_t umask) {
  const auto mode = static_cast<mode_t>(externalAttributes >> 16);
  // Without a mode the file keeps the one it was created with.
  return (mode != 0 ? mode & 0777 : 0666) & ~umask;
}

mode_t Zipwell::currentUmask() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  mode_t mask = 022;
  if (status == nullptr) return mask;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    unsigned value = 0;
    if (std::sscanf(line, "Umask: %o", &value) == 1) {
      mask = static_cast<mode_t>(value & 0777);
      break;
    }
  }
  static_cast<void>(std::fclose(status));  // only read: nothing to lose
  return mask;
}

void Zipwell::setThreadCount(unsigned count) {
  forcedThreadCount.store(count, std::memory_order_relaxed);
}

bool Zipwell::unzipFileAtPath(const std::string& path, const std::string& destination) {
  return unzipFileAtPath(path, destination, true, std::nullopt, nullptr);
}

bool Zipwell::unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::optional<std::string>& password,
                              std::optional<platform::ErrorRecord>* error, bool* storageFailed) {
  Extraction extraction;
  extraction.destination = destination;
  extraction.overwrite = overwrite;
  extraction.password = password;
  extraction.umask = currentUmask();
  extraction.openArchives.push_back(path);
  ArchiveWalk walk(extraction, path, {}, std::nullopt, {});
  const bool extracted = walk.run();
  if (error != nullptr) {
    if (extracted)
      error->reset();
    else
      *error = walk.record();
  }
  if (storageFailed != nullptr) *storageFailed = !extracted && walk.storageFailed();
  return extracted;
}

platform::FileTime Zipwell::dateWithMSDOSFormat(std::uint32_t msdosDateTime) {
  constexpr std::time_t kSecondsPerDay = std::time_t{24} * 60 * 60;
  // localtime_r need not load the local time zone; mktime loads it, again whenever TZ changes.
  static std::once_flag zoneLoaded;
  std::call_once(zoneLoaded, [] { ::tzset(); });

  std::tm fields{};
  fields.tm_year = static_cast<int>((msdosDateTime >> 25) & 0x7F) + 80;
  fields.tm_mon = static_cast<int>((msdosDateTime >> 21) & 0x0F) - 1;
  fields.tm_mday = static_cast<int>((msdosDateTime >> 16) & 0x1F);
  fields.tm_hour = static_cast<int>((msdosDateTime >> 11) & 0x1F);
  fields.tm_min = static_cast<int>((msdosDateTime >> 5) & 0x3F);
  fields.tm_sec = static_cast<int>(msdosDateTime & 0x1F) * 2;
  fields.tm_isdst = -1;  // let the zone decide whether summer time applies
  // mktime carries out-of-range fields into the next unit (month 0 is December of the year
  // before, day 0 the last day of the month before).
  std::tm copy = fields;
  std::time_t seconds = std::mktime(&fields);
  // Every DOS date lies far from -1 (1969); a local time the zone cannot place is read as UTC.
  if (seconds == static_cast<std::time_t>(-1)) {
    seconds = ::timegm(&copy);
  } else {
    // When the clocks go back, an hour of local time happens twice, and mktime picks either
    // reading after what it was asked before: the same entry would get another date in another
    // archive, or in a fetch of changed entries. The earlier reading is always taken. The other
    // reading keeps the local time under the offset in force a day before or after (summer time
    // ending, or a zone's standard offset changing); a few readings of the clock find it, where
    // asking mktime for the other summer-time flag searches decades in a zone without summer time.
    const long offset = fields.tm_gmtoff;
    for (const std::time_t near : {seconds - kSecondsPerDay, seconds + kSecondsPerDay}) {
      std::tm around{};
      if (::localtime_r(&near, &around) == nullptr || around.tm_gmtoff == offset) continue;
      const std::time_t other = seconds + (offset - around.tm_gmtoff);
      std::tm back{};
      if (other < seconds && ::localtime_r(&other, &back) != nullptr &&
          back.tm_year == fields.tm_year && back.tm_mon == fields.tm_mon &&
          back.tm_mday == fields.tm_mday && back.tm_hour == fields.tm_hour &&
          back.tm_min == fields.tm_min && back.tm_sec == fields.tm_sec)
        seconds = other;
    }
  }
  return std::chrono::system_clock::from_time_t(seconds);
}

platform::FileTime Zipwell::Dates::operator()(std::uint32_t msdosDateTime) {
  const auto [known, added] = read_.try_emplace(msdosDateTime);
  if (added) known->second = dateWithMSDOSFormat(msdosDateTime);
  return known->second;
}

}  // namespace launcher
