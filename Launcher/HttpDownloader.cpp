#include "Launcher/HttpDownloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <nlohmann/json.hpp>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "Launcher/Config.h"
#include "Launcher/DownloadProgress.h"
#include "Launcher/Installer.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/Curl.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Nfd.h"
#include "Launcher/platform/Text.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher {
namespace {
using platform::describeErrno;
using platform::ErrorRecord;

constexpr const char* kSavingDomain = "Error saving file";
constexpr const char* kDownloadingDomain = "Error downloading file";
constexpr const char* kVerifyingDomain = "Error verifying file";
constexpr const char* kBundleSuffix = ".app";

// Room kept for the part file's prefix and suffixes within the 255-byte name limit.
constexpr std::size_t kMaxSegmentInTemporaryName = 200;
// The download's hidden files: ".<segment>.part", its side file ".<segment>.part.json", that
// side file while it is written, and the part files of older launchers (".<segment>.part-XXXXXX").
constexpr std::string_view kPartSuffix = ".part";
constexpr std::string_view kSideSuffix = ".part.json";
constexpr std::string_view kSideTemporarySuffix = ".part.json.new";
constexpr std::string_view kOlderPartMarker = ".part-";
constexpr const char* kSideExtension = ".json";           // part file name + this: its side file
constexpr const char* kTemporaryExtension = ".json.new";  // ... and that side file being written
constexpr off_t kMaxSideFileBytes = off_t{64} * 1024;
// A part continued under a signature is read back in pieces of this size for the digest.
constexpr std::uint64_t kReadBytes = std::uint64_t{1024} * 1024;
// The part is sent towards the disk in steps of this size while it is written.
constexpr std::uint64_t kStartToDiskAfter = std::uint64_t{8} * 1024 * 1024;
// The free space is looked at again after at most this many bytes written: others may write to
// the same file system meanwhile.
constexpr std::uint64_t kMeasureRoomAfter = std::uint64_t{8} * 1024 * 1024;

ErrorRecord makeError(const char* domain, long code, const std::string& detail) {
  return {domain, code, std::string(domain) + " (code " + std::to_string(code) + "): " + detail};
}
ErrorRecord downloadingError(const std::string& detail) {
  return makeError(kDownloadingDomain, HttpDownloader::kErrorDownloadingFile, detail);
}
ErrorRecord savingError(const std::string& detail) {
  return makeError(kSavingDomain, HttpDownloader::kErrorSavingFile, detail);
}
// The failure dialog shows the description alone: it says which check the package failed.
ErrorRecord verifyingError(const std::string& reason) {
  return {kVerifyingDomain, HttpDownloader::kErrorVerifyingFile,
          "the package signature is not valid: " + reason};
}

bool isSuccessStatus(long status) {
  return status >= 200 && status <= 299;
}

// What the side file says of the bytes in the part file: where they come from and which version
// of the package they belong to.
struct SideRecord {
  std::string address;
  std::string validator;              // a strong ETag, else a Last-Modified date
  std::optional<std::uint64_t> size;  // the whole package's size, when the server gave it
};

std::string sideText(const SideRecord& record) {
  nlohmann::json document{{"address", record.address}, {"validator", record.validator}};
  if (record.size) document["size"] = *record.size;
  return document.dump() + "\n";
}

// The record in the side file at `path`; nothing when it is missing, not a regular file, too
// large, torn, incomplete or holding a validator that no answer gives: a part that it cannot vouch
// for is never continued.
std::optional<SideRecord> readSide(const std::string& path) {
  const auto text = platform::readSmallFile(path, kMaxSideFileBytes);
  if (!text) return std::nullopt;
  const auto document = nlohmann::json::parse(*text, nullptr, false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;
  const auto address = document.find("address");
  const auto validator = document.find("validator");
  if (address == document.end() || !address->is_string() || validator == document.end() ||
      !validator->is_string())
    return std::nullopt;
  SideRecord record{address->get<std::string>(), validator->get<std::string>(), std::nullopt};
  // The validator goes into the If-Range header as it is: one with a line break would add
  // header lines of its own to the request. No answer gives such a validator.
  if (record.address.empty() || record.validator.empty() ||
      platform::hasControlCharacter(record.validator))
    return std::nullopt;
  if (const auto size = document.find("size"); size != document.end()) {
    if (!size->is_number_unsigned()) return std::nullopt;
    record.size = size->get<std::uint64_t>();
  }
  return record;
}

// Makes the entries of `folder` (a creation, a rename, a removal) survive a power cut. Best
// effort: a folder that cannot be synced costs at worst a download started afresh.
void syncFolder(const std::string& folder) {
  static_cast<void>(platform::syncFolder(folder));
}

std::string partName(const std::string& segment) {
  std::string name(1, '.');
  name += segment.substr(0, kMaxSegmentInTemporaryName);
  name += kPartSuffix;
  return name;
}

// The part file that the name `name` belongs to: itself, or the part beside a side file; nothing
// for names that are not the download's.
std::optional<std::string> owningPart(const std::string& name) {
  if (!name.starts_with('.')) return std::nullopt;
  if (name.ends_with(kSideSuffix))
    return name.substr(0, name.size() - std::string_view(kSideExtension).size());
  if (name.ends_with(kPartSuffix)) return name;
  return std::nullopt;
}

// True when the part `name` in `folder` can be continued: a regular file with a readable side
// file, for `address` when one is given.
bool continuable(const std::string& folder, const std::string& name,
                 const std::optional<std::string>& address) {
  struct stat status {};
  if (::lstat((folder + "/" + name).c_str(), &status) != 0 || !S_ISREG(status.st_mode))
    return false;
  const auto side = readSide(folder + "/" + name + kSideExtension);
  return side && (!address || side->address == *address);
}

// Removes the download's files from `folder` but the parts for which `keep` holds, with their
// side files. Folders are never removed: a package may have placed one under any name.
void removeParts(const std::string& folder, const std::function<bool(const std::string&)>& keep) {
  const auto names = platform::folderEntries(folder);
  if (!names) return;
  for (const std::string& name : *names) {
    const auto part = owningPart(name);
    const bool leftover =
        name.starts_with('.') &&
        (name.ends_with(kSideTemporarySuffix) || name.find(kOlderPartMarker) != std::string::npos);
    if (!leftover && (!part || keep(*part))) continue;
    const std::string path = platform::appendPathComponent(folder, name);
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode))
      static_cast<void>(::unlink(path.c_str()));
  }
}

