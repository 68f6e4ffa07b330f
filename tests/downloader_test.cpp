// The package download into the install folder, against a server in this process.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "Launcher/Config.h"
#include "Launcher/HttpDownloader.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/FileManager.h"
#include "tests/support/CaptureFd.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/ScratchFileSystem.h"
#include "tests/support/TestFolders.h"
#include "tests/support/UserLocale.h"
#include "tests/support/ZipWriter.h"

namespace launcher {
namespace {
namespace fs = std::filesystem;
using platform::ErrorRecord;
using platform::Url;
using testing::CaptureFd;
using testing::LocalHttpServer;
using testing::PackageRequest;
using testing::readFile;
using testing::ServedPackage;
using testing::writeFile;

struct Result {
  std::string path;
  std::optional<ErrorRecord> error;
  std::string out;  // standard output during the call
  std::string log;  // standard error (the diagnostic log) during the call
};

class Downloader : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(install); }

  // Options with a retry pause short enough for tests.
  static HttpDownloader::Options quick() {
    HttpDownloader::Options options;
    options.retryPause = std::chrono::milliseconds(1);
    return options;
  }

  // One loadFileSync call; checks that the completion ran exactly once, on this thread, before
  // the call returned.
  Result download(const std::string& address, const std::optional<std::string>& folder = {},
                  const HttpDownloader::Options& options = quick()) {
    auto url = Url::parse(address);
    EXPECT_TRUE(url.has_value()) << address;
    if (!url) return {};
    Result result;
    int calls = 0;
    std::thread::id thread;
    CaptureFd out(STDOUT_FILENO);
    CaptureFd log(STDERR_FILENO);
    HttpDownloader::loadFileSync(
        *url, folder.value_or(install),
        [&](const std::string& path, const std::optional<ErrorRecord>& error) {
          ++calls;
          thread = std::this_thread::get_id();
          result.path = path;
          result.error = error;
        },
        options);
    result.out = out.finish();
    result.log = log.finish();
    EXPECT_EQ(calls, 1) << address;
    EXPECT_EQ(thread, std::this_thread::get_id()) << address;
    return result;
  }

  // The install folder's entries, hidden part files included.
  std::vector<std::string> installEntries() const {
    auto entries = platform::folderEntries(install);
    EXPECT_TRUE(entries.has_value());
    if (!entries) return {};
    std::sort(entries->begin(), entries->end());
    return *entries;
  }

  static void expectError(const Result& result, const char* domain, long code) {
    ASSERT_TRUE(result.error.has_value()) << result.out;
    EXPECT_EQ(result.error->domain, domain);
    EXPECT_EQ(result.error->code, code);
    const std::string& text = result.error->description;
    EXPECT_NE(text.find(domain), std::string::npos) << text;
    EXPECT_NE(text.find(std::to_string(code)), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }

  testing::UserFolders folders;
  const std::string install = folders.installFolder();
  LocalHttpServer server;
};

// --- Success: saved under the address's last segment, an older item replaced ---------------------

TEST_F(Downloader, SavesThePackageAndReplacesAnOlderOne) {
  server.answer("/package_mac.zip", 200, "new package");
  const std::string destination = install + "/package_mac.zip";
  for (const bool older : {false, true}) {
    SCOPED_TRACE(older ? "an older package" : "nothing");
    if (older) writeFile(destination, "old package");
    const Result result = download(server.url("/package_mac.zip"));
    EXPECT_FALSE(result.error.has_value()) << result.error->description;
    EXPECT_EQ(result.path, destination);
    // The older package is named just before the new one takes its place.
    const std::string saved = "file saved [" + destination + "]\n";
    EXPECT_EQ(result.out, older ? "file already exists [" + destination + "]\n" + saved : saved);
    EXPECT_EQ(readFile(destination), "new package");
    EXPECT_EQ(installEntries(), std::vector<std::string>{"package_mac.zip"});
  }
}

TEST_F(Downloader, NamesTheFileAfterTheDecodedLastSegment) {
  struct Case {
    std::string target;      // as written in the address
    std::string servedPath;  // as the server sees it
    std::string fileName;
  };
  const Case cases[] = {
      {"/package_mac.zip?token=abc&os=mac", "/package_mac.zip", "package_mac.zip"},
      {"/releases/My%20App.zip", "/releases/My App.zip", "My App.zip"},
      {"/p/caf%C3%A9.zip#part", "/p/café.zip", "café.zip"},
      {"/download", "/download", "download"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    server.answer(c.servedPath, 200, "body of " + c.fileName);
    const Result result = download(server.url(c.target));
    EXPECT_FALSE(result.error.has_value()) << result.error->description;
    EXPECT_EQ(result.path, install + "/" + c.fileName);
    EXPECT_EQ(readFile(install + "/" + c.fileName), "body of " + c.fileName);
    fs::remove(install + "/" + c.fileName);
  }
}

TEST_F(Downloader, KeepsTheOriginalNameAcrossARedirect) {
  server.redirect("/latest.zip", "/builds/5/package.zip");
  server.answer("/builds/5/package.zip", 200, "version 5");
  const Result result = download(server.url("/latest.zip"));
  EXPECT_FALSE(result.error.has_value());
  EXPECT_EQ(readFile(install + "/latest.zip"), "version 5");
  EXPECT_EQ(installEntries(), std::vector<std::string>{"latest.zip"});
}

TEST_F(Downloader, StreamsALargeBodyByteForByte) {
  const std::uint64_t size = 3 * 1024 * 1024 + 17;
  server.serveGenerated("/big.zip", size);
  const Result result = download(server.url("/big.zip"));
  ASSERT_FALSE(result.error.has_value()) << result.error->description;
  const std::string saved = readFile(install + "/big.zip");
  ASSERT_EQ(saved.size(), size);
  for (std::uint64_t i = 0; i < size; ++i)
    ASSERT_EQ(saved[i], LocalHttpServer::generatedByte(i)) << "at offset " << i;
}

// --- Signed packages: checked while they arrive; one that fails never becomes the package -------

TEST_F(Downloader, ChecksASignedPackageWhileItArrives) {
  // Large enough that the digest's buffers are used over and over.
  const std::uint64_t size = 12 * 1024 * 1024 + 17;
  server.serveGenerated("/big.zip", size);
  const std::string destination = install + "/big.zip";
  ASSERT_FALSE(download(server.url("/big.zip")).error.has_value());
  const auto keys = minisign::generateKeyPair("test");
  ASSERT_TRUE(keys) << keys.error();
  const auto secret = minisign::parseSecretKey(keys->secretKeyFile);
  ASSERT_TRUE(secret) << secret.error();
  const auto signature = minisign::signFile(*secret, destination, "version:4");
  std::string changed = readFile(destination);
  changed[size / 3] = static_cast<char>(changed[size / 3] ^ 0x20);
  writeFile(destination, changed);
  const auto otherSignature = minisign::signFile(*secret, destination, "version:4");
  ASSERT_TRUE(signature && otherSignature);
  const auto otherKeys = minisign::generateKeyPair("other");
  ASSERT_TRUE(otherKeys) << otherKeys.error();
  fs::remove(destination);

  struct Case {
    const char* name;
    std::string signature;
    std::optional<std::string> reason;  // nothing: accepted
    std::string publicKey;              // another key than the signing one; none when empty
  };
  const Case cases[] = {
      {"its own signature", *signature, std::nullopt, ""},
      {"the signature of other bytes", *otherSignature, "the signature does not match the package",
       ""},
      {"a key that did not sign it", *signature,
       "the package was signed with another key (key id " + minisign::keyIdText(keys->id) +
           ", expected " + minisign::keyIdText(otherKeys->id) + ")",
       otherKeys->publicKeyLine},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(destination, "older package");
    const int before = server.requestCount("/big.zip");
    HttpDownloader::Options options;
    options.publicKey = c.publicKey.empty() ? keys->publicKeyLine : c.publicKey;
    options.signature = c.signature;
    options.expectedVersion = 4;
    std::optional<ErrorRecord> error;
    HttpDownloader::loadFileSync(
        *Url::parse(server.url("/big.zip")), install,
        [&](const std::string&, const std::optional<ErrorRecord>& e) { error = e; }, options);
    if (!c.reason) {
      EXPECT_FALSE(error.has_value()) << error->description;
    } else {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->code, HttpDownloader::kErrorVerifyingFile);
      EXPECT_EQ(error->description, "the package signature is not valid: " + *c.reason);
    }
    // A signature by another key costs no transfer.
    EXPECT_EQ(server.requestCount("/big.zip") - before, c.publicKey.empty() ? 1 : 0);
    // The accepted package replaces the older one; a refused one never takes its place.
    EXPECT_EQ(installEntries(), std::vector<std::string>{"big.zip"});
    EXPECT_EQ(fs::file_size(destination), c.reason ? std::string("older package").size() : size);
  }
}

// --- Resuming: a part left by a cut transfer is continued, by the next call or within one ------

// A package of 1 MiB and what the tests below need to tell its requests apart.
struct Resumable : Downloader {
  const std::string package = testing::pseudoRandomBytes(1 << 20, 11);
  const std::uint64_t cut = package.size() * 4 / 10;
  const std::string part = install + "/" + HttpDownloader::partFileName("p.zip");
  const std::string side = install + "/" + HttpDownloader::sideFileName("p.zip");
  static constexpr const char* kTag = "\"v1\"";
  static constexpr const char* kDate = "Tue, 04 Jun 2024 10:00:00 GMT";

