#include "tools/feed/PackageWriter.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "Launcher/DeltaUpdate.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Nfd.h"
#include "Launcher/platform/Text.h"
#include "Zipwell/Zipwell.h"

namespace launcher::feed {
namespace {
namespace fs = std::filesystem;

// A path inside a message: quoted, on one line, whatever bytes its names hold.
std::string shown(const fs::path& path) {
  return platform::quotedLine(path.string());
}

constexpr std::size_t kChunkSize = std::size_t{64} * 1024;
// "Version made by": host system 3 (Unix) in the upper byte, so that readers take the upper 16
// bits of the external attributes as a POSIX mode; ZIP format version 2.0 in the lower byte.
constexpr uLong kMadeByUnix = (3u << 8) | 20u;
// General purpose flag bit 11: names are UTF-8.
constexpr uLong kUtf8NamesFlag = 1u << 11;
// The MS-DOS "directory" attribute in the low byte, as Unix archivers also set it.
constexpr uLong kDosDirectoryAttribute = 0x10;
// The launcher reads packages with minizip, which on 64-bit systems takes no ZIP64 value from the
// central directory: a file this large or larger, or an entry that begins this far or further into
// the package, cannot be extracted, and the launcher refuses the package. So no entry needs
// ZIP64, and none is written.
constexpr std::uintmax_t kLauncherLimit = 0xffffffffu;
// The fixed part of an entry's record in the central directory, which the name follows (the
// package's records have no extra field and no comment).
constexpr std::uintmax_t kCentralRecordBytes = 46;

std::string zipErrorText(int code) {
  switch (code) {
    case ZIP_ERRNO:
      return platform::describeErrno(errno);
    case ZIP_PARAMERROR:
      return "invalid parameter";
    case ZIP_BADZIPFILE:
      return "bad archive";
    case ZIP_INTERNALERROR:
      return "internal error";
    default:
      return "error " + std::to_string(code);
  }
}

// For the application's files, which are only read: a failure to close one loses nothing.
struct FileCloser {
  void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// An archive open for writing. The destructor abandons an unfinished archive (closing any open
// entry and the handle); `finish` closes it properly and reports the result.
class ZipWriter {
 public:
  explicit ZipWriter(const fs::path& path)
      : handle_(zipOpen64(path.c_str(), APPEND_STATUS_CREATE)) {}
  ~ZipWriter() {
    if (handle_ == nullptr) return;
    if (entryOpen_) zipCloseFileInZip(handle_);
    zipClose(handle_, nullptr);
  }
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  bool isOpen() const { return handle_ != nullptr; }

  int openEntry(const std::string& name, const zip_fileinfo& info, bool deflate) {
    const int result = zipOpenNewFileInZip4_64(
        handle_, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, deflate ? Z_DEFLATED : 0,
        deflate ? Z_DEFAULT_COMPRESSION : 0, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
        nullptr, 0, kMadeByUnix, kUtf8NamesFlag, 0);
    entryOpen_ = result == ZIP_OK;
    return result;
  }

  int write(const void* data, std::size_t size) {
    return zipWriteInFileInZip(handle_, data, static_cast<unsigned>(size));
  }

  int closeEntry() {
    entryOpen_ = false;
    return zipCloseFileInZip(handle_);
  }

  int finish() {
    zipFile handle = std::exchange(handle_, nullptr);
    return zipClose(handle, nullptr);
  }

 private:
  zipFile handle_;
  bool entryOpen_ = false;
};

// Walks the application folder and writes one entry per item.
class PackageBuilder {
 public:
  // `appFolder` is the folder packaged as the top-level entry named `topName`.
  PackageBuilder(ZipWriter& zip, fs::path appFolder, std::string topName)
      : zip_(zip), appFolder_(std::move(appFolder)), topName_(std::move(topName)) {}

  std::optional<Failure> addItem(const fs::path& path, const std::string& name,
                                 const struct stat& status) {
    if (!platform::isValidUtf8(name))
      return Failure::refused("cannot package " + shown(path) + ": its name is not UTF-8 text");
    if (name.find('\\') != std::string::npos)
      return Failure::refused("cannot package " + shown(path) +
                              ": the launcher reads a backslash in a name as a folder separator");
    if (platform::hasControlCharacter(name))
      return Failure::refused("cannot package " + shown(path) +
                              ": its name holds a control character, which the launcher refuses");
    if (S_ISDIR(status.st_mode)) return addFolder(path, name, status);
    if (S_ISREG(status.st_mode)) return addFile(path, name, status);
    if (S_ISLNK(status.st_mode)) return addLink(path, name, status);
    return Failure::refused("cannot package " + shown(path) +
                            ": it is neither a file, a folder nor a symbolic link");
  }

