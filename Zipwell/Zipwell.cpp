#include "Zipwell/Zipwell.h"

#include <minizip/unzip.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "Launcher/platform/Console.h"
#include "Launcher/platform/Text.h"

namespace launcher {
namespace {

using platform::FileTime;
using platform::logLine;

// Entry data is streamed through one buffer of this size per call.
constexpr unsigned kReadBufferSize = 4096;
// Output files get a larger stdio buffer than the read chunks, so that a big entry reaches the
// disk in few large writes instead of one system call per chunk.
constexpr std::size_t kWriteBufferSize = 256 * 1024;

platform::ErrorRecord makeError(long code, const char* description) {
  return platform::ErrorRecord{Zipwell::kErrorDomain, code, description};
}

// An archive opened for reading; closed on every way out.
class Archive {
 public:
  explicit Archive(const std::string& path) : path_(path), handle_(unzOpen(path.c_str())) {}
  ~Archive() { close(); }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  unzFile get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

  void close() {
    if (handle_ == nullptr) return;
    if (unzClose(std::exchange(handle_, nullptr)) != UNZ_OK)
      logLine("[Zipwell] Failed to close archive: " + path_);
  }

 private:
  std::string path_;
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

// A file opened with fopen("wb"); closed by close(), whose result tells whether everything
// reached the file, or else when it goes away.
class OutputFile {
 public:
  OutputFile(const std::string& path, std::vector<char>& buffer)
      : file_(std::fopen(path.c_str(), "wb")) {
    // Without the larger buffer stdio falls back to its own; only speed differs.
    if (file_ != nullptr)
      static_cast<void>(std::setvbuf(file_, buffer.data(), _IOFBF, buffer.size()));
  }
  ~OutputFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  explicit operator bool() const { return file_ != nullptr; }
  bool write(const char* data, std::size_t size) {
    return std::fwrite(data, 1, size, file_) == size;
  }
  bool close() { return std::fclose(std::exchange(file_, nullptr)) == 0; }

