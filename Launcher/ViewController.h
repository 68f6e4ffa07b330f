#pragma once
// The launcher's one controller: it owns the updater state and offers every operation of the
// update workflow. Its implementation is spread over files by concern:
//   ViewController.cpp          construction, start-up, status and progress display
//   ViewControllerDialogs.cpp   alerts and button actions
//   VersionFile.cpp             the local version file
//   VersionService.cpp          the version request and its JSON answer
//   Workflow.cpp                the update workflow and the download-and-install sequence
//   Installation.cpp            merge, cleanup of superseded bundles, launch
// The staging, check, journal and switch of an install are the Installer's (Installer.h).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Launcher/DeltaUpdate.h"
#include "Launcher/DownloadProgress.h"
#include "Launcher/platform/Alerts.h"
#include "Launcher/platform/Application.h"
#include "Launcher/platform/Controls.h"
#include "Launcher/platform/Dispatch.h"
#include "Launcher/platform/HttpSession.h"
#include "Launcher/platform/StandardFolders.h"
#include "Launcher/platform/Url.h"
#include "Zipwell/ZipDirectory.h"

namespace launcher {

// What the controller needs of its surroundings. Front ends pass the real services (see
// makeProductionEnvironment); tests pass doubles and zero pauses.
struct Environment {
  // The per-user folders, looked up once by the front end at start-up.
  platform::UserPaths paths;
  std::shared_ptr<platform::MainQueue> mainQueue;
  std::shared_ptr<platform::BackgroundQueue> backgroundQueue;
  std::shared_ptr<platform::Alerts> alerts;
  std::shared_ptr<platform::Application> application;
  std::shared_ptr<platform::Workspace> workspace;
  std::shared_ptr<platform::HttpSession> httpSession;
  // How long the main queue holds back its next task after each progress step has been drawn.
  std::chrono::microseconds progressPause{0};
  // The worker's pause between "Finishing" and "Up to date".
  std::chrono::microseconds finishingPause{0};
  // The publisher's minisign public key (its base64 line) that every package must be signed
  // with; empty: packages are installed unverified.
  std::string publicKey;
  // The pause before a download cut by the network is taken up again, doubled each further time.
  std::chrono::milliseconds downloadRetryPause{1000};
};

class ViewController : public std::enable_shared_from_this<ViewController> {
 public:
  // Builds a controller with its defaults: outlets empty, `url` the default package address,
  // `version` 0, `ChooseCase` 0; its paths are those of the environment. Nothing is created on
  // disk.
  static std::shared_ptr<ViewController> create(Environment environment);

  // Outlets: weak references to the window's elements.
  std::weak_ptr<platform::TextField> updateLabel;
  std::weak_ptr<platform::ProgressIndicator> downloadBar;
  std::weak_ptr<platform::ProgressIndicator> circleBar;
  std::weak_ptr<platform::ProgressIndicator> progressBar;
  std::weak_ptr<platform::Button> downloadButton;
  std::weak_ptr<platform::Button> updateButton;
  std::weak_ptr<platform::Button> proceedButton;
  std::weak_ptr<platform::Button> launchButton;

  // Where the package comes from; absent when the server named an address that is not a URL.
  std::optional<platform::Url> url;
  // The newest version published by the server; 0 until it answered.
  std::int64_t version = 0;
  // The text of the package's .minisig file, as the server gave it with `version` and `url`;
  // nothing when its answer carried none.
  std::optional<std::string> signature;
  // The address of the package's signed manifest, as the server gave it with `version`; nothing
  // when its answer named none.
  std::optional<std::string> manifestAddress;
  // True once the server's answer gave a version, false while nothing was received (the server
  // could not be reached or its answer was unusable).
  bool versionReceived = false;
  // The user's answer to the offer: 0 none yet, 1 install or update, 2 go on without updating.
  std::atomic<std::int64_t> ChooseCase{0};

  // The per-user data folder.
  const std::string& appDir() const { return environment_.paths.dataFolder; }
  // The temporary folder, standardised, without a trailing "/"; nothing when none is known.
  std::optional<std::string> tempURL() const;
  const std::string& versionLocation() const { return environment_.paths.versionFile; }
  // appDir + "/" + APPLICATION_NAME
  const std::string& installFolder() const { return environment_.paths.installFolder; }
  // tempURL + "/Content"; nothing without a temporary folder.
  std::optional<std::string> extractionFolder() const;
  const Environment& environment() const { return environment_; }

