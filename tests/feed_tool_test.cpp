// The publisher tool: packages read back with minizip, the version document, refused input, the
// feed server on loopback, and the built executable.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unzip.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <utility>

#include "Launcher/Config.h"
#include "Launcher/DeltaUpdate.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/UniqueFd.h"
#include "Launcher/platform/Url.h"
#include "Zipwell/Zipwell.h"
#include "tests/support/Capabilities.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScratchFileSystem.h"
#include "tests/support/ServedFeed.h"
#include "tests/support/TestFolders.h"
#include "tests/support/ZipWriter.h"
#include "tools/feed/FeedServer.h"
#include "tools/feed/PackageWriter.h"
#include "tools/feed/Publish.h"

extern char** environ;

namespace launcher::feed {
namespace {
namespace fs = std::filesystem;
using launcher::testing::localTime;
using launcher::testing::readFile;
using launcher::testing::TempDir;
using launcher::testing::writeFile;

const std::string kFeedTool = std::string(LAUNCHER_BUILD_DIR) + "/launcher-feed";

std::string bundleName() {
  return APPLICATION_NAME() + ".app";
}

std::time_t fromDosDateTime(std::uint32_t value) {
  return localTime(static_cast<int>((value >> 25) & 0x7f) + 1980, (value >> 21) & 0x0f,
                   (value >> 16) & 0x1f, (value >> 11) & 0x1f, (value >> 5) & 0x3f,
                   static_cast<int>(value & 0x1f) * 2);
}

void setModificationTime(const fs::path& path, std::time_t time) {
  const timespec times[2] = {{time, 0}, {time, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// One entry of a package as minizip reads it back.
struct Entry {
  std::uint32_t mode = 0;  // upper 16 bits of the external attributes
  std::uint32_t dosDate = 0;
  unsigned madeBy = 0;
  unsigned flags = 0;
  int method = 0;
  std::string content;
};

struct UnzCloser {
  void operator()(void* archive) const { unzClose(archive); }
};

// Every entry in archive order, as (name, entry).
std::vector<std::pair<std::string, Entry>> readPackage(const fs::path& path) {
  std::vector<std::pair<std::string, Entry>> entries;
  std::unique_ptr<void, UnzCloser> archive(unzOpen(path.c_str()));
  EXPECT_TRUE(archive) << path;
  if (!archive) return entries;
  for (int step = unzGoToFirstFile(archive.get()); step == UNZ_OK;
       step = unzGoToNextFile(archive.get())) {
    unz_file_info info{};
    char name[1024] = {};
    EXPECT_EQ(
        unzGetCurrentFileInfo(archive.get(), &info, name, sizeof name, nullptr, 0, nullptr, 0),
        UNZ_OK);
    Entry entry{static_cast<std::uint32_t>(info.external_fa >> 16),
                static_cast<std::uint32_t>(info.dosDate),
                static_cast<unsigned>(info.version >> 8),
                static_cast<unsigned>(info.flag),
                static_cast<int>(info.compression_method),
                {}};
    EXPECT_EQ(unzOpenCurrentFile(archive.get()), UNZ_OK) << name;
    char buffer[4096];
    int count = 0;
    while ((count = unzReadCurrentFile(archive.get(), buffer, sizeof buffer)) > 0)
      entry.content.append(buffer, static_cast<std::size_t>(count));
    EXPECT_EQ(count, 0) << name;
    EXPECT_EQ(unzCloseCurrentFile(archive.get()), UNZ_OK) << name;  // CRC checked here
    entries.emplace_back(name, entry);
  }
  return entries;
}

// An application folder: AppRun (0755, a fixed odd-second time), lib/data.txt (0640),
// an empty folder and a link.
struct AppFixture {
  TempDir dir;
  fs::path app = fs::path(dir.path()) / bundleName();
  fs::path feed = fs::path(dir.path()) / "feed";
  std::time_t appRunTime = localTime(2021, 6, 15, 10, 20, 31);

  AppFixture() {
    fs::create_directories(app / "lib");
    fs::create_directories(app / "share" / "empty");
    writeFile((app / "AppRun").string(), "#!/bin/sh\nexec true\n");
    fs::permissions(app / "AppRun", fs::perms(0755));
    writeFile((app / "lib" / "data.txt").string(), "payload");
    fs::permissions(app / "lib" / "data.txt", fs::perms(0640));
    fs::create_symlink("lib/data.txt", app / "current");
    setModificationTime(app / "AppRun", appRunTime);
  }

  PublishRequest request(const std::string& version = "42") const {
    return {app, version, "http://127.0.0.1:8765/feed/", feed, "package_mac.zip", {}};
  }
};

// --- Publishing: the package and the version document ---

TEST(FeedPublish, PackageReadsBackWithNamesModesTimesAndContent) {
  AppFixture fixture;
  // A publisher who keeps his own files private.
  const mode_t savedMask = ::umask(077);
  const auto outcome = publish(fixture.request(), APPLICATION_NAME());
  ::umask(savedMask);
  ASSERT_TRUE(std::holds_alternative<PublishReport>(outcome)) << std::get<Failure>(outcome).message;
  const auto& report = std::get<PublishReport>(outcome);
  EXPECT_EQ(report.entries, 7u);

  const auto entries = readPackage(fixture.feed / "package_mac.zip");
  std::vector<std::string> names;
  for (const auto& [name, entry] : entries) names.push_back(name);
  const std::string top = bundleName() + "/";
  EXPECT_EQ(names,
            (std::vector<std::string>{top, top + "AppRun", top + "current", top + "lib/",
                                      top + "lib/data.txt", top + "share/", top + "share/empty/"}));

  std::map<std::string, Entry> byName(entries.begin(), entries.end());
  for (const auto& [name, entry] : byName) {
    EXPECT_EQ(entry.madeBy, 3u) << name;              // Unix, so readers take the mode
    EXPECT_NE(entry.flags & (1u << 11), 0u) << name;  // UTF-8 names
    EXPECT_EQ(S_ISDIR(entry.mode), name.ends_with("/")) << name;
    EXPECT_NE(entry.dosDate, 0u) << name;
  }
  const Entry& appRun = byName.at(top + "AppRun");
  EXPECT_TRUE(S_ISREG(appRun.mode));
  EXPECT_EQ(appRun.mode & 07777, 0755u);
  EXPECT_EQ(appRun.method, Z_DEFLATED);
  EXPECT_EQ(appRun.content, "#!/bin/sh\nexec true\n");
  const std::time_t stored = fromDosDateTime(appRun.dosDate);
  EXPECT_LE(stored, fixture.appRunTime);
  EXPECT_GT(stored, fixture.appRunTime - 2);

  EXPECT_EQ(byName.at(top + "lib/data.txt").mode & 07777, 0640u);
  EXPECT_EQ(byName.at(top + "lib/data.txt").content, "payload");
  EXPECT_TRUE(S_ISLNK(byName.at(top + "current").mode));
  EXPECT_EQ(byName.at(top + "current").content, "lib/data.txt");
  EXPECT_TRUE(byName.at(top + "share/empty/").content.empty());

  // Only the two published files remain: no staging files beside them.
  std::vector<std::string> feedFiles;
  for (const auto& item : fs::recursive_directory_iterator(fixture.feed))
    feedFiles.push_back(fs::relative(item.path(), fixture.feed).string());
  std::sort(feedFiles.begin(), feedFiles.end());
  EXPECT_EQ(feedFiles, (std::vector<std::string>{"package_mac.zip", "v", "v/version"}));
  // Readable by a web server that runs as another user.
  for (const char* file : {"package_mac.zip", "v/version"})
    EXPECT_EQ(fs::status(fixture.feed / file).permissions(), fs::perms(0644)) << file;
  for (const char* folder : {"", "v"})
    EXPECT_EQ(fs::status(fixture.feed / folder).permissions(), fs::perms(0755)) << folder;
}

TEST(FeedPublish, LauncherExtractionRebuildsTheBundle) {
  AppFixture fixture;
  ASSERT_TRUE(
      std::holds_alternative<PublishReport>(publish(fixture.request(), APPLICATION_NAME())));
  const fs::path installed = fs::path(fixture.dir.path()) / "extracted";
  ASSERT_TRUE(
      Zipwell::unzipFileAtPath((fixture.feed / "package_mac.zip").string(), installed.string()));

  const fs::path bundle = installed / bundleName();
  EXPECT_EQ(readFile((bundle / "AppRun").string()), "#!/bin/sh\nexec true\n");
  EXPECT_EQ(fs::status(bundle / "AppRun").permissions(), fs::perms(0755));
  const auto drift =
      fs::last_write_time(fixture.app / "AppRun") - fs::last_write_time(bundle / "AppRun");
  EXPECT_GE(drift, std::chrono::seconds(0));  // DOS times keep even seconds
  EXPECT_LT(drift, std::chrono::seconds(2));
  EXPECT_EQ(fs::status(bundle / "lib" / "data.txt").permissions(), fs::perms(0640));
  EXPECT_TRUE(fs::is_directory(bundle / "share" / "empty"));
  EXPECT_TRUE(fs::is_symlink(bundle / "current"));
  EXPECT_EQ(fs::read_symlink(bundle / "current"), "lib/data.txt");
}

TEST(FeedPublish, ApplicationWithLibraryLinksInstallsAndRuns) {
  AppFixture fixture;
  writeFile((fixture.app / "lib" / "libfoo.so.1.2").string(), "#!/bin/sh\necho \"foo 1.2 $1\"\n");
  fs::permissions(fixture.app / "lib" / "libfoo.so.1.2", fs::perms(0755));
  fs::create_symlink("libfoo.so.1.2", fixture.app / "lib" / "libfoo.so.1");
  fs::create_symlink("libfoo.so.1", fixture.app / "lib" / "libfoo.so");
  fs::create_directory_symlink("lib", fixture.app / "lib64");
  writeFile((fixture.app / "AppRun").string(),
            "#!/bin/sh\nexec \"$(dirname \"$0\")/lib64/libfoo.so\" started\n");
  ASSERT_TRUE(
      std::holds_alternative<PublishReport>(publish(fixture.request(), APPLICATION_NAME())));
  const fs::path installed = fs::path(fixture.dir.path()) / "extracted";
  std::optional<platform::ErrorRecord> error;
  ASSERT_TRUE(Zipwell::unzipFileAtPath((fixture.feed / "package_mac.zip").string(),
                                       installed.string(), true, std::nullopt, &error))
      << error->description;

  const fs::path bundle = installed / bundleName();
  EXPECT_EQ(fs::read_symlink(bundle / "lib" / "libfoo.so"), "libfoo.so.1");
  EXPECT_EQ(fs::read_symlink(bundle / "lib" / "libfoo.so.1"), "libfoo.so.1.2");
  EXPECT_EQ(fs::read_symlink(bundle / "lib64"), "lib");
  testing::ChildProcess app({(bundle / "AppRun").string()}, {});
  EXPECT_TRUE(app.waitForOutputLine("foo 1.2 started")) << app.output() << app.errors();
  EXPECT_EQ(app.waitForExit(), 0) << app.errors();
}

TEST(FeedPublish, VersionDocumentHasTheShapeTheLauncherReads) {
  AppFixture fixture;
  ASSERT_TRUE(
      std::holds_alternative<PublishReport>(publish(fixture.request("0042"), APPLICATION_NAME())));
  const auto document = nlohmann::json::parse(readFile((fixture.feed / "v" / "version").string()));
  const nlohmann::json expected = {
      {"data",
       {{"attributes",
         {{"application_version", "42"},
          {"application_url_mac", "http://127.0.0.1:8765/feed/package_mac.zip"}}}}}};
  EXPECT_EQ(document, expected);

  // Publishing again replaces both files.
  writeFile((fixture.app / "lib" / "data.txt").string(), "second");
  ASSERT_TRUE(
      std::holds_alternative<PublishReport>(publish(fixture.request("43"), APPLICATION_NAME())));
  const auto again = nlohmann::json::parse(readFile((fixture.feed / "v" / "version").string()));
  EXPECT_EQ(again["data"]["attributes"]["application_version"], "43");
  bool sawNewContent = false;
  for (const auto& [name, entry] : readPackage(fixture.feed / "package_mac.zip"))
    sawNewContent |= name.ends_with("lib/data.txt") && entry.content == "second";
  EXPECT_TRUE(sawNewContent);
}

TEST(FeedPublish, SignedPublishAddsTheSignatureBesideThePackageAndToTheDocument) {
  AppFixture fixture;
  const auto keys = minisign::generateKeyPair("test");
  ASSERT_TRUE(keys) << keys.error();
  writeFile(fixture.dir / "publisher.key", keys->secretKeyFile);
  ASSERT_TRUE(
      std::holds_alternative<PublishReport>(publish(fixture.request(), APPLICATION_NAME())));
  const std::string unsignedDocument = readFile((fixture.feed / "v" / "version").string());
  const std::string unsignedPackage = readFile((fixture.feed / "package_mac.zip").string());

  PublishRequest request = fixture.request();
  request.secretKey = fixture.dir / "publisher.key";
  request.force = true;  // the same version again, now signed
  // A folder where the signature goes: refused before anything moves, the feed's files as they
  // were (the package would differ: the application gained a file).
  fs::create_directory(fixture.feed / "package_mac.zip.minisig");
  writeFile(fixture.app / "added.txt", "added");
  const auto blocked = publish(request, APPLICATION_NAME());
  ASSERT_TRUE(std::holds_alternative<Failure>(blocked));
  EXPECT_NE(std::get<Failure>(blocked).message.find("is not a file"), std::string::npos)
      << std::get<Failure>(blocked).message;
  EXPECT_TRUE(readFile((fixture.feed / "package_mac.zip").string()) == unsignedPackage);
  EXPECT_EQ(readFile((fixture.feed / "v" / "version").string()), unsignedDocument);
  fs::remove(fixture.feed / "package_mac.zip.minisig");
  fs::remove(fixture.app / "added.txt");

  const auto outcome = publish(request, APPLICATION_NAME());
  ASSERT_TRUE(std::holds_alternative<PublishReport>(outcome)) << std::get<Failure>(outcome).message;
  EXPECT_EQ(std::get<PublishReport>(outcome).signaturePath,
            fixture.feed / "package_mac.zip.minisig");

  // The document carries the .minisig text and the signed manifest's address, and is otherwise
  // what an unsigned publish writes.
  const std::string minisig = readFile((fixture.feed / "package_mac.zip.minisig").string());
  auto document = nlohmann::json::parse(readFile((fixture.feed / "v" / "version").string()));
  auto& attributes = document["data"]["attributes"];
  EXPECT_EQ(attributes["application_signature_mac"], minisig);
  EXPECT_EQ(attributes["application_manifest_mac"],
            attributes["application_url_mac"].get<std::string>() + ".manifest");
  attributes.erase("application_signature_mac");
  attributes.erase("application_manifest_mac");
  EXPECT_EQ(document.dump(2) + "\n", unsignedDocument);

  // It binds the package and the version.
  const auto signature = minisign::parseSignature(minisig);
  ASSERT_TRUE(signature) << signature.error();
  EXPECT_EQ(signature->trustedComment, "version:42\tfile:package_mac.zip");
  const auto key = minisign::parsePublicKey(keys->publicKeyLine);
  ASSERT_TRUE(key) << key.error();
  minisign::PackageVerifier verifier(*key, *signature, 42);
  const std::string package = readFile((fixture.feed / "package_mac.zip").string());
  verifier.update(package.data(), package.size());
  EXPECT_EQ(verifier.finish(fixture.feed / "package_mac.zip"), std::nullopt);

  // The manifest lists every entry with data with the digest of its content, and is signed for
  // the version too.
  const std::string manifest = readFile((fixture.feed / "package_mac.zip.manifest").string());
  const auto digests = delta::digestEntries((fixture.feed / "package_mac.zip").string());
  ASSERT_TRUE(std::holds_alternative<delta::PackageManifest>(digests));
  EXPECT_EQ(delta::parsePackageManifest(manifest), std::get<delta::PackageManifest>(digests));
  EXPECT_FALSE(std::get<delta::PackageManifest>(digests).empty());
  const auto manifestSignature =
      minisign::parseSignature(readFile((fixture.feed / "package_mac.zip.manifest.minisig")));
  ASSERT_TRUE(manifestSignature) << manifestSignature.error();
  EXPECT_EQ(manifestSignature->trustedComment, "version:42\tfile:package_mac.zip.manifest");
  minisign::PackageVerifier manifestVerifier(*key, *manifestSignature, 42);
  manifestVerifier.update(manifest.data(), manifest.size());
  EXPECT_EQ(manifestVerifier.finish(fixture.feed / "package_mac.zip.manifest"), std::nullopt);

  std::vector<std::string> feedFiles;  // no staging files beside them
  for (const auto& item : fs::recursive_directory_iterator(fixture.feed))
    feedFiles.push_back(fs::relative(item.path(), fixture.feed).string());
  std::sort(feedFiles.begin(), feedFiles.end());
  EXPECT_EQ(feedFiles, (std::vector<std::string>{"package_mac.zip", "package_mac.zip.manifest",
                                                 "package_mac.zip.manifest.minisig",
                                                 "package_mac.zip.minisig", "v", "v/version"}));

  // Published unsigned again, the feed keeps no signature that no longer fits its package.
  request.secretKey.clear();
  ASSERT_TRUE(std::holds_alternative<PublishReport>(publish(request, APPLICATION_NAME())));
  feedFiles.clear();
  for (const auto& item : fs::recursive_directory_iterator(fixture.feed))
    feedFiles.push_back(fs::relative(item.path(), fixture.feed).string());
  std::sort(feedFiles.begin(), feedFiles.end());
  EXPECT_EQ(feedFiles, (std::vector<std::string>{"package_mac.zip", "v", "v/version"}));
}

TEST(FeedPublish, PackageAddressesAreWellFormedForTheLauncher) {
  EXPECT_EQ(packageUrl("https://cdn.example/a//", "package_mac.zip"),
            "https://cdn.example/a/package_mac.zip");
  const std::string spaced = packageUrl("http://127.0.0.1:8765", "my package+1.zip");
  EXPECT_EQ(spaced, "http://127.0.0.1:8765/my%20package%2B1.zip");
  const auto parsed = platform::Url::parse(spaced);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->lastPathComponent(), "my package+1.zip");

  EXPECT_EQ(packageNameProblem("package_mac.zip"), "");
  for (const char* name : {"", "../package.zip", "sub/package.zip", ".hidden.zip", "package.tar",
                           "package version:2.zip"})
    EXPECT_NE(packageNameProblem(name), "") << name;
}

TEST(FeedPublish, WarnsAboutWhatTheLauncherWillNotInstallAsIs) {
  AppFixture fixture;
  // An archive is unpacked and removed; a file that only has the name of one stays a file.
  testing::writeZip((fixture.app / "lib" / "plugins.ZIP").string(),
                    {testing::file("plugin.so", "x")});
  writeFile((fixture.app / "lib" / "notes.zip").string(), "not really");
  const auto outcome = publish(fixture.request(), APPLICATION_NAME());
  ASSERT_TRUE(std::holds_alternative<PublishReport>(outcome));
  const auto& warnings = std::get<PublishReport>(outcome).warnings;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("plugins.ZIP"), std::string::npos);

  // An AppRun that cannot be executed: the launcher would find nothing to start.
  fs::remove(fixture.app / "lib" / "plugins.ZIP");
  fs::remove(fixture.app / "lib" / "notes.zip");
  fs::permissions(fixture.app / "AppRun", fs::perms(0644));
  const auto notExecutable = publish(fixture.request("43"), APPLICATION_NAME());
  ASSERT_TRUE(std::holds_alternative<PublishReport>(notExecutable));
  const auto& appRunWarnings = std::get<PublishReport>(notExecutable).warnings;
  ASSERT_EQ(appRunWarnings.size(), 1u);
  EXPECT_NE(appRunWarnings[0].find("AppRun\" is missing or not executable"), std::string::npos)
      << appRunWarnings[0];

  // A signed manifest larger than a launcher reads, of a package whose directory it still reads:
  // every update downloads the whole package. 20,050 files of about 3,280-byte names: a directory
  // of 66.7 MB, a manifest of 67.5 MB.
  fs::permissions(fixture.app / "AppRun", fs::perms(0755));
  const auto keys = minisign::generateKeyPair("test");
  ASSERT_TRUE(keys) << keys.error();
  writeFile(fixture.dir / "publisher.key", keys->secretKeyFile);
  fs::path folder = fixture.app / "lib";
  for (int level = 0; level < 12; ++level) folder /= std::string(250, 'f');
  fs::create_directories(folder);
  for (int index = 0; index < 20'050; ++index)
    writeFile((folder / (std::string(245, 'n') + std::to_string(index))).string(), "");
  PublishRequest request = fixture.request("44");
  request.secretKey = fixture.dir / "publisher.key";
  const auto large = publish(request, APPLICATION_NAME());
  ASSERT_TRUE(std::holds_alternative<PublishReport>(large)) << std::get<Failure>(large).message;
  const auto& largeWarnings = std::get<PublishReport>(large).warnings;
  ASSERT_EQ(largeWarnings.size(), 1u);
  EXPECT_NE(largeWarnings[0].find("the signed manifest takes 67"), std::string::npos)
      << largeWarnings[0];
  EXPECT_GT(fs::file_size(fixture.feed / "package_mac.zip.manifest"),
            delta::kMaxSignedManifestBytes);
}

// A folder in the feed that the publisher cannot open (a `lost+found`, say) is passed over with a
// warning, and the copy of the key beside it is still found. A listing follows either the names or
// the order of creation, so one of the four feeds lists the closed folder first.
TEST(FeedPublish, AFolderThatCannotBeOpenedHidesNoCopyOfTheKey) {
  AppFixture fixture;
  const std::string secretKey = minisign::generateKeyPair("test")->secretKeyFile;
  writeFile(fixture.dir / "publisher.key", secretKey);
  testing::WithoutCapabilities asUser({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
  if (::geteuid() == 0 && !asUser.active()) GTEST_SKIP() << "cannot give up root's access here";
  PublishRequest request = fixture.request();
  request.secretKey = fixture.dir / "publisher.key";
  // Closed, or readable but not searchable: the files in it cannot be examined.
  for (const fs::perms mode : {fs::perms::none, fs::perms(0444)}) {
    for (const bool closedFirst : {true, false}) {
      for (const std::string closed : {"a", "b"}) {
        request.feedFolder = fixture.dir / ("feed-" + closed + (closedFirst ? "1" : "2") +
                                            (mode == fs::perms::none ? "" : "r"));
        const fs::path copy = request.feedFolder / (closed == "a" ? "b" : "a");
        const auto makeClosed = [&] {
          fs::create_directories(request.feedFolder / closed / "inside");
          fs::permissions(request.feedFolder / closed, mode);
        };
        if (closedFirst) makeClosed();
        writeFile(copy, secretKey);
        if (!closedFirst) makeClosed();
        SCOPED_TRACE(request.feedFolder);

        const auto refused = publish(request, APPLICATION_NAME());
        const auto* failure = std::get_if<Failure>(&refused);
        ASSERT_NE(failure, nullptr);
        EXPECT_NE(failure->message.find(copy.string() + "\": it would be served"),
                  std::string::npos)
            << failure->message;
        fs::remove(copy);
      }
    }
  }
  const auto published = publish(request, APPLICATION_NAME());
  ASSERT_TRUE(std::holds_alternative<PublishReport>(published))
      << std::get<Failure>(published).message;
  EXPECT_EQ(
      std::get<PublishReport>(published).warnings,
      std::vector<std::string>{"cannot look for copies of the secret key in \"" +
                               (request.feedFolder / "b").string() + "\": Permission denied"});
}

TEST(FeedPublish, RefusesAVersionNotAboveTheFeedsUnlessForced) {
  AppFixture fixture;
  ASSERT_TRUE(
      std::holds_alternative<PublishReport>(publish(fixture.request("5"), APPLICATION_NAME())));
  const fs::path document = fixture.feed / "v" / "version";
  struct Case {
    std::string version;
    bool force;
    std::string refusal;  // the message holds it; empty: published
  };
  const Case cases[] = {
      {"5", false, "version 5 is not above version 5"},
      {"3", false, "version 3 is not above version 5"},
      {"0004", false, "version 4 is not above version 5"},
      {"6", false, ""},
      {"2", true, ""},
      {"3", false, ""},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.version + (test.force ? " forced" : ""));
    const std::string before = readFile(document.string());
    PublishRequest request = fixture.request(test.version);
    request.force = test.force;
    const auto outcome = publish(request, APPLICATION_NAME());
    if (test.refusal.empty()) {
      ASSERT_TRUE(std::holds_alternative<PublishReport>(outcome))
          << std::get<Failure>(outcome).message;
      EXPECT_EQ(publishedVersion(readFile(document.string())), parseVersionNumber(test.version));
      continue;
    }
    const auto* failure = std::get_if<Failure>(&outcome);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->exitCode(), kExitRefused);
    EXPECT_NE(failure->message.find(test.refusal), std::string::npos) << failure->message;
    EXPECT_NE(failure->message.find("--force"), std::string::npos) << failure->message;
    EXPECT_EQ(readFile(document.string()), before);
  }

  // A version document that says nothing usable is replaced only when forced.
  writeFile(document.string(), "{\"data\":{}}");
  const auto unreadable = publish(fixture.request("9"), APPLICATION_NAME());
  ASSERT_TRUE(std::holds_alternative<Failure>(unreadable));
  EXPECT_NE(std::get<Failure>(unreadable).message.find("holds no version number"),
            std::string::npos);
  PublishRequest forced = fixture.request("9");
  forced.force = true;
  EXPECT_TRUE(std::holds_alternative<PublishReport>(publish(forced, APPLICATION_NAME())));
}

// A publish of a newer version that ends while this one is packing wins: this one waits while
// the other moves its files into place, then finds the newer version in the feed and is refused,
// its package never landing beside the other's document.
TEST(FeedPublish, APublishOverlappingAnotherWaitsForItAndChecksTheVersionAgain) {
  AppFixture fixture;
  ASSERT_TRUE(
      std::holds_alternative<PublishReport>(publish(fixture.request("5"), APPLICATION_NAME())));
  const fs::path document = fixture.feed / "v" / "version";
  const std::string package = readFile((fixture.feed / "package_mac.zip").string());

  // The other publish, moving its files into place, holds the feed folder.
  const platform::UniqueFd other(::open(fixture.feed.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(other);
  ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);
  writeFile((fixture.app / "lib" / "data.txt").string(), "version 6");
  auto pending = std::async(std::launch::async,
                            [&] { return publish(fixture.request("6"), APPLICATION_NAME()); });
  // Until this one has its document ready to move (or has ended without waiting).
  const auto staged = [&] {
    for (const auto& item : fs::directory_iterator(fixture.feed / "v"))
      if (item.path().filename().string().starts_with(".version.")) return true;
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!staged() && pending.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
  const std::string newer = versionDocument(7, "http://127.0.0.1:8765/feed/package_mac.zip");
  writeFile(document.string(), newer);
  ASSERT_EQ(::flock(other.get(), LOCK_UN), 0);

  const auto outcome = pending.get();
  const auto* failure = std::get_if<Failure>(&outcome);
  ASSERT_NE(failure, nullptr) << "version 6 was published over version 7";
  EXPECT_EQ(failure->exitCode(), kExitRefused);
  EXPECT_NE(failure->message.find("version 6 is not above version 7"), std::string::npos)
      << failure->message;
  EXPECT_EQ(readFile(document.string()), newer);
  EXPECT_TRUE(readFile((fixture.feed / "package_mac.zip").string()) == package);
  EXPECT_FALSE(staged());
}

TEST(FeedPublish, VersionedNamesKeepEachPackageAndTheDocumentPointsAtTheNewest) {
  EXPECT_EQ(versionedPackageName("package_mac.zip", 3), "package_mac-3.zip");
  EXPECT_EQ(versionedPackageName("my.pkg.ZIP", 12), "my.pkg-12.ZIP");

  AppFixture fixture;
  const auto keys = minisign::generateKeyPair("test");
  ASSERT_TRUE(keys) << keys.error();
  writeFile(fixture.dir / "publisher.key", keys->secretKeyFile);
  for (const char* version : {"0003", "4"}) {
    PublishRequest request = fixture.request(version);
    request.versionedName = true;
    request.secretKey = fixture.dir / "publisher.key";
    const auto outcome = publish(request, APPLICATION_NAME());
    ASSERT_TRUE(std::holds_alternative<PublishReport>(outcome))
        << std::get<Failure>(outcome).message;
  }
  std::vector<std::string> feedFiles;
  for (const auto& item : fs::recursive_directory_iterator(fixture.feed))
    feedFiles.push_back(fs::relative(item.path(), fixture.feed).string());
  std::sort(feedFiles.begin(), feedFiles.end());
  EXPECT_EQ(
      feedFiles,
      (std::vector<std::string>{
          "package_mac-3.zip", "package_mac-3.zip.manifest", "package_mac-3.zip.manifest.minisig",
          "package_mac-3.zip.minisig", "package_mac-4.zip", "package_mac-4.zip.manifest",
          "package_mac-4.zip.manifest.minisig", "package_mac-4.zip.minisig", "v", "v/version"}));
  const auto document = nlohmann::json::parse(readFile((fixture.feed / "v" / "version").string()));
  const auto& attributes = document["data"]["attributes"];
  EXPECT_EQ(attributes["application_url_mac"], "http://127.0.0.1:8765/feed/package_mac-4.zip");
  EXPECT_EQ(attributes["application_signature_mac"],
            readFile((fixture.feed / "package_mac-4.zip.minisig").string()));
  const auto signature =
      minisign::parseSignature(attributes["application_signature_mac"].get<std::string>());
  ASSERT_TRUE(signature) << signature.error();
  EXPECT_EQ(signature->trustedComment, "version:4\tfile:package_mac-4.zip");
}

// --- Refused input: exit code 2, one line, nothing written ---

TEST(FeedPublish, RefusesBadInputBeforeWritingAnything) {
  AppFixture fixture;
  fs::create_directories(fixture.dir / "Other.app");
  fs::create_directories(fixture.dir / (APPLICATION_NAME() + " v.2.app"));
  writeFile(fixture.dir / (APPLICATION_NAME() + "File.app"), "a file");
  // A secret key marked as encrypted with scrypt ("Sc") in place of no key derivation.
  std::string encryptedKey = minisign::generateKeyPair("test")->secretKeyFile;
  encryptedKey.replace(encryptedKey.find("RWQAAEIy"), 8, "RWRTY0Iy");
  writeFile(fixture.dir / "encrypted.key", encryptedKey);
  // A secret key inside the application folder, and a copy of it kept outside.
  const std::string secretKey = minisign::generateKeyPair("test")->secretKeyFile;
  writeFile(fixture.app / "lib" / "publisher.key", secretKey);
  fs::create_symlink(fixture.app / "lib", fixture.dir / "lib-link");
  writeFile(fixture.dir / "publisher.key", secretKey);
  // Another key kept in the folder that a publish would write its feed into.
  writeFile(fixture.dir / "keys/own.key", minisign::generateKeyPair("test")->secretKeyFile);

  struct Case {
    std::string label;
    std::function<void(PublishRequest&)> change;
    std::string mentions;
  };
  const std::vector<Case> cases = {
      {"version 0", [](auto& r) { r.version = "0"; }, "greater than 0"},
      {"negative", [](auto& r) { r.version = "-1"; }, "digits only"},
      {"decimal", [](auto& r) { r.version = "1.5"; }, "digits only"},
      {"letters", [](auto& r) { r.version = "abc"; }, "\"abc\""},
      {"over int64", [](auto& r) { r.version = "9223372036854775808"; }, "9223372036854775807"},
      {"other name", [&](auto& r) { r.appFolder = fixture.dir / "Other.app"; }, "Other.app"},
      {"versioned name",
       [&](auto& r) { r.appFolder = fixture.dir / (APPLICATION_NAME() + " v.2.app"); }, "deletes"},
      {"missing", [&](auto& r) { r.appFolder = fixture.app / "gone.app"; }, "does not exist"},
      {"not a folder",
       [&](auto& r) { r.appFolder = fixture.dir / (APPLICATION_NAME() + "File.app"); },
       "not a folder"},
      {"ftp", [](auto& r) { r.baseUrl = "ftp://127.0.0.1/feed"; }, "http://"},
      {"no scheme", [](auto& r) { r.baseUrl = "127.0.0.1:8765"; }, "http://"},
      {"query", [](auto& r) { r.baseUrl = "http://h/?x=1"; }, "query"},
      // libcurl would read "feed" as the host.
      {"no host", [](auto& r) { r.baseUrl = "http:///feed"; }, "names no host"},
      {"not UTF-8", [](auto& r) { r.baseUrl = "http://h/caf\xe9"; }, "UTF-8"},
      {"feed inside app", [&](auto& r) { r.feedFolder = fixture.app / "feed"; }, "inside"},
      {"empty feed path", [](auto& r) { r.feedFolder.clear(); }, "empty path"},
      {"feed is a file", [&](auto& r) { r.feedFolder = fixture.dir / "publisher.key"; },
       "exists and is not a folder"},
      {"encrypted key", [&](auto& r) { r.secretKey = fixture.dir / "encrypted.key"; },
       "use an unencrypted key"},
      {"missing key", [&](auto& r) { r.secretKey = fixture.dir / "none.key"; },
       "cannot read the secret key"},
      {"key inside app", [&](auto& r) { r.secretKey = fixture.dir / "lib-link/publisher.key"; },
       "would be published"},
      {"key copied into app", [&](auto& r) { r.secretKey = fixture.dir / "publisher.key"; },
       "lib/publisher.key\": it would be published"},
      {"key inside feed",
       [&](auto& r) {
         r.feedFolder = fixture.dir / "keys";
         r.secretKey = fixture.dir / "keys/own.key";
       },
       "it would be served"},
  };
  for (const auto& test : cases) {
    PublishRequest request = fixture.request();
    test.change(request);
    const auto outcome = publish(request, APPLICATION_NAME());
    const auto* failure = std::get_if<Failure>(&outcome);
    ASSERT_NE(failure, nullptr) << test.label;
    EXPECT_EQ(failure->exitCode(), kExitRefused) << test.label;
    EXPECT_EQ(failure->message.find('\n'), std::string::npos) << test.label;
    EXPECT_NE(failure->message.find(test.mentions), std::string::npos)
        << test.label << ": " << failure->message;
    EXPECT_FALSE(fs::exists(fixture.feed)) << test.label;
    EXPECT_FALSE(fs::exists(fixture.app / "feed")) << test.label;
    EXPECT_FALSE(fs::exists(fixture.dir / "keys/v")) << test.label;
  }
  EXPECT_EQ(parseVersionNumber("007"), 7);
  EXPECT_EQ(parseVersionNumber("9223372036854775807"), INT64_MAX);
}

TEST(FeedPublish, RefusesNamesAndLinksTheLauncherWouldMisplace) {
  const struct {
    const char* title;
    void (*make)(const fs::path& app);
    const char* mentions;
  } cases[] = {
      {"backslash",
       [](const fs::path& app) { writeFile((app / "lib" / "back\\slash").string(), "x"); },
       "backslash"},
      {"not UTF-8",
       [](const fs::path& app) { writeFile((app / "lib" / "latin1-\xe9").string(), "x"); },
       "not UTF-8"},
      // Shown escaped however the name is refused: nothing in it breaks the line or acts on the
      // terminal.
      {"backslash beside a line feed",
       [](const fs::path& app) { writeFile((app / "lib" / "back\\slash\nline").string(), "x"); },
       "back\\\\slash\\nline\": the launcher reads a backslash"},
      {"not UTF-8 beside an escape sequence",
       [](const fs::path& app) { writeFile((app / "lib" / "latin1-\xe9\x1b[2J").string(), "x"); },
       "latin1-\xe9\\x1b[2J\": its name is not UTF-8"},
      {"control character",
       [](const fs::path& app) { writeFile((app / "lib" / "bell\x07").string(), "x"); },
       "bell\\x07\": its name holds a control character"},
      {"absolute link",
       [](const fs::path& app) { fs::create_symlink("/etc/passwd", app / "passwd"); },
       "its target is an absolute path"},
      {"link above the application",
       [](const fs::path& app) { fs::create_symlink("../../secret", app / "lib" / "up"); },
       "leads outside the folder"},
      {"link through another link",
       [](const fs::path& app) {
         fs::create_directories(app / "deep" / "er");
         fs::create_symlink("../..", app / "deep" / "er" / "top");
         fs::create_symlink("top/../outside", app / "deep" / "er" / "esc");
       },
       "passes through the link \"deep/er/top\""},
      {"a file of 4 GiB",
       [](const fs::path& app) { fs::resize_file(app / "lib" / "data.txt", 0xffffffffu); },
       "data.txt\": it holds 4294967295 bytes, and the launcher installs files of at most "
       "4294967294 bytes (4 GiB less 2)"},
      {"a directory larger than the launcher reads",
       [](const fs::path& app) {
         fs::path folder = app / "lib";
         for (int level = 0; level < 12; ++level) folder /= std::string(250, 'f');
         fs::create_directories(folder);
         // 20,500 records of about 3,325 bytes, 68 MB.
         for (int index = 0; index < 20'500; ++index)
           writeFile((folder / (std::string(245, 'n') + std::to_string(index))).string(), "");
       },
       "entries takes 68"},
      {"a nested archive the launcher refuses",
       [](const fs::path& app) {
         testing::writeZip((app / "lib" / "assets.zip").string(),
                           {testing::file("../../outside.txt", "x")});
       },
       "lib/assets.zip\": entry \"../../outside.txt\" leads outside"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    AppFixture fixture;
    c.make(fixture.app);
    const auto outcome = publish(fixture.request(), APPLICATION_NAME());
    const auto* failure = std::get_if<Failure>(&outcome);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->exitCode(), kExitRefused);
    EXPECT_NE(failure->message.find(c.mentions), std::string::npos) << failure->message;
    EXPECT_EQ(failure->message.find('\n'), std::string::npos) << failure->message;
    EXPECT_FALSE(fs::exists(fixture.feed / "package_mac.zip"));
    EXPECT_FALSE(fs::exists(fixture.feed / "v" / "version"));
    for (const auto& item : fs::recursive_directory_iterator(fixture.feed))  // no staging file
      if (!item.is_directory()) ADD_FAILURE() << "left behind: " << item.path();
  }
}

// Nested archives are checked in $TMPDIR, in /tmp when it is empty; a TMPDIR that names no folder
// fails the publish with its name, before anything is written.
TEST(FeedPublish, NestedArchivesAreCheckedWhereTMPDIRSays) {
  struct Restore {
    const char* saved = std::getenv("TMPDIR");
    std::string value = saved != nullptr ? saved : "";
    ~Restore() { saved != nullptr ? ::setenv("TMPDIR", value.c_str(), 1) : ::unsetenv("TMPDIR"); }
  } restore;
  AppFixture fixture;
  testing::writeZip((fixture.app / "lib" / "assets.zip").string(),
                    {testing::file("../../outside.txt", "x")});
  const std::string missing = fixture.dir / "missing";
  // A TMPDIR too small for the package's links, each of whose long targets takes a page there:
  // no refusal of a package the launcher installs where there is room.
  testing::ScratchFileSystem small(20 << 20);
  const auto manyLinks = [](const fs::path& app) {
    testing::writeZip((app / "lib" / "assets.zip").string(), {testing::file("a.txt", "x")});
    const std::string target(200, 't');
    writeFile((app / "lib" / target).string(), "x");
    for (int index = 0; index < 6'000; ++index)
      fs::create_symlink(target, app / "lib" / ("l" + std::to_string(index)));
  };
  const struct {
    std::string tmpdir;
    int exitCode;
    std::string mentions;
    std::function<void(const fs::path& app)> before;
  } cases[] = {
      {"", kExitRefused, "lib/assets.zip\": entry \"../../outside.txt\" leads outside", nullptr},
      {missing, kExitRuntimeFailure, "cannot check the nested archives in \"" + missing + "\"",
       nullptr},
      {small.path(), kExitRuntimeFailure,
       "cannot check the nested archives: cannot make the link \"", manyLinks},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("TMPDIR=" + c.tmpdir);
    if (c.before) {
      if (!small.mounted()) {
        std::cerr << "no small file system can be mounted here: " << small.reason() << "\n";
        continue;
      }
      c.before(fixture.app);
    }
    ::setenv("TMPDIR", c.tmpdir.c_str(), 1);
    const auto outcome = publish(fixture.request(), APPLICATION_NAME());
    const auto* failure = std::get_if<Failure>(&outcome);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->exitCode(), c.exitCode);
    EXPECT_NE(failure->message.find(c.mentions), std::string::npos) << failure->message;
    EXPECT_FALSE(fs::exists(fixture.feed / "v" / "version"));
  }
}

// --- Serving ---

struct HttpAnswer {
  int status = 0;
  std::string body;
};

// Sends `target` exactly as given (no client-side normalisation) and reads the whole answer.
HttpAnswer rawGet(int port, const std::string& target, const std::string& method = "GET") {
  HttpAnswer answer;
  const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_GE(sock, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(::send(sock, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string reply;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::recv(sock, buffer, sizeof buffer, 0)) > 0)
      reply.append(buffer, static_cast<std::size_t>(count));
    std::sscanf(reply.c_str(), "HTTP/1.1 %d", &answer.status);
    const auto split = reply.find("\r\n\r\n");
    if (split != std::string::npos) answer.body = reply.substr(split + 4);
  }
  ::close(sock);
  return answer;
}

class FeedServe : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(feed / "v");
    writeFile((feed / "v" / "version").string(), R"({"data":{}})");
    writeFile(dir / "secret.txt", kSecret);
    fs::create_symlink("../secret.txt", feed / "escape");
    fs::create_symlink("v/version", feed / "latest");
    ASSERT_FALSE(server.bind("127.0.0.1", 0).has_value());
    thread = std::thread([this] { served = server.run(); });
  }
  void TearDown() override { stopServer(); }
  // Stops the server and waits for its workers, which also finishes the request log.
  void stopServer() {
    if (!thread.joinable()) return;
    server.stop();
    thread.join();
    EXPECT_TRUE(served);
  }
  httplib::Result get(const std::string& path) {
    httplib::Client client("127.0.0.1", server.port());
    return client.Get(path.c_str());
  }

  static constexpr const char* kSecret = "top secret";
  TempDir dir;
  fs::path feed = fs::path(dir.path()) / "feed";
  std::ostringstream log;
  FeedServer server{feed, log};
  std::thread thread;
  bool served = false;
};

TEST_F(FeedServe, ServesFeedFilesWithTheirTypesAndLogsEachRequest) {
  auto answer = get("/v/version");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, R"({"data":{}})");
  EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json");

  // A link that stays inside the feed is served.
  answer = get("/latest");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, R"({"data":{}})");

  // Nor is one that leads to a hidden file, such as a file being staged.
  writeFile((feed / "v" / ".version.tmp").string(), "staged");
  fs::create_symlink("v/.version.tmp", feed / "staged");
  for (const char* path : {"/missing.zip", "/v", "/", "/v/.version.tmp", "/staged"}) {
    answer = get(path);
    ASSERT_TRUE(answer) << path;
    EXPECT_EQ(answer->status, 404) << path;
  }
  // A download taken up again asks for the rest: what is missing or refused is still said so,
  // whole, and not as a part of the error text (nor as a range past its end).
  for (const auto& [path, status] : {std::pair{"/missing.zip", 404}, {"/escape", 403}}) {
    for (const char* range : {"bytes=100-", "bytes=-3", "bytes=0-1,4-5"}) {
      SCOPED_TRACE(std::string(path) + " " + range);
      httplib::Client client("127.0.0.1", server.port());
      answer = client.Get(path, {{"Range", range}});
      ASSERT_TRUE(answer);
      EXPECT_EQ(answer->status, status);
      EXPECT_EQ(answer->body, status == 404 ? "not found\n" : "forbidden\n");
      EXPECT_FALSE(answer->has_header("Content-Range"));
    }
  }
  httplib::Client client("127.0.0.1", server.port());
  answer = client.Post("/v/version", "x", "text/plain");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 405);
  // A client's bytes reach the operator's terminal only escaped, the method's too (the request
  // refused as bad holds its connection for the keep-alive second).
  EXPECT_EQ(rawGet(server.port(), "/v/version\x1b[2J", "GE\x1b[31m\rT").status, 400);

  stopServer();
  const std::string lines = log.str();
  EXPECT_EQ(lines.find_first_of("\x1b\r"), std::string::npos) << lines;
  EXPECT_NE(lines.find("GET /v/version 200 11\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("GET /missing.zip 404 "), std::string::npos) << lines;
  EXPECT_NE(lines.find("POST /v/version 405 "), std::string::npos) << lines;
}

TEST_F(FeedServe, NeverServesAFileOutsideTheFeed) {
  for (const char* target : {"/../secret.txt", "/%2e%2e/secret.txt", "/v/%2E%2E/../secret.txt",
                             "/v/..%2f..%2fsecret.txt", "/escape", "/escape/"}) {
    const HttpAnswer answer = rawGet(server.port(), target);
    EXPECT_TRUE(answer.status == 403 || answer.status == 404)
        << target << " answered " << answer.status;
    EXPECT_EQ(answer.body.find(kSecret), std::string::npos) << target;
  }
  // The checks themselves reach the server: a plain request over the same path works.
  EXPECT_EQ(rawGet(server.port(), "/v/version").status, 200);
}

TEST_F(FeedServe, StreamsLargeFilesWholeAlsoBesideSlowDownloads) {
  const std::string large = launcher::testing::pseudoRandomBytes(32 * 1024 * 1024 + 12345, 7);
  writeFile((feed / "package_mac.zip").string(), large);

  // Launchers on slow lines, each holding its download open: the others are still answered.
  std::vector<platform::UniqueFd> slow;
  for (int index = 0; index < 16; ++index) {
    slow.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(slow.back());
    const int window = 4096;
    ASSERT_EQ(::setsockopt(slow.back().get(), SOL_SOCKET, SO_RCVBUF, &window, sizeof window), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(slow.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
              0);
    const std::string request = "GET /package_mac.zip HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(::send(slow.back().get(), request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
  }
  httplib::Client client("127.0.0.1", server.port());
  client.set_read_timeout(2, 0);
  const auto version = client.Get("/v/version");
  ASSERT_TRUE(version) << "no answer beside " << slow.size() << " slow downloads";
  EXPECT_EQ(version->status, 200);

  const auto answer = client.Get("/package_mac.zip");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->get_header_value("Content-Type"), "application/zip");
  EXPECT_EQ(answer->body.size(), large.size());
  EXPECT_TRUE(answer->body == large);
  EXPECT_EQ(contentTypeFor("/data.bin"), "application/octet-stream");
}

TEST_F(FeedServe, AnswersOneByteRangeAndTellsItsValidators) {
  writeFile((feed / "package_mac.zip").string(), "0123456789abcdefghij");
  const auto whole = get("/package_mac.zip");
  ASSERT_TRUE(whole);
  const std::string tag = whole->get_header_value("ETag");
  const std::string modified = whole->get_header_value("Last-Modified");
  EXPECT_TRUE(tag.starts_with("\"") && tag.ends_with("\"")) << tag;
  EXPECT_TRUE(modified.ends_with(" GMT")) << modified;
  EXPECT_EQ(whole->get_header_value("Accept-Ranges"), "bytes");

  struct Case {
    httplib::Headers headers;
    int status;
    std::string body;
    std::string contentRange;
  };
  const std::string all = "0123456789abcdefghij";
  const Case cases[] = {
      {{}, 200, all, ""},
      {{{"Range", "bytes=5-"}}, 206, "56789abcdefghij", "bytes 5-19/20"},
      {{{"Range", "bytes=2-4"}}, 206, "234", "bytes 2-4/20"},
      {{{"Range", "bytes=15-30"}}, 206, "fghij", "bytes 15-19/20"},
      {{{"Range", "bytes=-3"}}, 206, "hij", "bytes 17-19/20"},
      {{{"Range", "bytes=-30"}}, 206, all, "bytes 0-19/20"},
      {{{"Range", "bytes=19-19"}}, 206, "j", "bytes 19-19/20"},
      {{{"Range", "bytes=20-"}}, 416, "", "bytes */20"},
      {{{"Range", "bytes=0-1,5-6"}}, 200, all, ""},
      {{{"Range", "bytes=5-"}, {"If-Range", tag}}, 206, "56789abcdefghij", "bytes 5-19/20"},
      {{{"Range", "bytes=5-"}, {"If-Range", modified}}, 206, "56789abcdefghij", "bytes 5-19/20"},
      {{{"Range", "bytes=5-"}, {"If-Range", "\"an-older-package\""}}, 200, all, ""},
      {{{"Range", "bytes=5-"}, {"If-Range", "W/" + tag}}, 200, all, ""},
      {{{"Range", "bytes=5-"}, {"If-Range", "Sat, 01 Jan 2000 00:00:00 GMT"}}, 200, all, ""},
  };
  for (const Case& test : cases) {
    std::string label;
    for (const auto& [name, value] : test.headers) label += name + ": " + value + "; ";
    SCOPED_TRACE(label);
    httplib::Client client("127.0.0.1", server.port());
    const auto answer = client.Get("/package_mac.zip", test.headers);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, test.status);
    if (test.status != 416) {
      EXPECT_EQ(answer->body, test.body);
    }
    EXPECT_EQ(answer->get_header_value("Content-Range"), test.contentRange);
  }
}

TEST(FeedServer, ServesUnderItsPrefixOnly) {
  TempDir dir;
  writeFile(dir / "feed/v/version", "{}");
  std::ostringstream log;
  FeedServer server(dir / "feed", log, "updates//");
  ASSERT_FALSE(server.bind("127.0.0.1", 0).has_value());
  EXPECT_EQ(server.address(), "http://127.0.0.1:" + std::to_string(server.port()) + "/updates");
  bool served = false;
  std::thread runner([&] { served = server.run(); });
  const std::pair<const char*, int> cases[] = {
      {"/updates/v/version", 200}, {"/v/version", 404},        {"/updates", 404},
      {"/updates/", 404},          {"/updatesv/version", 404}, {"/other/updates/v/version", 404},
      {"/updates//v/version", 200}};
  for (const auto& [path, status] : cases)
    EXPECT_EQ(rawGet(server.port(), path).status, status) << path;
  server.stop();
  runner.join();
  EXPECT_TRUE(served);

  const std::pair<const char*, std::optional<std::string>> prefixes[] = {
      {"", ""},           {"/", ""},    {"updates/", "/updates"},
      {"/a//b/", "/a/b"}, {"/..", {}},  {"/a/./b", {}},
      {"/a b", {}},       {"/a?b", {}}, {"/a%2fb", {}},
      {"/a\\b", {}}};
  for (const auto& [prefix, normal] : prefixes)
    EXPECT_EQ(normalisedPrefix(prefix), normal) << prefix;
  FeedServer refused(dir / "feed", log, "/../up");
  const auto failure = refused.bind("127.0.0.1", 0);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->exitCode(), kExitRefused);
}

TEST(FeedServer, EndsPromptlyWhenStoppedBeforeRunOrUnableToRun) {
  TempDir dir;
  std::ostringstream log;
  FeedServer server(dir.path(), log);
  ASSERT_FALSE(server.bind("127.0.0.1", 0).has_value());
  EXPECT_GT(server.port(), 0);
  server.stop();
  std::thread runner([&] { EXPECT_TRUE(server.run()); });
  runner.join();  // hangs when the early stop is lost

  FeedServer missing(fs::path(dir.path()) / "nothing", log);
  const auto failure = missing.bind("127.0.0.1", 0);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->exitCode(), kExitRefused);