 private:
  std::FILE* file_;
};

// A directory entry's folder and the date it gets back once all files are in place.
struct DirectoryDate {
  std::string path;
  FileTime modDate;
  auto operator<=>(const DirectoryDate&) const = default;
};

// The non-empty components of an entry name (slashes only).
std::vector<std::string_view> components(const std::string& name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (end > start) parts.emplace_back(name.data() + start, end - start);
    start = end + 1;
  }
  return parts;
}

// True when the name has a ".." component, which would lead out of the destination.
bool climbsOut(const std::string& name) {
  const auto parts = components(name);
  return std::find(parts.begin(), parts.end(), "..") != parts.end();
}

// The destination joined with an entry name (slashes only): one slash between the two, runs of
// slashes collapsed, no trailing slash, "." components dropped so that one file has one spelling.
// A leading slash in the name stays under the destination.
std::string entryPath(const std::string& destination, const std::string& name) {
  std::string path;
  path.reserve(destination.size() + name.size() + 1);
  for (const char c : destination.empty() ? std::string(".") : destination)
    if (c != '/' || path.empty() || path.back() != '/') path.push_back(c);
  for (const std::string_view component : components(name)) {
    if (component == ".") continue;
    if (path.back() != '/') path.push_back('/');
    path.append(component);
  }
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string parentFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

enum class Written { kNotCreated, kPartial, kComplete };

// Streams the current entry's data into a new (or emptied) file at `path`.
Written copyEntry(unzFile archive, const std::string& path, std::vector<char>& readBuffer,
                  std::vector<char>& writeBuffer) {
  OutputFile file(path, writeBuffer);
  if (!file) {
    logLine("[Zipwell] Failed to create file: " + path);
    return Written::kNotCreated;
  }
  bool complete = true;
  for (;;) {
    const int count = unzReadCurrentFile(archive, readBuffer.data(), kReadBufferSize);
    // Damaged data can also end the stream early without an error code: the end only counts
    // when the entry's whole size has been delivered.
    if (count == 0 && unzeof(archive) == 1) break;
    if (count <= 0) {
      logLine("[Zipwell] Failed to read entry data for file: " + path);
      complete = false;
      break;
    }
    if (!file.write(readBuffer.data(), static_cast<std::size_t>(count))) {
      logLine("[Zipwell] Failed to write file: " + path);
      complete = false;
      break;
    }
  }
  // Closing flushes the last buffered bytes, so a full disk may only show here.
  if (!file.close() && complete) {
    logLine("[Zipwell] Failed to write file: " + path);
    complete = false;
  }
  return complete ? Written::kComplete : Written::kPartial;
}

// The general operation; `openArchives` holds the archives being read, outermost first, with
// this call's own archive last.
bool extract(const std::string& path, const std::string& destination, bool overwrite,
             const std::optional<std::string>& password,
             std::optional<platform::ErrorRecord>* error, std::vector<std::string>& openArchives);

// Follows a ZIP file just written to `path` unless the nesting is already as deep as allowed.
// True when it was extracted and removed, so that nothing is left at `path`.
bool extractNested(const std::string& path, bool overwrite,
                   const std::optional<std::string>& password,
                   std::vector<std::string>& openArchives) {
  if (openArchives.size() > static_cast<std::size_t>(Zipwell::kMaxNestingDepth)) {
    logLine("[Zipwell] Nested archive too deep, left as a file: " + path);
    return false;
  }
  logLine("Unzipping nested .zip file:  " + lastComponent(path));
  openArchives.push_back(path);
  const bool extracted =
      extract(path, parentFolder(path), overwrite, password, nullptr, openArchives);
  openArchives.pop_back();
  return extracted && platform::removeItem(path);
}

bool extract(const std::string& path, const std::string& destination, bool overwrite,
             const std::optional<std::string>& password,
             std::optional<platform::ErrorRecord>* error, std::vector<std::string>& openArchives) {
  Archive archive(path);
  if (!archive) {
    if (error != nullptr) *error = makeError(-1, "failed to open zip file");
    return false;
  }
  if (unzGoToFirstFile(archive.get()) != UNZ_OK) {
    if (error != nullptr) *error = makeError(-2, "failed to open first file in zip file");
    return false;
  }

  std::vector<char> readBuffer(kReadBufferSize);
  std::vector<char> writeBuffer(kWriteBufferSize);
  std::set<DirectoryDate> directoryDates;
  const bool withPassword = password.has_value() && !password->empty();
  bool success = true;
  bool crcFailed = false;

  for (;;) {
    const int opened = withPassword ? unzOpenCurrentFilePassword(archive.get(), password->c_str())
                                    : unzOpenCurrentFile(archive.get());
    if (opened != UNZ_OK) {
      success = false;
      break;
    }
    OpenEntry entry(archive.get());

    unz_file_info info{};
    if (unzGetCurrentFileInfo(archive.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
      success = false;
      break;
    }
    std::string name;
    try {
      name.assign(info.size_filename + 1, '\0');
    } catch (const std::bad_alloc&) {
      if (error != nullptr) error->reset();
      return false;
    }
    if (unzGetCurrentFileInfo(archive.get(), &info, name.data(), info.size_filename + 1, nullptr, 0,
                              nullptr, 0) != UNZ_OK) {
      success = false;
      break;
    }
    name[info.size_filename] = '\0';
    const bool isDirectory = info.size_filename > 0 && (name[info.size_filename - 1] == '/' ||
                                                        name[info.size_filename - 1] == '\\');
    // The name ends at its first zero byte, as the system's path functions would read it.
    name.resize(std::strlen(name.c_str()));
    std::replace(name.begin(), name.end(), '\\', '/');

    if (climbsOut(name)) {
      logLine("[Zipwell] Refused entry outside the destination: " + name);
      success = false;
    } else {
      const std::string fullPath = entryPath(destination, name);
      const FileTime date = Zipwell::dateWithMSDOSFormat(static_cast<std::uint32_t>(info.dosDate));
      const auto folder =
          platform::createDirectory(isDirectory ? fullPath : parentFolder(fullPath), true, date);
      if (!folder) {
        logLine("[Zipwell] Error: " + folder.error);
        if (isDirectory) success = false;
      }

      if (isDirectory) {
        directoryDates.insert(DirectoryDate{fullPath, date});
      } else if (std::find(openArchives.begin(), openArchives.end(), fullPath) !=
                 openArchives.end()) {
        logLine("[Zipwell] Refused entry that would overwrite an archive being read: " + fullPath);
        success = false;
      } else if (overwrite || !platform::itemExists(fullPath)) {
        const Written written = copyEntry(archive.get(), fullPath, readBuffer, writeBuffer);
        if (written != Written::kComplete) success = false;
        // A nested archive that was extracted in place is gone: it has no date or mode to set.
        const bool replaced = written == Written::kComplete &&
                              platform::hasZipExtension(fullPath) &&
                              extractNested(fullPath, overwrite, password, openArchives);
        if (written != Written::kNotCreated && !replaced) {
          if (info.dosDate != 0 && !platform::setModificationDate(fullPath, date))
            logLine("[Zipwell] Failed to set attributes - whilst setting modification date");
          const auto mode = static_cast<mode_t>(info.external_fa >> 16);
          if (mode != 0 && !platform::setPosixPermissions(fullPath, mode & 07777))
            logLine("[Zipwell] Failed to set attributes - whilst setting permissions");
        }
      }
    }

    if (entry.close() == UNZ_CRCERROR) {
      success = false;
      crcFailed = true;
      break;
    }
    if (unzGoToNextFile(archive.get()) != UNZ_OK) break;
  }

  archive.close();
  for (const DirectoryDate& record : directoryDates) {
    if (const auto set = platform::setModificationDate(record.path, record.modDate); !set) {
      logLine("[Zipwell] Set attributes failed for directory: " + record.path + ".");
      logLine("[Zipwell] Error setting directory file modification date attribute: " + set.error);
    }
  }
  if (error != nullptr) {
    if (crcFailed)
      *error = makeError(-3, "crc check failed for file");
    else
      error->reset();
  }
  return success;
}

}  // namespace

bool Zipwell::unzipFileAtPath(const std::string& path, const std::string& destination) {
  return unzipFileAtPath(path, destination, true, std::nullopt, nullptr);
}

bool Zipwell::unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::optional<std::string>& password,
                              std::optional<platform::ErrorRecord>* error) {
  std::vector<std::string> openArchives{path};
  return extract(path, destination, overwrite, password, error, openArchives);
}

platform::FileTime Zipwell::dateWithMSDOSFormat(std::uint32_t msdosDateTime) {
  // The local time zone is read once and kept for the life of the process.
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
  if (seconds == static_cast<std::time_t>(-1)) seconds = ::timegm(&copy);
  return std::chrono::system_clock::from_time_t(seconds);
}

}  // namespace launcher
