// Deleting superseded bundles from the install folder, and launching the installed application,
// through the recording workspace and through the real one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Launcher/Config.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/Application.h"
#include "Launcher/platform/InstanceLock.h"
#include "tests/support/CaptureFd.h"
#include "tests/support/Doubles.h"
#include "tests/support/TestFolders.h"

namespace launcher::testing {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string& name() {
  return APPLICATION_NAME();
}

std::string swapCase(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    c = static_cast<char>(std::islower(u) ? std::toupper(u) : std::tolower(u));
  }
  return text;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A bundle is a folder with something in it; other entries are plain files.
void makeEntry(const std::string& installFolder, const std::string& entry) {
  if (entry.ends_with(".app"))
    writeFile(installFolder + "/" + entry + "/Contents/payload", "bits");
  else
    writeFile(installFolder + "/" + entry, "data");
}

// Makes a folder's entries undeletable for the life of the object with the immutable attribute,
// which only root may set (elsewhere the test is skipped). Taking away the write permission does
// not do: the removal opens a folder of this user's made read-only.
class Undeletable {
 public:
  explicit Undeletable(const std::string& folder) : folder_(folder) {
    int flags = 0;
    if (!withFlags([&](int fd) { return ::ioctl(fd, FS_IOC_GETFLAGS, &flags); })) return;
    flags |= FS_IMMUTABLE_FL;
    locked_ = withFlags([&](int fd) { return ::ioctl(fd, FS_IOC_SETFLAGS, &flags); });
  }
  ~Undeletable() {
    if (!locked_) return;
    int flags = 0;
    if (withFlags([&](int fd) { return ::ioctl(fd, FS_IOC_GETFLAGS, &flags); })) {
      flags &= ~FS_IMMUTABLE_FL;
      withFlags([&](int fd) { return ::ioctl(fd, FS_IOC_SETFLAGS, &flags); });
    }
  }
  bool locked() const { return locked_; }

 private:
  bool withFlags(const std::function<int(int)>& call) const {
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = call(fd) == 0;
    ::close(fd);
    return ok;
  }
  std::string folder_;
  bool locked_ = false;
};

class InstallFolderTest : public ::testing::Test {
 protected:
  std::shared_ptr<ViewController> makeController() {
    // terminate() returns here, so that a test can look at what happened after it.
    rig.application = std::make_shared<RecordingApplication>(false);
    rig.environment.application = rig.application;
    auto controller = rig.makeController();
    EXPECT_TRUE(controller);
    return controller;
  }
  std::string install() const { return folders.installFolder(); }
  std::string deleteOtherApps() {
    auto controller = makeController();
    CaptureFd out(1);
    controller->DeleteOtherApps();
    return out.finish();
  }