  static std::vector<std::string> ranges(const std::vector<PackageRequest>& requests) {
    std::vector<std::string> result;
    for (const auto& request : requests) result.push_back(request.range);
    return result;
  }
  // Options that sign-check the package for version 3 with a key made here.
  HttpDownloader::Options signedFor(const std::string& bytes) {
    const auto keys = minisign::generateKeyPair("test");
    const auto secret = minisign::parseSecretKey(keys->secretKeyFile);
    writeFile(folders.root() + "/signed", bytes);
    HttpDownloader::Options options = quick();
    options.publicKey = keys->publicKeyLine;
    options.signature = *minisign::signFile(*secret, folders.root() + "/signed", "version:3");
    options.expectedVersion = 3;
    return options;
  }
};

TEST_F(Resumable, TheNextCallAsksOnlyForTheRestOfTheSamePackage) {
  struct Case {
    const char* name;
    std::string etag, date;                      // validators of the first answer
    std::function<void(ServedPackage&)> change;  // the server before the second call
    bool kept;                                   // the first call leaves a part and its side file
    const char* address = "/p.zip";              // asked by the second call
    bool sign = false;
    int status = 206;  // the second answer
  };
  const Case cases[] = {
      {"the same package", kTag, kDate, nullptr, true},
      {"only a Last-Modified date", "", kDate, nullptr, true},
      {"a signed package", kTag, "", nullptr, true, "/p.zip", true},
      {"a weak ETag: the date instead", "W/\"v1\"", kDate, nullptr, true},
      {"an unquoted ETag: the date instead", "v1", kDate, nullptr, true},
      {"only an unquoted ETag", "v1", "", nullptr, true},
      {"the package changed", kTag, kDate, [](ServedPackage& p) { p.etag = "\"v2\""; }, true,
       "/p.zip", false, 200},
      {"a server that ignores ranges", kTag, kDate, [](ServedPackage& p) { p.ranges = false; },
       true, "/p.zip", false, 200},
      {"no validator", "", "", nullptr, false, "/p.zip", false, 200},
      {"only a weak ETag", "W/\"v1\"", "", nullptr, false, "/p.zip", false, 200},
      {"an ETag not in UTF-8", "\"v\xFF\"", "", nullptr, false, "/p.zip", false, 200},
      {"another address", kTag, kDate, nullptr, true, "/q.zip", false, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(install);
    fs::create_directories(install);
    server.forgetPackageRequests();
    ServedPackage served(package, c.etag, c.date);
    served.cuts = {cut};
    server.servePackage("/p.zip", served);
    HttpDownloader::Options options = c.sign ? signedFor(package) : quick();
    options.retries = 0;  // the run ends with the cut
    expectError(download(server.url("/p.zip"), {}, options), "Error downloading file",
                HttpDownloader::kErrorDownloadingFile);
    const std::vector<std::string> left = {fs::path(part).filename(), fs::path(side).filename()};
    EXPECT_EQ(installEntries(), c.kept ? left : std::vector<std::string>{});
    if (c.kept) {
      EXPECT_EQ(fs::file_size(part), cut);
    }

    served.cuts.clear();
    if (c.change) c.change(served);
    server.servePackage(c.address, served);
    std::vector<std::pair<std::uint64_t, std::optional<std::uint64_t>>> reports;
    options.progress = [&](std::uint64_t received, std::optional<std::uint64_t> total) {
      reports.emplace_back(received, total);
    };
    const Result result = download(server.url(c.address), {}, options);
    ASSERT_FALSE(result.error.has_value()) << result.error->description;
    const auto requests = server.packageRequests(c.address);
    ASSERT_EQ(requests.size(), c.address == std::string("/p.zip") ? 2u : 1u);
    const PackageRequest& second = requests.back();
    const bool asked = c.kept && c.address == std::string("/p.zip");
    EXPECT_EQ(second.range, asked ? "bytes=" + std::to_string(cut) + "-" : "");
    // A quoted ETag first, else the date, else a tag sent unquoted against the rules.
    const std::string validator = c.etag.starts_with("\"") || c.date.empty() ? c.etag : c.date;
    EXPECT_EQ(second.ifRange, asked ? validator : "");
    EXPECT_EQ(second.status, c.status);
    EXPECT_EQ(second.bytes, c.status == 206 ? package.size() - cut : package.size());
    // Progress counts the part on disk from the first report on, and ends with the whole.
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().first, c.status == 206 ? cut : 0u);
    EXPECT_EQ(reports.back(), std::make_pair(std::uint64_t{package.size()},
                                             std::optional<std::uint64_t>(package.size())));
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    const std::string name = fs::path(c.address).filename();
    EXPECT_TRUE(readFile(install + "/" + name) == package) << "the package byte for byte";
    EXPECT_EQ(installEntries(), std::vector<std::string>{name}) << "no part of any address stays";
  }
}

// A signed package continued from an earlier run is checked over all its bytes, those the earlier
// run left on the disk included: a part changed there between the runs is refused and goes.
TEST_F(Resumable, APartChangedOnDiskBetweenRunsFailsTheSignature) {
  for (const bool changed : {false, true}) {
    SCOPED_TRACE(changed ? "changed on disk" : "as the earlier run left it");
    fs::remove_all(install);
    fs::create_directories(install);
    server.forgetPackageRequests();
    ServedPackage served(package, kTag);
    served.cuts = {cut};
    server.servePackage("/p.zip", served);
    HttpDownloader::Options options = signedFor(package);
    options.retries = 0;  // the run ends with the cut
    expectError(download(server.url("/p.zip"), {}, options), "Error downloading file",
                HttpDownloader::kErrorDownloadingFile);
    ASSERT_EQ(fs::file_size(part), cut);
    if (changed) {
      std::string bytes = readFile(part);
      bytes[cut / 2] = static_cast<char>(bytes[cut / 2] ^ 0x40);
      writeFile(part, bytes);
    }
    served.cuts.clear();
    server.servePackage("/p.zip", served);
    const Result result = download(server.url("/p.zip"), {}, options);
    const auto requests = server.packageRequests("/p.zip");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests.back().range, "bytes=" + std::to_string(cut) + "-");
    if (changed) {
      ASSERT_TRUE(result.error.has_value());
      EXPECT_EQ(result.error->code, HttpDownloader::kErrorVerifyingFile);
      EXPECT_EQ(result.error->description,
                "the package signature is not valid: the signature does not match the package");
      EXPECT_EQ(installEntries(), std::vector<std::string>{}) << "neither package nor part stays";
    } else {
      EXPECT_FALSE(result.error.has_value()) << result.error->description;
      EXPECT_EQ(installEntries(), std::vector<std::string>{"p.zip"});
    }
  }
}

