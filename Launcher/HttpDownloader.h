#pragma once
// Synchronous package download into the install folder.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Launcher/platform/ErrorRecord.h"
#include "Launcher/platform/Url.h"

namespace launcher {

// What the package is checked against, and how long a slow transfer is borne.
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
};

class HttpDownloader {
 public:
  HttpDownloader() = delete;

  static constexpr long kErrorSavingFile = 1001;       // domain "Error saving file"
  static constexpr long kErrorDownloadingFile = 1002;  // domain "Error downloading file"
  static constexpr long kErrorVerifyingFile = 1003;    // domain "Error verifying file"

  using Options = DownloadOptions;

  using Completion = std::function<void(const std::string& path,
                                        const std::optional<platform::ErrorRecord>& error)>;

  // Fetches `url` into `folder` (the install folder) + "/" + <last path segment of url> and calls
  // `completion` once, on this thread, before returning. The body streams into a hidden part
  // file beside the destination; only when the transfer completed with a 2xx status (and, with a
  // public key, the package proved to be signed by it for the expected version) is the part file
  // renamed to the destination, replacing a package of that name left from an earlier run.
  // Nothing in the folder is removed before that. A last segment that cannot name the package
  // (see destinationProblem) is refused with error 1002 and an empty path, as is an empty
  // `folder`: nothing is requested, removed or created then. With a public key, a missing
  // signature, one that does not parse or one by another key is refused before the transfer.
  // The folder is not created here.
  static void loadFileSync(const platform::Url& url, const std::string& folder,
                           const Completion& completion, const Options& options = {});

  // Why the last path segment `segment` cannot be the package's name in `folder`, or nothing
  // when it can. It must be a plain file name (not empty, ".", "..", nor containing "/"), hold
  // no control character, name neither the version file, a hidden file of the launcher's, nor
  // an application bundle (APPLICATION_NAME ... ".app"), and name nothing in `folder` but a
  // regular file (never a folder or a link).
  static std::optional<std::string> destinationProblem(const std::string& folder,
                                                       const std::string& segment);
};

}  // namespace launcher
