// The installer's own steps: the journal, the switch and its undoing, the recovery at the next
// start, the hard-link clone that seeds the staged tree, and the one-launcher lock.
#include "Launcher/Installer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/InstanceLock.h"
#include "Launcher/platform/UniqueFd.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchFileSystem.h"
#include "tests/support/TestFolders.h"

namespace launcher::testing {
namespace {
namespace fs = std::filesystem;

const std::string kName = "Vantorel";

void writeApplication(const std::string& folder, const std::string& label) {
  writeFile(folder + "/" + kName + ".app/AppRun", "#!/bin/sh\necho " + label + "\n");
  fs::permissions(folder + "/" + kName + ".app/AppRun", fs::perms(0755));
  writeFile(folder + "/" + kName + ".app/lib/data.txt", label);
}

// ---- The journal's text

TEST(InstallJournalText, KeepsEveryFieldAndAnyNameAndRefusesWhatIsNotAJournal) {
  InstallJournal journal;
  journal.phase = InstallJournal::Phase::switching;
  journal.previousVersion = -3;
  journal.newVersion = 9223372036854775807;
  journal.package = "/home/u/.local/share/Vantorel/pack 100%.zip";
  journal.entries = {{kName + ".app", 12, true},
                     {"two words\nand a line feed\r%41", 4294967297, false},
                     {"\xC3\xA9t\xC3\xA9", 1, false}};
  EXPECT_EQ(InstallJournal::parse(journal.text()), journal) << journal.text();

  const std::string text = journal.text();
  for (const std::string& damaged :
       {std::string(), text.substr(0, text.size() - 1), "x" + text, text + "entry 5 replaces\n",
        text + "entry x new a\n", text + "entry 5 moved a\n", text + "colour blue\n",
        text + "package %4\n", "launcher-install-journal 1 " + text.substr(text.find('\n') + 1)}) {
    EXPECT_FALSE(InstallJournal::parse(damaged)) << damaged;
  }
}

// ---- Switching, and what the next start makes of a journal

class InstallerTest : public ::testing::Test {
 public:
  TempDir root;
  std::string install = root / "Vantorel";
  Installer installer{install, kName};
  std::vector<std::string> oldTree, newTree;
  std::string outside = root / "outside.txt";

  // An installed version 4 with the user's own file, and a staged version 5 that replaces the
  // application and the read-me and brings a new folder, journaled for the switch.
  void SetUp() override {
    writeFile(outside, "beside the install folder");
    writeApplication(install, "four");
    writeFile(install + "/" + kName + ".app/settings.ini", "mine");
    writeFile(install + "/README.txt", "read me four");
    writeFile(install + "/notes.txt", "not in the package");
    oldTree = tree(install);

    ASSERT_TRUE(installer.begin(4, 5, install + "/package_mac.zip"));
    const std::string staging = installer.stagingFolder();
    fs::create_directories(staging);
    writeApplication(staging, "five");
    writeFile(staging + "/" + kName + ".app/settings.ini", "mine");
    writeFile(staging + "/README.txt", "read me five");
    writeFile(staging + "/plugins/one.so", "plugin");
    newTree = {kName + ".app/",
               kName + ".app/AppRun=#!/bin/sh\necho five\n",
               kName + ".app/lib/",
               kName + ".app/lib/data.txt=five",
               kName + ".app/settings.ini=mine",
               "README.txt=read me five",
               "notes.txt=not in the package",
               "plugins/",
               "plugins/one.so=plugin"};
    std::sort(newTree.begin(), newTree.end());
  }

