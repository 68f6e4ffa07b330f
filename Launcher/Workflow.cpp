// The update workflow on the worker, and its download-and-install branch: download, extract,
// stage, check, journal, switch, record, clean up (see Installer.h). The worker never touches
// the window: every visible change is a task posted to the main queue.
#include <new>
#include <thread>

#include "Launcher/Config.h"
#include "Launcher/DeltaUpdate.h"
#include "Launcher/HttpDownloader.h"
#include "Launcher/Installer.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/Application.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/InstanceLock.h"
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

// The changed entries of an update, fetched into the temporary folder.
constexpr const char* kChangedEntriesArchive = "changed-entries.zip";
constexpr const char* kUpToDate = "Up to date";
constexpr const char* kNotChecked = "Could not check for updates";

std::string describe(const platform::ErrorRecord& error) {
  return error.description.empty() ? error.domain + " (code " + std::to_string(error.code) + ")"
                                   : error.description;
}

// The lock of the temporary folder, which platform::createTemporaryFolder has accepted as the
// user's own; held until the returned object goes.
platform::InstanceLock lockTemporaryFolder(const std::string& temporary) {
  auto lock = platform::InstanceLock::acquire(temporary + "/" + std::string(kLockFileName));
  if (lock.state() == platform::InstanceLock::State::unavailable)
    platform::logLine("the temporary folder cannot be locked: " + lock.error());
  return lock;
}

// Records what was installed, for the next update to fetch only what changes; without the
// package's `directory` the manifest goes, and the next update downloads the whole package.
void recordInstalledFiles(const std::string& install, std::int64_t version,
                          const std::optional<zipdir::Directory>& directory,
                          const std::optional<delta::PackageManifest>& signedManifest,
                          bool changedEntriesOnly) {
  if (!directory) {
    delta::removeManifest(install);
    return;
  }
  // The whole package dates every file anew; an update of changed entries keeps files that bear
  // the dates of the time zone they were installed in.
  if (const auto before = changedEntriesOnly ? delta::readManifest(install) : std::nullopt) {
    if (const std::size_t redated = delta::redateKeptFiles(install, *before, *directory))
      platform::logLine("gave " + std::to_string(redated) +
                        " kept files the dates of the present time zone");
  }
  const auto digests = signedManifest && !delta::manifestMismatch(*signedManifest, *directory)
                           ? delta::digestsOf(*signedManifest)
                           : std::map<std::string, std::string>{};
  const auto manifest = delta::manifestOf(install, version, directory->entries, digests);
  if (auto written = delta::writeManifest(install, manifest); !written) {
    platform::logLine("cannot write the install manifest: " + written.error);
    delta::removeManifest(install);
  }
}

}  // namespace

void ViewController::RecoverInstallation() {
  Installer installer(installFolder(), APPLICATION_NAME());
  // The journal goes only once the version it gives is recorded: until then it stays the
  // record of what is installed, for the next start.
  if (const auto version = installer.recover()) {
    if (WriteVersion(std::to_string(*version))) {
      installer.removeJournal();
    } else {
      platform::logLine("   cannot record version " + std::to_string(*version) +
                        " in the version file");
      // The version file holds 0 (or nothing) meanwhile: the application installed stays the
      // one to launch and to update, not a first install to offer.
      unrecordedVersion_ = *version;
    }
    // What the cut-short install fetched or extracted into the cache (the changed entries, the
    // package unpacked) would otherwise stay there until the next install. Removed only from a
    // temporary folder that is the user's own (a link in its place may lead anywhere), and not
    // while the launcher of another install folder works in it.
    if (const auto temporary = tempURL(); temporary && platform::itemExists(*temporary)) {
      if (auto own = platform::createTemporaryFolder(environment_.paths); !own) {
        platform::logLine("the temporary folder cannot be used: " + own.error);
      } else if (const auto lock = lockTemporaryFolder(*temporary);
                 lock.state() == platform::InstanceLock::State::heldElsewhere) {
        platform::logLine("another launcher is installing through the temporary folder");
      } else {
        for (const std::string& leftover :
             {*extractionFolder(), *temporary + "/" + kChangedEntriesArchive})
          if (platform::itemExists(leftover)) platform::removeItem(leftover);
      }
    }
  }
  installer.removeLeftovers();
}

