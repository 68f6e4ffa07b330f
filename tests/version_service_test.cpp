// The version request against a real HTTP server in this process, through the real libcurl
// session. Only the address is redirected: the configured server is answered by the local one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>

#include "Launcher/Config.h"
#include "tests/support/CaptureFd.h"
#include "tests/support/Doubles.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/TestFolders.h"

namespace launcher {
namespace {
using testing::LocalHttpServer;
using testing::readFile;
using testing::writeFile;

std::string answer(const std::string& version, const std::string& url) {
  return R"({"data":{"attributes":{"application_version":)" + version +
         R"(,"application_url_mac":)" + url + "}}}";
}

constexpr const char* kMalformed = "Error serializing JSON!\nFile can be removed.";
constexpr const char* kInstalledIsUsed = "\n\nThe installed version will be used.";
constexpr const char* kNothingInstalled =
    "\n\nNothing is installed yet: try again when the server can be reached.";
// Nothing is installed in these tests.
const std::string kUnparsable =
    std::string("Failed to serialize the version.\n ") + kNothingInstalled;
const std::string kSignature =
    "untrusted comment: signature\nRUQ...\ntrusted comment: version:12\nAAAA...\n";
const std::string kPackage = "http://127.0.0.1:1/feed/package_mac.zip";

struct Case {
  const char* name;
  int status;
  std::string body;
  // Expected outcome.
  std::optional<std::int64_t> version;  // stored version, nothing = unchanged (0)
  bool urlStored;                       // url replaced by kPackage
  bool urlAbsent;                       // url made absent
  std::string alertMessage;             // "" = no alert
  std::string alertText;
  std::optional<std::string> signature = std::nullopt;  // stored signature
  std::optional<std::string> manifest = std::nullopt;   // stored signed manifest's address
};

class VersionServiceTest : public ::testing::TestWithParam<Case> {
 protected:
  testing::UserFolders folders;
  LocalHttpServer server;
  testing::TestRig rig;

  std::shared_ptr<ViewController> makeController(const std::string& target) {
    rig.environment.httpSession = std::make_shared<testing::RetargetingHttpSession>(target);
    return rig.makeController();
  }

  // Runs SerializeJSON on a detached worker thread, which may stay blocked for the rest of the
  // program, as it would until the process ended; the future is ready when it returned.
  static std::future<void> startSerialize(const std::shared_ptr<ViewController>& controller) {
    auto done = std::make_shared<std::promise<void>>();
    auto returned = done->get_future();
    std::thread([controller, done] {
      controller->SerializeJSON();
      done->set_value();
    }).detach();
    return returned;
  }
  static bool serializeReturns(const std::shared_ptr<ViewController>& controller) {
    return startSerialize(controller).wait_for(std::chrono::seconds(30)) ==
           std::future_status::ready;
  }
};

TEST_P(VersionServiceTest, AnswerIsHandledAndTheCallerReleased) {
  const Case& c = GetParam();
  server.answer("/v/version", c.status, c.body, "application/json");
  auto controller = makeController(server.url("/v/version"));
  rig.alerts->queueAnswer(0);  // a failure dialog that ends without its button returns
  const auto before = controller->url;

  testing::CaptureFd out(1);
  ASSERT_TRUE(serializeReturns(controller)) << "the caller must be released";
  const std::string printed = out.finish();

  EXPECT_EQ(printed, "responseString = " + c.body + "\n");
  EXPECT_EQ(controller->version, c.version.value_or(0));
  EXPECT_EQ(controller->signature, c.signature);
  EXPECT_EQ(controller->manifestAddress, c.manifest);
  if (c.urlStored)
    EXPECT_EQ(controller->url, platform::Url::parse(kPackage));
  else if (c.urlAbsent)
    EXPECT_FALSE(controller->url.has_value());
  else
    EXPECT_EQ(controller->url, before);
  const auto shown = rig.alerts->shown();
  if (c.alertMessage.empty()) {
    EXPECT_TRUE(shown.empty());
  } else {
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].messageText, c.alertMessage);
    EXPECT_EQ(shown[0].informativeText, c.alertText);
  }
  EXPECT_EQ(server.requestCount("/v/version"), 1);
  EXPECT_EQ(rig.application->terminateCount(), 0);
}

const std::string kGoodUrl = "\"" + kPackage + "\"";