  const PackageSummary& summary() const { return summary_; }

 private:
  static zip_fileinfo entryInfo(const struct stat& status) {
    zip_fileinfo info{};
    info.dosDate = dosDateTime(status.st_mtime);
    info.external_fa = static_cast<uLong>(status.st_mode & 0xffff) << 16;
    if (S_ISDIR(status.st_mode)) info.external_fa |= kDosDirectoryAttribute;
    return info;
  }

  std::optional<Failure> openEntry(const fs::path& path, const std::string& name,
                                   const struct stat& status, bool deflate) {
    const int result = zip_.openEntry(name, entryInfo(status), deflate);
    if (result != ZIP_OK)
      return Failure::runtime("cannot add " + shown(path) +
                              " to the package: " + zipErrorText(result));
    summary_.directoryBytes += kCentralRecordBytes + name.size();
    return std::nullopt;
  }

  std::optional<Failure> closeEntry(const fs::path& path) {
    const int result = zip_.closeEntry();
    if (result != ZIP_OK)
      return Failure::runtime("cannot finish " + shown(path) +
                              " in the package: " + zipErrorText(result));
    ++summary_.entries;
    return std::nullopt;
  }

  std::optional<Failure> writeData(const fs::path& path, const char* data, std::size_t size) {
    const int result = zip_.write(data, size);
    if (result != ZIP_OK)
      return Failure::runtime("cannot write " + shown(path) +
                              " into the package: " + zipErrorText(result));
    return std::nullopt;
  }

  std::optional<Failure> addFolder(const fs::path& path, const std::string& name,
                                   const struct stat& status) {
    // Read the listing first, so that an unreadable folder fails before its entry is written.
    std::vector<std::string> children;
    std::error_code error;
    for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
      children.push_back(it->path().filename().string());
    if (error)
      return Failure::runtime("cannot read the folder " + shown(path) + ": " + error.message());
    std::sort(children.begin(), children.end());

    // A folder's entry, and the prefix of its children's: "name/".
    const std::string folderName = name + "/";
    if (auto failure = openEntry(path, folderName, status, false)) return failure;
    if (auto failure = closeEntry(path)) return failure;

    for (const auto& child : children) {
      const fs::path childPath = path / child;
      struct stat childStatus {};
      if (::lstat(childPath.c_str(), &childStatus) != 0)
        return Failure::runtime(platform::describeErrno(
            "cannot examine", platform::escapeLine(childPath.string()), errno));
      if (auto failure = addItem(childPath, folderName + child, childStatus)) return failure;
    }
    return std::nullopt;
  }

  std::optional<Failure> addFile(const fs::path& path, const std::string& name,
                                 const struct stat& status) {
    if (static_cast<std::uintmax_t>(status.st_size) >= kLauncherLimit)
      return Failure::refused("cannot package " + shown(path) + ": it holds " +
                              std::to_string(status.st_size) +
                              " bytes, and the launcher installs files of at most 4294967294 bytes "
                              "(4 GiB less 2)");
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file)
      return Failure::runtime(
          platform::describeErrno("cannot read", platform::escapeLine(path.string()), errno));
    if (auto failure = openEntry(path, name, status, true)) return failure;

    std::vector<char> buffer(kChunkSize);
    for (;;) {
      const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), file.get());
      if (count > 0) {
        if (auto failure = writeData(path, buffer.data(), count)) return failure;
      }
      if (count < buffer.size()) break;
    }
    if (std::ferror(file.get()))
      return Failure::runtime("cannot read " + shown(path) + ": read error");
    if (auto failure = closeEntry(path)) return failure;

    if (platform::hasZipExtension(name)) summary_.nestedArchives.push_back(name);
    return std::nullopt;
  }