  // Points every outlet at the window's element of the same name.
  void connectOutlets(const platform::WindowElements& elements);

  // Start-up: writes appDir to standard output and starts the workflow.
  void viewDidLoad();
  // Posts the update workflow to the background queue and returns at once.
  void RunInBackground();

  // Status and progress, posted to the main queue from any thread.
  void Log(const std::string& text);
  void Increase(double delta);
  // Posts one task that shows `display` on downloadBar (share, text, size known or not), with no
  // display pause: the transfer's progress never waits for one. See DownloadProgress.
  void ShowDownloadProgress(const DownloadDisplay& display);

  // Alerts and actions.
  bool dialogOKCancel(const std::string& question, const std::string& text);
  void DisplayAlert(const std::string& message);
  void ExitNow(platform::Control* sender = nullptr);
  void OneEvent(platform::Control* sender = nullptr);
  void TwoEvent(platform::Control* sender = nullptr);
  void LaunchApplication(platform::Control* sender = nullptr);

  // Version service and version file.
  void SerializeJSON();
  // True when `text` is recorded and flushed to the disk.
  bool WriteVersion(const std::string& text);
  std::int64_t ReadVersion();

  // Installation. MergeContentsOfPath returns false when the source cannot be walked or a create,
  // delete or move failed; the first failure's description then goes to `failure` when one is
  // given.
  void DeleteOtherApps();
  bool MergeContentsOfPath(const std::string& source, const std::string& dstDir,
                           std::string* failure = nullptr);

  // The workflow body that RunInBackground posts, and its install branch. RunWorkflow runs the
  // steps and reports a want of memory on the way rather than end the process with it.
  void RunWorkflow();
  void RunWorkflowSteps();
  void RunInstallSequence(std::int64_t serverVersion, std::int64_t localVersion);
  // On the worker, before the version is asked for: finishes or undoes an install that was cut
  // short (see Installer::recover), then removes what it left behind.
  void RecoverInstallation();
  // The recorded version, or 0 when the install folder holds no launchable application.
  std::int64_t InstalledVersion();
  // Blocks the calling thread until ChooseCase is not 0, without using the processor.
  std::int64_t WaitForChoice();

 private:
  // The package fetched into the install folder: its path, or a description of the failure.
  struct Download {
    std::string path;
    std::string error;
  };
  Download DownloadPackage(std::int64_t serverVersion);
  // An update that fetches only the entries that changed since the install of `localVersion`
  // (see DeltaUpdate.h) into an archive of their own in the temporary folder; on success also
  // the new package's directory. An empty path when it is not possible: the reason is logged and
  // the whole package is to be downloaded.
  // A signed build needs the package's `signedManifest` for it. An error when an entry fetched
  // is not what the publisher signed: then the update stops.
  Download DownloadChangedEntries(std::int64_t localVersion,
                                  const std::optional<delta::PackageManifest>& signedManifest,
                                  std::optional<zipdir::Directory>& directory);
  // A signed build's check of each entry of an update: the publisher's signed manifest of
  // `serverVersion`, or nothing, logged, when it cannot be used (and without a public key, a
  // manifest address or a temporary folder). `later` gets the version the manifest was signed
  // for when the publisher has published a later one since the version was asked for.
  std::optional<delta::PackageManifest> FetchSignedManifest(std::int64_t serverVersion,
                                                            std::optional<std::int64_t>& later);
  // Where DownloadPackage will put the package; empty when the address names no file, or when a
  // file is there already.
  std::string PackageDestination() const;
  // Posts the failure dialog: "Failed to update the application.\n " + `description`.
  void showFailure(const std::string& description);

  explicit ViewController(Environment environment);
  // Posts a task that holds a strong reference to the controller until it has run.
  void post(std::function<void(ViewController&)> task);

  Environment environment_;
  // The version that RecoverInstallation found installed but could not record (a full disk):
  // the installed version for this run, while the journal keeps it for the next start.
  std::optional<std::int64_t> unrecordedVersion_;
};

}  // namespace launcher