INSTANTIATE_TEST_SUITE_P(
    Answers, VersionServiceTest,
    ::testing::Values(
        // Good answers
        Case{"Valid", 200, answer("\"12\"", kGoodUrl), 12, true, false, "", ""},
        Case{"PlusSign", 200, answer("\"+12\"", kGoodUrl), 12, true, false, "", ""},
        Case{"Negative", 200, answer("\"-3\"", kGoodUrl), -3, true, false, "", ""},
        Case{"LeadingZeros", 200, answer("\"007\"", kGoodUrl), 7, true, false, "", ""},
        Case{"Status500", 500, answer("\"12\"", kGoodUrl), 12, true, false, "", ""},
        Case{"ExtraMembers", 200,
             R"({"meta":1,"data":{"id":"x","attributes":{"notes":[1,2],"application_version":"5",)"
             R"("application_url_mac":")" +
                 kPackage + R"(","more":{}}},"links":null})",
             5, true, false, "", ""},
        Case{"Signature", 200,
             R"({"data":{"attributes":{"application_version":"12","application_signature_mac":)" +
                 nlohmann::json(kSignature).dump() + R"(,"application_url_mac":)" + kGoodUrl +
                 "}}}",
             12, true, false, "", "", kSignature},
        Case{"SignedManifest", 200,
             R"({"data":{"attributes":{"application_version":"12","application_manifest_mac":)"
             R"("http://h/p.zip.manifest","application_url_mac":)" +
                 kGoodUrl + "}}}",
             12, true, false, "", "", std::nullopt, "http://h/p.zip.manifest"},
        Case{"SignedManifestNotAString", 200,
             R"({"data":{"attributes":{"application_version":"12","application_manifest_mac":[],)"
             R"("application_url_mac":)" +
                 kGoodUrl + "}}}",
             12, true, false, "", ""},
        Case{"SignatureNotAString", 200,
             R"({"data":{"attributes":{"application_version":"12","application_signature_mac":7,)"
             R"("application_url_mac":)" +
                 kGoodUrl + "}}}",
             12, true, false, "", ""},
        Case{"UrlWithSpace", 200, answer("\"9\"", "\"http://127.0.0.1/a b.zip\""), 9, false, true,
             "", ""},
        // libcurl would read the address only up to the NUL: not the address the server named.
        Case{"UrlWithNul", 200, answer("\"9\"", R"("http://127.0.0.1/a.zip\u0000\r\nb.zip")"), 9,
             false, true, "", ""},
        // Members missing or of the wrong type
        Case{"VersionAsNumber", 200, answer("12", kGoodUrl), std::nullopt, false, false, kMalformed,
             ""},
        Case{"UrlMissing", 200, R"({"data":{"attributes":{"application_version":"12"}}})",
             std::nullopt, false, false, kMalformed, ""},
        Case{
            "CapitalData", 200,
            R"({"Data":{"attributes":{"application_version":"1","application_url_mac":"http://x/p.zip"}}})",
            std::nullopt, false, false, kMalformed, ""},
        Case{"DataNotObject", 200, R"({"data":[1]})", std::nullopt, false, false, kMalformed, ""},
        Case{"NoAttributes", 200, R"({"data":{}})", std::nullopt, false, false, kMalformed, ""},
        Case{"VersionNotInteger", 200, answer("\"1.5\"", kGoodUrl), std::nullopt, false, false,
             kMalformed, ""},
        Case{"VersionOutOfRange", 200, answer("\"9223372036854775808\"", kGoodUrl), std::nullopt,
             false, false, kMalformed, ""},
        // Not a JSON object
        Case{"TopLevelArray", 200, "[]", std::nullopt, false, false, "", ""},
        Case{"EmptyBody", 200, "", std::nullopt, false, false, "Error", kUnparsable},
        Case{"TopLevelNumber", 200, "12", std::nullopt, false, false, "Error", kUnparsable},
        Case{"NotJson", 404, "<html>not found</html>", std::nullopt, false, false, "Error",
             kUnparsable}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VersionServiceTest, BodyThatIsNotUtf8IsMarkedOnItsLine) {
  server.answer("/v/version", 200, "\xff\xfe{}", "application/json");
  auto controller = makeController(server.url("/v/version"));
  rig.alerts->queueAnswer(0);
  testing::CaptureFd out(1);
  ASSERT_TRUE(serializeReturns(controller));
  const std::string printed = out.finish();
  EXPECT_TRUE(printed.starts_with("responseString = ")) << printed;
  EXPECT_EQ(printed.find('\xff'), std::string::npos) << "raw bytes are not echoed";
  ASSERT_EQ(rig.alerts->shown().size(), 1u);
  EXPECT_EQ(rig.alerts->shown()[0].informativeText, kUnparsable);
}

// ---- Nothing received: the user is told, the version file stays, the caller goes on