  std::optional<Failure> addLink(const fs::path& path, const std::string& name,
                                 const struct stat& status) {
    // st_size of a link is the length of its target; a larger buffer tells truncation apart.
    std::vector<char> target(static_cast<std::size_t>(status.st_size) + 2);
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0)
      return Failure::runtime(platform::describeErrno("cannot read the link",
                                                      platform::escapeLine(path.string()), errno));
    if (static_cast<std::size_t>(length) >= target.size())
      return Failure::runtime("the link " + shown(path) + " changed while being read");
    const std::string_view text(target.data(), static_cast<std::size_t>(length));
    // The launcher's own rule, applied to the application folder: what passes here installs.
    const std::string inApp = name.substr(std::min(name.size(), topName_.size() + 1));
    const auto isLink = [&](const std::string& relative) {
      struct stat linkStatus {};
      return ::lstat((appFolder_ / relative).c_str(), &linkStatus) == 0 &&
             S_ISLNK(linkStatus.st_mode);
    };
    if (const auto problem = Zipwell::linkTargetProblem(inApp, text, isLink))
      return Failure::refused("cannot package the link " + shown(path) + " -> \"" +
                              platform::escapeLine(text) + "\": " + *problem +
                              " (the launcher installs only links that stay inside the "
                              "application folder)");
    if (auto failure = openEntry(path, name, status, true)) return failure;
    if (auto failure = writeData(path, text.data(), text.size())) return failure;
    return closeEntry(path);
  }

  ZipWriter& zip_;
  fs::path appFolder_;
  std::string topName_;
  PackageSummary summary_;
};

}  // namespace

std::uint32_t dosDateTime(std::time_t time) {
  constexpr std::uint32_t kEarliest = (0u << 25) | (1u << 21) | (1u << 16);
  constexpr std::uint32_t kLatest =
      (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  std::tm local{};
  if (::localtime_r(&time, &local) == nullptr) return kEarliest;
  const int year = local.tm_year + 1900;
  if (year < 1980) return kEarliest;
  if (year > 2107) return kLatest;
  const int seconds = std::min(local.tm_sec, 59);  // a leap second stays within the minute
  return (static_cast<std::uint32_t>(year - 1980) << 25) |
         (static_cast<std::uint32_t>(local.tm_mon + 1) << 21) |
         (static_cast<std::uint32_t>(local.tm_mday) << 16) |
         (static_cast<std::uint32_t>(local.tm_hour) << 11) |
         (static_cast<std::uint32_t>(local.tm_min) << 5) | static_cast<std::uint32_t>(seconds / 2);
}

std::variant<PackageSummary, Failure> writePackage(const fs::path& folder,
                                                   const fs::path& archive) {
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0)
    return Failure::refused(
        platform::describeErrno("cannot examine", platform::escapeLine(folder.string()), errno));
  // A character rather than a one-character literal before the temporary: GCC 12 at -O3 reports a
  // false -Wrestrict inside `"x" + std::string&&`.
  if (!S_ISDIR(status.st_mode)) return Failure::refused(shown(folder) + " is not a folder");

  fs::path normal = folder.lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();
  const std::string name = normal.filename().string();
  if (name.empty() || name == "." || name == "..")
    return Failure::refused("cannot name the package's top-level entry after " + shown(folder));

  ZipWriter zip(archive);
  if (!zip.isOpen())
    return Failure::runtime(
        platform::describeErrno("cannot create", platform::escapeLine(archive.string()), errno));
  PackageBuilder builder(zip, folder, name);
  if (auto failure = builder.addItem(folder, name, status)) return *failure;
  const int closed = zip.finish();
  if (closed != ZIP_OK)
    return Failure::runtime("cannot finish " + shown(archive) + ": " + zipErrorText(closed));

  PackageSummary summary = builder.summary();
  std::error_code error;
  summary.bytes = fs::file_size(archive, error);
  if (error) return Failure::runtime("cannot examine " + shown(archive) + ": " + error.message());
  if (summary.directoryBytes > zipdir::kMaxDirectoryBytes)
    return Failure::refused("the package's directory of its " + std::to_string(summary.entries) +
                            " entries takes " + std::to_string(summary.directoryBytes) +
                            " bytes, and the launcher reads one of at most " +
                            std::to_string(zipdir::kMaxDirectoryBytes) +
                            " bytes: package fewer files or shorter names");
  if (summary.bytes >= kLauncherLimit) {
    const auto directory = delta::readDirectory(archive.string());
    if (const auto* problem = std::get_if<std::string>(&directory))
      return Failure::runtime("cannot read back " + shown(archive) + ": " + *problem);
    for (const auto& entry : std::get<zipdir::Directory>(directory).entries)
      if (entry.localHeader >= kLauncherLimit)
        return Failure::refused("the package reaches 4 GiB before \"" +
                                platform::escapeLine(entry.name) +
                                "\", and the launcher cannot read an entry that begins 4 GiB or "
                                "more into its package");
  }
  return summary;
}

}  // namespace launcher::feed
