// The version request's HTTP layer against a server in this process.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "Launcher/platform/Curl.h"
#include "Launcher/platform/HttpSession.h"
#include "tests/support/LocalHttpServer.h"
#include "tests/support/StarvedMemory.h"

// The system resolver, as libcurl calls it from its resolver thread, with one name that resolves
// like a name server that never answers: its lookup is held until the test lets it go (or 10 s
// pass) and then finds nothing. Every other name goes to the real resolver.
namespace {
constexpr const char* kUnansweredName = "unanswered.invalid";
std::mutex resolverMutex;
std::condition_variable resolverReleased;
bool resolverReleasedFlag = false;
}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  if (node != nullptr && std::strcmp(node, kUnansweredName) == 0) {
    std::unique_lock lock(resolverMutex);
    resolverReleased.wait_for(lock, std::chrono::seconds(10), [] { return resolverReleasedFlag; });
    return EAI_NONAME;
  }
  using Resolve = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static const auto real = reinterpret_cast<Resolve>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  return real != nullptr ? real(node, service, hints, result) : EAI_SYSTEM;
}

namespace launcher {
namespace {
using platform::CurlHttpSession;
using platform::HttpError;
using platform::Url;
using testing::LocalHttpServer;

struct Outcome {
  int calls = 0;
  std::optional<std::string> body;
  std::optional<HttpError> error;
  std::thread::id thread;
};

// Starts one data task and waits until the session has let go of every copy of the completion,
// so that no further call can come: the count of calls is then final.
Outcome runTask(const std::string& address,
                std::chrono::milliseconds deadline = CurlHttpSession::kDefaultDeadline) {
  auto record = std::make_shared<std::pair<std::mutex, Outcome>>();
  auto alive = std::make_shared<int>(0);
  std::weak_ptr<int> watch = alive;
  auto url = Url::parse(address);
  EXPECT_TRUE(url.has_value()) << address;
  if (!url) return {};
  CurlHttpSession session(deadline);
  session.dataTask(
      *url, [record, alive](std::optional<std::string> body, std::optional<HttpError> error) {
        std::lock_guard lock(record->first);
        ++record->second.calls;
        record->second.body = std::move(body);
        record->second.error = std::move(error);
        record->second.thread = std::this_thread::get_id();
      });
  alive.reset();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!watch.expired() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(watch.expired()) << "the session still holds the completion";
  std::lock_guard lock(record->first);
  return record->second;
}

// --- Bodies: whatever the status, the body is handed over as it came --------------------------

TEST(CurlHttpSession, DeliversTheBodyWhateverTheStatus) {
  struct Case {
    int status;
    std::string body;
  };
  const Case cases[] = {
      {200, R"({"data":{"attributes":{}}})"},
      {500, "internal error page"},
      {404, "not here"},
      {200, ""},
      {204, ""},
      {200, std::string("binary\0body\xff", 12)},
  };
  LocalHttpServer server;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " '" + c.body + "'");
    server.answer("/v/version", c.status, c.body, "application/json");
    const Outcome outcome = runTask(server.url("/v/version"));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(outcome.error.has_value());
    ASSERT_TRUE(outcome.body.has_value());
    EXPECT_EQ(*outcome.body, c.body);
  }
  EXPECT_EQ(server.requestCount("/v/version"), static_cast<int>(std::size(cases)));
}

// --- Threads: one call, never on the caller's thread -------------------------------------------

TEST(CurlHttpSession, CallsTheCompletionOnceOnAnotherThread) {
  LocalHttpServer server;
  server.answer("/v/version", 200, "{}");
  for (const std::string& address :
       {server.url("/v/version"), "http://127.0.0.1:" + std::to_string(testing::unusedPort())}) {
    SCOPED_TRACE(address);
    const Outcome outcome = runTask(address);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_NE(outcome.thread, std::thread::id());
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
  }
}

TEST(CurlHttpSession, ReturnsBeforeTheAnswerArrives) {
  LocalHttpServer server;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  server.handle("/slow", [released](const httplib::Request&, httplib::Response& response) {
    // Held back until the test has seen dataTask return (at most a few seconds).
    released.wait_for(std::chrono::seconds(5));
    response.set_content("late", "text/plain");
  });
  auto delivered = std::make_shared<std::promise<std::string>>();
  auto answer = delivered->get_future();
  CurlHttpSession session;
  session.dataTask(*Url::parse(server.url("/slow")),
                   [delivered](std::optional<std::string> body, std::optional<HttpError>) {
                     delivered->set_value(body.value_or("<none>"));
                   });
  EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  release.set_value();
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(answer.get(), "late");
}

// --- Transport errors ---------------------------------------------------------------------------

TEST(CurlHttpSession, ReportsARefusedConnectionAsOneLineNamingTheAddress) {
  const std::string address =
      "http://127.0.0.1:" + std::to_string(testing::unusedPort()) + "/v/version";
  const Outcome outcome = runTask(address);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.body.has_value());
  ASSERT_TRUE(outcome.error.has_value());
  const std::string& text = outcome.error->description;
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  EXPECT_NE(text.find(curl_easy_strerror(CURLE_COULDNT_CONNECT)), std::string::npos) << text;
  EXPECT_NE(text.find(address), std::string::npos) << text;

  // Memory that runs out on the request's thread is an answer too, not the end of the process.