// The package's bytes so far, in a hidden file of a fixed name beside the destination, and the
// side file that lets a later call continue them. Both are removed when the object goes away,
// unless they were kept for later or the part was renamed into place.
class PartFile {
 public:
  PartFile(const std::string& folder, const std::string& segment, std::string address)
      : folder_(folder),
        path_(folder + "/" + partName(segment)),
        sidePath_(path_ + kSideExtension),
        address_(std::move(address)) {}
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile() {
    if (!settled_) discard();
  }

  // Opens the part, continuing it when its side file vouches for it for this address; anything
  // else found under its name starts empty. On failure returns false and describes why in
  // `error`.
  bool open(std::string& error) {
    struct stat status {};
    // Only a regular file is ever continued; anything else in its place goes.
    if (::lstat(path_.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
      platform::removeItem(path_);
    auto side = readSide(sidePath_);
    file_ = platform::UniqueFd(
        ::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file_ || ::fstat(file_.get(), &status) != 0) {
      error = describeErrno("cannot create a file in", folder_, errno);
      file_.reset();
      settled_ = true;  // nothing of ours to remove
      return false;
    }
    if (side && side->address == address_ && status.st_size > 0) {
      side_ = std::move(side);
      size_ = static_cast<std::uint64_t>(status.st_size);
      startedToDisk_ = size_;
      return true;
    }
    return restart(error);
  }

  std::uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // The validator to ask for the rest with; nothing when there is nothing to continue.
  std::optional<std::string> resumeValidator() const {
    if (size_ == 0 || !side_) return std::nullopt;
    return side_->validator;
  }
  std::optional<std::uint64_t> recordedSize() const { return side_ ? side_->size : std::nullopt; }

  // Starts over: the side file goes first, so that no crash leaves it vouching for other bytes;
  // so does anything else at its name, a folder too.
  bool restart(std::string& error) {
    if (platform::itemExists(sidePath_)) {
      if (auto removed = platform::removeItem(sidePath_); !removed) {
        error = removed.error;
        return false;
      }
    }
    side_.reset();
    // Emptied on the disk before a new side file can vouch for the part: file systems that sync
    // a file alone (btrfs) could otherwise bring back the old bytes under the new record.
    if (::ftruncate(file_.get(), 0) != 0 || ::fdatasync(file_.get()) != 0) {
      error = describeErrno("cannot empty", path_, errno);
      return false;
    }
    size_ = 0;
    startedToDisk_ = 0;
    writable_ = 0;
    return true;
  }

  // Bytes free for the launcher on the part's file system; nothing when it cannot tell.
  std::optional<std::uint64_t> freeBytes() const { return platform::freeBytes(file_.get()); }

  // Records that the part holds the package at `address_` with `validator`: written to a
  // temporary file, synced and renamed into place, so that the side file is whole or absent.
  // False when it could not be written; the part then cannot be continued later, nothing more.
  bool record(std::string validator, std::optional<std::uint64_t> size) {
    // The side file is JSON, which holds UTF-8 text only: a header with other bytes is no
    // validator we can keep.
    if (!platform::isValidUtf8(validator) || !platform::isValidUtf8(address_)) return false;
    SideRecord side{address_, std::move(validator), size};
    const std::string temporary = path_ + kTemporaryExtension;
    platform::UniqueFd file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    const bool written = file && platform::writeAll(file.get(), sideText(side)) &&
                         ::fsync(file.get()) == 0 && file.reset() &&
                         ::rename(temporary.c_str(), sidePath_.c_str()) == 0;
    if (!written) {
      static_cast<void>(::unlink(temporary.c_str()));
      return false;
    }
    syncFolder(folder_);
    side_ = std::move(side);
    return true;
  }

  // Appends all of `data`; false with errno set when the file system refuses, or to ENOSPC when
  // the write would leave less than kKeepFreeBytes free there.
  bool write(const char* data, std::size_t size) {
    if (size > writable_ && !measureRoom(size)) {
      errno = ENOSPC;
      return false;
    }
    if (!platform::writeAll(file_.get(), std::string_view(data, size))) return false;
    size_ += size;
    writable_ -= size;
    // What was written starts on its way to the disk while the rest arrives, so that the sync
    // at the end finds little left to write. A refusal costs only that head start: the sync
    // reports whatever the disk refused.
    if (size_ - startedToDisk_ >= kStartToDiskAfter) {
      static_cast<void>(::sync_file_range(file_.get(), static_cast<off_t>(startedToDisk_),
                                          static_cast<off_t>(size_ - startedToDisk_),
                                          SYNC_FILE_RANGE_WRITE));
      startedToDisk_ = size_;
    }
    return true;
  }

  // Writes what the part holds to the disk; false with errno set when the disk refuses.
  bool sync() const { return ::fdatasync(file_.get()) == 0; }

  // Hands the first `count` bytes of the part to `sink`, in pieces; false with errno set when
  // they cannot be read.
  template <typename Sink>
  bool readPrefix(std::uint64_t count, Sink&& sink) {
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(count, kReadBytes)));
    for (std::uint64_t offset = 0; offset < count;) {
      const auto wanted =
          static_cast<std::size_t>(std::min<std::uint64_t>(count - offset, kReadBytes));
      const ssize_t got = ::pread(file_.get(), buffer.data(), wanted, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (got == 0) errno = EIO;  // the part is shorter than it was a moment ago
        return false;
      }
      sink(buffer.data(), static_cast<std::size_t>(got));
      offset += static_cast<std::uint64_t>(got);
    }
    return true;
  }

