#pragma once
// Installing a package without ever breaking the installation. The extracted package is merged
// into a staging folder inside the install folder, seeded with hard links of the live entries it
// touches; the staged tree is checked for a launchable application and then switched in, one
// top-level entry at a time, each in one step. A journal written before the install touches the
// disk lets the next start finish a switch that a crash cut short, or forget an install that
// never reached it. The install folder therefore holds, at every instant, either the whole
// previous installation or the whole new one.
//
// The launcher's own entries in the install folder, besides the version file:
//   .staging           the staged tree; after the switch it holds the replaced entries
//   .install-journal   the install under way (see InstallJournal)
//   .lock              one launcher at a time (see SingleInstance.h)
//   .install-manifest  what the last install put in place, for updates that fetch only what
//                      changed (see DeltaUpdate.h)
// A package can never replace any of them, nor the version file.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/FileManager.h"

namespace launcher {

inline constexpr std::string_view kStagingFolderName = ".staging";
inline constexpr std::string_view kJournalFileName = ".install-journal";
inline constexpr std::string_view kLockFileName = ".lock";
inline constexpr std::string_view kManifestFileName = ".install-manifest";
inline constexpr std::string_view kVersionFileName = "version.txt";

// True for a top-level name that a package may not bring into the install folder: the version
// file, the launcher's own hidden entries, and a download's part files.
bool isReservedEntryName(std::string_view name);

// What an install under way has done so far, kept in the install folder's journal file.
struct InstallJournal {
  enum class Phase {
    staging,    // the live installation is untouched
    switching,  // the staged tree is complete and on the disk; the entries are being switched
  };
  struct Entry {
    std::string name;         // a top-level entry of the staged tree
    std::uint64_t inode = 0;  // the staged entry's inode: the live name has it once switched
    bool replaces = false;    // swapped with a live entry of that name, else renamed in
    bool operator==(const Entry&) const = default;
  };

  Phase phase = Phase::staging;
  std::int64_t previousVersion = 0;
  std::int64_t newVersion = 0;
  // The downloaded package, removed when the install is forgotten; may be empty.
  std::string package;
  std::vector<Entry> entries;  // in the switching phase

  // One "key value" line each; names escaped so that any byte can be kept.
  std::string text() const;
  // Nothing when `text` is not a journal of this form.
  static std::optional<InstallJournal> parse(std::string_view text);
  bool operator==(const InstallJournal&) const = default;
};

class Installer {
 public:
  Installer(std::string installFolder, std::string applicationName);

  std::string stagingFolder() const;
  std::string journalPath() const;
  const InstallJournal& journal() const { return journal_; }

  // ---- One install, in this order

  // Writes the journal (phase staging) before the install changes anything on the disk.
  // `package`, where the download will put the package, is removed by a next start: give it
  // only when nothing is there yet, as until the download has written it, a file of that name
  // is not ours.
  platform::FileResult begin(std::int64_t previousVersion, std::int64_t newVersion,
                             std::string package);
  // Names the package the download actually wrote, when it is not the one `begin` was given.
  platform::FileResult notePackage(const std::string& package);
  // Makes a fresh staging folder and leaves out of the extraction folder what the package may
  // not install (isReservedEntryName). Each top-level folder of the package that is installed as
  // a folder already is seeded in the staging folder from the live one (platform::cloneTree), so
  // that merging the extraction folder into the staging folder gives the whole new entry, with
  // the files the package lacks.
  platform::FileResult stage(const std::string& extractionFolder);
  // The tree the switch would leave (a staged entry where the package has one, else the live
  // one) must hold a launchable application; otherwise says why not.
  platform::FileResult check();
  // Writes the staged tree to the disk: one syncfs of the install folder's file system.
  platform::FileResult flushStaging();
  // Once the staged tree is on the disk (flushStaging, called here unless it was called
  // already), writes the journal with phase switching and the entries to switch. First gives the
  // installed folders made read-only, which `stage` left open, their permissions back.
  platform::FileResult journalSwitch();
  struct SwitchResult {
    bool switched = false;
    // After a failure: true when every entry switched so far was switched back (the previous
    // installation is whole, and the journal says staging again); false when the journal must
    // finish the job at the next start.
    bool undone = false;
    std::string error;
  };
  // Switches every journaled entry, each in one step, then flushes the install folder.
  SwitchResult switchEntries();
  // After the new version is recorded: removes the journal, then the staging folder.
  void finish();

  // ---- When the install stops before the switch: the previous installation is whole

  // Removes the staging folder. The caller first records the previous version, then removes the
  // journal, and only then discards the staging folder.
  void discardStaging();
  void removeJournal();

  // ---- At start, before anything else

  // Finishes or forgets an install that a crash or a kill cut short. Without a journal: nothing.
  // Phase staging: removes the staged tree and the package; the previous version is the one to
  // record. Phase switching: switches the entries not switched yet and the new version is the
  // one to record; when a staged entry is gone, switches back those already switched and the
  // previous version is the one to record, or 0 when even that fails. The caller records the
  // version, then removes the journal. A journal that cannot be read now (an I/O error, no
  // descriptor left) stays, with the staging folder, and nothing is to be recorded.
  std::optional<std::int64_t> recover();
  // Removes a leftover staging folder (unless `recover` kept a journal it could not read now), the
  // journal or install manifest half written, and the part files of older launchers' downloads
  // (".<name>.part-XXXXXX"); a download's own part files are HttpDownloader's.
  void removeLeftovers();

 private:
  // Why a link of the staged tree may not stay, or nothing (see Installer.cpp). An installed link
  // that the package no longer holds and whose way now passes through one of its new links
  // leaves the staged tree instead.
  std::optional<std::string> linkProblem();
  std::string livePath(const std::string& name) const;
  platform::FileResult closeFolders();
  std::string stagedPath(const std::string& name) const;
  platform::FileResult writeJournal();
  // Switches back the entries before `end`, last first. True when every one went back.
  bool switchBack(std::size_t end);

  std::string installFolder_;
  std::string applicationName_;
  InstallJournal journal_;
  bool flushed_ = false;
  bool journalKept_ = false;
  // Staged folders cloned open from read-only installed ones, innermost first.
  std::vector<platform::FolderPermissions> closedFolders_;
};

}  // namespace launcher