  UserFolders folders;
  TestRig rig;
};

// ---- DeleteOtherApps

TEST_F(InstallFolderTest, DeletesExactlyTheVersionedBundlesDirectlyInTheInstallFolder) {
  const std::vector<std::string> deleted = {
      name() + " v.2.app",         name() + " v.10 beta.app",
      name() + " v.\xC3\xA9.app",   // é precomposed
      name() + " v.e\xCC\x81.app",  // e + combining acute
      name() + " v.\xFF.app",       // not UTF-8: compared as it is
  };
  const std::vector<std::string> kept = {
      name() + ".app",
      name() + " v.2.zip",
      "Tools/" + name() + " v.2.app",
      name() + "x v.2.app",
      "Old " + name() + " v.2.app",
      name() + " V.2.app",
      name() + " v.2.APP",
      "version.txt",
  };
  for (const auto& entry : deleted) makeEntry(install(), entry);
  for (const auto& entry : kept) makeEntry(install(), entry);

  std::vector<std::string> printed = linesOf(deleteOtherApps());

  std::vector<std::string> expected;
  for (const auto& entry : deleted) expected.push_back("Deleted:  " + entry);
  std::sort(printed.begin(), printed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(printed, expected);
  for (const auto& entry : deleted) EXPECT_FALSE(fs::exists(install() + "/" + entry)) << entry;
  for (const auto& entry : kept) EXPECT_TRUE(fs::exists(install() + "/" + entry)) << entry;
  EXPECT_EQ(readFile(install() + "/" + name() + ".app/Contents/payload"), "bits");
}

TEST_F(InstallFolderTest, BundleThatCannotBeDeletedIsSkippedSilently) {
  const std::string stuck = name() + " v.3.app", gone = name() + " v.4.app";
  makeEntry(install(), stuck);
  makeEntry(install(), gone);
  Undeletable lock(install() + "/" + stuck);
  if (!lock.locked()) GTEST_SKIP() << "cannot make a folder undeletable here";

  const std::string out = deleteOtherApps();

  EXPECT_EQ(out, "Deleted:  " + gone + "\n");
  EXPECT_TRUE(fs::exists(install() + "/" + stuck + "/Contents"));
  EXPECT_FALSE(fs::exists(install() + "/" + gone));
}

TEST_F(InstallFolderTest, NothingToDeleteWritesNothing) {
  EXPECT_EQ(deleteOtherApps(), "") << "install folder missing";
  makeEntry(install(), name() + ".app");
  EXPECT_EQ(deleteOtherApps(), "") << "no versioned bundle";
  EXPECT_TRUE(fs::exists(install() + "/" + name() + ".app"));
}

// ---- LaunchApplication with the recording workspace

struct LaunchCase {
  const char* title;
  std::vector<std::string> folders;  // with something inside
  std::vector<std::string> files;    // both empty: no install folder at all
  bool workspaceAnswer;
  std::size_t requests;
  bool quits;
};

TEST_F(InstallFolderTest, OnePressRequestsOneLaunchThenQuitsOrWarns) {
  const std::vector<LaunchCase> cases = {
      {"bundle and version file", {name() + ".app"}, {"version.txt"}, true, 1, true},
      {"two bundles", {name() + ".app", name() + " Tools.app"}, {}, true, 1, true},
      {"two bundles, refused", {name() + ".app", name() + " Tools.app"}, {}, false, 1, false},
      {"a file named like the bundle", {}, {name() + ".app"}, true, 1, true},
      {"versioned bundle", {name() + " v.3.app"}, {}, true, 1, true},
      {"version file only", {}, {"version.txt"}, true, 0, false},
      {"empty install folder", {"."}, {}, true, 0, false},
      {"bundle inside a sub-folder", {"Tools/" + name() + ".app"}, {}, true, 0, false},
      {"other letter case", {swapCase(name()) + ".app"}, {}, true, 0, false},
      {"no install folder", {}, {}, true, 0, false},
      {"every request refused", {name() + ".app"}, {}, false, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    UserFolders caseFolders;
    TestRig caseRig;
    caseRig.application = std::make_shared<RecordingApplication>(false);
    caseRig.environment.application = caseRig.application;
    caseRig.workspace = std::make_shared<RecordingWorkspace>(c.workspaceAnswer);
    caseRig.environment.workspace = caseRig.workspace;
    for (const auto& folder : c.folders)
      fs::create_directories(caseFolders.installFolder() + "/" + folder);
    for (const auto& file : c.files) writeFile(caseFolders.installFolder() + "/" + file, "");
    auto controller = caseRig.makeController();
    ASSERT_TRUE(controller);

    controller->LaunchApplication();

    EXPECT_EQ(caseRig.workspace->requests(), std::vector<std::string>(c.requests, name()));
    EXPECT_EQ(caseRig.application->terminateCount(), c.quits ? 1 : 0);
    const auto alerts = caseRig.alerts->shown();
    if (c.quits) {
      EXPECT_TRUE(alerts.empty());
    } else {
      ASSERT_EQ(alerts.size(), 1u);
      EXPECT_EQ(alerts[0].messageText, "Something wrong. Try later.");
      EXPECT_EQ(alerts[0].buttons, std::vector<std::string>{"OK"});
      EXPECT_EQ(alerts[0].style, platform::kCriticalAlertStyle);
    }
  }
}

// ---- LaunchApplication with the real workspace

// What a started program wrote about itself.
struct StartReport {
  pid_t pid = 0;
  pid_t session = 0;
  std::string folder;
  std::string input;
  // SigIgn of /proc/PID/status, and how many of its descriptors name a ".lock".
  unsigned long long ignored = 0;
  int locks = -1;
  // PWD as its environment names it, before a shell sets it anew.
  std::string pwd;
};

class RealLaunchTest : public InstallFolderTest {
 protected:
  std::string marker() const { return folders.root() + "/started"; }

  // A program that reports its pid, session, working folder, standard input, ignored signals and
  // the lock files it holds open, then ends.
  std::string script() const {
    return "#!/bin/sh\n"
           "read -r pid comm state ppid pgrp sid rest < /proc/$$/stat\n"
           "{ echo \"$$\"; echo \"$sid\"; pwd -P; readlink /proc/$$/fd/0;\n"
           "  sed -n 's/^SigIgn:\\t//p' /proc/$$/status;\n"
           "  ls -l /proc/$$/fd | grep -c '/\\.lock$';\n"
           "  tr '\\0' '\\n' < /proc/$$/environ | sed -n 's/^PWD=//p'; } > \"" +
           marker() + ".tmp\"\n" + "mv \"" + marker() + ".tmp\" \"" + marker() + "\"\n";
  }

  void writeProgram(const std::string& path, mode_t mode) {
    writeFile(path, script());
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  }

  std::shared_ptr<ViewController> makeRealController() {
    rig.environment.workspace = std::make_shared<platform::LinuxWorkspace>(install());
    return makeController();
  }

  std::optional<StartReport> waitForReport() {
    if (!waitFor([&] { return fs::exists(marker()); })) return std::nullopt;
    std::istringstream in(readFile(marker()));
    StartReport report;
    in >> report.pid >> report.session;
    in.ignore();
    std::getline(in, report.folder);
    std::getline(in, report.input);
    in >> std::hex >> report.ignored >> std::dec >> report.locks;
    in.ignore();
    std::getline(in, report.pwd);
    return report;
  }
};

TEST_F(RealLaunchTest, BundleProgramStartsDetachedInItsFolderAndTheLauncherQuits) {
  const std::string bundle = install() + "/" + name() + ".app";
  writeProgram(bundle + "/AppRun", 0755);
  auto controller = makeRealController();
  // What a launcher holds while it launches: its lock, and SIGPIPE ignored.
  const auto lock = platform::InstanceLock::acquire(install() + "/.lock");
  ASSERT_TRUE(lock.held()) << lock.error();
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction savedPipe {};
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &savedPipe), 0);

  controller->LaunchApplication();
  EXPECT_EQ(::sigaction(SIGPIPE, &savedPipe, nullptr), 0);

  EXPECT_EQ(rig.application->terminateCount(), 1);
  EXPECT_TRUE(rig.alerts->shown().empty());
  const auto report = waitForReport();
  ASSERT_TRUE(report) << "the program did not start";
  EXPECT_EQ(report->session, report->pid) << "its own session";
  EXPECT_NE(report->session, ::getsid(0));
  EXPECT_EQ(report->folder, fs::canonical(bundle).string());
  std::error_code error;
  EXPECT_TRUE(fs::equivalent(report->pwd, bundle, error)) << "PWD=" << report->pwd;
  EXPECT_EQ(report->input, "/dev/null");
  // Neither reaches the application: a pipe in its scripts ends as in a shell, and a launcher
  // started while it runs gets the lock. Of the signals above 31, the C library leaves its own
  // two ignored in every program it spawns.
  EXPECT_EQ(report->ignored & 0x7fffffffu, 0u) << std::hex << report->ignored;
  EXPECT_EQ(report->locks, 0);
  // Once ended it is reaped: no zombie stays behind the running launcher.
  const std::string process = "/proc/" + std::to_string(report->pid);
  EXPECT_TRUE(waitFor([&] { return !fs::exists(process); })) << readFile(process + "/stat");
}

TEST_F(RealLaunchTest, ExecutableFileNamedLikeTheBundleStarts) {
  writeProgram(install() + "/" + name() + ".app", 0755);
  auto controller = makeRealController();

  controller->LaunchApplication();

  EXPECT_EQ(rig.application->terminateCount(), 1);
  const auto report = waitForReport();
  ASSERT_TRUE(report) << "the program did not start";
  EXPECT_EQ(report->folder, fs::canonical(install()).string());
  std::error_code error;
  EXPECT_TRUE(fs::equivalent(report->pwd, install(), error)) << "PWD=" << report->pwd;
}

// A shell clears the signal mask it starts with; a program of another kind keeps it. The terminal
// launcher blocks the signals that close its window: the application must get none of them
// blocked, or Ctrl-C, a hang-up and a plain kill would not end it.
TEST_F(RealLaunchTest, ProgramOfAnotherKindStartsWithNoSignalBlocked) {
  const std::string awk = "/usr/bin/awk";
  if (::access(awk.c_str(), X_OK) != 0) GTEST_SKIP() << awk << " is not installed";
  const std::string program = install() + "/" + name() + ".app";
  writeFile(program, "#!" + awk + " -f\nBEGIN {\n" +
                         "  while ((getline line < \"/proc/self/status\") > 0)\n" +
                         "    if (sub(/^SigBlk:\\t/, \"\", line)) print line > \"" + marker() +
                         ".tmp\"\n" + "  close(\"" + marker() + ".tmp\")\n" + "  system(\"mv '" +
                         marker() + ".tmp' '" + marker() + "'\")\n}\n");
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  auto controller = makeRealController();
  sigset_t closing, saved;
  ::sigemptyset(&closing);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaddset(&closing, signal);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &closing, &saved), 0);

  controller->LaunchApplication();
  EXPECT_EQ(::pthread_sigmask(SIG_SETMASK, &saved, nullptr), 0);

  EXPECT_EQ(rig.application->terminateCount(), 1);
  ASSERT_TRUE(waitFor([&] { return fs::exists(marker()); })) << "the program did not start";
  EXPECT_EQ(readFile(marker()), "0000000000000000\n");
}