  // The transfer stopped before the end: the part and its side file stay for a later call,
  // synced so that a power cut keeps what was written. Without a side file, or when the part
  // cannot be synced, nothing can be continued and both go.
  void keep() {
    if (!side_ || size_ == 0 || ::fsync(file_.get()) != 0) return discard();
    settled_ = true;
  }

  // Removes the part and its side file.
  void discard() {
    settled_ = true;
    file_.reset();
    static_cast<void>(::unlink(sidePath_.c_str()));
    static_cast<void>(::unlink(path_.c_str()));
  }

  // Syncs and closes the part and renames it to `destination`; the side file goes after it.
  // Describes a failure in `error`.
  bool commit(const std::string& destination, std::string& error) {
    if (::fsync(file_.get()) != 0 || !file_.reset()) {
      error = describeErrno("cannot write", path_, errno);
      return false;
    }
    if (::rename(path_.c_str(), destination.c_str()) != 0) {
      error = describeErrno("cannot save", destination, errno);
      return false;
    }
    settled_ = true;
    static_cast<void>(::unlink(sidePath_.c_str()));
    syncFolder(folder_);
    return true;
  }

 private:
  // Looks at the free space again: true when `size` more bytes leave kKeepFreeBytes free. Sets
  // how many bytes may be written before it is looked at again.
  bool measureRoom(std::size_t size) {
    const std::uint64_t step = std::max<std::uint64_t>(size, kMeasureRoomAfter);
    const auto free = freeBytes();
    if (!free) {
      writable_ = step;  // a file system that cannot tell refuses writes itself when full
      return true;
    }
    const std::uint64_t keep = HttpDownloader::kKeepFreeBytes;
    writable_ = std::min(*free > keep ? *free - keep : 0, step);
    return size <= writable_;
  }

  std::string folder_;
  std::string path_;
  std::string sidePath_;
  std::string address_;
  platform::UniqueFd file_;
  std::optional<SideRecord> side_;
  std::uint64_t size_ = 0;
  std::uint64_t startedToDisk_ = 0;  // bytes of the part sent towards the disk before the sync
  std::uint64_t writable_ = 0;       // bytes that may be written before measureRoom is due
  bool settled_ = false;
};

// The package's bytes on their way to the part and, when the package is verified, to the
// digest. The transfer copies what it receives into buffers and goes on receiving; one thread
// appends the buffers to the part and another digests them, so that receiving, writing and the
// digest each go at their own pace rather than one after the other. A buffer goes to the part
// when it is full, or kHandOverAfter after its first byte even when nothing more arrives: a slow
// or bursty server's bytes still reach the part (and the download bar) within a moment of
// arriving. The transfer waits only when all kBuffers buffers are still on their way. The part
// must not be touched elsewhere until finish() returned. Without threads, each piece is written
// and digested as it comes.
class PackageWriter {
 public:
  static constexpr std::size_t kBuffers = 8;
  static constexpr std::size_t kBufferBytes = std::size_t{1024} * 1024;
  static constexpr std::chrono::milliseconds kHandOverAfter{100};

  // `meanwhile`, when given, is called every `quiet` (see onWritten) until answered(): a cut
  // download taken up again keeps showing what the part held, so that the speed shown falls
  // while the server is reached again. It must not touch the part, which the transfer may start
  // over meanwhile.
  PackageWriter(PartFile& part, minisign::PackageVerifier* verifier,
                std::function<void()> meanwhile = {})
      : part_(part),
        verifier_(verifier),
        meanwhile_(std::move(meanwhile)),
        awaiting_(static_cast<bool>(meanwhile_)) {
    try {
      writer_ = std::thread([this] { writeBuffers(); });
      if (verifier_ != nullptr) digester_ = std::thread([this] { digestBuffers(); });
      threaded_ = true;
    } catch (const std::system_error&) {
      // No thread to spare: everything is done on the caller's thread.
      stop();
    }
  }
  ~PackageWriter() { finish(); }
  PackageWriter(const PackageWriter&) = delete;
  PackageWriter& operator=(const PackageWriter&) = delete;

  // Appends `data` to the part and the digest. False once the part refused a write; finish()
  // then says why.
  bool write(const char* data, std::size_t size) { return add(data, size, true); }
  bool digesting() const { return verifier_ != nullptr; }
  // Called with true after each piece is appended to the part, on the thread that appended it
  // (one at a time); set before the first write, and left alone until finish() returned. The
  // writer's own thread also calls it with false every `quiet` while nothing arrives after a
  // first piece, so that a stall shows.
  void onWritten(std::function<void(bool grew)> called, std::chrono::milliseconds quiet) {
    {
      std::lock_guard lock(mutex_);
      onWritten_ = std::move(called);
      quiet_ = quiet;
    }
    changed_.notify_all();
  }
  // The answer is taken up, on the transfer's thread before it touches the part: no call of
  // `meanwhile` comes after this returns.
  void answered() {
    std::lock_guard lock(meanwhileMutex_);
    awaiting_ = false;
  }
  // Bytes the part holds already, for the digest alone.
  void digestOnly(const char* data, std::size_t size) {
    if (digesting()) add(data, size, false);
  }