TEST_F(Resumable, ACutTransferIsTakenUpWithinOneCall) {
  struct Case {
    const char* name;
    ServedPackage served;
    std::vector<std::string> ranges;  // of the requests, in order
    std::optional<long> code;         // the error; nothing: the package is saved
    bool kept = false;                // a failure leaves the part for later
    bool reset = false;               // the cuts reset the connection rather than close it
  };
  const std::string rest = "bytes=" + std::to_string(cut) + "-";
  const std::string twice = "bytes=" + std::to_string(2 * cut) + "-";
  const auto cutAt = [&](std::vector<std::uint64_t> cuts, std::string etag = kTag) {
    ServedPackage served(package, std::move(etag));
    served.cuts = std::move(cuts);
    return served;
  };
  const Case cases[] = {
      {"cut once", cutAt({cut}), {"", rest}, std::nullopt},
      // The reset drops what the server had not sent yet: the rest is asked from wherever the
      // part ends.
      {"reset once", cutAt({cut}), {}, std::nullopt, false, true},
      {"cut twice", cutAt({cut, cut}), {"", rest, twice}, std::nullopt},
      {"cut before the first byte", cutAt({0, cut}), {"", "", rest}, std::nullopt},
      {"no validator: again from the start", cutAt({cut}, ""), {"", ""}, std::nullopt},
      {"cut four times: three retries, then the part waits",
       cutAt({10, 10, 10, 10}),
       {"", "bytes=10-", "bytes=20-", "bytes=30-"},
       HttpDownloader::kErrorDownloadingFile,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(install);
    fs::create_directories(install);
    std::optional<LocalHttpServer> resetting;
    if (c.reset) resetting.emplace(true);
    LocalHttpServer& serving = c.reset ? *resetting : server;
    serving.forgetPackageRequests();
    serving.servePackage("/p.zip", c.served);
    HttpDownloader::Options options = quick();
    options.retryPause = std::chrono::milliseconds(20);
    const auto start = std::chrono::steady_clock::now();
    const Result result = download(serving.url("/p.zip"), {}, options);
    const auto asked = ranges(serving.packageRequests("/p.zip"));
    if (c.reset)
      EXPECT_EQ(asked.size(), 2u);
    else
      EXPECT_EQ(asked, c.ranges);
    if (!c.code) {
      EXPECT_FALSE(result.error.has_value()) << result.error->description;
      EXPECT_TRUE(readFile(install + "/p.zip") == package) << "the package byte for byte";
      continue;
    }
    expectError(result, "Error downloading file", *c.code);
    // The pauses double: 20, 40 and 80 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
    EXPECT_EQ(fs::exists(part) && fs::exists(side), c.kept);
  }
}

TEST_F(Resumable, AnswersThatEndTheDownloadAreNotRetried) {
  struct Case {
    int status;
    bool kept;  // the part stays for a later call
  };
  for (const Case c :
       {Case{404, false}, Case{410, false}, Case{503, true}, Case{408, true}, Case{429, true}}) {
    SCOPED_TRACE(c.status);
    fs::remove_all(install);
    fs::create_directories(install);
    writeFile(part, package.substr(0, cut));
    writeFile(side, R"({"address":")" + server.url("/p.zip") + R"(","validator":"\"v1\""})");
    server.answer("/p.zip", c.status, "<html>no</html>", "text/html");
    const int before = server.requestCount("/p.zip");
    expectError(download(server.url("/p.zip")), "Error downloading file",
                HttpDownloader::kErrorDownloadingFile);
    EXPECT_EQ(server.requestCount("/p.zip") - before, 1) << "not retried";
    EXPECT_EQ(fs::exists(part) && fs::exists(side), c.kept);
    server.answer("/p.zip", 404, "");
    fs::remove_all(install);
  }
  // A package that fails its check is not continued either.
  fs::create_directories(install);
  ServedPackage served(package, kTag);
  served.cuts = {cut};
  server.servePackage("/p.zip", served);
  std::string other = package;
  other.back() = static_cast<char>(other.back() ^ 1);
  const Result refused = download(server.url("/p.zip"), {}, signedFor(other));
  ASSERT_TRUE(refused.error.has_value());
  EXPECT_EQ(refused.error->code, HttpDownloader::kErrorVerifyingFile);
  EXPECT_EQ(installEntries(), std::vector<std::string>{});
}

