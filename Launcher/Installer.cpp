#include "Launcher/Installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <set>
#include <utility>

#include "Launcher/platform/Application.h"
#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/Console.h"
#include "Zipwell/Beneath.h"
#include "Zipwell/Zipwell.h"

namespace launcher {
namespace {

constexpr std::string_view kJournalHeader = "launcher-install-journal 1";
// A journal names the package's top-level entries: anything larger is not one of ours, and an
// install that would need a larger one is not begun or not switched.
constexpr off_t kMaxJournalBytes = off_t{16} * 1024 * 1024;

bool isPartFileName(std::string_view name) {
  return name.starts_with('.') && name.find(".part-") != std::string_view::npos;
}

// "%" and control characters as "%XX", so that a name is one line without blanks trouble.
std::string escape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '%') {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 0x0F];
    } else {
      result += c;
    }
  }
  return result;
}

std::optional<std::string> unescape(std::string_view text) {
  std::string result;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '%') {
      result += text[at];
      continue;
    }
    unsigned value = 0;
    if (at + 2 >= text.size()) return std::nullopt;
    const auto [end, error] =
        std::from_chars(text.data() + at + 1, text.data() + at + 3, value, 16);
    if (error != std::errc() || end != text.data() + at + 3) return std::nullopt;
    result += static_cast<char>(value);
    at += 2;
  }
  return result;
}

template <typename Number>
std::optional<Number> number(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Splits "key rest" at the first blank.
std::pair<std::string_view, std::string_view> keyAndValue(std::string_view line) {
  const auto blank = line.find(' ');
  if (blank == std::string_view::npos) return {line, {}};
  return {line.substr(0, blank), line.substr(blank + 1)};
}

// Whether the file system holding `path` is mounted so that no program on it may run.
bool forbidsPrograms(const std::string& path) {
  struct statvfs info {};
  return ::statvfs(path.c_str(), &info) == 0 && (info.f_flag & ST_NOEXEC) != 0;
}

// The target of the link at `path`, or nothing where no link is.
std::optional<std::string> linkTargetOf(const std::string& path) {
  std::error_code error;
  auto target = std::filesystem::read_symlink(path, error);
  if (error) return std::nullopt;
  return target.native();
}

// An empty file is no program whatever its mode: the kernel refuses to start it.
bool isEmptyFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0;
}

// One entry of a folder: no path, no "." or "..", and no NUL, which would cut a path short.
bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The part files of older launchers' downloads in the install folder (".<name>.part-XXXXXX"),
// which nothing resumes.
void removeDownloadLeftovers(const std::string& installFolder) {
  const auto names = platform::folderEntries(installFolder);
  if (!names) return;
  for (const std::string& name : *names)
    if (isPartFileName(name))
      platform::removeItem(platform::appendPathComponent(installFolder, name));
}

}  // namespace

bool isReservedEntryName(std::string_view name) {
  return name == kVersionFileName || name == kStagingFolderName || name == kJournalFileName ||
         name == std::string(kJournalFileName) + ".tmp" || name == kLockFileName ||
         name == kManifestFileName || name == std::string(kManifestFileName) + ".tmp" ||
         isPartFileName(name);
}

// ---- Journal text

std::string InstallJournal::text() const {
  std::string out(kJournalHeader);
  out += "\nphase ";
  out += phase == Phase::staging ? "staging" : "switching";
  out += "\nprevious " + std::to_string(previousVersion);
  out += "\nnext " + std::to_string(newVersion);
  out += "\npackage " + escape(package);
  for (const Entry& entry : entries)
    out += "\nentry " + std::to_string(entry.inode) + (entry.replaces ? " replaces " : " new ") +
           escape(entry.name);
  out += "\n";
  return out;
}

std::optional<InstallJournal> InstallJournal::parse(std::string_view text) {
  // The header is a line of its own.
  if (!text.starts_with(kJournalHeader) || !text.substr(kJournalHeader.size()).starts_with('\n') ||
      !text.ends_with('\n'))
    return std::nullopt;
  InstallJournal journal;
  bool phase = false, previous = false, next = false;
  text.remove_prefix(kJournalHeader.size() + 1);
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const auto [key, value] = keyAndValue(line);
    if (key == "phase" && (value == "staging" || value == "switching")) {
      journal.phase = value == "staging" ? Phase::staging : Phase::switching;
      phase = true;
    } else if (key == "previous" || key == "next") {
      const auto version = number<std::int64_t>(value);
      if (!version) return std::nullopt;
      (key == "previous" ? journal.previousVersion : journal.newVersion) = *version;
      (key == "previous" ? previous : next) = true;
    } else if (key == "package") {
      auto package = unescape(value);
      if (!package || package->find('\0') != std::string::npos) return std::nullopt;
      journal.package = std::move(*package);
    } else if (key == "entry") {
      const auto [inodeText, rest] = keyAndValue(value);
      const auto [kind, nameText] = keyAndValue(rest);
      const auto inode = number<std::uint64_t>(inodeText);
      auto name = unescape(nameText);
      // A top-level entry of the install folder: a name that reaches elsewhere is not ours.
      if (!inode || (kind != "replaces" && kind != "new") || !name || !isPlainName(*name))
        return std::nullopt;
      journal.entries.push_back({std::move(*name), *inode, kind == "replaces"});
    } else {
      return std::nullopt;
    }
  }
  if (!phase || !previous || !next) return std::nullopt;
  return journal;
}