  // Only what the installation holds: the launcher's own hidden entries are checked apart.
  std::vector<std::string> installed() const {
    auto entries = tree(install);
    std::erase_if(entries, [](const std::string& entry) { return entry.starts_with("."); });
    return entries;
  }
  // Switches the journaled entry `index` as the switch would.
  void switchOne(std::size_t index) {
    const auto& entry = installer.journal().entries.at(index);
    const std::string staged = installer.stagingFolder() + "/" + entry.name;
    const std::string live = install + "/" + entry.name;
    ASSERT_TRUE(entry.replaces ? platform::exchangeItems(staged, live)
                               : platform::renameNoReplace(staged, live));
  }
  // What the controller does at start.
  std::optional<std::int64_t> restart() {
    Installer next(install, kName);
    const auto version = next.recover();
    if (version) next.removeJournal();
    next.removeLeftovers();
    return version;
  }
};

TEST_F(InstallerTest, JournalNamesTheEntriesAndSwitchingGivesTheNewTree) {
  ASSERT_TRUE(installer.journalSwitch());
  std::vector<std::string> names;
  for (const auto& entry : installer.journal().entries) {
    names.push_back(entry.name + (entry.replaces ? " replaces" : " new"));
    EXPECT_EQ(platform::inodeOf(installer.stagingFolder() + "/" + entry.name), entry.inode);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"README.txt replaces", kName + ".app replaces",
                                             "plugins new"}));
  const auto written = InstallJournal::parse(readFile(installer.journalPath()));
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, installer.journal());
  EXPECT_EQ(written->phase, InstallJournal::Phase::switching);

  const auto result = installer.switchEntries();
  EXPECT_TRUE(result.switched) << result.error;
  EXPECT_EQ(installed(), newTree);
  installer.finish();
  EXPECT_EQ(tree(install), newTree) << "journal and staging gone";
}

TEST_F(InstallerTest, FailedSwitchPutsBackWhatItSwitched) {
  ASSERT_TRUE(installer.journalSwitch());
  // The new folder's name is taken after the journal was written, by an empty folder that a
  // plain rename would replace: its rename fails.
  const auto& entries = installer.journal().entries;
  const auto fresh = std::find_if(entries.begin(), entries.end(),
                                  [](const auto& entry) { return !entry.replaces; });
  ASSERT_NE(fresh, entries.end());
  fs::create_directory(install + "/" + fresh->name);
  oldTree.push_back(fresh->name + "/");
  std::sort(oldTree.begin(), oldTree.end());

  const auto result = installer.switchEntries();

  EXPECT_FALSE(result.switched);
  EXPECT_TRUE(result.undone);
  EXPECT_NE(result.error.find(fresh->name), std::string::npos) << result.error;
  EXPECT_EQ(installed(), oldTree);

  // Cut short while the staged tree is removed: the next start keeps the previous installation.
  fs::remove(installer.stagingFolder() + "/" + kName + ".app/settings.ini");
  EXPECT_EQ(restart(), 4);
  EXPECT_EQ(installed(), oldTree);
}

