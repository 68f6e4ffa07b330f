// Installing a package: merging the extracted tree into the staged tree, deleting superseded
// bundles and launching the installed application.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "Launcher/Config.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/FileManager.h"
#include "Launcher/platform/Nfd.h"

namespace launcher {
namespace {

constexpr std::string_view kBundleSuffix = ".app";

// A direct entry of the install folder whose name begins with `prefix` and ends in ".app",
// both compared in canonical decomposed form and case-sensitively.
bool isBundleNamed(const std::string& entry, const std::string& prefix) {
  return entry.find('/') == std::string::npos && platform::hasPrefixNFD(entry, prefix) &&
         platform::hasSuffixNFD(entry, kBundleSuffix);
}

// Failures of the merge go to the diagnostic log, never to standard output; the first one is
// kept for the caller.
void logFailure(const platform::FileResult& result, std::string* first) {
  platform::logLine("   " + result.error);
  if (first != nullptr && first->empty()) *first = result.error;
}

}  // namespace

bool ViewController::MergeContentsOfPath(const std::string& source, const std::string& dstDir,
                                         std::string* failure) {
  platform::logLine("- mergeContentsOfPath: " + source + "\n intoPath: " + dstDir);
  // The walk is read in full first: files are moved out of the source while it is handled.
  const auto entries = platform::enumerateFolder(source);
  if (!entries) {
    logFailure(platform::FileResult::failure("cannot walk \"" + source + "\""), failure);
    return false;
  }

  bool allDone = true;
  // A folder that could not be made: nothing below it is placed, so that nothing can land
  // through whatever stands in its way.
  std::optional<std::string> failedFolder;
  for (const std::string& subPath : *entries) {
    platform::printLine(" subPath: " + subPath);
    const std::string from = platform::appendPathComponent(source, subPath);
    const std::string to = platform::appendPathComponent(dstDir, subPath);
    if (failedFolder && subPath.starts_with(*failedFolder + "/")) {
      platform::logLine("   skipped \"" + from + "\": its folder could not be made");
      allDone = false;
      continue;
    }

    // Links are entries of their own, never folders: a link to a folder is moved as a link.
    if (platform::isRealDirectory(from)) {
      // An existing folder stays with everything in it, so files the package lacks survive; a
      // file or a link in its place gives way, as the package's folder replaces it.
      platform::printLine("   create directory");
      if (platform::itemExists(to) && !platform::isRealDirectory(to)) {
        if (auto removed = platform::removeItem(to); !removed) {
          logFailure(removed, failure);
          allDone = false;
          failedFolder = subPath;
          continue;
        }
      }
      if (auto created = platform::createDirectory(to, true); !created) {
        logFailure(created, failure);
        allDone = false;
        failedFolder = subPath;
      }
      continue;
    }

    // Anything there goes first, a folder with all it holds; a dangling link would block the
    // move like a real entry.
    if (platform::itemExists(to)) {
      platform::printLine("   removeItemAtPath");
      if (auto removed = platform::removeItem(to); !removed) {
        logFailure(removed, failure);
        allDone = false;
        continue;
      }
    }
    platform::printLine("   moveItemAtPath");
    if (auto moved = platform::moveItem(from, to); !moved) {
      logFailure(moved, failure);
      allDone = false;
    }
  }
  return allDone;
}

void ViewController::DeleteOtherApps() {
  const std::string installFolder = this->installFolder() + "/";
  // Deeper entries never qualify, so the direct entries are all the walk needs.
  const auto entries = platform::folderEntries(installFolder);
  if (!entries) return;
  const std::string versionedPrefix = APPLICATION_NAME() + " v.";
  for (const std::string& entry : *entries) {
    if (!isBundleNamed(entry, versionedPrefix)) continue;
    // A bundle that cannot be deleted stays without a word; the next start tries again.
    if (platform::removeItem(installFolder + entry)) platform::printLine("Deleted:  " + entry);
  }
}

void ViewController::LaunchApplication(platform::Control*) {
  const auto entries = platform::folderEntries(installFolder() + "/");
  const bool found =
      entries && std::any_of(entries->begin(), entries->end(), [](const std::string& entry) {
        return isBundleNamed(entry, APPLICATION_NAME());
      });
  // The request names the application, not the entry: one press starts it once, however many
  // entries qualify. Quitting when nothing started would leave the user with neither launcher
  // nor application.
  if (!found || !environment_.workspace->launchApplication(APPLICATION_NAME())) {
    DisplayAlert("Something wrong. Try later.");
    return;
  }
  ExitNow(nullptr);
}

}  // namespace launcher