  // Returns once every byte handed over is in the part and the digest: 0, or the errno of the
  // write or sync the part refused (nothing was written after a refused write).
  int finish() {
    if (threaded_) {
      {
        std::lock_guard lock(mutex_);
        if (!filling_.bytes.empty()) handOver();
      }
      stop();
      threaded_ = false;
    }
    return error_;
  }

 private:
  struct Buffer {
    std::vector<char> bytes;
    bool toPart = true;
  };

  bool add(const char* data, std::size_t size, bool toPart) {
    if (error_ != 0) return false;
    if (!threaded_) {
      if (toPart) {
        if (!part_.write(data, size)) {
          error_ = errno;
          return false;
        }
        if (onWritten_) onWritten_(true);
      }
      if (verifier_ != nullptr) verifier_->update(data, size);
      return true;
    }
    bool wake = false;  // the writer has a buffer to write, or one to watch the age of
    {
      std::unique_lock lock(mutex_);
      if (!filling_.bytes.empty() && filling_.toPart != toPart) {
        handOver();
        wake = true;
      }
      while (size > 0) {
        if (filling_.bytes.capacity() == 0) {
          if (wake) changed_.notify_all();
          changed_.wait(lock, [&] { return !spare_.empty() || made_ < kBuffers; });
          filling_.bytes = takeBuffer();
        }
        if (filling_.bytes.empty()) {
          filling_.toPart = toPart;
          filledSince_ = std::chrono::steady_clock::now();
          wake = true;
        }
        const std::size_t count = std::min(size, kBufferBytes - filling_.bytes.size());
        filling_.bytes.insert(filling_.bytes.end(), data, data + count);
        data += count;
        size -= count;
        if (filling_.bytes.size() == kBufferBytes) {
          handOver();
          wake = true;
        }
      }
    }
    if (wake) changed_.notify_all();
    return error_ == 0;
  }

  // A spare buffer, or a new one while fewer than kBuffers were made; with mutex_ held, once
  // there is one.
  std::vector<char> takeBuffer() {
    std::vector<char> bytes;
    if (spare_.empty()) {
      ++made_;
      bytes.reserve(kBufferBytes);
    } else {
      bytes = std::move(spare_.back());
      spare_.pop_back();
      bytes.clear();
    }
    return bytes;
  }

  // Queues the buffer being filled for the writer, with mutex_ held; the caller wakes the writer
  // when it is another thread.
  void handOver() {
    toWrite_.push_back(std::move(filling_));
    filling_ = {};
  }

  // Lets the threads run out of buffers and end.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) writer_.join();
    {
      std::lock_guard lock(mutex_);
      done_ = true;  // also when the writer never started
    }
    changed_.notify_all();
    if (digester_.joinable()) digester_.join();
  }

  void writeBuffers() {
    bool wrote = false;
    std::chrono::steady_clock::time_point quietReport;  // the next call while nothing arrives
    std::unique_lock lock(mutex_);
    for (;;) {
      // The next buffer: one handed over, or the one being filled once it is old enough.
      while (toWrite_.empty() && !closed_) {
        if (filling_.bytes.empty()) {
          if (error_ != 0 || quiet_.count() <= 0 || (wrote ? !onWritten_ : !awaiting_)) {
            changed_.wait(lock);
          } else if (const auto now = std::chrono::steady_clock::now(); now < quietReport) {
            changed_.wait_until(lock, quietReport);
          } else {
            quietReport = now + quiet_;
            lock.unlock();
            if (wrote) {
              onWritten_(false);
            } else {
              std::lock_guard meanwhile(meanwhileMutex_);
              if (awaiting_) meanwhile_();
            }
            lock.lock();
          }
        } else if (const auto due = filledSince_ + kHandOverAfter;
                   std::chrono::steady_clock::now() < due) {
          changed_.wait_until(lock, due);
        } else {
          handOver();
        }
      }
      if (toWrite_.empty()) break;
      Buffer buffer = std::move(toWrite_.front());
      toWrite_.pop_front();
      lock.unlock();
      if (buffer.toPart && error_ == 0) {
        wrote = true;
        if (!part_.write(buffer.bytes.data(), buffer.bytes.size()))
          error_ = errno;
        else if (onWritten_)
          onWritten_(true);
        quietReport = std::chrono::steady_clock::now() + quiet_;
      }
      lock.lock();
      if (verifier_ != nullptr)
        toDigest_.push_back(std::move(buffer.bytes));
      else
        spare_.push_back(std::move(buffer.bytes));
      changed_.notify_all();
    }
    done_ = true;
    changed_.notify_all();
    // The part is synced before it is kept or becomes the package: what is not on the disk yet
    // goes there now, while the digest finishes, so that little is left for that sync. A failure
    // is the part's: a later sync of the same file may no longer report it.
    if (wrote && error_ == 0) {
      lock.unlock();
      if (!part_.sync()) error_ = errno;
    }
  }

  void digestBuffers() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return !toDigest_.empty() || done_; });
      if (toDigest_.empty()) return;
      std::vector<char> bytes = std::move(toDigest_.front());
      toDigest_.pop_front();
      lock.unlock();
      verifier_->update(bytes.data(), bytes.size());
      lock.lock();
      spare_.push_back(std::move(bytes));
      changed_.notify_all();
    }
  }

  PartFile& part_;
  minisign::PackageVerifier* verifier_;
  bool threaded_ = false;
  std::atomic<int> error_ = 0;                // set by whichever thread writes to the part
  std::function<void(bool grew)> onWritten_;  // set with mutex_ held
  std::chrono::milliseconds quiet_{0};        // set with mutex_ held
  const std::function<void()> meanwhile_;
  std::mutex meanwhileMutex_;                          // held while meanwhile_ is called
  std::atomic<bool> awaiting_;                         // for the answer, with meanwhile_ to call
  Buffer filling_;                                     // with mutex_ held
  std::chrono::steady_clock::time_point filledSince_;  // its first byte
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Buffer> toWrite_;
  std::deque<std::vector<char>> toDigest_;
  std::vector<std::vector<char>> spare_;
  std::size_t made_ = 0;
  bool closed_ = false;  // nothing more will be handed over
  bool done_ = false;    // and the writer is done with what was
  std::thread writer_;
  std::thread digester_;
};

