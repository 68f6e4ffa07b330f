// The update workflow on the worker, and its download-and-install branch. The worker never
// touches the window: every visible change is a task posted to the main queue.
#include <thread>

#include "Launcher/HttpDownloader.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/StandardFolders.h"
#include "Zipwell/Zipwell.h"

namespace launcher {
namespace {

void setHidden(const std::weak_ptr<platform::Button>& outlet, bool hidden) {
  if (auto button = outlet.lock()) button->setHidden(hidden);
}

// The offer's buttons: Update then Proceed when a version is installed, else Download.
void setOfferHidden(ViewController& controller, bool update, bool hidden) {
  if (update) {
    setHidden(controller.updateButton, hidden);
    setHidden(controller.proceedButton, hidden);
  } else {
    setHidden(controller.downloadButton, hidden);
  }
}

constexpr const char* kUpToDate = "Up to date";
constexpr const char* kNotChecked = "Could not check for updates";

std::string describe(const platform::ErrorRecord& error) {
  return error.description.empty() ? error.domain + " (code " + std::to_string(error.code) + ")"
                                   : error.description;
}

}  // namespace

void ViewController::RunWorkflow() {
  // A part that a cut transfer left with its side file waits for the next download; other
  // leftovers of earlier downloads go.
  HttpDownloader::removeStaleParts(installFolder());
  if (environment_.publicKey.empty())
    platform::logLine("no public key is built in: packages are installed without verification");
  Increase(10);
  SerializeJSON();
  // Nothing received counts as server version 0: the installed application stays in use.
  const bool checked = versionReceived;
  const std::int64_t serverVersion = version;
  const std::int64_t localVersion = ReadVersion();
  platform::printLine(std::to_string(serverVersion) + "  :  " + std::to_string(localVersion));
  DeleteOtherApps();
  Increase(15);

  if (serverVersion > localVersion) {
    const bool update = localVersion != 0;
    Log(update ? "Update Found" : "Download Available");
    post([update](ViewController& controller) { setOfferHidden(controller, update, false); });
    WaitForChoice();
    post([update](ViewController& controller) { setOfferHidden(controller, update, true); });
    if (ChooseCase.load() == 1) {
      RunInstallSequence(serverVersion, localVersion);
    } else {
      Increase(50);
    }
  } else {
    Increase(50);
  }

  Increase(25);
  Log("Finishing");
  if (environment_.finishingPause.count() > 0)
    std::this_thread::sleep_for(environment_.finishingPause);
  // Without an answer the launcher cannot tell whether an update exists.
  Log(checked ? kUpToDate : kNotChecked);
  post([](ViewController& controller) { setHidden(controller.launchButton, false); });
}

void ViewController::RunInstallSequence(std::int64_t serverVersion, std::int64_t localVersion) {
  const bool update = localVersion != 0;
  // Shown when the main queue reaches it; its only button records "0" and quits. The version
  // file keeps the "0" written below, so the next start offers the install again.
  const auto fail = [this](const std::string& description) {
    post([description](ViewController& controller) {
      controller.dialogOKCancel("Error", "Failed to update the application.\n " + description);
    });
  };

  Log("Initializing");
  Increase(5);
  // From here until the new version is recorded, the version file holds 0.
  WriteVersion("0");

  const std::string& install = installFolder();
  const auto extraction = extractionFolder();
  // The private temporary folder is made before the extraction folder inside it.
  if (!extraction || !platform::createTemporaryFolder(environment_.paths)) {
    fail("no temporary folder is available for the extraction");
    return;
  }
  platform::removeItem(*extraction);
  if (auto created = platform::createDirectory(*extraction, false); !created) {
    fail("cannot create the extraction folder: " + created.error);
    return;
  }
  platform::createDirectory(install, false);

  Log(update ? "Downloading Update" : "Downloading Application");
  Increase(5);
  post([](ViewController& controller) {
    if (auto busy = controller.circleBar.lock()) {
      busy->setHidden(false);
      busy->startAnimation();
    }
  });

  std::string packagePath;
  std::string downloadError;
  if (url) {
    HttpDownloader::Options check;
    check.publicKey = environment_.publicKey;
    check.signature = signature;
    check.expectedVersion = serverVersion;
    check.retryPause = environment_.downloadRetryPause;
    // The download bar follows the transfer, about ten times a second, full at the end.
    DownloadProgress progress(
        [this](const DownloadDisplay& display) { ShowDownloadProgress(display); });
    check.progress = [&progress](std::uint64_t received, std::optional<std::uint64_t> total) {
      progress.update(received, total);
    };
    HttpDownloader::loadFileSync(
        *url, install,
        [&](const std::string& path, const std::optional<platform::ErrorRecord>& error) {
          packagePath = path;
          if (error) downloadError = describe(*error);
        },
        check);
    if (downloadError.empty()) progress.finish();
  } else {
    downloadError = "Error downloading file (code 1002): the package address is not a valid URL";
  }

  post([](ViewController& controller) {
    if (auto busy = controller.circleBar.lock()) busy->setHidden(true);
  });
  platform::printLine(downloadError);
  if (!downloadError.empty()) {
    // Nothing was fetched: nothing is extracted, merged or recorded.
    platform::removeItem(*extraction);
    fail(downloadError);
    return;
  }

  Log("Extracting");
  Increase(20);
  std::optional<platform::ErrorRecord> zipError;
  if (!Zipwell::unzipFileAtPath(packagePath, *extraction, true, std::nullopt, &zipError)) {
    platform::removeItem(packagePath);
    platform::removeItem(*extraction);
    fail("cannot extract the package \"" + packagePath + "\"" +
         (zipError ? ": " + zipError->description + " (" + zipError->domain + " " +
                         std::to_string(zipError->code) + ")"
                   : ": an entry could not be extracted in full"));
    return;
  }

  Log(update ? "Updating Application" : "Installing Application");
  Increase(15);
  const bool merged = MergeContentsOfPath(*extraction, install);

  Log("Cleaning Up");
  Increase(5);
  if (platform::removeItem(packagePath)) platform::removeItem(*extraction);
  if (!merged) {
    platform::removeItem(*extraction);
    fail("cannot move the package's files into \"" + install + "\"");
    return;
  }
  WriteVersion(std::to_string(serverVersion));
}

}  // namespace launcher