  // No signal comes: the thread waiting for one must still be woken, and the mask put back.
  EXPECT_EQ(serveUntilSignalled(missing), kExitRuntimeFailure);  // hangs when it is not woken
  sigset_t mask;
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &mask), 0);
  EXPECT_FALSE(sigismember(&mask, SIGTERM));
  EXPECT_FALSE(sigismember(&mask, SIGINT));
}

// --- The executable ---

// Standard output goes to `outputTo` when it is given, else into `output`.
int runTool(const std::string& arguments, std::string* errors, std::string* output = nullptr,
            const std::string& outputTo = {}) {
  TempDir dir;
  const std::string errorFile = dir / "stderr";
  const std::string outputFile = outputTo.empty() ? dir / "stdout" : outputTo;
  const int status = std::system(
      ("'" + kFeedTool + "' " + arguments + " >'" + outputFile + "' 2>'" + errorFile + "'")
          .c_str());
  *errors = readFile(errorFile);
  if (output && outputTo.empty()) *output = readFile(outputFile);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FeedExecutable, UsageErrorsAndRefusalsExitWithTwo) {
  AppFixture fixture;
  std::string errors;
  EXPECT_EQ(runTool("", &errors), 2);
  EXPECT_EQ(runTool("serve '" + fixture.feed.string() + "' --port 70000", &errors), 2);
  EXPECT_EQ(runTool("publish --app '" + fixture.app.string() +
                        "' --version 0 --base-url http://h --out '" + fixture.feed.string() + "'",
                    &errors),
            2);
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  EXPECT_NE(errors.find("\"0\""), std::string::npos) << errors;
  EXPECT_FALSE(fs::exists(fixture.feed));
}