// How one request ended when it did not bring the rest of the package.
struct AttemptFailure {
  explicit AttemptFailure(ErrorRecord error, bool keepPart = true)
      : error(std::move(error)), keepPart(keepPart) {}

  ErrorRecord error;
  // The transport's code; none when the answer or the disk stopped the transfer.
  std::optional<CURLcode> transport;
  // What is on disk may be continued later: the package is still there as far as we know.
  bool keepPart;
  // The server found nothing left to send after what the part holds (416 to a request for the
  // rest), or answered that request with what cannot be joined to the part: it is asked once
  // more for the whole package.
  bool rangeRefused = false;
};

AttemptFailure statusFailure(long status, const std::string& address, bool askedForRest) {
  AttemptFailure failure{
      downloadingError("HTTP status " + std::to_string(status) + " (" + address + ")")};
  failure.rangeRefused = askedForRest && status == 416;
  // A client error says the address is wrong now; a server error may pass, and so may a
  // request timeout or a server asking for fewer requests.
  failure.keepPart = status >= 500 || status == 408 || status == 429;
  return failure;
}

// One request of the package: what it asked for and what the body callback saw.
struct Attempt {
  CURL* handle = nullptr;
  const std::string* address = nullptr;
  PartFile* part = nullptr;
  // Takes the body into the part, and every byte of the package (the part continued included)
  // into the digest when there is one.
  PackageWriter* writer = nullptr;
  const HttpDownloader::Options* options = nullptr;
  // Where the rest was asked from (the part's size then); 0 when the whole package was asked
  // for.
  std::uint64_t offset = 0;
  bool begun = false;  // the answer was taken up: its first byte, or its end without a body
  // The part already holds the whole package: the answer (a 416) brings nothing to write.
  bool whole = false;
  std::optional<std::uint64_t> reported;  // the part's size last reported as progress
  std::optional<std::uint64_t> total;
  // How many more bytes the answer may bring, as it announced them (to the end of its range, or
  // of the package).
  std::optional<std::uint64_t> left;
  std::optional<AttemptFailure> failure;  // the answer or the disk stopped the transfer
  // Memory ran out in the body callback: the transfer stopped there, and fetch throws once the
  // writer is done, as no exception may pass through libcurl.
  bool noMemory = false;
};

// Reports what the part holds, when it grew or `again` when it did not: the bar never shows bytes
// that a killed launcher would lose. Called only where the part is not being written by another
// thread: on the thread that writes it, before the writer has anything of this answer, or after
// it is done.
void reportProgress(Attempt& attempt, bool again = false) {
  const std::uint64_t size = attempt.part->size();
  if (!attempt.options->progress || (attempt.reported == size && !again)) return;
  attempt.reported = size;
  attempt.options->progress(size, attempt.total);
}

// False (with the failure set) when the rest of the package, from what the part holds, would
// leave less than kKeepFreeBytes free: refused before a byte of it is written.
bool roomForTheRest(Attempt& attempt) {
  const std::uint64_t rest = *attempt.total - std::min(*attempt.total, attempt.part->size());
  const std::uint64_t keep = HttpDownloader::kKeepFreeBytes;
  const std::uint64_t needed = rest > UINT64_MAX - keep ? UINT64_MAX : rest + keep;
  const auto free = attempt.part->freeBytes();
  if (!free || needed <= *free) return true;
  attempt.failure = AttemptFailure(savingError("the package needs " + formatBytes(needed) +
                                               " but only " + formatBytes(*free) + " is free"));
  return false;
}

// Whether a 416 to the request for the rest says that the part already holds the whole package:
// the size the server gives is the part's, the one its side file recorded, under the validator
// the part was recorded with. So it stays when a run ended after the last byte and before the
// package was saved.
bool partIsWhole(Attempt& attempt) {
  const PartFile& part = *attempt.part;
  const auto size = platform::unsatisfiedRangeSizeOf(attempt.handle);
  const auto recorded = part.recordedSize();
  const auto validator = part.resumeValidator();
  return attempt.offset > 0 && size && *size == attempt.offset && recorded && *recorded == *size &&
         validator && !platform::namesAnotherValidator(attempt.handle, *validator);
}