// ---- Installer

Installer::Installer(std::string installFolder, std::string applicationName)
    : installFolder_(std::move(installFolder)), applicationName_(std::move(applicationName)) {}

std::string Installer::stagingFolder() const {
  return platform::appendPathComponent(installFolder_, std::string(kStagingFolderName));
}

std::string Installer::journalPath() const {
  return platform::appendPathComponent(installFolder_, std::string(kJournalFileName));
}

std::string Installer::livePath(const std::string& name) const {
  return platform::appendPathComponent(installFolder_, name);
}

std::string Installer::stagedPath(const std::string& name) const {
  return platform::appendPathComponent(stagingFolder(), name);
}

platform::FileResult Installer::writeJournal() {
  const std::string text = journal_.text();
  // Recovery reads no more than this: a longer journal would be ignored, and the way back lost.
  if (text.size() > static_cast<std::size_t>(kMaxJournalBytes))
    return platform::FileResult::failure("the install journal would be larger than " +
                                         std::to_string(kMaxJournalBytes >> 20) +
                                         " MiB: the package has too many top-level entries");
  return platform::writeFileDurably(journalPath(), text);
}

platform::FileResult Installer::begin(std::int64_t previousVersion, std::int64_t newVersion,
                                      std::string package) {
  journal_ = InstallJournal{};
  journal_.previousVersion = previousVersion;
  journal_.newVersion = newVersion;
  journal_.package = std::move(package);
  return writeJournal();
}

platform::FileResult Installer::notePackage(const std::string& package) {
  if (package == journal_.package) return platform::FileResult::success();
  journal_.package = package;
  return writeJournal();
}

platform::FileResult Installer::stage(const std::string& extractionFolder) {
  flushed_ = false;
  closedFolders_.clear();
  discardStaging();
  if (auto made = platform::createDirectory(stagingFolder(), false); !made) return made;
  const auto names = platform::folderEntries(extractionFolder);
  if (!names)
    return platform::FileResult::failure("cannot list the extracted package in \"" +
                                         extractionFolder + "\"");
  for (const std::string& name : *names) {
    const std::string extracted = platform::appendPathComponent(extractionFolder, name);
    if (isReservedEntryName(name)) {
      // The package's own version file would claim a version; the hidden names are the
      // launcher's.
      platform::logLine("   leaving out the package's \"" + name + "\"");
      if (auto removed = platform::removeItem(extracted); !removed) return removed;
      continue;
    }
    if (platform::isRealDirectory(extracted) && platform::isRealDirectory(livePath(name))) {
      // Folders the user or the application made read-only stay open for the merge; they are
      // closed again before the switch.
      std::vector<platform::FolderPermissions> closed;
      if (auto cloned = platform::cloneTree(livePath(name), stagedPath(name), &closed); !cloned)
        return cloned;
      for (auto& folder : closed)
        closedFolders_.push_back(
            {folder.path.empty() ? name : name + "/" + folder.path, folder.mode});
    }
  }
  return platform::FileResult::success();
}

