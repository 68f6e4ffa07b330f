// The package download into the install folder, against a server in this process.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <thread>

#include "Launcher/Config.h"
#include "Launcher/HttpDownloader.h"
#include "Launcher/Minisign.h"
#include "Launcher/platform/FileManager.h"
#include "tests/support/CaptureFd.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/TestFolders.h"

namespace launcher {
namespace {
namespace fs = std::filesystem;
using platform::ErrorRecord;
using platform::Url;
using testing::CaptureFd;
using testing::LocalHttpServer;
using testing::readFile;
using testing::writeFile;

struct Result {
  std::string path;
  std::optional<ErrorRecord> error;
  std::string out;  // standard output during the call
};

class Downloader : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(install); }

  // One loadFileSync call; checks that the completion ran exactly once, on this thread, before
  // the call returned.
  Result download(const std::string& address, const std::optional<std::string>& folder = {}) {
    auto url = Url::parse(address);
    EXPECT_TRUE(url.has_value()) << address;
    if (!url) return {};
    Result result;
    int calls = 0;
    std::thread::id thread;
    CaptureFd out(STDOUT_FILENO);
    HttpDownloader::loadFileSync(
        *url, folder.value_or(install),
        [&](const std::string& path, const std::optional<ErrorRecord>& error) {
          ++calls;
          thread = std::this_thread::get_id();
          result.path = path;
          result.error = error;
        });
    result.out = out.finish();
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
  fs::remove(destination);

  struct Case {
    const char* name;
    std::string signature;
    std::optional<std::string> reason;  // nothing: accepted
  };
  const Case cases[] = {
      {"its own signature", *signature, std::nullopt},
      {"the signature of other bytes", *otherSignature, "the signature does not match the package"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(destination, "older package");
    HttpDownloader::Options options;
    options.publicKey = keys->publicKeyLine;
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
    // The accepted package replaces the older one; a refused one never takes its place.
    EXPECT_EQ(installEntries(), std::vector<std::string>{"big.zip"});
    EXPECT_EQ(fs::file_size(destination), c.reason ? std::string("older package").size() : size);
  }
}

// --- Failed fetch: error 1002, no console line, an older package left as it was ------------------

TEST_F(Downloader, ReportsAFailedFetchAndKeepsWhatWasThere) {
  struct Case {
    const char* name;
    std::string address;
    std::string named;  // what the description names besides the domain and the code
  };
  server.answer("/missing.zip", 404, "<html>Not Found</html>", "text/html");
  server.answer("/broken.zip", 500, "<html>Server Error</html>", "text/html");
  server.answer("/empty404.zip", 404, "");
  server.answer("/moved.zip", 301, "no location given");
  server.cutOff("/short.zip", std::string(1000, 'a'), 5000);
  server.cutOff("/half.zip", std::string(512 * 1024, 'b'), 1024 * 1024);
  const std::string unreachable = "127.0.0.1:" + std::to_string(testing::unusedPort());
  const Case cases[] = {
      {"server unreachable", "http://" + unreachable + "/package.zip",
       curl_easy_strerror(CURLE_COULDNT_CONNECT)},
      {"404 with an error page", server.url("/missing.zip"), "HTTP status 404"},
      {"500 with an error page", server.url("/broken.zip"), "HTTP status 500"},
      {"404 without a body", server.url("/empty404.zip"), "HTTP status 404"},
      {"a redirect without a target", server.url("/moved.zip"), "HTTP status 301"},
      {"body cut off early", server.url("/short.zip"), curl_easy_strerror(CURLE_PARTIAL_FILE)},
      {"body cut off after part was written", server.url("/half.zip"),
       curl_easy_strerror(CURLE_PARTIAL_FILE)},
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
    // Nothing is removed before a whole 2xx answer; no part file stays.
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(readFile(destination), "older package");
    EXPECT_EQ(installEntries(), std::vector<std::string>{fs::path(destination).filename()});
    fs::remove(destination);
  }
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
  HttpDownloader::Options options;
  options.lowSpeedTime = std::chrono::seconds(1);
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
  server.redirect("/jump.zip", "file://" + local);
  for (const std::string& address : {"file://" + local, server.url("/jump.zip")}) {
    SCOPED_TRACE(address);
    const Result result = download(address);
    expectError(result, "Error downloading file", HttpDownloader::kErrorDownloadingFile);
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