// Feeds the part, as far as the rest was asked from, to the digest when there is one: the digest
// covers the whole package. False (with the failure set) when the part cannot be read.
bool digestPart(Attempt& attempt) {
  if (!attempt.writer->digesting() ||
      attempt.part->readPrefix(attempt.offset, [&](const char* data, std::size_t size) {
        attempt.writer->digestOnly(data, size);
      }))
    return true;
  attempt.failure =
      AttemptFailure(savingError(describeErrno("cannot read", attempt.part->path(), errno)), false);
  return false;
}

// Takes up the answer once its headers are in: a 206 from where the part ends continues it, any
// other 2xx starts it again; records where the bytes come from. False (with the failure set) when
// the answer cannot be taken.
bool beginAnswer(Attempt& attempt) {
  attempt.writer->answered();
  PartFile& part = *attempt.part;
  const std::string& address = *attempt.address;
  long status = 0;
  if (curl_easy_getinfo(attempt.handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
      !isSuccessStatus(status)) {
    if (status == 416 && partIsWhole(attempt)) {
      attempt.begun = true;
      attempt.whole = true;
      attempt.total = attempt.offset;
      if (!digestPart(attempt)) return false;
      reportProgress(attempt);
      return true;
    }
    // An error page is never taken for the package: stopped before any of it is written.
    attempt.failure = statusFailure(status, address, attempt.offset > 0);
    return false;
  }
  attempt.begun = true;
  std::string error;
  if (const auto coding = platform::contentCodingOf(attempt.handle)) {
    attempt.failure = AttemptFailure(
        downloadingError("the server sent the package encoded (" + *coding + ") (" + address + ")"),
        false);
    // A server that compresses only its ranges may still send the whole package as it is.
    attempt.failure->rangeRefused = status == 206 && attempt.offset > 0;
    return false;
  }
  if (status == 206) {
    const auto range = platform::contentRangeOf(attempt.handle);
    const auto recorded = part.recordedSize();
    if (attempt.offset == 0 || !range || range->first != attempt.offset) {
      // Other bytes than the rest, or several ranges in one answer (multipart): a server or a
      // proxy that gets ranges wrong may still send the whole package right.
      attempt.failure = AttemptFailure(
          downloadingError("the server sent another part of the package than the rest from byte " +
                           std::to_string(attempt.offset) + " (" + address + ")"),
          false);
      attempt.failure->rangeRefused = attempt.offset > 0;
      return false;
    }
    // A server that ignored If-Range sends the rest of another package: that one is asked for
    // whole. So is a package of another size under the same validator: one replaced within the
    // second of its Last-Modified date.
    if (const auto validator = part.resumeValidator();
        (range->size && recorded && *range->size != *recorded) ||
        (validator && platform::namesAnotherValidator(attempt.handle, *validator))) {
      attempt.failure = AttemptFailure(
          downloadingError("the server sent the rest of another package (" + address + ")"), false);
      attempt.failure->rangeRefused = true;
      return false;
    }
    attempt.total = range->size ? range->size : recorded;
    if (!attempt.total) {
      // Without the package's size, nothing could tell the rest from a piece of it.
      attempt.failure = AttemptFailure(
          downloadingError("the server does not say how large the package is (" + address + ")"),
          false);
      return false;
    }
    if (range->last >= *attempt.total) {
      // Only a range without the package's size ("/*") can say so: the recorded size holds.
      attempt.failure = AttemptFailure(
          downloadingError("the server sent bytes beyond the end of the package (" + address + ")"),
          false);
      attempt.failure->rangeRefused = true;
      return false;
    }
    if (!roomForTheRest(attempt)) return false;
    attempt.left = range->last + 1 - attempt.offset;
    // The digest covers the whole package: the part on disk first, read once.
    if (!digestPart(attempt)) return false;
  } else {
    if (part.size() > 0 && !part.restart(error)) {
      attempt.failure = AttemptFailure(savingError(error), false);
      return false;
    }
    curl_off_t length = -1;
    if (curl_easy_getinfo(attempt.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
            CURLE_OK &&
        length >= 0)
      attempt.total = static_cast<std::uint64_t>(length);
    if (attempt.total && !roomForTheRest(attempt)) return false;
    attempt.left = attempt.total;
    // Without a side file the part is simply not continued later: no reason to stop.
    if (auto validator = platform::rangeValidator(attempt.handle))
      static_cast<void>(part.record(std::move(*validator), attempt.total));
  }
  reportProgress(attempt);
  return true;
}

size_t takeBody(Attempt& attempt, char* data, size_t total) {
  if (!attempt.begun && !beginAnswer(attempt)) return CURL_WRITEFUNC_ERROR;
  // The page that comes with the 416 is no part of the package: the transfer stops at its first
  // byte, so that no page, however long, or cut off by the network, keeps the part from being
  // saved.
  if (attempt.whole) return CURL_WRITEFUNC_ERROR;
  // A body that runs past what the answer announced (a range answer without a length that goes
  // on, say) is never taken in: the part would grow until the disk is full.
  if (attempt.left && total > *attempt.left) {
    attempt.failure = AttemptFailure(
        downloadingError("the server sent more bytes than it announced (" + *attempt.address + ")"),
        false);
    return CURL_WRITEFUNC_ERROR;
  }
  if (attempt.left) *attempt.left -= total;
  // A refused write is described once the writer is done (see fetch). The writer reports the
  // progress as the part grows.
  if (!attempt.writer->write(data, total)) return CURL_WRITEFUNC_ERROR;
  return total;
}

size_t writeBody(char* data, size_t size, size_t count, void* userdata) {
  auto& attempt = *static_cast<Attempt*>(userdata);
  return platform::guardCallback(attempt.noMemory, size_t{CURL_WRITEFUNC_ERROR},
                                 [&] { return takeBody(attempt, data, size * count); });
}

using CurlHeaders = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// One GET of `address` into `part`: the rest of it when it can be continued, else the whole
// package. Nothing when the body arrived whole with a 2xx status; the failure otherwise.
// `begun` is set once an answer was taken up, and `total` to the package's size it gave.
std::optional<AttemptFailure> fetch(const std::string& address, PartFile& part,
                                    PackageWriter& writer, const HttpDownloader::Options& options,
                                    bool& begun, std::optional<std::uint64_t>& total) {
  platform::CurlEasy handle = platform::makeCurlEasy();
  if (!handle)
    return AttemptFailure(downloadingError("cannot create a libcurl handle (" + address + ")"));
  Attempt attempt;
  attempt.handle = handle.get();
  attempt.address = &address;
  attempt.part = &part;
  attempt.writer = &writer;
  attempt.options = &options;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  CURL* h = handle.get();
  CurlHeaders headers(nullptr, &curl_slist_free_all);
  std::string range;
  if (const auto validator = part.resumeValidator()) {
    // The rest, if the package is still the one the part holds; else the server sends it whole.
    attempt.offset = part.size();
    range = std::to_string(attempt.offset) + "-";
    headers.reset(curl_slist_append(nullptr, ("If-Range: " + *validator).c_str()));
    if (!headers)
      return AttemptFailure(downloadingError("cannot set up the request for " + address));
  }
  if (!platform::applyPackageOptions(h, address.c_str(), options.lowSpeedBytes,
                                     options.lowSpeedTime, errorBuffer) ||
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeBody) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &attempt) != CURLE_OK ||
      (!range.empty() && (curl_easy_setopt(h, CURLOPT_RANGE, range.c_str()) != CURLE_OK ||
                          curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) != CURLE_OK)))
    return AttemptFailure(downloadingError("cannot set up the request for " + address));

  writer.onWritten([&attempt](bool grew) { reportProgress(attempt, !grew); }, options.quietReport);
  const CURLcode code = curl_easy_perform(h);
  begun = begun || attempt.begun;
  if (attempt.begun) total = attempt.total;
  // Nothing is judged before all that arrived is in the part.
  const int writeError = writer.finish();
  writer.onWritten(nullptr, {});
  if (attempt.noMemory) throw std::bad_alloc();
  if (writeError != 0)
    return AttemptFailure(savingError(describeErrno("cannot write", part.path(), writeError)),
                          false);
  if (attempt.begun) reportProgress(attempt);
  if (attempt.failure) return attempt.failure;
  if (code != CURLE_OK && !(attempt.whole && code == CURLE_WRITE_ERROR)) {
    AttemptFailure failure{
        downloadingError(platform::describeCurlError(code, errorBuffer, address))};
    failure.transport = code;
    return failure;
  }
  // An answer without a body never reached the body callback.
  if (!attempt.begun && !beginAnswer(attempt)) return attempt.failure;
  begun = true;
  // A range answer may end before the package does (some servers send ranges in pieces): the
  // rest is asked for like after a cut.
  if (attempt.total && part.size() != *attempt.total) {
    AttemptFailure failure{downloadingError("the server sent " + std::to_string(part.size()) +
                                            " of the package's " + std::to_string(*attempt.total) +
                                            " bytes (" + address + ")")};
    failure.transport = CURLE_PARTIAL_FILE;
    return failure;
  }
  return std::nullopt;
}