// Parts that nothing vouches for are never continued: the request asks for the whole package.
TEST_F(Resumable, APartIsContinuedOnlyWhenItsSideFileVouchesForIt) {
  const std::string address = server.url("/p.zip");
  const std::string good = R"({"address":")" + address + R"(","validator":"\"v1\""})";
  struct Case {
    const char* name;
    std::string partBytes;
    std::optional<std::string> sideText;
    std::vector<std::string> ranges;
    bool sideIsFolder = false;
  };
  const Case cases[] = {
      {"no side file", package.substr(0, cut), std::nullopt, {""}},
      {"a torn side file", package.substr(0, cut), good.substr(0, good.size() / 2), {""}},
      {"no validator", package.substr(0, cut), R"({"address":")" + address + R"("})", {""}},
      {"another address",
       package.substr(0, cut),
       R"({"address":"http://elsewhere/p.zip","validator":"\"v1\""})",
       {""}},
      {"an empty part", "", good, {""}},
      {"a validator of two lines",
       package.substr(0, cut),
       R"({"address":")" + address + R"(","validator":"\"v1\"\r\nX-Extra: 1"})",
       {""}},
      {"a part with all of it: 416, then the whole",
       package,
       good,
       {"bytes=" + std::to_string(package.size()) + "-", ""}},
      // A run that ended after the last byte and before the package was saved: the side file
      // recorded the size that the 416 gives, and the part is the package.
      {"a part with all of it and its size recorded: 416, nothing more",
       package,
       R"({"address":")" + address + R"(","validator":"\"v1\"","size":)" +
           std::to_string(package.size()) + "}",
       {"bytes=" + std::to_string(package.size()) + "-"}},
      {"a part of another recorded size: 416, then the whole",
       package,
       R"({"address":")" + address + R"(","validator":"\"v1\"","size":)" +
           std::to_string(package.size() + 1) + "}",
       {"bytes=" + std::to_string(package.size()) + "-", ""}},
      {"a folder at the side file's name", package.substr(0, cut), std::nullopt, {""}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(install);
    fs::create_directories(install);
    server.forgetPackageRequests();
    writeFile(part, c.partBytes);
    if (c.sideText) writeFile(side, *c.sideText);
    if (c.sideIsFolder) fs::create_directories(side + "/inside");
    server.servePackage("/p.zip", ServedPackage(package, kTag));
    const Result result = download(address);
    ASSERT_FALSE(result.error.has_value()) << result.error->description;
    EXPECT_EQ(ranges(server.packageRequests("/p.zip")), c.ranges);
    EXPECT_TRUE(readFile(install + "/p.zip") == package) << "the package byte for byte";
    EXPECT_EQ(installEntries(), std::vector<std::string>{"p.zip"});
  }
  // A whole part that nothing is fetched for is still checked against the signature: a changed
  // byte in it fails the download, and the part goes.
  const std::string wholeSide = R"({"address":")" + address + R"(","validator":"\"v1\"","size":)" +
                                std::to_string(package.size()) + "}";
  std::string tampered = package;
  tampered[tampered.size() / 2] = static_cast<char>(tampered[tampered.size() / 2] ^ 1);
  for (const bool changed : {false, true}) {
    SCOPED_TRACE(changed ? "a signed whole part, a byte changed" : "a signed whole part");
    fs::remove_all(install);
    fs::create_directories(install);
    writeFile(part, changed ? tampered : package);
    writeFile(side, wholeSide);
    server.servePackage("/p.zip", ServedPackage(package, kTag));
    const Result result = download(address, {}, signedFor(package));
    if (!changed) {
      ASSERT_FALSE(result.error.has_value()) << result.error->description;
      EXPECT_TRUE(readFile(install + "/p.zip") == package);
      EXPECT_EQ(installEntries(), std::vector<std::string>{"p.zip"});
    } else {
      ASSERT_TRUE(result.error.has_value());
      EXPECT_EQ(result.error->code, HttpDownloader::kErrorVerifyingFile);
      EXPECT_EQ(installEntries(), std::vector<std::string>{});
    }
  }
  // The page that comes with that 416 is never waited for: one cut off by the network, or one
  // that goes on and on, still leaves the part saved as the package, after one request.
  constexpr std::uint64_t kLongPage = std::uint64_t{64} << 20;
  for (const bool endless : {false, true}) {
    SCOPED_TRACE(endless ? "a 416 whose page goes on" : "a 416 whose page is cut off");
    fs::remove_all(install);
    fs::create_directories(install);
    writeFile(part, package);
    writeFile(side, wholeSide);
    auto sent = std::make_shared<std::atomic<std::uint64_t>>(0);
    server.handle("/p.zip", [&, sent](const httplib::Request&, httplib::Response& response) {
      response.status = 416;
      response.set_header("Content-Range", "bytes */" + std::to_string(package.size()));
      const std::string page(4096, 'x');
      if (endless) {
        response.set_chunked_content_provider("text/html",
                                              [page, sent](std::size_t, httplib::DataSink& sink) {
                                                if (*sent >= kLongPage) {
                                                  sink.done();
                                                  return true;
                                                }
                                                if (!sink.write(page.data(), page.size()))
                                                  return false;
                                                *sent += page.size();
                                                return true;
                                              });
      } else {
        response.set_content_provider(
            std::size_t{1} << 20, "text/html",
            [page](std::size_t offset, std::size_t, httplib::DataSink& sink) {
              // Returning false drops the connection mid-page.
              return offset == 0 && sink.write(page.data(), page.size());
            });
      }
    });
    const int before = server.requestCount("/p.zip");
    const Result result = download(address);
    ASSERT_FALSE(result.error.has_value()) << result.error->description;
    EXPECT_EQ(server.requestCount("/p.zip") - before, 1);
    EXPECT_TRUE(readFile(install + "/p.zip") == package);
    EXPECT_EQ(installEntries(), std::vector<std::string>{"p.zip"});
    if (endless) {
      EXPECT_LT(sent->load(), kLongPage) << "the page was read to its end";
    }
  }
  // A package replaced within the second of its date keeps its validator; another size still
  // shows that it is another package: that one is fetched whole, never joined to the part.
  const std::string resized = package.substr(0, package.size() / 2) + "another package";
  writeFile(part, package.substr(0, cut));
  writeFile(side, R"({"address":")" + address + R"(","validator":")" + kDate + R"(","size":)" +
                      std::to_string(package.size()) + "}");
  server.forgetPackageRequests();
  server.servePackage("/p.zip", ServedPackage(resized, "", kDate));
  const Result sameDate = download(address);
  ASSERT_FALSE(sameDate.error.has_value()) << sameDate.error->description;
  EXPECT_EQ(ranges(server.packageRequests("/p.zip")),
            (std::vector<std::string>{"bytes=" + std::to_string(cut) + "-", ""}));
  EXPECT_TRUE(readFile(install + "/p.zip") == resized) << "the new package whole";
  EXPECT_EQ(installEntries(), std::vector<std::string>{"p.zip"});

  // A 206 that starts elsewhere than asked, runs past the package's recorded size (a range of
  // unknown size, "/*"), even by one byte, or comes in a coding never asked for (a server that
  // compresses its ranges alone) is never joined to the part: the whole package is asked for,
  // once. A server that sends that 206 to it too fails the download, and the part goes.
  fs::remove(install + "/p.zip");
  const struct {
    const char* title;
    bool wholeRight;
    std::string last;  // of a range past the recorded end; empty: none
    bool encoded = false;
  } answers[] = {
      {"the whole package comes right", true, ""},
      {"every answer starts elsewhere", false, ""},
      {"the rest runs past the recorded end", true, "18446744073709551615"},
      {"the rest ends one byte past the recorded end", true, std::to_string(package.size())},
      {"the rest comes encoded (gzip)", true, "", true}};
  for (const auto& answer : answers) {
    // Named, not bound: clang 14 captures no structured binding in the server's handler.
    const bool wholeRight = answer.wholeRight;
    const std::string& last = answer.last;
    const bool pastTheEnd = !last.empty();
    const bool rangeEncoded = answer.encoded;
    SCOPED_TRACE(answer.title);
    writeFile(part, package.substr(0, cut));
    writeFile(side, pastTheEnd ? R"({"address":")" + address + R"(","validator":"\"v1\"","size":)" +
                                     std::to_string(package.size()) + "}"
                               : good);
    server.handle("/p.zip", [&](const httplib::Request& request, httplib::Response& response) {
      if (wholeRight && !request.has_header("Range"))
        return response.set_content(package, "application/zip");
      response.status = 206;
      if (rangeEncoded) {
        response.set_header("Content-Encoding", "gzip");
        response.set_header("Content-Range", "bytes " + std::to_string(cut) + "-" +
                                                 std::to_string(package.size() - 1) + "/" +
                                                 std::to_string(package.size()));
        return response.set_content(package.substr(cut), "application/zip");
      }
      if (pastTheEnd) {
        response.set_header("Content-Range", "bytes " + std::to_string(cut) + "-" + last + "/*");
        return response.set_content(package.substr(cut) + std::string(5000, 'x'),
                                    "application/zip");
      }
      response.set_header("Content-Range", "bytes 0-9/" + std::to_string(package.size()));
      response.set_content(package.substr(0, 10), "application/zip");
    });
    const int before = server.requestCount("/p.zip");
    const Result elsewhere = download(address);
    EXPECT_EQ(server.requestCount("/p.zip") - before, 2);
    if (wholeRight) {
      ASSERT_FALSE(elsewhere.error.has_value()) << elsewhere.error->description;
      EXPECT_TRUE(readFile(install + "/p.zip") == package);
      fs::remove(install + "/p.zip");
    } else {
      expectError(elsewhere, "Error downloading file", HttpDownloader::kErrorDownloadingFile);
    }
    EXPECT_EQ(installEntries(), std::vector<std::string>{}) << "no part stays";
  }

  // A server that ignores If-Range sends the rest of the package it has now, under its own
  // validator: that package is fetched whole, never joined to the part of the old one. Also when
  // its ETag comes unquoted, against the rules, and without a date; and when the part was
  // recorded under a date, which the new package's date replaces.
  std::string other = package;
  for (char& byte : other) byte = static_cast<char>(byte ^ 0x5A);
  const std::string unquoted = R"({"address":")" + address + R"(","validator":"v1"})";
  const std::string dated =
      R"({"address":")" + address + R"(","validator":")" + std::string(kDate) + R"("})";
  const struct {
    const char* quote;
    const std::string& sideText;
    const char* date;  // the new package's Last-Modified; none when empty
  } replacements[] = {
      {"\"", good, ""}, {"", unquoted, ""}, {"\"", dated, "Wed, 05 Jun 2024 10:00:00 GMT"}};
  for (const auto& replacement : replacements) {
    // Named, not bound: clang 14 captures no structured binding in the server's handler.
    const std::string quote = replacement.quote;
    const char* date = replacement.date;
    SCOPED_TRACE(replacement.sideText);
    writeFile(part, package.substr(0, cut));
    writeFile(side, replacement.sideText);
    server.handle("/p.zip", [&](const httplib::Request& request, httplib::Response& response) {
      response.set_header("ETag", std::string(quote) + "v2" + quote);
      if (*date != '\0') response.set_header("Last-Modified", date);
      if (!request.has_header("Range")) return response.set_content(other, "application/zip");
      const std::size_t first = std::stoul(request.get_header_value("Range").substr(6));
      response.status = 206;
      response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                               std::to_string(other.size() - 1) + "/" +
                                               std::to_string(other.size()));
      response.set_content(other.substr(first), "application/zip");
    });
    const Result replaced = download(address);
    ASSERT_FALSE(replaced.error.has_value()) << replaced.error->description;
    EXPECT_TRUE(readFile(install + "/p.zip") == other) << "the new package whole";
    fs::remove(install + "/p.zip");
  }

  // Ranges that end before the package does are never taken for the whole of it: each retry
  // asks for the rest, and what came stays for the next call.
  writeFile(part, package.substr(0, cut));
  writeFile(side, good);
  server.handle("/p.zip", [&](const httplib::Request& request, httplib::Response& response) {
    const std::size_t first = std::stoul(request.get_header_value("Range").substr(6));
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                             std::to_string(first + 9) + "/" +
                                             std::to_string(package.size()));
    response.set_content(package.substr(first, 10), "application/zip");
  });
  expectError(download(address), "Error downloading file", HttpDownloader::kErrorDownloadingFile);
  EXPECT_EQ(installEntries(), (std::vector<std::string>{".p.zip.part", ".p.zip.part.json"}));
  EXPECT_TRUE(readFile(part) == package.substr(0, cut + 40)) << "four answers of 10 bytes";

  // Nor is the rest of a package whose size nobody gave.
  server.handle("/p.zip", [&](const httplib::Request&, httplib::Response& response) {
    response.status = 206;
    response.set_header("Content-Range", "bytes " + std::to_string(cut + 40) + "-" +
                                             std::to_string(package.size() - 1) + "/*");
    response.set_content(package.substr(cut + 40), "application/zip");
  });
  expectError(download(address), "Error downloading file", HttpDownloader::kErrorDownloadingFile);
  EXPECT_EQ(installEntries(), std::vector<std::string>{});

  // Nor is a rest that runs on past the range it names, or past the package's end: the part
  // never holds bytes the answer did not announce, the server is not asked again, and the part
  // goes.
  for (const std::uint64_t last : {cut + 9, std::uint64_t{package.size() - 1}}) {
    SCOPED_TRACE("a range ending at byte " + std::to_string(last));
    writeFile(part, package.substr(0, cut));
    writeFile(side, good);
    server.handle("/p.zip", [&](const httplib::Request&, httplib::Response& response) {
      response.status = 206;
      response.set_header("Content-Range", "bytes " + std::to_string(cut) + "-" +
                                               std::to_string(last) + "/" +
                                               std::to_string(package.size()));
      response.set_content(package.substr(cut, last - cut + 1) + std::string(10, 'x'),
                           "application/zip");
    });
    const int before = server.requestCount("/p.zip");
    const Result overrun = download(address);
    expectError(overrun, "Error downloading file", HttpDownloader::kErrorDownloadingFile);
    if (overrun.error) {
      EXPECT_NE(overrun.error->description.find("more bytes than it announced"), std::string::npos)
          << overrun.error->description;
    }
    EXPECT_EQ(server.requestCount("/p.zip") - before, 1) << "not retried";
    EXPECT_EQ(installEntries(), std::vector<std::string>{});
  }
}

