#pragma once
// Synchronous package download into the install folder.
#include <functional>
#include <optional>
#include <string>

#include "Launcher/platform/ErrorRecord.h"
#include "Launcher/platform/Url.h"

namespace launcher {

class HttpDownloader {
 public:
  HttpDownloader() = delete;

  static constexpr long kErrorSavingFile = 1001;       // domain "Error saving file"
  static constexpr long kErrorDownloadingFile = 1002;  // domain "Error downloading file"

  using Completion = std::function<void(const std::string& path,
                                        const std::optional<platform::ErrorRecord>& error)>;

  // Fetches `url` into `folder` (the install folder) + "/" + <last path segment of url> and calls
  // `completion` once, on this thread, before returning. The body streams into a temporary file
  // beside the destination, which is renamed into place only when the transfer completed with a
  // 2xx status: the destination holds the whole new package or nothing. An address whose last
  // segment is not a plain file name (empty, ".", "..", containing "/") is refused with error
  // 1002 and an empty path, as is an empty `folder`. The folder is not created here.
  static void loadFileSync(const platform::Url& url, const std::string& folder,
                           const Completion& completion);
};

}  // namespace launcher