// Why a link of the tree the switch would leave may not stay, or nothing. The package's links
// were judged in the package's own tree; the staged one also holds the installed files the package
// lacks, and the top-level entries it lacks stay beside it. A target that passes through a link
// there (an installed link, or a new one on the way of an installed target) can lead outside the
// install folder, where ".." climbs from wherever that link leads. Absolute targets and the like
// were judged when their links were installed, and installed links that pass only through
// installed links are as they were: only a path through a link is new here.
// An installed link that stays in the staged tree only because the package no longer holds it,
// and whose way the package now bars with a new link (a folder that became a link), goes: a
// fresh install would not have it, and kept it would refuse this update and every later one.
std::optional<std::string> Installer::linkProblem() {
  const std::string staging = stagingFolder();
  const auto stagedNames = platform::folderEntries(staging);
  if (!stagedNames) return "cannot walk the new files in \"" + staging + "\"";
  const std::set<std::string> staged(stagedNames->begin(), stagedNames->end());
  const auto isStaged = [&staged](const std::string& relative) {
    return staged.contains(relative.substr(0, relative.find('/')));
  };
  // Where a path of the tree after the switch lies now.
  const auto place = [&](const std::string& relative) {
    return platform::appendPathComponent(isStaged(relative) ? staging : installFolder_, relative);
  };
  const auto isLink = [&place](const std::string& relative) {
    struct stat status {};
    return ::lstat(place(relative).c_str(), &status) == 0 && S_ISLNK(status.st_mode);
  };
  const auto judge = [&](const std::string& relative) -> std::optional<std::string> {
    if (!isLink(relative)) return std::nullopt;
    std::error_code error;
    const auto target = std::filesystem::read_symlink(place(relative), error);
    if (error) return "cannot read the link \"" + relative + "\": " + error.message();
    const bool installed = !isStaged(relative);
    bool throughALink = false;
    std::string through;
    const auto problem =
        Zipwell::linkTargetProblem(relative, target.native(), [&](const std::string& path) {
          throughALink = isLink(path) && (!installed || isStaged(path));
          if (throughALink) through = path;
          return throughALink;
        });
    if (!problem || !throughALink) return std::nullopt;
    // The package's own links were judged in its tree, so a staged link as it was installed,
    // through a link that was not, is one the package no longer holds.
    if (!installed && linkTargetOf(livePath(relative)) == target.native() &&
        linkTargetOf(livePath(through)) != linkTargetOf(place(through))) {
      if (::unlink(place(relative).c_str()) != 0)
        return platform::describeErrno("cannot remove the link", place(relative), errno);
      platform::logLine("   the installed link \"" + relative +
                        "\", which the package no longer holds, goes: " + *problem);
      return std::nullopt;
    }
    return "the link \"" + relative + "\" cannot stay: " + *problem;
  };
  // Every entry of the staged tree, then every one of the installed entries that stay.
  const auto installedNames = platform::folderEntries(installFolder_);
  if (!installedNames) return "cannot walk the installed files in \"" + installFolder_ + "\"";
  for (const auto& [tree, names] :
       {std::pair{staging, *stagedNames}, std::pair{installFolder_, *installedNames}}) {
    for (const std::string& name : names) {
      if (tree == installFolder_ && (staged.contains(name) || isReservedEntryName(name))) continue;
      if (auto problem = judge(name)) return problem;
      const std::string path = platform::appendPathComponent(tree, name);
      if (!platform::isRealDirectory(path)) continue;
      // Judged while walking: a tree the application made deep inside itself is never listed
      // whole, which took memory with the square of its depth.
      std::optional<std::string> problem;
      const bool walked = platform::walkFolder(path, [&](const std::string& relative) {
        problem = judge(platform::appendPathComponent(name, relative));
        return !problem;
      });
      if (problem) return problem;
      if (!walked) {
        if (tree == staging) return "cannot walk the files in \"" + path + "\"";
        // An installed folder the package leaves alone that this user cannot read (another
        // account's, say) is no reason to refuse the update.
        platform::logLine("   the links in \"" + path +
                          "\" are not all judged: it cannot be read in full");
      }
    }
  }
  return std::nullopt;
}

platform::FileResult Installer::check() {
  if (auto problem = linkProblem())
    return platform::FileResult::failure(*problem + ". Nothing was changed.");
  const std::string bundle = applicationName_ + ".app";
  const bool packaged = platform::itemExists(stagedPath(bundle));
  const std::string tree = packaged ? stagingFolder() : installFolder_;
  if (platform::findApplication(tree, applicationName_)) return platform::FileResult::success();

  const std::string path = platform::appendPathComponent(tree, bundle);
  const std::string whose = packaged ? "the package's " : "the installed ";
  std::string reason;
  if (!packaged && !platform::itemExists(path))
    reason = "the package holds no " + bundle;
  else if (forbidsPrograms(tree))
    reason =
        "programs cannot run from \"" + installFolder_ + "\": its file system is mounted noexec";
  else if (!platform::isDirectory(path))
    reason = whose + bundle + (isEmptyFile(path) ? " is empty" : " is not an executable file");
  else if (!platform::itemExists(path + "/AppRun"))
    reason = whose + bundle + " holds no AppRun";
  else
    reason =
        whose + bundle +
        (isEmptyFile(path + "/AppRun") ? "/AppRun is empty" : "/AppRun is not an executable file");
  return platform::FileResult::failure(reason +
                                       ", so the application could not start. Nothing was "
                                       "changed.");
}