TEST_F(Resumable, StartUpKeepsOnlyPartsThatCanBeContinued) {
  const auto make = [&](const std::string& segment, bool withSide, const std::string& sideText) {
    writeFile(install + "/" + HttpDownloader::partFileName(segment), "part");
    if (withSide) writeFile(install + "/" + HttpDownloader::sideFileName(segment), sideText);
  };
  const std::string good = R"({"address":"http://h/a.zip","validator":"\"v1\"","size":9})";
  make("a.zip", true, good);
  make("b.zip", false, "");
  make("c.zip", true, "{\"address\":");
  writeFile(install + "/" + HttpDownloader::sideFileName("d.zip"), good);
  writeFile(install + "/.e.zip.part-Ab12Cd", "an older launcher's part");
  writeFile(install + "/.a.zip.part.json.new", "a side file being written");
  fs::create_directories(install + "/.folder.part");
  writeFile(install + "/.lock", "");
  writeFile(install + "/version.txt", "3");
  HttpDownloader::removeStaleParts(install);
  EXPECT_EQ(installEntries(), (std::vector<std::string>{".a.zip.part", ".a.zip.part.json",
                                                        ".folder.part", ".lock", "version.txt"}));
}

// --- Failed fetch: error 1002, no console line, an older package left as it was ------------------