// An installed application that can start.
void writeApplication(const std::string& installFolder) {
  const std::string run = installFolder + "/" + APPLICATION_NAME() + ".app/AppRun";
  writeFile(run, "#!/bin/sh\n");
  std::filesystem::permissions(run, std::filesystem::perms(0755));
}

TEST_F(VersionServiceTest, UnparsableAnswerKeepsTheVersionFileAndReleasesTheCaller) {
  writeFile(folders.installFolder() + "/version.txt", "4");
  writeApplication(folders.installFolder());
  server.answer("/v/version", 200, "<html>Sign in to the network</html>", "text/html");
  auto controller = makeController(server.url("/v/version"));
  ASSERT_TRUE(serializeReturns(controller));
  const auto shown = rig.alerts->shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].messageText, "Error");
  EXPECT_EQ(shown[0].informativeText,
            std::string("Failed to serialize the version.\n ") + kInstalledIsUsed);
  EXPECT_EQ(shown[0].buttons, std::vector<std::string>{"OK"});
  EXPECT_EQ(rig.application->terminateCount(), 0);
  EXPECT_EQ(readFile(folders.installFolder() + "/version.txt"), "4");
  EXPECT_FALSE(controller->versionReceived);
}

TEST_F(VersionServiceTest, ClosedPortPrintsTheErrorAndSaysWhatIsUsedInstead) {
  const std::string installed = folders.installFolder() + "/version.txt";
  // The installed version is used only when it is recorded and its application can start.
  // A pipe in the version file's place is never waited on, and a link to a file is not followed:
  // the launcher reads no version there.
  const struct {
    std::string recorded;
    bool application;
    bool pipe = false;
    bool link = false;
  } cases[] = {{"4", true}, {"4", false},     {"0", true},
               {"", false}, {"", true, true}, {"4", true, false, true}};
  for (const auto& [recorded, application, pipe, link] : cases) {
    SCOPED_TRACE("version file: " + (pipe ? std::string("a pipe") : recorded) +
                 (application ? ", application" : "") + (link ? ", through a link" : ""));
    std::filesystem::remove_all(folders.installFolder() + "/" + APPLICATION_NAME() + ".app");
    if (application) writeApplication(folders.installFolder());
    std::filesystem::remove(installed);
    if (pipe) {
      ASSERT_EQ(::mkfifo(installed.c_str(), 0600), 0);
    } else if (link) {
      writeFile(installed + ".real", recorded);
      std::filesystem::create_symlink(installed + ".real", installed);
    } else if (!recorded.empty()) {
      writeFile(installed, recorded);
    }
    auto controller =
        makeController("http://127.0.0.1:" + std::to_string(testing::unusedPort()) + "/v/version");
    testing::CaptureFd out(1);
    ASSERT_TRUE(serializeReturns(controller));
    const std::string printed = out.finish();

    ASSERT_TRUE(printed.starts_with("error=")) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << "one line";
    const std::string description = printed.substr(6, printed.size() - 7);
    EXPECT_FALSE(description.empty());
    const auto shown = rig.alerts->shown();
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().messageText, "Error");
    EXPECT_EQ(shown.back().informativeText,
              "Failed to launch the application.\n " + description +
                  (recorded == "4" && application && !link ? kInstalledIsUsed : kNothingInstalled));
    EXPECT_EQ(shown.back().buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(rig.application->terminateCount(), 0);
    EXPECT_EQ(std::filesystem::exists(installed), pipe || !recorded.empty())
        << "nothing is created";
    if (!recorded.empty()) {
      EXPECT_EQ(readFile(installed), recorded);
    }
    EXPECT_EQ(controller->version, 0);
    EXPECT_FALSE(controller->versionReceived);
  }
}

TEST_F(VersionServiceTest, AlertsComeFromTheSessionThreadWhileTheCallerWaits) {
  server.answer("/v/version", 200, R"({"data":{}})", "application/json");
  auto controller = makeController(server.url("/v/version"));
  rig.alerts->hold();
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    controller->SerializeJSON();
    returned = true;
  });
  ASSERT_TRUE(rig.alerts->waitForAlerts(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load()) << "the caller waits while the alert is open";
  const auto alertThreads = rig.alerts->threads();
  ASSERT_EQ(alertThreads.size(), 1u);
  EXPECT_NE(alertThreads[0], worker.get_id()) << "shown from the session thread";
  rig.alerts->answer(platform::kAlertFirstButtonReturn);
  worker.join();
  EXPECT_TRUE(returned.load());
}

}  // namespace
}  // namespace launcher
