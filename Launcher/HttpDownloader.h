#pragma once
// Synchronous package download into the install folder, resumable across runs.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Launcher/platform/ErrorRecord.h"
#include "Launcher/platform/Url.h"

namespace launcher {

// How long the small things fetched before a package (its central directory, its signed
// manifest) may take at most.
inline constexpr std::chrono::minutes kSmallFetchDeadline{5};

// What the package is checked against, how long a slow transfer is borne, how often a cut one is
// taken up again, and who hears of its progress.
struct DownloadOptions {
  // The publisher's minisign public key (its base64 line). Empty: the package is taken as it
  // comes.
  std::string publicKey;
  // The text of the package's .minisig file, as the version answer carried it; nothing when
  // it carried none.
  std::optional<std::string> signature;
  // The version the package must be signed for (its trusted comment names "version:<N>").
  std::int64_t expectedVersion = 0;
  // A transfer that stays below `lowSpeedBytes` a second for `lowSpeedTime` is given up.
  long lowSpeedBytes = 1024;
  std::chrono::seconds lowSpeedTime{60};
  // A transfer cut by the network (reset, stalled, timed out, unreachable once it had started) is
  // taken up again this many times within one call, where it stopped when the server allows,
  // after a pause of `retryPause`, doubled before each further attempt.
  int retries = 3;
  std::chrono::milliseconds retryPause{1000};
  // An update that fetches only the changed entries waits this long at most for the package's
  // central directory, then downloads the whole package.
  std::chrono::milliseconds directoryDeadline{kSmallFetchDeadline};
  // Called as the package's bytes are written, on the download's threads one at a time: the
  // bytes in the part so far and the package's whole size when the server gave it. A resumed
  // download counts the part already on disk in both. While no byte arrives, it is called again
  // with the same count every `quietReport`, so that the speed shown falls during a stall.
  std::function<void(std::uint64_t received, std::optional<std::uint64_t> total)> progress;
  std::chrono::milliseconds quietReport{1000};
};

class HttpDownloader {
 public:
  HttpDownloader() = delete;

  static constexpr long kErrorSavingFile = 1001;       // domain "Error saving file"
  static constexpr long kErrorDownloadingFile = 1002;  // domain "Error downloading file"
  static constexpr long kErrorVerifyingFile = 1003;    // domain "Error verifying file"
  // The download never leaves less than this free on the install folder's file system: a
  // package announced larger is refused before its first byte, and a body that goes on beyond
  // that (a server that sends without end) is stopped as a full disk would stop it.
  static constexpr std::uint64_t kKeepFreeBytes = std::uint64_t{16} * 1024 * 1024;

  using Options = DownloadOptions;

  using Completion = std::function<void(const std::string& path,
                                        const std::optional<platform::ErrorRecord>& error)>;

  // Fetches `url` into `folder` (the install folder) + "/" + <last path segment of url> and calls
  // `completion` once, on this thread, before returning. The body streams into a hidden part
  // file beside the destination; only when the transfer completed with a 2xx status (and, with a
  // public key, the package proved to be signed by it for the expected version) is the part file
  // renamed to the destination, replacing a package of that name left from an earlier run.
  // Nothing else in the folder is removed before that, but the part files of other addresses.
  //
  // The part file has a fixed name (partFileName) and, once the server named a validator of the
  // package (a strong ETag, else its Last-Modified date), a side file (sideFileName) with the
  // address and that validator. A part left with its side file by a cut transfer, a closed or
  // killed launcher or a power cut is continued by the next call for the same address: it asks
  // for the rest ("Range: bytes=N-") if the package is still the same ("If-Range"); a 206 from N
  // is appended, a 200 starts again from nothing. A part that can never be continued (the server
  // refused the address, the package failed its check, the disk was full) is removed.
  //
  // A last segment that cannot name the package (see destinationProblem) is refused with error
  // 1002 and an empty path, as is an empty `folder`: nothing is requested, removed or created
  // then. With a public key, a missing signature, one that does not parse or one by another key
  // is refused before the transfer. The folder is not created here.
  static void loadFileSync(const platform::Url& url, const std::string& folder,
                           const Completion& completion, const Options& options = {});

  // Why the last path segment `segment` cannot be the package's name in `folder`, or nothing
  // when it can. It must be a plain file name (not empty, ".", "..", nor containing "/"), hold
  // no control character, name neither the version file, a hidden file of the launcher's, nor
  // an application bundle (APPLICATION_NAME ... ".app"), and name nothing in `folder` but a
  // regular file (never a folder or a link).
  static std::optional<std::string> destinationProblem(const std::string& folder,
                                                       const std::string& segment);

  // The hidden files in the install folder of the package named `segment`: the part that
  // receives its bytes (".<segment>.part"), and the side file that says where they come from
  // (".<segment>.part.json": the address and the validator, as JSON).
  static std::string partFileName(const std::string& segment);
  static std::string sideFileName(const std::string& segment);

  // Clears the download's leftovers from `folder`: removes every part file that cannot be
  // continued (no side file, or one that cannot be read) and every side file without its part,
  // and the part files of older launchers (".<name>.part-XXXXXX"). A part with a readable side
  // file stays for the next download. Called at start-up, before anything is downloaded.
  static void removeStaleParts(const std::string& folder);
  // Removes every part and side file from `folder`, continuable or not: once an install is
  // done, none is worth continuing (an update of changed entries does not use one).
  static void removeAllParts(const std::string& folder);
};

}  // namespace launcher
