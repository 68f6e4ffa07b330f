#include "Launcher/HttpDownloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "Launcher/Config.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/Curl.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Nfd.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher {
namespace {
using platform::describeErrno;
using platform::ErrorRecord;

constexpr const char* kSavingDomain = "Error saving file";
constexpr const char* kDownloadingDomain = "Error downloading file";
constexpr const char* kVerifyingDomain = "Error verifying file";
constexpr const char* kVersionFileName = "version.txt";
constexpr const char* kBundleSuffix = ".app";

// libcurl hands over the body in pieces of at most this size; each piece is one write(2).
constexpr long kReceiveBufferBytes = 128 * 1024;
// Room kept for the temporary file's prefix and suffix within the 255-byte name limit.
constexpr std::size_t kMaxSegmentInTemporaryName = 200;

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

bool hasControlCharacter(const std::string& text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

bool isSuccessStatus(long status) {
  return status >= 200 && status <= 299;
}

// A hidden file beside the destination that receives the body; removed when it goes away
// unless it was renamed into place.
class PartFile {
 public:
  PartFile() = default;
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile() {
    file_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  // Creates the file in `folder`; on failure returns false and describes why in `error`.
  bool create(const std::string& folder, const std::string& segment, std::string& error) {
    std::string name =
        folder + "/." + segment.substr(0, kMaxSegmentInTemporaryName) + ".part-XXXXXX";
    platform::UniqueFd file(::mkostemp(name.data(), O_CLOEXEC));
    if (!file) {
      error = describeErrno("cannot create a file in", folder, errno);
      return false;
    }
    file_ = std::move(file);
    path_ = std::move(name);
    return true;
  }

  // Appends all of `data`; false with errno set when the file system refuses.
  bool write(const char* data, std::size_t size) {
    return platform::writeAll(file_.get(), std::string_view(data, size));
  }

  // Closes the file and renames it to `destination`; describes a failure in `error`.
  bool commit(const std::string& destination, std::string& error) {
    if (!file_.reset()) {
      error = describeErrno("cannot write", path_, errno);
      return false;
    }
    // No fsync: the version file records "0" until the whole installation is done, so a
    // package damaged by a crash is never trusted; it is replaced at the next installation.
    if (::rename(path_.c_str(), destination.c_str()) != 0) {
      error = describeErrno("cannot save", destination, errno);
      return false;
    }
    path_.clear();
    return true;
  }

  const std::string& path() const { return path_; }

 private:
  platform::UniqueFd file_;
  std::string path_;
};

// Hands the package's bytes to the verifier on a thread of its own, so that the digest is
// computed beside the transfer rather than in its way. The pieces are gathered into buffers of
// kBufferBytes, each handed over whole; the transfer waits only when all kBuffers of them are
// still to be digested. Without a thread, the pieces are digested as they come.
class DigestFeed {
 public:
  static constexpr std::size_t kBuffers = 8;
  static constexpr std::size_t kBufferBytes = 1024 * 1024;

  explicit DigestFeed(minisign::PackageVerifier& verifier) : verifier_(verifier) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // No thread to spare: digest on the caller's thread.
    }
  }
  ~DigestFeed() { finish(); }
  DigestFeed(const DigestFeed&) = delete;
  DigestFeed& operator=(const DigestFeed&) = delete;

  void feed(const char* data, std::size_t size) {
    if (!thread_.joinable()) {
      verifier_.update(data, size);
      return;
    }
    while (size > 0) {
      if (filling_.capacity() == 0) filling_ = takeBuffer();
      const std::size_t count = std::min(size, kBufferBytes - filling_.size());
      filling_.insert(filling_.end(), data, data + count);
      data += count;
      size -= count;
      if (filling_.size() == kBufferBytes) handOver();
    }
  }

  // Returns once every byte fed has reached the verifier.
  void finish() {
    if (!thread_.joinable()) return;
    if (!filling_.empty()) handOver();
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  std::vector<char> takeBuffer() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !spare_.empty() || made_ < kBuffers; });
    std::vector<char> buffer;
    if (spare_.empty()) {
      ++made_;
      buffer.reserve(kBufferBytes);
    } else {
      buffer = std::move(spare_.back());
      spare_.pop_back();
      buffer.clear();
    }
    return buffer;
  }

  void handOver() {
    {
      std::lock_guard lock(mutex_);
      pending_.push_back(std::move(filling_));
    }
    filling_ = {};
    changed_.notify_all();
  }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return !pending_.empty() || closed_; });
      if (pending_.empty()) return;
      std::vector<char> buffer = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      verifier_.update(buffer.data(), buffer.size());
      lock.lock();
      spare_.push_back(std::move(buffer));
      changed_.notify_all();
    }
  }

  minisign::PackageVerifier& verifier_;
  std::vector<char> filling_;  // the transfer's side only
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<char>> pending_;
  std::vector<std::vector<char>> spare_;
  std::size_t made_ = 0;
  bool closed_ = false;
  std::thread thread_;
};