// True when the transfer stopped because of the network, where another attempt may well get
// through. Failing to reach the server at all is only retried once a transfer had begun: before,
// the server is not there, and the user is better told at once.
bool cutByNetwork(CURLcode code, bool begun) {
  if (platform::cutMidTransfer(code)) return true;
  return begun && (code == CURLE_OPERATION_TIMEDOUT || code == CURLE_COULDNT_CONNECT ||
                   code == CURLE_COULDNT_RESOLVE_HOST);
}

// The verifier for a package that must be signed, or the reason the signature cannot be
// accepted whatever the package holds: no signature, one that does not parse, another key.
std::variant<minisign::PackageVerifier, std::string> makeVerifier(
    const HttpDownloader::Options& options) {
  const auto key = minisign::parsePublicKey(options.publicKey);
  if (!key) return "the launcher's public key cannot be used: " + key.error();
  if (!options.signature) return std::string("the version answer carries no signature");
  auto signature = minisign::parseSignature(*options.signature);
  if (!signature) return signature.error();
  if (signature->keyId != key->id)
    return "the package was signed with another key (key id " +
           minisign::keyIdText(signature->keyId) + ", expected " + minisign::keyIdText(key->id) +
           ")";
  return minisign::PackageVerifier(*key, std::move(*signature), options.expectedVersion);
}

}  // namespace

std::optional<std::string> HttpDownloader::destinationProblem(const std::string& folder,
                                                              const std::string& segment) {
  // Anything but a plain name would put the package at the install folder itself, a folder
  // above it, or elsewhere.
  if (segment.empty() || segment == "." || segment == ".." ||
      segment.find('/') != std::string::npos || segment.find('\0') != std::string::npos)
    return "the address does not name a file";
  if (platform::hasControlCharacter(segment)) return "the file name holds a control character";
  // The launcher's own files: the version record, and the hidden staging, journal, lock and
  // part files.
  if (segment == kVersionFileName || segment.front() == '.')
    return "the file name is one of the launcher's own";
  if (platform::hasPrefixNFD(segment, APPLICATION_NAME()) &&
      platform::hasSuffixNFD(segment, kBundleSuffix))
    return "the file name is that of an application bundle";
  struct stat status {};
  const std::string destination = folder + "/" + segment;
  if (::lstat(destination.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) return "\"" + destination + "\" is not a file";
  } else if (errno == ENAMETOOLONG) {
    // The package could never be saved under it: refused before a byte is fetched.
    return "the file name is too long";
  }
  return std::nullopt;
}