std::int64_t ViewController::InstalledVersion() {
  const std::int64_t read = ReadVersion();
  const std::int64_t recorded = read == 0 && unrecordedVersion_ ? *unrecordedVersion_ : read;
  // A recorded version whose application is gone or damaged counts as nothing installed, so the
  // download is offered rather than a launch that cannot start.
  if (recorded != 0 && !platform::findApplication(installFolder(), APPLICATION_NAME())) return 0;
  return recorded;
}

void ViewController::RunWorkflow() {
  try {
    RunWorkflowSteps();
  } catch (const std::bad_alloc&) {
    // Memory ran out (under a low ulimit -v or -d, say): the steps stop where a crash would have
    // stopped them, and the next start finishes or undoes an install they began, from its
    // journal.
    platform::logLine("out of memory: the launcher stops here");
    showFailure(
        "there is not enough memory for the launcher. An update under way is finished or undone "
        "at the next start");
  }
}

void ViewController::RunWorkflowSteps() {
  // A part that a cut transfer left with its side file waits for the next download; other
  // leftovers of earlier downloads go.
  HttpDownloader::removeStaleParts(installFolder());
  if (environment_.publicKey.empty())
    platform::logLine("no public key is built in: packages are installed without verification");
  // An install that a crash cut short is finished or undone before the version is asked for.
  RecoverInstallation();
  Increase(10);
  SerializeJSON();
  // Nothing received counts as server version 0: the installed application stays in use.
  const bool checked = versionReceived;
  const std::int64_t serverVersion = version;
  const std::int64_t localVersion = InstalledVersion();
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

ViewController::Download ViewController::DownloadPackage(std::int64_t serverVersion) {
  Download result;
  if (!url) {
    result.error = "Error downloading file (code 1002): the package address is not a valid URL";
    return result;
  }
  HttpDownloader::Options check;
  check.publicKey = environment_.publicKey;
  check.signature = signature;
  check.expectedVersion = serverVersion;
  check.retryPause = environment_.downloadRetryPause;
  // The download bar follows the transfer, about ten times a second, full at the end.
  DownloadProgress progress(
      [this](const DownloadDisplay& display) { ShowDownloadProgress(display); });
  check.progress = progress.reporter();
  HttpDownloader::loadFileSync(
      *url, installFolder(),
      [&](const std::string& path, const std::optional<platform::ErrorRecord>& error) {
        result.path = path;
        if (error) result.error = describe(*error);
      },
      check);
  if (result.error.empty()) progress.finish();
  return result;
}

ViewController::Download ViewController::DownloadChangedEntries(
    std::int64_t localVersion, const std::optional<delta::PackageManifest>& signedManifest,
    std::optional<zipdir::Directory>& directory) {
  Download result;
  const auto notPossible = [&](const std::string& reason) {
    platform::logLine("delta update not possible (" + reason + "): downloading the whole package");
    return result;
  };
  if (localVersion <= 0) return result;
  if (const std::string scheme = url ? url->scheme() : ""; scheme != "http" && scheme != "https")
    return notPossible("the package address is not an http(s) address");
  if (!environment_.publicKey.empty() && !signedManifest)
    return notPossible("a signed package can only be checked whole without its signed manifest");
  const auto manifest = delta::readManifest(installFolder());
  if (!manifest || manifest->version != localVersion)
    return notPossible("no install manifest of version " + std::to_string(localVersion));
  const auto temporary = tempURL();
  if (!temporary) return notPossible("no temporary folder");
  const std::string archive = *temporary + "/" + kChangedEntriesArchive;
  DownloadOptions options;
  options.retryPause = environment_.downloadRetryPause;
  // The download bar shows the bytes fetched of the bytes to fetch.
  DownloadProgress progress(
      [this](const DownloadDisplay& display) { ShowDownloadProgress(display); });
  options.progress = progress.reporter();
  bool refused = false;
  auto fetched = delta::fetchChangedEntries(*url, *manifest, installFolder(), archive, options,
                                            signedManifest ? &*signedManifest : nullptr, refused);
  if (auto* reason = std::get_if<std::string>(&fetched)) {
    platform::removeItem(archive);
    if (refused) {
      result.error = "Error verifying file (code 1003): " + *reason;
      return result;
    }
    return notPossible(*reason);
  }
  progress.finish();
  directory = std::move(std::get<delta::Fetched>(fetched).directory);
  result.path = archive;
  return result;
}

std::optional<delta::PackageManifest> ViewController::FetchSignedManifest(
    std::int64_t serverVersion, std::optional<std::int64_t>& later) {
  const auto temporary = tempURL();
  if (environment_.publicKey.empty() || !manifestAddress || !temporary) return std::nullopt;
  auto fetched = delta::fetchSignedManifest(*manifestAddress, environment_.publicKey, serverVersion,
                                            *temporary + "/package.manifest", &later);
  if (auto* reason = std::get_if<std::string>(&fetched)) {
    platform::logLine("the package's signed manifest cannot be used: " + *reason);
    return std::nullopt;
  }
  return std::move(std::get<delta::PackageManifest>(fetched));
}

std::string ViewController::PackageDestination() const {
  // Where the download puts the package: the install folder, under the address's last segment.
  // Empty while a file is there: until the download replaces it, it is not ours to remove.
  if (!url) return {};
  const std::string segment = url->lastPathComponent();
  if (HttpDownloader::destinationProblem(installFolder(), segment)) return {};
  const std::string destination = platform::appendPathComponent(installFolder(), segment);
  return platform::itemExists(destination) ? std::string() : destination;
}

void ViewController::RunInstallSequence(std::int64_t serverVersion, std::int64_t localVersion) {
  const bool update = localVersion != 0;
  Installer installer(installFolder(), APPLICATION_NAME());
  const auto extraction = extractionFolder();
  // Every failure before the switch leaves the previous installation whole: it is recorded again
  // and the journal goes, so the next start offers the update again. The dialog is shown when
  // the main queue reaches it; its only button quits and keeps what was recorded here.
  // The version and the journal come first: a run cut short while the staged tree goes then
  // leaves nothing for the next start to finish.
  // Set once this run has made the temporary folder its own: a folder that was refused (a link,
  // say) may lead anywhere, and nothing is removed through it.
  bool extractionMade = false;
  const auto fail = [&](const std::string& description) {
    // The journal goes once the previous version is on record again: a version file that took
    // the "0" but not the number back (a full disk, say) leaves the journal, and the staged tree
    // it may still name, to the next start.
    if (WriteVersion(std::to_string(localVersion)) || ReadVersion() == localVersion) {
      installer.removeJournal();
      installer.discardStaging();
    } else {
      platform::logLine("   cannot record version " + std::to_string(localVersion) +
                        " in the version file; the next start does");
    }
    if (extractionMade) platform::removeItem(*extraction);
    showFailure(description);
  };

  Log("Initializing");
  Increase(5);
  const std::string& install = installFolder();
  platform::createDataFolder(environment_.paths);
  platform::createDirectory(install, false);
  // Before anything of the install reaches the disk; until the new version is recorded, the
  // version file holds 0.
  if (auto begun = installer.begin(localVersion, serverVersion, PackageDestination()); !begun) {
    installer.removeJournal();
    showFailure("cannot write the install journal: " + begun.error);
    return;
  }
  // A version file that cannot be written would go on naming the previous version once the new
  // one is in place.
  if (!WriteVersion("0")) {
    fail("cannot write the version file \"" + versionLocation() + "\". Nothing was changed.");
    return;
  }

  // The private temporary folder is made before the extraction folder inside it.
  if (!extraction) {
    fail("no temporary folder is available for the extraction");
    return;
  }
  if (auto made = platform::createTemporaryFolder(environment_.paths); !made) {
    platform::logLine("the temporary folder cannot be used: " + made.error);
    fail("no temporary folder is available for the extraction");
    return;
  }
  // Launchers of other install folders (another data folder, the same cache folder) share the
  // temporary folder: one at a time installs through it, or one would remove what the other
  // unpacks.
  const auto temporaryLock = lockTemporaryFolder(*tempURL());
  if (temporaryLock.state() == platform::InstanceLock::State::heldElsewhere) {
    fail("another " + APPLICATION_NAME() +
         " launcher is installing through the temporary folder \"" + *tempURL() +
         "\"; try again once it has finished");
    return;
  }
  extractionMade = true;
  platform::removeItem(*extraction);
  if (auto created = platform::createDirectory(*extraction, false); !created) {
    fail("cannot create the extraction folder: " + created.error);
    return;
  }

  // Download
  Log(update ? "Downloading Update" : "Downloading Application");
  Increase(5);
  post([](ViewController& controller) {
    if (auto busy = controller.circleBar.lock()) {
      busy->setHidden(false);
      busy->startAnimation();
    }
  });
  const auto hideBusy = [&] {
    post([](ViewController& controller) {
      if (auto busy = controller.circleBar.lock()) busy->setHidden(true);
    });
  };
  // Only the changed entries when that is possible, else the whole package; either way the
  // package's directory is kept for the install manifest.
  std::optional<zipdir::Directory> directory;
  // A signed build checks each entry of an update against the publisher's signed manifest, and
  // records its digests for the next update.
  std::optional<std::int64_t> later;
  const auto signedManifest = FetchSignedManifest(serverVersion, later);
  // The package under the offered version's address is now a later version's, which the
  // offered version's signature refuses: no use downloading it.
  if (later) {
    hideBusy();
    fail("version " + std::to_string(*later) +
         " was published after the launcher looked for updates; start the launcher again "
         "to get it");
    return;
  }
  Download download = DownloadChangedEntries(localVersion, signedManifest, directory);
  const bool changedEntriesOnly = !download.path.empty();
  if (download.path.empty() && download.error.empty()) {
    download = DownloadPackage(serverVersion);
    if (download.error.empty()) {
      auto read = delta::readDirectory(download.path);
      if (auto* readOne = std::get_if<zipdir::Directory>(&read)) directory = std::move(*readOne);
    }
  }
  hideBusy();
  platform::printLine(download.error);
  if (!download.error.empty()) {
    fail(download.error);
    return;
  }
  if (auto noted = installer.notePackage(download.path); !noted) {
    platform::removeItem(download.path);
    fail("cannot write the install journal: " + noted.error);
    return;
  }

  // Extract; the package is not needed afterwards, and its room is free for the staged tree.
  Log("Extracting");
  Increase(20);
  std::optional<platform::ErrorRecord> zipError;
  const bool extracted =
      Zipwell::unzipFileAtPath(download.path, *extraction, true, std::nullopt, &zipError);
  platform::removeItem(download.path);
  if (!extracted) {
    fail("cannot extract the package \"" + download.path + "\"" +
         (zipError ? ": " + zipError->description + " (" + zipError->domain + " " +
                         std::to_string(zipError->code) + ")"
                   : ": an entry could not be extracted in full"));
    return;
  }

  // Stage, check, journal, switch, record
  Log(update ? "Updating Application" : "Installing Application");
  Increase(15);
  if (auto staged = installer.stage(*extraction); !staged) {
    fail("cannot prepare the new files: " + staged.error);
    return;
  }
  if (std::string failure; !MergeContentsOfPath(*extraction, installer.stagingFolder(), &failure)) {
    fail("cannot put the package's files in place: " + failure +
         ". The installed version is kept.");
    return;
  }
  if (auto launchable = installer.check(); !launchable) {
    fail(launchable.error);
    return;
  }
  if (auto journaled = installer.journalSwitch(); !journaled) {
    fail("cannot write the new files to the disk: " + journaled.error);
    return;
  }
  if (const auto switched = installer.switchEntries(); !switched.switched) {
    if (switched.undone) {
      fail("cannot switch to the new files: " + switched.error);
    } else {
      // The journal stays: the next start finishes the switch. Until then the version file
      // holds 0.
      platform::removeItem(*extraction);
      showFailure("cannot switch to the new files: " + switched.error +
                  "; the next start finishes the update");
    }
    return;
  }
  if (!WriteVersion(std::to_string(serverVersion))) {
    // The journal stays: the next start records the new version.
    platform::removeItem(*extraction);
    showFailure("cannot record version " + std::to_string(serverVersion) +
                " in the version file; the next start finishes the update");
    return;
  }
  recordInstalledFiles(install, serverVersion, directory, signedManifest, changedEntriesOnly);

  Log("Cleaning Up");
  Increase(5);
  installer.finish();
  platform::removeItem(*extraction);
  HttpDownloader::removeAllParts(install);
}

void ViewController::showFailure(const std::string& description) {
  post([description](ViewController& controller) {
    controller.dialogOKCancel("Error", "Failed to update the application.\n " + description);
  });
}

}  // namespace launcher