TEST(FeedExecutable, VersionCheckForceVersionedNamesAndItsOwnVersion) {
  AppFixture fixture;
  const std::string publish = "publish --app '" + fixture.app.string() +
                              "' --base-url http://h --out '" + fixture.feed.string() + "'";
  std::string errors, output;
  ASSERT_EQ(runTool(publish + " --version 5", &errors), 0) << errors;
  EXPECT_EQ(runTool(publish + " --version 4", &errors), 2);
  EXPECT_NE(errors.find("version 4 is not above version 5"), std::string::npos) << errors;
  ASSERT_EQ(runTool(publish + " --version 4 --force --versioned-name", &errors), 0) << errors;
  EXPECT_TRUE(fs::exists(fixture.feed / "package_mac-4.zip"));
  EXPECT_EQ(publishedVersion(readFile((fixture.feed / "v" / "version").string())), 4);

  ASSERT_EQ(runTool("--version", &errors, &output), 0) << errors;
  EXPECT_EQ(output, std::string("launcher-feed ") + LAUNCHER_VERSION + "\n");

  // A package beyond the file size limit fails as on a full disk: said, and nothing left behind.
  writeFile((fixture.app / "lib" / "noise.bin").string(), testing::pseudoRandomBytes(300'000, 3));
  const auto feedNames = [&] {
    std::vector<std::string> names;
    for (const auto& item : fs::recursive_directory_iterator(fixture.feed))
      names.push_back(fs::relative(item.path(), fixture.feed).string());
    std::sort(names.begin(), names.end());
    return names;
  };
  const auto before = feedNames();
  // Runs `command` with files limited to 100,000 bytes.
  const auto runLimited = [&](const std::string& command) {
    rlimit saved{};
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 100'000;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const int status = runTool(command, &errors);
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    return status;
  };
  EXPECT_EQ(runLimited(publish + " --version 6"), kExitRuntimeFailure) << errors;
  EXPECT_NE(errors.find("too large"), std::string::npos) << errors;
  EXPECT_EQ(feedNames(), before);
  // So does the check of a nested archive whose files outgrow the limit where they are
  // extracted: no refusal of the package, which the launcher would install.
  fs::remove(fixture.app / "lib" / "noise.bin");
  testing::writeZip((fixture.app / "lib" / "assets.zip").string(),
                    {testing::file("big.bin", std::string(1'000'000, '\0'))});
  EXPECT_EQ(runLimited(publish + " --version 6"), kExitRuntimeFailure) << errors;
  EXPECT_NE(errors.find("cannot check the nested archives: "), std::string::npos) << errors;
  EXPECT_EQ(feedNames(), before);
  // Nor is a descriptor limit, however low (the tool's own files take the first few), a fault
  // of the package: the check fails or passes, and the package is never refused. The limit
  // counts from 0, so the descriptors this program leaves open are closed first.
  const std::string limit = fixture.dir / "limit.sh";
  writeFile(limit,
            "for fd in $(ls /proc/$$/fd); do [ \"$fd\" -gt 2 ] && eval \"exec $fd>&-\"; done\n"
            "ulimit -Sn \"$1\" && shift && exec \"$@\"\n");
  for (int descriptors = 4; descriptors <= 12; ++descriptors) {
    SCOPED_TRACE(descriptors);
    const std::string errorFile = fixture.dir / "limited-stderr";
    const int status =
        std::system(("bash '" + limit + "' " + std::to_string(descriptors) + " '" + kFeedTool +
                     "' " + publish + " --version 6 --force >/dev/null 2>'" + errorFile + "'")
                        .c_str());
    errors = readFile(errorFile);
    ASSERT_TRUE(WIFEXITED(status)) << errors;
    EXPECT_NE(WEXITSTATUS(status), 2) << errors;
  }
  fs::remove(fixture.app / "lib" / "assets.zip");

  // A report that cannot be written out (standard output on a full disk, or on a pipe whose
  // reader has gone, as after `| head -1`) is a failure, told on standard error; the work itself
  // is done. The pipe is a named one that its last reader closed before the tool started, and
  // the tool starts with SIGPIPE's default action.
  const fs::path keys = fs::path(fixture.dir.path()) / "keys";
  const std::string fifo = fixture.dir / "stdout-fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const int version : {7, 8}) {
    const bool pipe = version == 8;
    for (const std::string& command :
         {publish + " --version " + std::to_string(version),
          "keygen --out '" + keys.string() + "'" + (pipe ? " --force" : "")}) {
      SCOPED_TRACE(command);
      if (pipe) {
        testing::ChildProcess tool({"/bin/sh", "-c",
                                    "exec 3<>'" + fifo + "' && exec '" + kFeedTool + "' " +
                                        command + " >'" + fifo + "' 3>&-"},
                                   {});
        EXPECT_EQ(tool.waitForExit(), kExitRuntimeFailure);
        errors = tool.errors();
      } else {
        EXPECT_EQ(runTool(command, &errors, nullptr, "/dev/full"), kExitRuntimeFailure);
      }
      EXPECT_NE(errors.find("launcher-feed: cannot write to standard output: "), std::string::npos)
          << errors;
    }
    EXPECT_EQ(publishedVersion(readFile((fixture.feed / "v" / "version").string())), version);
    EXPECT_TRUE(fs::exists(keys / "publisher.pub"));
  }
}

TEST(FeedExecutable, KeygenWritesAKeyPairThatPublishSignsWithAndNeverOverwrites) {
  AppFixture fixture;
  const fs::path keys = fs::path(fixture.dir.path()) / "keys";
  const std::string keygen = "keygen --out '" + keys.string() + "'";
  std::string errors, output;
  // The folder made for the keys is the publisher's alone, also under a umask that opens what
  // it makes to everyone: another user could otherwise put a public key of theirs there.
  const mode_t savedMask = ::umask(0);
  const int made = runTool(keygen, &errors, &output);
  ::umask(savedMask);
  ASSERT_EQ(made, 0) << errors;
  EXPECT_EQ(fs::status(keys).permissions(), fs::perms(0700));
  EXPECT_EQ(fs::status(keys / "publisher.key").permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(keys / "publisher.pub").permissions(), fs::perms(0644));
  const std::string publicKey = readFile(keys / "publisher.pub");
  const std::string secretKey = readFile(keys / "publisher.key");
  const auto key = minisign::parsePublicKey(publicKey);
  ASSERT_TRUE(key) << key.error();
  EXPECT_NE(output.find("-DAPPLICATION_PUBLIC_KEY=" + minisign::publicKeyLine(*key) + " "),
            std::string::npos)
      << output;

  // Neither file is replaced without --force, and nothing else is written.
  fs::remove(keys / "publisher.pub");
  EXPECT_EQ(runTool(keygen, &errors), 2);
  EXPECT_NE(errors.find("already exists; pass --force"), std::string::npos) << errors;
  EXPECT_EQ(readFile(keys / "publisher.key"), secretKey);
  EXPECT_FALSE(fs::exists(keys / "publisher.pub"));
  // A replacement that cannot be completed leaves the old pair: neither half is given up for a
  // key the other half does not belong to.
  ASSERT_EQ(runTool(keygen + " --force", &errors), 0) << errors;
  const std::string pairKey = readFile(keys / "publisher.key");
  const std::string pairPub = readFile(keys / "publisher.pub");
  for (const char* blocked : {"publisher.pub", "publisher.key"}) {
    const fs::path moved = keys / (std::string(blocked) + ".aside");
    fs::rename(keys / blocked, moved);
    fs::create_directories(keys / blocked / "in-the-way");
    EXPECT_EQ(runTool(keygen + " --force", &errors), 1) << blocked;
    EXPECT_NE(errors.find("cannot move"), std::string::npos) << errors;
    EXPECT_NE(errors.find(std::string(blocked) + "\": "), std::string::npos) << errors;
    fs::remove_all(keys / blocked);
    fs::rename(moved, keys / blocked);
    EXPECT_EQ(readFile(keys / "publisher.key"), pairKey) << blocked;
    EXPECT_EQ(readFile(keys / "publisher.pub"), pairPub) << blocked;
  }
  // With no old public key to put back, the new one is not left beside the old secret key.
  fs::remove(keys / "publisher.pub");
  fs::rename(keys / "publisher.key", keys / "publisher.key.aside");
  fs::create_directories(keys / "publisher.key" / "in-the-way");
  EXPECT_EQ(runTool(keygen + " --force", &errors), 1) << errors;
  EXPECT_FALSE(fs::exists(keys / "publisher.pub"));
  fs::remove_all(keys / "publisher.key");
  fs::rename(keys / "publisher.key.aside", keys / "publisher.key");
  ASSERT_EQ(runTool(keygen + " --force", &errors), 0) << errors;
  EXPECT_NE(readFile(keys / "publisher.key"), secretKey);
  EXPECT_EQ(std::distance(fs::directory_iterator(keys), fs::directory_iterator()), 2);

  // publish --secret-key signs with it.
  ASSERT_EQ(runTool("publish --app '" + fixture.app.string() +
                        "' --version 5 --base-url http://h --out '" + fixture.feed.string() +
                        "' --secret-key '" + (keys / "publisher.key").string() + "'",
                    &errors),
            0)
      << errors;
  const auto signature =
      minisign::parseSignature(readFile((fixture.feed / "package_mac.zip.minisig").string()));
  ASSERT_TRUE(signature) << signature.error();
  minisign::PackageVerifier verifier(*minisign::parsePublicKey(readFile(keys / "publisher.pub")),
                                     *signature, 5);
  const std::string package = readFile((fixture.feed / "package_mac.zip").string());
  verifier.update(package.data(), package.size());
  EXPECT_EQ(verifier.finish(fixture.feed / "package_mac.zip"), std::nullopt);
}

TEST(FeedExecutable, ServesUntilTerminated) {
  TempDir dir;
  fs::create_directories(fs::path(dir.path()) / "feed" / "v");
  writeFile(dir / "feed/v/version", "{}");
  const std::string errorFile = dir / "stderr";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT, 0600);
  std::vector<std::string> args = {kFeedTool, "serve",    dir / "feed", "--port",
                                   "0",       "--prefix", "/updates"};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, kFeedTool.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  int port = 0;
  for (int tries = 0; tries < 200 && port == 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    port = testing::servingPort(readFile(errorFile));
  }
  EXPECT_GT(port, 0) << readFile(errorFile);
  EXPECT_NE(readFile(errorFile).find(":" + std::to_string(port) + "/updates\n"), std::string::npos)
      << readFile(errorFile);
  if (port > 0) {
    EXPECT_EQ(rawGet(port, "/updates/v/version").body, "{}");
    EXPECT_EQ(rawGet(port, "/v/version").status, 404);
  }

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(FeedExecutable, RefusesAPortInUse) {
  TempDir dir;
  const testing::ServedFeed first(kFeedTool, dir / "feed");
  const std::string port = std::to_string(first.port());
  testing::ChildProcess second({kFeedTool, "serve", dir / "feed", "--port", port}, {});
  EXPECT_EQ(second.waitForExit(std::chrono::seconds(20)), 1) << second.errors();
  EXPECT_NE(second.errors().find("launcher-feed: cannot listen on 127.0.0.1 port " + port),
            std::string::npos)
      << second.errors();
  EXPECT_EQ(rawGet(first.port(), "/v/version").status, 404) << "the first still answers";
}

}  // namespace
}  // namespace launcher::feed