TEST_F(Downloader, ReportsAFailedFetchAndKeepsWhatWasThere) {
  struct Case {
    const char* name;
    std::string address;
    std::string named;  // what the description names besides the domain and the code
    int retries = 0;    // only a transfer that began and was cut is taken up again
  };
  server.answer("/missing.zip", 404, "<html>Not Found</html>", "text/html");
  server.answer("/broken.zip", 500, "<html>Server Error</html>", "text/html");
  server.answer("/empty404.zip", 404, "");
  server.answer("/moved.zip", 301, "no location given");
  server.cutOff("/short.zip", std::string(1000, 'a'), 5000);
  server.cutOff("/half.zip", std::string(512 * 1024, 'b'), 1024 * 1024);
  server.handle("/encoded.zip", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Encoding", "gzip");
    response.set_content(std::string("\x1f\x8b\x08\0\0\0\0\0", 8), "application/zip");
  });
  // libcurl reads a redirect's body before it follows: one of 64 MiB stands for one without end.
  server.handle("/redirect-body.zip", [](const httplib::Request&, httplib::Response& response) {
    response.status = 302;
    response.set_header("Location", "/missing.zip");
    response.set_chunked_content_provider(
        "text/html", [sent = std::size_t{0}](std::size_t, httplib::DataSink& sink) mutable {
          const std::string piece(64 * 1024, 'r');
          if (sent >= std::size_t{64} << 20) {
            sink.done();
            return true;
          }
          sent += piece.size();
          return sink.write(piece.data(), piece.size());
        });
  });
  const std::string unreachable = "127.0.0.1:" + std::to_string(testing::unusedPort());
  const Case cases[] = {
      {"server unreachable", "http://" + unreachable + "/package.zip",
       curl_easy_strerror(CURLE_COULDNT_CONNECT)},
      {"404 with an error page", server.url("/missing.zip"), "HTTP status 404"},
      {"500 with an error page", server.url("/broken.zip"), "HTTP status 500"},
      {"404 without a body", server.url("/empty404.zip"), "HTTP status 404"},
      {"a redirect without a target", server.url("/moved.zip"), "HTTP status 301"},
      {"body cut off early", server.url("/short.zip"), curl_easy_strerror(CURLE_PARTIAL_FILE), 3},
      {"body cut off after part was written", server.url("/half.zip"),
       curl_easy_strerror(CURLE_PARTIAL_FILE), 3},
      {"a body in a coding never asked for", server.url("/encoded.zip"), "encoded (gzip)"},
      {"a redirect with an endless body", server.url("/redirect-body.zip"),
       "a redirect whose body is larger than 1024 KiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string destination = install + "/" + Url::parse(c.address)->lastPathComponent();
    writeFile(destination, "older package");
    const Result result = download(c.address);
    expectError(result, "Error downloading file", HttpDownloader::kErrorDownloadingFile);
    if (result.error) {
      EXPECT_NE(result.error->description.find(c.named), std::string::npos)
          << result.error->description;
    }
    EXPECT_EQ(result.path, destination);
    int retries = 0;
    for (auto at = result.log.find("taking it up again"); at != std::string::npos;
         at = result.log.find("taking it up again", at + 1))
      ++retries;
    EXPECT_EQ(retries, c.retries) << result.log;
    // Nothing is removed before a whole 2xx answer; no part file stays.
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(readFile(destination), "older package");
    EXPECT_EQ(installEntries(), std::vector<std::string>{fs::path(destination).filename()});
    fs::remove(destination);
  }
}

// The identity coding is the body as it is, however the server spells it; also in the window
// launcher, whose toolkit sets the user's locale, where a Turkish one lowers no 'I' to 'i'. That
// locale is made from the system's locale sources when it is not installed.
TEST_F(Downloader, TakesTheIdentityCodingHoweverItIsSpelt) {
  const testing::UserLocale turkish(LC_CTYPE, "tr_TR");
  SCOPED_TRACE(turkish.active() ? "in tr_TR.UTF-8" : "tr_TR.UTF-8 cannot be had: in C");
  for (const std::string spelling : {"identity", "IDENTITY", "Identity"}) {
    SCOPED_TRACE(spelling);
    server.handle("/plain.zip", [spelling](const httplib::Request&, httplib::Response& response) {
      response.set_header("Content-Encoding", spelling);
      response.set_content("the package", "application/zip");
    });
    const Result result = download(server.url("/plain.zip"));
    EXPECT_FALSE(result.error.has_value()) << result.error->description;
    EXPECT_EQ(readFile(install + "/plain.zip"), "the package");
    fs::remove(install + "/plain.zip");
  }
}