TEST_F(RealLaunchTest, BundleThatCannotStartKeepsTheLauncherOpen) {
  const std::string bundle = install() + "/" + name() + ".app";
  writeProgram(bundle + "/AppRun", 0644);
  auto controller = makeRealController();

  controller->LaunchApplication();

  EXPECT_EQ(rig.application->terminateCount(), 0);
  ASSERT_EQ(rig.alerts->shown().size(), 1u);
  EXPECT_EQ(rig.alerts->shown()[0].messageText, "Something wrong. Try later.");
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(fs::exists(marker()));
}

// The install folder named through a link and "..", as XDG_DATA_HOME may name it: the program is
// looked for where the kernel resolves the folder, where the install put it.
TEST_F(RealLaunchTest, AFolderNamedThroughALinkIsTheOneTheKernelReaches) {
  const std::string real = folders.root() + "/real";
  fs::create_directories(real + "/sub");
  fs::create_directory_symlink(real + "/sub", folders.root() + "/link");
  writeProgram(real + "/" + name() + ".app/AppRun", 0755);
  platform::LinuxWorkspace workspace(folders.root() + "/link/..");
  EXPECT_TRUE(workspace.launchApplication(name()));
  EXPECT_TRUE(waitForReport()) << "the program did not start";
}

TEST_F(RealLaunchTest, NamesThatResolveToNoProgramAreRefused) {
  fs::create_directories(install() + "/Empty.app");
  writeFile(install() + "/Plain.app", "not executable");
  // Programs that a name would reach only by being more than one plain path segment.
  writeProgram(install() + "/Tools/Inner.app", 0755);
  writeProgram(install() + "/.app", 0755);
  platform::LinuxWorkspace workspace(install());

  for (const char* refused : {"Missing", "Empty", "Plain", "Tools/Inner", ""}) {
    EXPECT_FALSE(workspace.launchApplication(refused)) << refused;
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(fs::exists(marker()));
}

}  // namespace
}  // namespace launcher::testing