platform::FileResult Installer::flushStaging() {
  auto synced = platform::syncFileSystem(installFolder_);
  flushed_ = static_cast<bool>(synced);
  return synced;
}

platform::FileResult Installer::closeFolders() {
  if (closedFolders_.empty()) return platform::FileResult::success();
  const zipwell::Beneath staging(
      platform::UniqueFd(
          ::open(stagingFolder().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
      stagingFolder());
  if (staging.fd() < 0)
    return platform::FileResult::failure(
        platform::describeErrno("cannot open", stagingFolder(), errno));
  // Innermost first: each folder is reached before one above it is closed.
  for (const auto& folder : closedFolders_) {
    zipwell::Components components;
    for (const auto& component : std::filesystem::path(folder.path))
      components.push_back(component.string());
    // Something else in its place (the package's link, say) keeps its own permissions.
    const platform::UniqueFd opened = staging.open(components, O_RDONLY | O_DIRECTORY);
    if (!opened) continue;
    if (::fchmod(opened.get(), folder.mode) != 0)
      return platform::FileResult::failure(platform::describeErrno(
          "cannot set the permissions of", staging.pathOf(folder.path), errno));
  }
  closedFolders_.clear();
  return platform::FileResult::success();
}

platform::FileResult Installer::journalSwitch() {
  if (auto closed = closeFolders(); !closed) return closed;
  const auto names = platform::folderEntries(stagingFolder());
  if (!names)
    return platform::FileResult::failure("cannot list the staged tree in \"" + stagingFolder() +
                                         "\"");
  journal_.entries.clear();
  for (const std::string& name : *names) {
    const auto inode = platform::inodeOf(stagedPath(name));
    if (!inode) return platform::FileResult::failure("the staged \"" + name + "\" disappeared");
    journal_.entries.push_back({name, *inode, platform::itemExists(livePath(name))});
  }
  // The journal may say "switching" only once everything staged is on the disk.
  if (!flushed_)
    if (auto synced = flushStaging(); !synced) return synced;
  journal_.phase = InstallJournal::Phase::switching;
  if (auto written = writeJournal(); !written) {
    journal_.phase = InstallJournal::Phase::staging;
    return written;
  }
  return platform::FileResult::success();
}

Installer::SwitchResult Installer::switchEntries() {
  for (std::size_t index = 0; index < journal_.entries.size(); ++index) {
    const auto& entry = journal_.entries[index];
    const auto switched =
        entry.replaces ? platform::exchangeItems(stagedPath(entry.name), livePath(entry.name))
                       : platform::renameNoReplace(stagedPath(entry.name), livePath(entry.name));
    if (!switched) {
      const bool undone = switchBack(index);
      if (undone) {
        platform::syncFolder(installFolder_);
        // The staged tree is the one to drop now, even when its removal is cut short: a next
        // start must not finish a switch from a tree that was half removed.
        journal_.phase = InstallJournal::Phase::staging;
        if (auto written = writeJournal(); !written) platform::logLine("   " + written.error);
      }
      return {false, undone, switched.error};
    }
  }
  if (auto synced = platform::syncFolder(installFolder_); !synced)
    platform::logLine("   " + synced.error);
  return {true, false, {}};
}

bool Installer::switchBack(std::size_t end) {
  bool allBack = true;
  for (std::size_t index = end; index-- > 0;) {
    const auto& entry = journal_.entries[index];
    const auto back = entry.replaces
                          ? platform::exchangeItems(stagedPath(entry.name), livePath(entry.name))
                          : platform::renameNoReplace(livePath(entry.name), stagedPath(entry.name));
    if (!back) {
      platform::logLine("   " + back.error);
      allBack = false;
    }
  }
  return allBack;
}

void Installer::finish() {
  removeJournal();
  discardStaging();
}

void Installer::discardStaging() {
  if (!platform::itemExists(stagingFolder())) return;
  // Always a real folder of ours; anything else in its place goes as well.
  const auto removed = platform::isRealDirectory(stagingFolder())
                           ? platform::removeTree(stagingFolder())
                           : platform::removeItem(stagingFolder());
  if (!removed) platform::logLine("   " + removed.error);
}

void Installer::removeJournal() {
  if (platform::itemExists(journalPath())) platform::removeItem(journalPath());
}

std::optional<std::int64_t> Installer::recover() {
  if (!platform::itemExists(journalPath())) return std::nullopt;
  platform::ReadFailure failure = platform::ReadFailure::notAFile;
  const auto text = platform::readSmallFile(journalPath(), kMaxJournalBytes, &failure);
  if (!text && failure == platform::ReadFailure::notReadNow) {
    // An I/O error or no descriptor left says nothing of the journal: it stays, with the staged
    // tree it names, for a start that can read it.
    platform::logLine("   the install journal \"" + journalPath() +
                      "\" cannot be read now: it stays for the next start");
    journalKept_ = true;
    return std::nullopt;
  }
  const auto parsed = text ? InstallJournal::parse(*text) : std::nullopt;
  if (!parsed) {
    // Written whole or not at all, so only a hand could have damaged it: nothing to go by.
    platform::logLine("   ignoring an unreadable install journal \"" + journalPath() + "\"");
    removeJournal();
    return std::nullopt;
  }
  journal_ = *parsed;

  if (journal_.phase == InstallJournal::Phase::staging) {
    // Nothing live was touched: forget the install. Only a package file inside the install
    // folder is ours to remove: named as one of its entries, without a ".." that could step
    // back out through a link.
    const std::filesystem::path package(journal_.package);
    const auto relative = package.lexically_relative(installFolder_);
    if (package.is_absolute() && std::distance(relative.begin(), relative.end()) == 1 &&
        isPlainName(relative.string()) && !isReservedEntryName(relative.string()) &&
        !platform::isDirectory(journal_.package))
      platform::removeItem(journal_.package);
    discardStaging();
    platform::logLine("   an unfinished install of version " + std::to_string(journal_.newVersion) +
                      " was undone");
    return journal_.previousVersion;
  }

  // The staged tree was complete. An entry is switched when its live name has the staged inode.
  // Only a real folder is the staging folder: through a link in its place, entries would be
  // moved in from, and out to, a folder elsewhere.
  const bool staging = platform::isRealDirectory(stagingFolder());
  std::vector<bool> switched;
  bool complete = true;
  for (const auto& entry : journal_.entries) {
    const bool live = platform::inodeOf(livePath(entry.name)) == entry.inode;
    switched.push_back(live);
    if (!live && (!staging || platform::inodeOf(stagedPath(entry.name)) != entry.inode))
      complete = false;
  }
  std::size_t done = 0;
  if (complete) {
    for (; done < journal_.entries.size(); ++done) {
      if (switched[done]) continue;
      const auto& entry = journal_.entries[done];
      // An entry the package adds goes only where nothing stands, as in the switch: what took its
      // name since (the user's own) would go with the staging folder.
      const auto moved =
          entry.replaces && platform::itemExists(livePath(entry.name))
              ? platform::exchangeItems(stagedPath(entry.name), livePath(entry.name))
              : platform::renameNoReplace(stagedPath(entry.name), livePath(entry.name));
      if (!moved) {
        platform::logLine("   " + moved.error);
        break;
      }
      switched[done] = true;
    }
    if (done == journal_.entries.size()) {
      platform::syncFolder(installFolder_);
      platform::logLine("   the install of version " + std::to_string(journal_.newVersion) +
                        " was finished");
      return journal_.newVersion;
    }
  }

  // A staged entry is gone, or cannot be switched: back to the previous installation.
  bool allBack = true;
  for (std::size_t index = journal_.entries.size(); index-- > 0;) {
    if (!switched[index]) continue;
    const auto& entry = journal_.entries[index];
    const auto back =
        !staging ? platform::FileResult::failure("the staging folder \"" + stagingFolder() +
                                                 "\" is not a folder")
        : platform::itemExists(stagedPath(entry.name))
            ? platform::exchangeItems(stagedPath(entry.name), livePath(entry.name))
            : (entry.replaces
                   ? platform::FileResult::failure("the replaced \"" + entry.name + "\" is gone")
                   : platform::renameNoReplace(livePath(entry.name), stagedPath(entry.name)));
    if (!back) {
      platform::logLine("   " + back.error);
      allBack = false;
    }
  }
  platform::syncFolder(installFolder_);
  platform::logLine(allBack ? "   an unfinished install of version " +
                                  std::to_string(journal_.newVersion) + " was undone"
                            : "   an unfinished install left a mix of versions");
  return allBack ? journal_.previousVersion : 0;
}

void Installer::removeLeftovers() {
  if (!journalKept_) discardStaging();
  // The journal's and the install manifest's files while they were written.
  for (const std::string& temporary :
       {journalPath() + ".tmp", livePath(std::string(kManifestFileName)) + ".tmp"})
    if (platform::itemExists(temporary)) platform::removeItem(temporary);
  removeDownloadLeftovers(installFolder_);
}

}  // namespace launcher