TEST_F(Downloader, TheBarShowsWhatThePartHoldsWhileASlowPackageArrives) {
  // 16 pieces of 16 KiB, one every 50 ms: far less than fills the writer's buffers.
  const std::size_t piece = 16 * 1024, pieces = 16;
  server.handle("/slow.zip", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(piece * pieces, "application/zip",
                                  [&](std::size_t, std::size_t, httplib::DataSink& sink) {
                                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                    return sink.write(std::string(piece, 'd').data(), piece);
                                  });
  });
  const std::string part = install + "/" + HttpDownloader::partFileName("slow.zip");
  std::vector<std::uint64_t> shown;
  HttpDownloader::Options options = quick();
  options.progress = [&](std::uint64_t size, std::optional<std::uint64_t>) {
    shown.push_back(size);
    std::error_code ignored;
    EXPECT_LE(size, fs::file_size(part, ignored)) << "the bar shows bytes not in the part";
  };
  ASSERT_FALSE(download(server.url("/slow.zip"), {}, options).error.has_value());
  // The bar moves while the package arrives, not only at its end.
  const auto between = std::count_if(shown.begin(), shown.end(), [&](std::uint64_t size) {
    return size > 0 && size < piece * pieces;
  });
  EXPECT_GE(between, 3) << "of " << shown.size() << " reports";
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back(), piece * pieces);

  // A burst, then a pause (as a server that limits its rate sends): the burst reaches the part
  // and the bar while the server waits, not only once its next bytes come. The server waits for
  // that report, 5 s at most.
  std::mutex mutex;
  std::condition_variable reported;
  // Serves two pieces at `path`; before the second, waits until `shown` holds, 5 s at most, and
  // records in `held` whether it did.
  const auto servePaused = [&](const std::string& path, const std::function<bool()>& shown,
                               bool& held) {
    server.handle(path, [&, shown](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(
          2 * piece, "application/zip",
          [&, shown](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (offset > 0) {
              std::unique_lock lock(mutex);
              held = reported.wait_for(lock, std::chrono::seconds(5), shown);
            }
            return sink.write(std::string(piece, 'p').data(), piece);
          });
    });
  };
  bool burstShown = false, shownWhileWaiting = false;
  servePaused(
      "/bursty.zip", [&] { return burstShown; }, shownWhileWaiting);
  options.progress = [&](std::uint64_t size, std::optional<std::uint64_t>) {
    std::lock_guard lock(mutex);
    burstShown = burstShown || size == piece;
    reported.notify_all();
  };
  ASSERT_FALSE(download(server.url("/bursty.zip"), {}, options).error.has_value());
  EXPECT_TRUE(shownWhileWaiting) << "the burst showed only once more bytes came";

  // A stall: while nothing arrives, the bar hears again of the bytes it has, so that the speed
  // it shows can fall. The server waits for two such reports, 5 s at most.
  int sameAgain = 0;
  bool stallShown = false;
  servePaused(
      "/stalled.zip", [&] { return sameAgain >= 2; }, stallShown);
  std::vector<std::uint64_t> stalled;
  options.quietReport = std::chrono::milliseconds(20);
  options.progress = [&](std::uint64_t size, std::optional<std::uint64_t>) {
    std::lock_guard lock(mutex);
    if (!stalled.empty() && stalled.back() == piece && size == piece) ++sameAgain;
    stalled.push_back(size);
    reported.notify_all();
  };
  ASSERT_FALSE(download(server.url("/stalled.zip"), {}, options).error.has_value());
  EXPECT_TRUE(stallShown) << "nothing reached the bar while the server waited";
  ASSERT_FALSE(stalled.empty());
  EXPECT_EQ(stalled.back(), 2 * piece);

  // Cut after a piece, and slow to answer again: the bar hears of that piece through the pause
  // before the next attempt, and while the answer is awaited. The second answer waits for two
  // such reports, 5 s at most.
  int requests = 0;
  int shownInPause = 0;
  bool reconnectShown = false;
  options.retryPause = std::chrono::milliseconds(200);
  sameAgain = 0;
  stalled.clear();
  server.handle("/cut.zip", [&](const httplib::Request&, httplib::Response& response) {
    if (requests++ == 0) {
      response.set_content_provider(2 * piece, "application/zip",
                                    [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                      return offset == 0 &&
                                             sink.write(std::string(piece, 'c').data(), piece);
                                    });
      return;
    }
    std::unique_lock lock(mutex);
    shownInPause = sameAgain;
    sameAgain = 0;  // only what comes while the answer is awaited counts
    reconnectShown =
        reported.wait_for(lock, std::chrono::seconds(5), [&] { return sameAgain >= 2; });
    response.set_content(std::string(2 * piece, 'c'), "application/zip");
  });
  ASSERT_FALSE(download(server.url("/cut.zip"), {}, options).error.has_value());
  EXPECT_EQ(requests, 2);
  EXPECT_GE(shownInPause, 2) << "the bar heard nothing through the pause";
  EXPECT_TRUE(reconnectShown) << "nothing reached the bar while the download was taken up again";
  EXPECT_EQ(stalled.back(), 2 * piece);
}

TEST_F(Downloader, GivesUpATransferThatCrawls) {
  // 512 bytes a second, below the floor of 1 KiB a second, borne here for one second only.
  server.handle("/slow.zip", [](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(16 * 1024, "application/zip",
                                  [](std::size_t, std::size_t, httplib::DataSink& sink) {
                                    std::this_thread::sleep_for(std::chrono::milliseconds(250));
                                    return sink.write(std::string(128, 'c').data(), 128);
                                  });
  });
  HttpDownloader::Options options = quick();
  options.lowSpeedTime = std::chrono::seconds(1);
  options.retries = 0;
  std::optional<ErrorRecord> error;
  const auto start = std::chrono::steady_clock::now();
  HttpDownloader::loadFileSync(
      *Url::parse(server.url("/slow.zip")), install,
      [&](const std::string&, const std::optional<ErrorRecord>& e) { error = e; }, options);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, HttpDownloader::kErrorDownloadingFile);
  EXPECT_NE(error->description.find(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)),
            std::string::npos)
      << error->description;
  EXPECT_EQ(installEntries(), std::vector<std::string>{});
}