TEST_F(InstallerTest, NextStartEndsWithTheWholeOldOrTheWholeNewTree) {
  const struct {
    const char* title;
    std::function<void(InstallerTest&)> cutShort;
    std::optional<std::int64_t> recorded;
    bool isNew;
  } cases[] = {
      {"no journal", [](InstallerTest& t) { t.installer.removeJournal(); }, std::nullopt, false},
      {"staging, package downloaded",
       [](InstallerTest& t) { writeFile(t.install + "/package_mac.zip", "zip"); }, 4, false},
      {"switching, none switched",
       [](InstallerTest& t) { ASSERT_TRUE(t.installer.journalSwitch()); }, 5, true},
      {"switching, one switched",
       [](InstallerTest& t) {
         ASSERT_TRUE(t.installer.journalSwitch());
         t.switchOne(0);
       },
       5, true},
      {"switching, all switched",
       [](InstallerTest& t) {
         ASSERT_TRUE(t.installer.journalSwitch());
         for (std::size_t i = 0; i < t.installer.journal().entries.size(); ++i) t.switchOne(i);
       },
       5, true},
      {"switching, a staged entry gone",
       [](InstallerTest& t) {
         ASSERT_TRUE(t.installer.journalSwitch());
         const auto& entries = t.installer.journal().entries;
         t.switchOne(0);
         t.switchOne(1);
         fs::remove_all(t.installer.stagingFolder() + "/" + entries.at(2).name);
       },
       4, false},
      {"unreadable journal",
       [](InstallerTest& t) { writeFile(t.installer.journalPath(), "phase switching\n"); },
       std::nullopt, false},
      // Journals that no install writes, naming what lies outside the install folder: the file
      // beside the folder must neither be moved in nor removed.
      {"switching, an entry named outside the folder",
       [](InstallerTest& t) {
         InstallJournal journal{InstallJournal::Phase::switching, 4, 5, {}, {}};
         journal.entries = {{"../outside.txt", *platform::inodeOf(t.outside), false},
                            {"gone", 1, false}};
         writeFile(t.installer.journalPath(), journal.text());
       },
       std::nullopt, false},
      {"switching, the staging folder a link to a tree elsewhere",
       [](InstallerTest& t) {
         ASSERT_TRUE(t.installer.journalSwitch());
         fs::rename(t.installer.stagingFolder(), t.root / "elsewhere");
         fs::create_directory_symlink(t.root / "elsewhere", t.installer.stagingFolder());
       },
       4, false},
      {"staging, a package named through a cut-off name",
       [](InstallerTest& t) {
         const InstallJournal journal{
             InstallJournal::Phase::staging,
             4,
             5,
             t.install + "/../outside.txt" + std::string(1, '\0') + "/../Vantorel/package_mac.zip",
             {}};
         writeFile(t.installer.journalPath(), journal.text());
       },
       std::nullopt, false},
      {"staging, a package named through a link",
       [](InstallerTest& t) {
         fs::create_directories(t.root / "elsewhere");
         fs::create_directory_symlink(t.root / "elsewhere", t.install + "/.link");
         const InstallJournal journal{
             InstallJournal::Phase::staging, 4, 5, t.install + "/.link/../outside.txt", {}};
         writeFile(t.installer.journalPath(), journal.text());
       },
       4, false},
      // The package's name is all a staging journal says of it: a folder of the installation or
      // the running launcher's lock file at that name is not the package.
      {"staging, a package named as the installed application",
       [](InstallerTest& t) {
         const InstallJournal journal{
             InstallJournal::Phase::staging, 4, 5, t.install + "/" + kName + ".app", {}};
         writeFile(t.installer.journalPath(), journal.text());
       },
       4, false},
      {"staging, a package named as the lock file",
       [](InstallerTest& t) {
         writeFile(t.install + "/.lock", "");
         const InstallJournal journal{
             InstallJournal::Phase::staging, 4, 5, t.install + "/.lock", {}};
         writeFile(t.installer.journalPath(), journal.text());
       },
       4, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    fs::remove_all(install);
    SetUp();
    c.cutShort(*this);
    const bool locked = fs::exists(install + "/.lock");

    EXPECT_EQ(restart(), c.recorded);
    EXPECT_EQ(fs::exists(install + "/.lock"), locked);
    EXPECT_EQ(installed(), c.isNew ? newTree : oldTree);
    EXPECT_EQ(readFile(outside), "beside the install folder");
    for (const char* own : {"/.staging", "/.install-journal", "/package_mac.zip"})
      EXPECT_FALSE(fs::exists(install + own)) << own;
  }
}

// No descriptor left at start: the journal cannot be read, and says nothing of the switch. It
// stays with the staged tree, and the next start finishes the install.
TEST_F(InstallerTest, AJournalThatCannotBeReadNowStaysForTheNextStart) {
  ASSERT_TRUE(installer.journalSwitch());
  switchOne(0);
  const auto halfway = tree(install);

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const platform::UniqueFd lowest(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(lowest);
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(lowest.get());
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const auto recorded = restart();
  ::setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_EQ(recorded, std::nullopt);
  EXPECT_EQ(tree(install), halfway) << "the journal and the staged tree stay";
  EXPECT_EQ(restart(), 5);
  EXPECT_EQ(tree(install), newTree);
}

// The user's own links beside the application, to a folder elsewhere and through that one, were
// never the package's to judge: they do not stop an update.
TEST_F(InstallerTest, TheUsersOwnLinksLeadingElsewhereDoNotStopTheSwitch) {
  fs::create_directories(root / "shared");
  fs::create_directory_symlink(root / "shared", install + "/shared");
  fs::create_directories(install + "/extras");
  fs::create_symlink("../shared/latest", install + "/extras/latest");
  const auto checked = installer.check();
  EXPECT_TRUE(checked) << checked.error;
}

// A switch the next start cannot finish (an installed file made immutable) is undone: a mix of
// versions is never recorded as the new one.
TEST_F(InstallerTest, SwitchTheNextStartCannotFinishIsUndone) {
  ASSERT_TRUE(installer.journalSwitch());
  for (std::size_t index = 0; index < installer.journal().entries.size(); ++index)
    if (installer.journal().entries[index].name != "README.txt") switchOne(index);
  const std::string readMe = install + "/README.txt";
  if (std::system(("chattr +i '" + readMe + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "a file cannot be made immutable here";
  const auto recorded = restart();
  EXPECT_EQ(std::system(("chattr -i '" + readMe + "'").c_str()), 0);
  EXPECT_EQ(recorded, 4);
  EXPECT_EQ(installed(), oldTree);
}

// What took the name of an entry the package adds after a cut-short switch (the user's own file)
// stays: the switch is undone rather than finished over it.
TEST_F(InstallerTest, NextStartLeavesWhatTookTheNameOfANewEntry) {
  ASSERT_TRUE(installer.journalSwitch());
  writeFile(install + "/plugins", "mine");
  EXPECT_EQ(restart(), 4);
  auto expected = oldTree;
  expected.push_back("plugins=mine");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(installed(), expected);
}

TEST_F(InstallerTest, UndoThatCannotPutEverythingBackRecordsNoVersion) {
  ASSERT_TRUE(installer.journalSwitch());
  const auto& entries = installer.journal().entries;
  const auto replacing = std::find_if(entries.begin(), entries.end(),
                                      [](const auto& entry) { return entry.replaces; });
  ASSERT_NE(replacing, entries.end());
  const auto index = static_cast<std::size_t>(replacing - entries.begin());
  const auto& other = entries.at(index == 0 ? 1 : 0);
  // One entry switched whose previous copy is gone, and another staged entry gone: the switch
  // cannot be finished and the installation cannot be put back whole.
  switchOne(index);
  fs::remove_all(installer.stagingFolder() + "/" + replacing->name);
  fs::remove_all(installer.stagingFolder() + "/" + other.name);

  EXPECT_EQ(restart(), 0) << "a mix of versions is recorded as no version";
}

TEST_F(InstallerTest, JournalIsWrittenAsAFileOfItsOwnWhateverStandsAtItsScratchName) {
  // A link planted at the journal's scratch name: the journal is written beside it, never
  // through it into the file it names.
  const std::string outside = root / "outside.txt";
  writeFile(outside, "not the launcher's");
  fs::create_symlink(outside, installer.journalPath() + ".tmp");
  ASSERT_TRUE(installer.journalSwitch());
  EXPECT_EQ(readFile(outside), "not the launcher's");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(installer.journalPath())));
  EXPECT_EQ(InstallJournal::parse(readFile(installer.journalPath())), installer.journal());
  EXPECT_FALSE(fs::exists(fs::symlink_status(installer.journalPath() + ".tmp")));
}

// Recovery reads a journal up to 16 MiB: none larger is written, so that no install goes ahead
// that a crash would leave without its way back.
TEST_F(InstallerTest, NoJournalIsWrittenThatRecoveryCouldNotRead) {
  constexpr std::size_t kLimit = std::size_t{16} << 20;
  for (const std::size_t length : {kLimit, kLimit - 4096}) {
    SCOPED_TRACE(length);
    Installer next(install, kName);
    const bool fits = length < kLimit;
    EXPECT_EQ(static_cast<bool>(next.begin(4, 5, install + "/" + std::string(length, 'p'))), fits);
    if (fits) {
      EXPECT_TRUE(Installer(install, kName).recover().has_value()) << "the journal was not read";
    }
  }
}

TEST_F(InstallerTest, DownloadLeftoversGoAtStartAndThePackagesOwnEntriesAreLeftOut) {
  installer.removeJournal();
  writeFile(install + "/.package_mac.zip.part-Ab12Cd", "half");
  writeFile(install + "/.install-journal.tmp", "half");
  writeFile(install + "/.install-manifest.tmp", "half");
  restart();
  EXPECT_EQ(installed(), oldTree);
  EXPECT_EQ(tree(install), oldTree);

  const std::string extraction = root / "Content";
  writeApplication(extraction, "five");
  for (const char* own :
       {"version.txt", ".staging", ".install-journal", ".lock", ".x.part-1", ".install-manifest"})
    writeFile(extraction + "/" + own, "999999");
  ASSERT_TRUE(installer.stage(extraction));
  EXPECT_EQ(tree(extraction),
            (std::vector<std::string>{kName + ".app/", kName + ".app/AppRun=#!/bin/sh\necho five\n",
                                      kName + ".app/lib/", kName + ".app/lib/data.txt=five"}));
  // The live application is seeded into the staged tree, so that its other files stay.
  EXPECT_EQ(readFile(installer.stagingFolder() + "/" + kName + ".app/settings.ini"), "mine");
}

// ---- The hard-link clone that seeds the staged tree

// Runs `body` in a child process held to the permission bits of what it owns, as a user is:
// as root, without the capabilities that override them. 0 when `body` returned true, 1 when it
// returned false, 2 when the permissions could not be made to count.
int exitStatusAsOwner(const std::function<bool()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0) {
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[2]{};
      if (::syscall(SYS_capget, &header, data) != 0) ::_exit(2);
      for (const unsigned capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
        data[capability / 32].effective &= ~(1U << (capability % 32));
      if (::syscall(SYS_capset, &header, data) != 0) ::_exit(2);
    }
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(CloneTree, LinksFilesKeepsLinksAndFolderAttributesAndCopiesAcrossFileSystems) {
  TempDir root;
  const std::string from = root / "from", to = root / "to";
  writeFile(from + "/bin/tool", "#!/bin/sh\n");
  fs::permissions(from + "/bin/tool", fs::perms(0750));
  writeFile(from + "/share/data/table", "rows");
  writeFile(from + "/share/readme", "read me");
  fs::create_symlink("../share/data", from + "/bin/data");
  fs::create_symlink("missing", from + "/dangling");
  fs::permissions(from + "/share", fs::perms(0550));
  const auto folderTime = fs::last_write_time(from + "/share") - std::chrono::hours(1000);
  fs::last_write_time(from + "/share", folderTime);
  // As root, a file system of its own below the tree: hard links cannot cross into it.
  const std::string mounted = from + "/mounted";
  fs::create_directories(mounted);
  const bool mountedOwn =
      ::geteuid() == 0 && ::mount("tmpfs", mounted.c_str(), "tmpfs", 0, "size=1m") == 0;
  struct Unmount {
    std::string path;
    bool active;
    ~Unmount() {
      if (active) ::umount(path.c_str());
    }
  } unmount{mounted, mountedOwn};
  if (mountedOwn) {
    writeFile(mounted + "/copied", "copy me");
    fs::permissions(mounted + "/copied", fs::perms(0604));
    fs::last_write_time(mounted + "/copied", folderTime);
  }

  ASSERT_TRUE(platform::cloneTree(from, to));

  EXPECT_EQ(tree(to), tree(from));
  EXPECT_EQ(platform::inodeOf(to + "/bin/tool"), platform::inodeOf(from + "/bin/tool"));
  EXPECT_EQ(platform::inodeOf(to + "/share/data/table"),
            platform::inodeOf(from + "/share/data/table"));
  EXPECT_TRUE(fs::is_symlink(to + "/bin/data"));
  EXPECT_TRUE(fs::is_symlink(to + "/dangling"));
  EXPECT_FALSE(platform::isRealDirectory(to + "/bin/data"));
  EXPECT_EQ(fs::status(to + "/share").permissions(), fs::perms(0550));
  EXPECT_EQ(fs::last_write_time(to + "/share"), folderTime);

  if (mountedOwn) {
    EXPECT_NE(platform::inodeOf(to + "/mounted/copied"), platform::inodeOf(mounted + "/copied"));
    EXPECT_EQ(readFile(to + "/mounted/copied"), "copy me");
    EXPECT_EQ(fs::status(to + "/mounted/copied").permissions(), fs::perms(0604));
    EXPECT_EQ(fs::last_write_time(to + "/mounted/copied"), folderTime);
  }
  // The read-only folders, the top one included, do not keep the clone from going: a staged tree
  // (or a superseded bundle) that stayed would stop every later install.
  fs::permissions(to, fs::perms(0555));
  EXPECT_EQ(exitStatusAsOwner([&] {
              if (::unlink((to + "/share/readme").c_str()) == 0 || errno != EACCES) {
                ::_exit(2);  // permissions do not count: the removal would prove nothing
              }
              return static_cast<bool>(platform::removeTree(to));
            }),
            0);
  EXPECT_FALSE(fs::exists(to));
  if (!mountedOwn) GTEST_SKIP() << "not root: the copy where hard links are refused is untested";

  // A removal never goes into another file system, nor into a folder of the same disk bound
  // below the tree: the files there are someone else's.
  writeFile(root / "elsewhere/precious", "kept");
  const std::string bound = from + "/share/bound";
  fs::create_directories(bound);
  ASSERT_EQ(::mount((root / "elsewhere").c_str(), bound.c_str(), nullptr, MS_BIND, nullptr), 0);
  const Unmount unbind{bound, true};
  for (const std::string& top : {from, mounted, bound}) {
    const auto removed = platform::removeTree(top);
    EXPECT_FALSE(removed) << top;
    EXPECT_NE(removed.error.find("busy"), std::string::npos) << removed.error;
  }
  EXPECT_EQ(readFile(mounted + "/copied"), "copy me");
  EXPECT_EQ(readFile(root / "elsewhere/precious"), "kept");
}

// A clone that finds no inode left for a folder names the folder of the clone, not the original
// that is there.
TEST(CloneTree, AFolderThatCannotBeMadeIsNamedInTheClone) {
  const ScratchFileSystem small(1 << 20, 16);
  if (!small.mounted()) GTEST_SKIP() << small.reason();
  const std::string from = small / "from", to = small / "to";
  fs::create_directories(from + "/kept/inner");
  // Every inode taken, then one given back: for the top of the clone.
  int fillers = 0;
  for (std::error_code full; !full; ++fillers)
    fs::create_directory(small / ("filler" + std::to_string(fillers)), full);
  ASSERT_TRUE(fs::remove(small / ("filler" + std::to_string(fillers - 2))));

  const platform::FileResult cloned = platform::cloneTree(from, to);
  EXPECT_FALSE(cloned);
  EXPECT_EQ(cloned.error, "cannot create folder \"" + to + "/kept\": No space left on device");
}

// A folder of the installed application made read-only (by the user, or by the application):
// the clone that seeds the staged tree keeps it open while the package's files go in, and it is
// read-only again in the new version.
TEST_F(InstallerTest, AFolderMadeReadOnlyIsUpdatedAndStaysReadOnly) {
  const std::string bundle = install + "/" + kName + ".app";
  const std::string lib = bundle + "/lib";
  fs::permissions(lib, fs::perms(0555));
  // One the package replaces with a file: nothing is left to close again.
  const std::string share = bundle + "/share";
  fs::create_directories(share);
  fs::permissions(share, fs::perms(0555));
  // A folder moves to another folder only when its owner may write it (its ".." changes): the
  // switch itself must open it.
  fs::permissions(bundle, fs::perms(0555));
  // A folder the package leaves alone that the user cannot read: its links go unjudged, and the
  // update goes on.
  fs::create_directories(install + "/private/inner");
  fs::permissions(install + "/private", fs::perms(0));
  const std::string extraction = root / "Content";
  writeApplication(extraction, "five");
  writeFile(extraction + "/" + kName + ".app/share", "a file now");
  const int status = exitStatusAsOwner([&] {
    if (::unlink((lib + "/data.txt").c_str()) == 0 || errno != EACCES) ::_exit(2);
    // As the merge does: the staged file goes, the package's takes its place.
    const std::string staged = installer.stagingFolder() + "/" + kName + ".app/lib/data.txt";
    const std::string stagedShare = installer.stagingFolder() + "/" + kName + ".app/share";
    const bool switched =
        installer.stage(extraction) && platform::removeItem(staged) &&
        platform::moveItem(extraction + "/" + kName + ".app/lib/data.txt", staged) &&
        platform::removeItem(stagedShare) &&
        platform::moveItem(extraction + "/" + kName + ".app/share", stagedShare) &&
        installer.check() && installer.journalSwitch() && installer.switchEntries().switched;
    if (switched) installer.finish();
    return switched;
  });
  ASSERT_NE(status, 2) << "permissions do not count here";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(readFile(lib + "/data.txt"), "five");
  EXPECT_EQ(readFile(share), "a file now");
  EXPECT_EQ(fs::status(lib).permissions(), fs::perms(0555));
  EXPECT_EQ(fs::status(bundle).permissions(), fs::perms(0555));
  EXPECT_FALSE(fs::exists(installer.stagingFolder())) << "the old version, read-only too, went";
  fs::permissions(install + "/private", fs::perms(0700));
}

// A package may bring a tree as deep as paths allow. Listed, cloned or removed with a descriptor
// per level, it runs out of them (1,024 is the usual limit): the merge would leave part of it
// out, the next update could not be staged, and a staged tree that cannot go stops every later
// install. Here the limit is lowered below the tree's depth.
TEST(CloneTree, DeepTreeIsListedClonedAndRemovedWithFewDescriptors) {
  TempDir root;
  const std::string from = root / "from", to = root / "to", other = root / "other";
  constexpr std::size_t kDepth = 400;
  for (const std::string& top : {from, other}) {
    fs::create_directories(top);
    platform::UniqueFd folder(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (std::size_t level = 0; level < kDepth && folder; ++level) {
      ASSERT_EQ(::mkdirat(folder.get(), "d", 0755), 0);
      ASSERT_TRUE(
          platform::UniqueFd(::openat(folder.get(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644)));
      folder = platform::UniqueFd(::openat(folder.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    ASSERT_TRUE(folder);
  }
  const auto sorted = [](std::optional<std::vector<std::string>> names) {
    if (names) std::sort(names->begin(), names->end());
    return names;
  };

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 128);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const auto listed = sorted(platform::enumerateFolder(from));
  const platform::FileResult cloned = platform::cloneTree(from, to);
  const auto listedClone = sorted(platform::enumerateFolder(to));
  const platform::FileResult cloneRemoved = platform::removeTree(to);
  const platform::FileResult treeRemoved = platform::removeTree(from);
  const platform::FileResult itemRemoved = platform::removeItem(other);
  ::setrlimit(RLIMIT_NOFILE, &saved);

  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->size(), 2 * kDepth);
  EXPECT_TRUE(cloned) << cloned.error;
  EXPECT_EQ(listedClone, listed);
  for (const platform::FileResult* removed : {&cloneRemoved, &treeRemoved, &itemRemoved})
    EXPECT_TRUE(*removed) << removed->error;
  for (const std::string& top : {to, from, other}) EXPECT_FALSE(fs::exists(top)) << top;
}

// ---- One launcher at a time

TEST(InstanceLockTest, SecondHolderIsRefusedAndStartedProgramsDoNotInheritIt) {
  TempDir root;
  const std::string path = root / ".lock";
  const auto first = platform::InstanceLock::acquire(path);
  ASSERT_TRUE(first.held()) << first.error();
  EXPECT_EQ(platform::InstanceLock::acquire(path).state(),
            platform::InstanceLock::State::heldElsewhere);
  // Only the user may open the lock file, whatever the umask: flock needs no more than reading,
  // and another user who took it would keep every launcher of this account out. A lock file an
  // earlier launcher left open to others is closed to them.
  for (const mode_t mask : {mode_t{022}, mode_t{0}}) {
    const std::string made = root / ("made-" + std::to_string(mask));
    fs::create_directories(made);
    const mode_t saved = ::umask(mask);
    const auto lock = platform::InstanceLock::acquire(made + "/.lock");
    ::umask(saved);
    EXPECT_TRUE(lock.held()) << lock.error();
    EXPECT_EQ(fs::status(made + "/.lock").permissions(), fs::perms(0600))
        << "umask " << std::oct << mask;
  }
  const std::string left = root / "left/.lock";
  writeFile(left, "");
  fs::permissions(left, fs::perms(0644));
  EXPECT_TRUE(platform::InstanceLock::acquire(left).held());
  EXPECT_EQ(fs::status(left).permissions(), fs::perms(0600));

  // A program started now holds no descriptor of the lock file. The child's readers are gone
  // before the fork below, which ThreadSanitizer would otherwise report as leaked threads.
  {
    ChildProcess child(
        {"/bin/sh", "-c", "for fd in /proc/$$/fd/*; do readlink \"$fd\"; done; exit 0"}, {});
    ASSERT_EQ(child.waitForExit(), 0);
    EXPECT_EQ(child.output().find(path), std::string::npos) << child.output();
  }

  // A lock file the user may only read still keeps a second launcher out.
  fs::create_directories(root / "read-only");
  writeFile(root / "read-only/.lock", "");
  fs::permissions(root / "read-only/.lock", fs::perms(0444));
  EXPECT_EQ(exitStatusAsOwner([&] {
              if (::open((root / "read-only/.lock").c_str(), O_RDWR) >= 0 || errno != EACCES)
                ::_exit(2);  // permissions do not count: the case would prove nothing
              const auto held = platform::InstanceLock::acquire(root / "read-only/.lock");
              return held.held() &&
                     platform::InstanceLock::acquire(root / "read-only/.lock").state() ==
                         platform::InstanceLock::State::heldElsewhere;
            }),
            0);
  // One the user may not even read (another account's, private) gives way to a file of theirs:
  // without it, each launcher would go on without the lock.
  fs::create_directories(root / "closed");
  writeFile(root / "closed/.lock", "");
  fs::permissions(root / "closed/.lock", fs::perms(0));
  EXPECT_EQ(exitStatusAsOwner([&] {
              if (::open((root / "closed/.lock").c_str(), O_RDONLY) >= 0 || errno != EACCES)
                ::_exit(2);
              const auto held = platform::InstanceLock::acquire(root / "closed/.lock");
              return held.held() &&
                     platform::InstanceLock::acquire(root / "closed/.lock").state() ==
                         platform::InstanceLock::State::heldElsewhere;
            }),
            0);

  // Whatever else stands at the lock's name gives way to a lock file, and a link's target stays;
  // a folder with something in it is not removed.
  writeFile(root / "target", "not the lock");
  for (const std::string kind : {"link", "dangling link", "empty folder", "pipe"}) {
    SCOPED_TRACE(kind);
    const std::string folder = root / kind;
    fs::create_directories(folder);
    const std::string lockPath = folder + "/.lock";
    if (kind == "link") fs::create_symlink(root / "target", lockPath);
    if (kind == "dangling link") fs::create_symlink(root / "missing", lockPath);
    if (kind == "empty folder") fs::create_directory(lockPath);
    if (kind == "pipe") {
      ASSERT_EQ(::mkfifo(lockPath.c_str(), 0600), 0);
    }
    const auto held = platform::InstanceLock::acquire(lockPath);
    EXPECT_TRUE(held.held()) << held.error();
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(lockPath)));
    EXPECT_EQ(platform::InstanceLock::acquire(lockPath).state(),
              platform::InstanceLock::State::heldElsewhere);
  }

  // Launchers that start together and all find a link at the lock's name: one of them holds it.
  const std::string together = root / "link/.together";
  for (int round = 0; round < 500; ++round) {
    fs::remove(together);
    fs::create_symlink(root / "missing", together);
    std::vector<platform::InstanceLock> locks(4);
    std::latch start(static_cast<std::ptrdiff_t>(locks.size()));
    std::vector<std::thread> launchers;
    for (auto& lock : locks)
      launchers.emplace_back([&] {
        start.arrive_and_wait();
        lock = platform::InstanceLock::acquire(together);
      });
    for (auto& launcher : launchers) launcher.join();
    ASSERT_EQ(
        std::count_if(locks.begin(), locks.end(), [](const auto& lock) { return lock.held(); }), 1)
        << "round " << round;
  }
  EXPECT_EQ(readFile(root / "target"), "not the lock");
  EXPECT_FALSE(fs::exists(root / "missing"));
  writeFile(root / "full/.lock/kept", "");
  EXPECT_EQ(platform::InstanceLock::acquire(root / "full/.lock").state(),
            platform::InstanceLock::State::unavailable);
  EXPECT_TRUE(fs::exists(root / "full/.lock/kept"));

  const auto missingFolder = platform::InstanceLock::acquire(root / "no/such/.lock");
  EXPECT_EQ(missingFolder.state(), platform::InstanceLock::State::unavailable);
  EXPECT_FALSE(missingFolder.error().empty());
}

}  // namespace
}  // namespace launcher::testing