void HttpDownloader::loadFileSync(const platform::Url& url, const std::string& folder,
                                  const Completion& completion, const Options& options) {
  // No path is reported for an address that is refused: the install sequence removes the path
  // it is given, and every candidate here (the install folder, a folder above it, an entry
  // that is not a package) must survive.
  if (folder.empty()) {
    completion("", downloadingError("no install folder is given"));
    return;
  }
  const std::string segment = url.lastPathComponent();
  if (const auto problem = destinationProblem(folder, segment)) {
    completion("", downloadingError(*problem + ": " + url.string()));
    return;
  }
  const std::string destination = folder + "/" + segment;

  // A signature that cannot fit the package costs no transfer.
  if (!options.publicKey.empty()) {
    auto made = makeVerifier(options);
    if (auto* reason = std::get_if<std::string>(&made)) {
      completion(destination, verifyingError(*reason));
      return;
    }
  }

  // The part is opened before the fetch: a folder that cannot take it fails at once, before a
  // byte is transferred. Parts of other addresses go: they can never be continued now.
  removeParts(folder,
              [&](const std::string& name) { return continuable(folder, name, url.string()); });
  PartFile part(folder, segment, url.string());
  std::string saveError;
  if (!part.open(saveError)) {
    platform::printLine("error saving file");
    completion(destination, savingError(saveError));
    return;
  }

  // Each attempt has a verifier and a writer of its own: a part that is continued is fed to the
  // verifier from the disk first, one that starts again is not.
  std::optional<minisign::PackageVerifier> verifier;
  std::optional<PackageWriter> writer;
  std::optional<AttemptFailure> failure;
  bool begun = false;
  std::optional<std::uint64_t> total;  // the package's size, as the last answer gave it
  // Between attempts and until the next answer, the bar hears again of what the part held
  // after a cut, so that the speed it shows falls. Called where the part is not being written.
  const auto showPart = [&]() -> std::function<void()> {
    if (!begun || !options.progress || options.quietReport.count() <= 0 || part.size() == 0)
      return {};
    return [&options, size = part.size(), total] { options.progress(size, total); };
  };
  bool askedForWhole = false;
  for (int retry = 0;;) {
    writer.reset();
    verifier.reset();
    if (!options.publicKey.empty())
      verifier.emplace(std::get<minisign::PackageVerifier>(makeVerifier(options)));
    writer.emplace(part, verifier ? &*verifier : nullptr, showPart());
    failure = fetch(url.string(), part, *writer, options, begun, total);
    if (!failure) break;
    if (failure->rangeRefused && !askedForWhole) {
      // The part holds all there is, or the server thinks so: it is asked for the whole package.
      askedForWhole = true;
      if (part.restart(saveError)) continue;
    }
    if (!failure->transport || !cutByNetwork(*failure->transport, begun) ||
        retry >= options.retries)
      break;
    const auto pause = options.retryPause * (1 << retry);
    ++retry;
    platform::logLine("the download was cut off (" + failure->error.description +
                      "); taking it up again in " + std::to_string(pause.count()) +
                      " ms, attempt " + std::to_string(retry + 1) + " of " +
                      std::to_string(options.retries + 1));
    const auto show = showPart();
    auto now = std::chrono::steady_clock::now();
    for (const auto until = now + pause; now < until; now = std::chrono::steady_clock::now()) {
      if (show) show();
      std::this_thread::sleep_for(
          show ? std::min<std::chrono::steady_clock::duration>(until - now, options.quietReport)
               : until - now);
    }
  }
  writer.reset();  // every byte received is in the part
  if (failure) {
    // Left for the next call when it can be continued; synced, so that a power cut keeps it.
    if (failure->keepPart)
      part.keep();
    else
      part.discard();
    if (failure->error.code == kErrorSavingFile) platform::printLine("error saving file");
    completion(destination, failure->error);
    return;
  }
  // The part goes with `part` unless it is renamed: a package that fails its check is never
  // kept, nor continued.
  if (verifier) {
    if (auto reason = verifier->finish(part.path())) {
      completion(destination, verifyingError(*reason));
      return;
    }
  }
  // Only a regular file can be here (see destinationProblem): a package left from an earlier
  // run, which the rename replaces.
  if (platform::itemExists(destination))
    platform::printLine("file already exists [" + destination + "]");
  if (!part.commit(destination, saveError)) {
    platform::printLine("error saving file");
    completion(destination, savingError(saveError));
    return;
  }
  platform::printLine("file saved [" + destination + "]");
  completion(destination, std::nullopt);
}

std::string HttpDownloader::partFileName(const std::string& segment) {
  return partName(segment);
}

std::string HttpDownloader::sideFileName(const std::string& segment) {
  return partName(segment) + kSideExtension;
}

void HttpDownloader::removeStaleParts(const std::string& folder) {
  removeParts(folder,
              [&](const std::string& name) { return continuable(folder, name, std::nullopt); });
}

void HttpDownloader::removeAllParts(const std::string& folder) {
  removeParts(folder, [](const std::string&) { return false; });
}

}  // namespace launcher