TEST_F(Downloader, FetchesOnlyOverHttp) {
  const std::string local = folders.root() + "/elsewhere.zip";
  writeFile(local, "a local file");
  const std::string localAddress = testing::fileUrl(local);
  server.redirect("/jump.zip", localAddress);
  for (const std::string& address : {localAddress, server.url("/jump.zip")}) {
    SCOPED_TRACE(address);
    const Result result = download(address);
    expectError(result, "Error downloading file", HttpDownloader::kErrorDownloadingFile);
    // Refused before the local file is read, not for what reading it gave.
    if (result.error) {
      EXPECT_NE(result.error->description.find(curl_easy_strerror(CURLE_UNSUPPORTED_PROTOCOL)),
                std::string::npos)
          << result.error->description;
    }
    EXPECT_EQ(installEntries(), std::vector<std::string>{});
  }
}

// --- Failed write: error 1001 and the "error saving file" line
// -------------------------------------

TEST_F(Downloader, ReportsAMissingInstallFolderAsASavingError) {
  fs::remove_all(install);
  server.answer("/package_mac.zip", 200, "package");
  const Result result = download(server.url("/package_mac.zip"));
  expectError(result, "Error saving file", HttpDownloader::kErrorSavingFile);
  EXPECT_EQ(result.path, install + "/package_mac.zip");
  EXPECT_EQ(result.out, "error saving file\n");
  EXPECT_FALSE(fs::exists(install));
}

TEST_F(Downloader, ReportsAFullDiskAsASavingErrorAndRemovesThePart) {
  // A file size limit makes write(2) fail with EFBIG half-way, like a full disk.
  const std::uint64_t limit = 256 * 1024;
  server.serveGenerated("/package_mac.zip", 4 * limit);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = limit;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const Result result = download(server.url("/package_mac.zip"));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);

  expectError(result, "Error saving file", HttpDownloader::kErrorSavingFile);
  EXPECT_EQ(result.out, "error saving file\n");
  EXPECT_EQ(installEntries(), std::vector<std::string>{});
}

// The install folder's file system keeps some room free: a package announced larger than what it
// leaves is refused before its first byte, and a body without a length stops before that room.
TEST_F(Downloader, LeavesRoomFreeOnTheInstallFolderFileSystem) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  const testing::ScratchFileSystem small(32 * kMiB);
  if (!small.mounted()) GTEST_SKIP() << small.reason();
  ASSERT_LT(HttpDownloader::kKeepFreeBytes, 24 * kMiB);
  server.serveGenerated("/fits.zip", 4 * kMiB);
  server.serveGenerated("/announced.zip", 32 * kMiB - HttpDownloader::kKeepFreeBytes + 1);
  server.handle("/endless.zip", [](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider(
        "application/zip", [sent = std::uint64_t{0}](std::size_t, httplib::DataSink& sink) mutable {
          const std::string piece(256 * 1024, 'x');
          if (sent >= 64 * kMiB) return false;
          sent += piece.size();
          return sink.write(piece.data(), piece.size());
        });
  });
  struct Case {
    const char* name;
    bool saved;
    const char* named = nullptr;  // in the description
  };
  const Case cases[] = {
      {"fits.zip", true},
      {"announced.zip", false, "but only"},
      {"endless.zip", false, "No space left"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint64_t largest = 0;
    HttpDownloader::Options options = quick();
    options.progress = [&](std::uint64_t received, std::optional<std::uint64_t>) {
      largest = std::max(largest, received);
    };
    const Result result = download(server.url(std::string("/") + c.name), small.path(), options);
    EXPECT_LE(largest + HttpDownloader::kKeepFreeBytes, 32 * kMiB);
    auto entries = platform::folderEntries(small.path());
    ASSERT_TRUE(entries.has_value());
    if (c.saved) {
      EXPECT_FALSE(result.error.has_value()) << result.error->description;
      EXPECT_EQ(*entries, std::vector<std::string>{c.name});
      fs::remove(small / c.name);
      continue;
    }
    expectError(result, "Error saving file", HttpDownloader::kErrorSavingFile);
    EXPECT_NE(result.error->description.find(c.named), std::string::npos)
        << result.error->description;
    EXPECT_EQ(result.out, "error saving file\n");
    EXPECT_EQ(*entries, std::vector<std::string>{}) << "the part goes";
    if (std::string(c.name) == "announced.zip") {
      EXPECT_EQ(largest, 0u) << "not a byte written";
    }
  }
}

// --- Addresses that do not name a file inside the install folder
// -----------------------------------

TEST_F(Downloader, RefusesADestinationThatIsNotAPackageAndTouchesNothing) {
  const std::string bundle = APPLICATION_NAME() + ".app";
  writeFile(install + "/version.txt", "7");
  writeFile(install + "/" + bundle + "/AppRun", "the application");
  writeFile(install + "/Plugins/user.ini", "the user's");
  writeFile(install + "/.lock", "");
  fs::create_symlink(install + "/Plugins/user.ini", install + "/settings.zip");
  fs::create_symlink(install + "/gone", install + "/dangling.zip");
  writeFile(folders.dataHome() + "/other.txt", "beside the install folder");
  const auto before = installEntries();
  const std::string targets[] = {
      // No plain name: the install folder itself, a folder above it, a path elsewhere
      "/", "/dir/", "/..", "/.", "/%2E%2E", "/%2e", "/a%2Fb", "/x/..%2F..%2Fother.txt", "/%00",
      "/pkg.zip%00",
      // A name longer than a file name can be: refused before the whole package is fetched
      "/" + std::string(300, 'p') + ".zip",
      // Control characters
      "/a%0Ab.zip", "/pkg%1B.zip", "/pkg%7F.zip", "/tab%09.zip",
      // The launcher's own files
      "/version.txt", "/.lock", "/.staging", "/.install-journal", "/.hidden.zip",
      // Application bundles, whatever follows the name
      "/" + bundle, "/" + APPLICATION_NAME() + "%20v.2.app", "/" + APPLICATION_NAME() + "-beta.app",
      // Existing entries that are not files: a folder, links
      "/Plugins", "/settings.zip", "/dangling.zip"};
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    const Result result = download(server.url(target));
    expectError(result, "Error downloading file", HttpDownloader::kErrorDownloadingFile);
    EXPECT_EQ(result.path, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(installEntries(), before);
  }
  EXPECT_EQ(readFile(install + "/version.txt"), "7");
  EXPECT_EQ(readFile(install + "/" + bundle + "/AppRun"), "the application");
  EXPECT_EQ(readFile(install + "/Plugins/user.ini"), "the user's");
  EXPECT_EQ(readFile(folders.dataHome() + "/other.txt"), "beside the install folder");
  // Without a folder the file would land at the root of the file system.
  const Result nowhere = download(server.url("/launcher-test-nowhere.zip"), "");
  expectError(nowhere, "Error downloading file", HttpDownloader::kErrorDownloadingFile);
  EXPECT_EQ(nowhere.path, "");
  EXPECT_FALSE(fs::exists("/launcher-test-nowhere.zip"));
  EXPECT_EQ(server.requestCount(), 0);
}

}  // namespace
}  // namespace launcher