#ifndef LAUNCHER_SANITIZED
  testing::starveMemory(std::this_thread::get_id());
  const Outcome starved = runTask(address);
  testing::feedMemory();
  EXPECT_EQ(starved.calls, 1);
  EXPECT_FALSE(starved.body.has_value());
  ASSERT_TRUE(starved.error.has_value());
  EXPECT_NE(starved.error->description.find("not enough memory"), std::string::npos)
      << starved.error->description;
  EXPECT_NE(starved.error->description.find(address), std::string::npos)
      << starved.error->description;
#endif

  // A proxy named in the environment is not asked instead: the launcher reads no variables
  // beyond its folders'.
  LocalHttpServer proxy;
  for (const char* variable : {"http_proxy", "ALL_PROXY"}) {
    SCOPED_TRACE(variable);
    ::setenv(variable, proxy.url("/").c_str(), 1);
    const Outcome proxied = runTask(address);
    ::unsetenv(variable);
    EXPECT_TRUE(proxied.error.has_value()) << "answered through the proxy";
  }
}

// --- Bounds: an answer is at most 1 MiB and the whole exchange ends by the deadline --------------

TEST(CurlHttpSession, RefusesAnAnswerOverTheCap) {
  constexpr std::size_t kCap = CurlHttpSession::kMaxAnswerBytes;
  LocalHttpServer server;
  server.serveGenerated("/exact", kCap);
  server.serveGenerated("/over", kCap + 1);                  // announced length too large
  server.serveGenerated("/huge", std::uint64_t{300} << 20);  // 300 MiB
  server.handle("/chunked", [](const httplib::Request&, httplib::Response& response) {
    // No length announced: the cap is found while the body arrives.
    response.set_chunked_content_provider(
        "application/json", [sent = std::size_t{0}](std::size_t, httplib::DataSink& sink) mutable {
          const std::string piece(64 * 1024, 'x');
          if (sent > 2 * kCap) return false;
          sent += piece.size();
          return sink.write(piece.data(), piece.size());
        });
  });
  const Outcome exact = runTask(server.url("/exact"));
  ASSERT_TRUE(exact.body.has_value()) << exact.error->description;
  EXPECT_EQ(exact.body->size(), kCap);
  for (const char* path : {"/over", "/huge", "/chunked"}) {
    SCOPED_TRACE(path);
    const Outcome outcome = runTask(server.url(path));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(outcome.body.has_value());
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_NE(outcome.error->description.find("larger than 1024 KiB"), std::string::npos)
        << outcome.error->description;
  }
}

TEST(CurlHttpSession, GivesUpAnExchangeThatRunsPastTheDeadline) {
  LocalHttpServer server;
  server.handle("/v/version", [](const httplib::Request&, httplib::Response& response) {
    // Two bytes a second: never slow enough to count as stalled.
    response.set_chunked_content_provider(
        "application/json", [](std::size_t, httplib::DataSink& sink) {
          std::this_thread::sleep_for(std::chrono::milliseconds(500));
          return sink.write("{", 1);
        });
  });
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = runTask(server.url("/v/version"), std::chrono::seconds(1));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::seconds(15));
  EXPECT_FALSE(outcome.body.has_value());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_NE(outcome.error->description.find(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)),
            std::string::npos)
      << outcome.error->description;

  // A name whose lookup never ends is given up by the deadline too, not when the system's
  // resolver gives up (minutes, with a name server that never answers).
  {
    const std::lock_guard lock(resolverMutex);
    resolverReleasedFlag = false;
  }
  const auto lookupStart = std::chrono::steady_clock::now();
  const Outcome unanswered = runTask(std::string("http://") + kUnansweredName + "/v/version",
                                     std::chrono::milliseconds(500));
  const auto lookupTook = std::chrono::steady_clock::now() - lookupStart;
  {
    const std::lock_guard lock(resolverMutex);
    resolverReleasedFlag = true;
  }
  resolverReleased.notify_all();
  EXPECT_LT(lookupTook, std::chrono::seconds(5));
  EXPECT_EQ(unanswered.calls, 1);
  ASSERT_TRUE(unanswered.error.has_value());
  EXPECT_NE(unanswered.error->description.find(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)),
            std::string::npos)
      << unanswered.error->description;
}

// --- Redirects
// ------------------------------------------------------------------------------------

TEST(CurlHttpSession, FollowsRedirectsUpToTheLimit) {
  LocalHttpServer server;
  server.redirect("/v/version", "/v/moved", 301);
  server.redirect("/v/moved", server.url("/v/final"), 302);
  server.answer("/v/final", 200, "final body");
  server.redirect("/loop", "/loop");

  const Outcome followed = runTask(server.url("/v/version"));
  ASSERT_TRUE(followed.body.has_value());
  EXPECT_EQ(*followed.body, "final body");
  EXPECT_EQ(server.requestCount("/v/final"), 1);

  const Outcome looped = runTask(server.url("/loop"));
  EXPECT_FALSE(looped.body.has_value());
  ASSERT_TRUE(looped.error.has_value());
  EXPECT_NE(looped.error->description.find(curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS)),
            std::string::npos)
      << looped.error->description;
  EXPECT_EQ(server.requestCount("/loop"), platform::kMaxRedirects + 1);
}

}  // namespace
}  // namespace launcher