// What the body callback saw; read after the transfer.
struct Transfer {
  CURL* handle = nullptr;
  PartFile* file = nullptr;
  // Receives every byte written to the part file, in order; none when nothing is verified.
  DigestFeed* digest = nullptr;
  bool statusChecked = false;
  long refusedStatus = 0;  // a status outside 2xx, seen before the first byte of body
  int writeErrno = 0;      // the file system's refusal
};

size_t writeBody(char* data, size_t size, size_t count, void* userdata) {
  auto& transfer = *static_cast<Transfer*>(userdata);
  const size_t total = size * count;
  if (!transfer.statusChecked) {
    // An error page is never taken for the package: stop before any of it is written.
    long status = 0;
    if (curl_easy_getinfo(transfer.handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        !isSuccessStatus(status)) {
      transfer.refusedStatus = status;
      return CURL_WRITEFUNC_ERROR;
    }
    transfer.statusChecked = true;
  }
  if (!transfer.file->write(data, total)) {
    transfer.writeErrno = errno;
    return CURL_WRITEFUNC_ERROR;
  }
  if (transfer.digest != nullptr) transfer.digest->feed(data, total);
  return total;
}

// The GET of `address` into `file`, every byte also handed to `digest` when there is one.
// Nothing when the body arrived whole with a 2xx status; the error otherwise.
std::optional<ErrorRecord> fetch(const std::string& address, PartFile& file, DigestFeed* digest,
                                 const HttpDownloader::Options& options) {
  platform::CurlEasy handle = platform::makeCurlEasy();
  if (!handle) return downloadingError("cannot create a libcurl handle (" + address + ")");
  Transfer transfer{handle.get(), &file, digest};
  char errorBuffer[CURL_ERROR_SIZE] = {};
  CURL* h = handle.get();
  if (!platform::applyCommonOptions(h, address.c_str()) ||
      // The package address comes from the network: never let it name a local file or another
      // protocol, neither directly nor by a redirect.
      curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferBytes) != CURLE_OK ||
      // A package is large: a transfer that crawls is given up like one that stalls.
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, options.lowSpeedBytes) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME,
                       static_cast<long>(options.lowSpeedTime.count())) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeBody) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer) != CURLE_OK)
    return downloadingError("cannot set up the request for " + address);

  const CURLcode code = curl_easy_perform(h);
  if (transfer.writeErrno != 0)
    return savingError(describeErrno("cannot write", file.path(), transfer.writeErrno));
  if (transfer.refusedStatus != 0)
    return downloadingError("HTTP status " + std::to_string(transfer.refusedStatus) + " (" +
                            address + ")");
  if (code != CURLE_OK)
    return downloadingError(platform::describeCurlError(code, errorBuffer, address));
  // A status outside 2xx with an empty body never reached the body callback.
  long status = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || !isSuccessStatus(status))
    return downloadingError("HTTP status " + std::to_string(status) + " (" + address + ")");
  return std::nullopt;
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
  if (hasControlCharacter(segment)) return "the file name holds a control character";
  // The launcher's own files: the version record, and the hidden staging, journal, lock and
  // part files.
  if (segment == kVersionFileName || segment.front() == '.')
    return "the file name is one of the launcher's own";
  if (platform::hasPrefixNFD(segment, APPLICATION_NAME()) &&
      platform::hasSuffixNFD(segment, kBundleSuffix))
    return "the file name is that of an application bundle";
  struct stat status {};
  const std::string destination = folder + "/" + segment;
  if (::lstat(destination.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
    return "\"" + destination + "\" is not a file";
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
  std::optional<minisign::PackageVerifier> verifier;
  if (!options.publicKey.empty()) {
    auto made = makeVerifier(options);
    if (auto* reason = std::get_if<std::string>(&made)) {
      completion(destination, verifyingError(*reason));
      return;
    }
    verifier.emplace(std::move(std::get<minisign::PackageVerifier>(made)));
  }

  // The part file is made before the fetch: a folder that cannot take it fails at once, before
  // a byte is transferred.
  PartFile file;
  std::string saveError;
  if (!file.create(folder, segment, saveError)) {
    platform::printLine("error saving file");
    completion(destination, savingError(saveError));
    return;
  }
  std::optional<DigestFeed> digest;
  if (verifier) digest.emplace(*verifier);
  if (auto error = fetch(url.string(), file, digest ? &*digest : nullptr, options)) {
    if (error->code == kErrorSavingFile) platform::printLine("error saving file");
    completion(destination, *error);
    return;
  }
  if (digest) digest->finish();
  // The part file goes with `file` unless it is renamed: a package that fails its check is
  // never kept.
  if (verifier) {
    if (auto reason = verifier->finish(file.path())) {
      completion(destination, verifyingError(*reason));
      return;
    }
  }
  // Only a regular file can be here (see destinationProblem): a package left from an earlier
  // run, which the rename replaces.
  if (platform::itemExists(destination))
    platform::printLine("file already exists [" + destination + "]");
  if (!file.commit(destination, saveError)) {
    platform::printLine("error saving file");
    completion(destination, savingError(saveError));
    return;
  }
  platform::printLine("file saved [" + destination + "]");
  completion(destination, std::nullopt);
}

}  // namespace launcher
