// The refresh cycle over the real credentials file, the real HTTP session and the real store,
// against a loopback server that cycles through every kind of answer.
#include "platform/tick_timer_linux.hpp"
#include "runtime/helper_runtime.hpp"
#include "source/credentials.hpp"
#include "source/credentials_file_linux.hpp"
#include "source/curl_http_session_linux.hpp"
#include "source/live_plan_usage_provider.hpp"
#include "store/snapshot_store.hpp"
#include "support/capturing_log.hpp"
#include "support/forked_server.hpp"
#include "support/process_usage.hpp"
#include "support/secrets.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <thread>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORBEL_HAS_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef QUORBEL_HAS_ADDRESS_SANITIZER
#define QUORBEL_HAS_ADDRESS_SANITIZER 0
#endif

namespace quorbel {
namespace {

using testing::CapturingLog;
using testing::holdsSecret;
using testing::kFarFutureMilliseconds;
using testing::readFile;
using testing::residentKiB;
using testing::ScopedTempDir;
using testing::writeFile;

constexpr const char *kAccessToken = testing::kTestAccessToken;
constexpr const char *kRefreshToken = testing::kTestRefreshToken;

std::string credentialsDocument(double expiresAtMilliseconds) {
  return std::string(R"({"claudeAiOauth":{"accessToken":")") + kAccessToken +
         R"(","refreshToken":")" + kRefreshToken + R"(","expiresAt":)" +
         std::to_string(expiresAtMilliseconds) +
         R"(,"scopes":["user:inference"],"subscriptionType":"max","rateLimitTier":"default_claude_max_20x"}})";
}

const std::string kGoodBody =
    R"({"five_hour":{"utilization":41.5,"resets_at":"2026-04-11T07:00:00.528743+00:00"},)"
    R"("seven_day":{"utilization":14,"resets_at":"2026-04-15T12:00:00+00:00"},"seven_day_opus":null})";

std::string answer(const std::string &statusLine, const std::string &body,
                   const std::string &extraHeaders = "") {
  return "HTTP/1.1 " + statusLine +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body;
}

// One answer of each kind the endpoint, or something in its place, can give.
const std::vector<std::string> kAnswers = {
    answer("200 OK", kGoodBody),
    answer("429 Too Many Requests", std::string("echo ") + kAccessToken),
    answer("401 Unauthorized", ""),
    answer("500 Internal Server Error", "oops"),
    answer("200 OK", "{\"five_hour\":"),
    answer("302 Found", "", "Location: http://127.0.0.2:1/steal\r\n"),
    answer("204 No Content", ""),
    answer("200 OK", R"({"five_hour":{"utilization":1,"resets_at":"soon"},)"
                     R"("seven_day":{"utilization":1,"resets_at":"later"}})"),
    "SSH-2.0-OpenSSH_9.2\r\n",                  // not HTTP
    answer("200 OK", kGoodBody).substr(0, 150), // closed mid-body
};

// Answers each connection with the next kind of answer, in turn, and then closes it, as a poll
// every 180 s would see.
testing::ForkedServer cyclingServer(int maxConnections) {
  return testing::ForkedServer(
      [next = std::size_t{0}](int connection) mutable {
        testing::writeAll(connection, kAnswers[next++ % kAnswers.size()]);
      },
      std::string("\r\nAuthorization: Bearer ") + kAccessToken + "\r\n", maxConnections);
}

std::shared_ptr<HttpSession> plainHttpSession() {
  static const std::shared_ptr<HttpSession> session =
      CurlHttpSession::forLoopback({.allowPlainHttp = true, .trustedCaFile = {}});
  return session;
}

long openDescriptors() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                       std::filesystem::directory_iterator());
}

// The live client over a real credentials file, aimed at the loopback server.
std::shared_ptr<LivePlanUsageProvider> liveProvider(const std::filesystem::path &credentialsPath,
                                                    const testing::ForkedServer &server) {
  return std::make_shared<LivePlanUsageProvider>(std::make_shared<CredentialsFile>(credentialsPath),
                                                 plainHttpSession(), "9.9.9", 60, server.url(),
                                                 std::chrono::seconds(5));
}

TEST(LiveRefreshCycle, NoOutcomeLetsATokenOut) {
  ScopedTempDir temp;
  const auto server = cyclingServer(1000);
  const auto credentialsPath = temp / ".credentials.json";
  const auto snapshotPath = temp / "data/plan-snapshot.json";
  auto provider = liveProvider(credentialsPath, server);
  CapturingLog log;
  HelperRuntime runtime(provider, std::make_shared<SnapshotStore>(snapshotPath), 1, log);

  const double farFuture = kFarFutureMilliseconds;
  std::string errorTexts;
  auto noteError = [&](const std::function<void()> &action) {
    try {
      action();
    } catch (const std::exception &error) {
      errorTexts += std::string(error.what()) + "\n";
    }
  };
  const std::vector<std::pair<const char *, std::function<void()>>> steps = {
      {"valid credentials", [&] { writeFile(credentialsPath, credentialsDocument(farFuture)); }},
      {"expired credentials", [&] { writeFile(credentialsPath, credentialsDocument(1000)); }},
      {"a document cut short",
       [&] { writeFile(credentialsPath, credentialsDocument(farFuture).substr(0, 60)); }},
      {"no credentials", [&] { std::filesystem::remove(credentialsPath); }},
      {"unwritable snapshot", [&] {
         writeFile(credentialsPath, credentialsDocument(farFuture));
         std::filesystem::remove_all(snapshotPath.parent_path());
         writeFile(snapshotPath.parent_path(), "a file where the directory should be");
       }}};
  runtime.seed();
  for (const auto &[name, prepare] : steps) {
    SCOPED_TRACE(name);
    prepare();
    for (std::size_t i = 0; i < kAnswers.size(); ++i) {
      runtime.tick();
      noteError([&] { provider->fetch(); });
      noteError([&] { (void)CredentialsFile(credentialsPath).readCredentials(); });
      if (const auto *transient = std::get_if<refresh::TransientError>(&*runtime.lastResult())) {
        errorTexts += transient->text + "\n";
      }
    }
  }
  EXPECT_GT(server.watched(), 0) << "the token never reached the server: nothing was tested";
  EXPECT_EQ(server.watched(), server.requests()) << "every request carried the token";
  EXPECT_NE(log.text().find("disk write FAILED"), std::string::npos);
  EXPECT_FALSE(holdsSecret(log.text())) << log.text();
  EXPECT_FALSE(holdsSecret(errorTexts)) << errorTexts;
  EXPECT_FALSE(holdsSecret(readFile(snapshotPath.parent_path())));
}

// While signed out, the sign-in is shown at once; once active, a token refresh by the CLI waits
// for the cadence, since every extra request counts against the endpoint's limit.
TEST(LiveRefreshCycle, SigningInTicksAtOnceButATokenRefreshAddsNoRequest) {
  ScopedTempDir temp;
  const testing::ForkedServer server(
      [](int connection) { testing::writeAll(connection, answer("200 OK", kGoodBody)); });
  const auto credentialsPath = temp / "home/.claude/.credentials.json";
  CapturingLog log;
  HelperRuntime runtime(liveProvider(credentialsPath, server),
                        std::make_shared<SnapshotStore>(temp / "data/plan-snapshot.json"), 180,
                        log);
  LinuxTickTimer timer(credentialsPath);
  std::stop_source stop;
  auto finished = std::async(std::launch::async, [&] { runtime.run(stop.get_token(), timer); });
  const auto eventually = [](const std::function<bool()> &condition) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !condition() && std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
  };
  ASSERT_TRUE(eventually([&] { return log.lines().size() == 2; })) << log.text();
  EXPECT_EQ(runtime.lastResult(), RefreshResult(refresh::SessionInactive{}));

  std::filesystem::create_directories(credentialsPath.parent_path());
  writeFile(credentialsPath, credentialsDocument(kFarFutureMilliseconds));
  // The file may be seen once while still empty, which reads as signed out and sends nothing;
  // its completed write then ticks again.
  ASSERT_TRUE(eventually([&] {
    return log.text().find("[RefreshCycle] 200: snapshot updated") != std::string::npos;
  })) << log.text();
  EXPECT_EQ(server.requests(), 1);

  writeFile(credentialsPath, credentialsDocument(kFarFutureMilliseconds - 1000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stop.request_stop();
  ASSERT_EQ(finished.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(server.requests(), 1);
  EXPECT_EQ(log.lines().back(), "[RefreshCycle] Sleep cancelled; stopping refresh cycle.\n");
}

TEST(LiveRefreshCycle, SoakKeepsMemoryAndDescriptorsFlat) {
  // tmpfs keeps 20,000 fsynced writes quick; the property under test is the process's own use.
  ScopedTempDir temp;
  constexpr int kTicks = 20'000;
  const auto server = cyclingServer(kTicks);
  const auto credentialsPath = temp / ".credentials.json";
  writeFile(credentialsPath, credentialsDocument(kFarFutureMilliseconds));
  const std::filesystem::path snapshotDir =
      std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm") : temp.path();
  const auto snapshotPath = snapshotDir / ("quorbel-soak-" + std::to_string(::getpid()) + ".json");
  auto provider = liveProvider(credentialsPath, server);
  CapturingLog log;
  HelperRuntime runtime(provider, std::make_shared<SnapshotStore>(snapshotPath), 1, log);

  constexpr int kWarmUp = 100;
  long rssAfterWarmUp = 0, fdsAfterWarmUp = 0;
  for (int tick = 1; tick <= kTicks; ++tick) {
    runtime.tick();
    log.clear();
    if (tick == kWarmUp) {
      rssAfterWarmUp = residentKiB();
      fdsAfterWarmUp = openDescriptors();
    }
  }
  const long rssAtEnd = residentKiB();
  const long fdsAtEnd = openDescriptors();
  std::filesystem::remove(snapshotPath);
  std::cout << "[ soak     ] " << kTicks << " ticks: RSS " << rssAfterWarmUp << " KiB after "
            << kWarmUp << ", " << rssAtEnd << " KiB at the end; open fds " << fdsAfterWarmUp
            << " -> " << fdsAtEnd << "\n";
  EXPECT_EQ(server.requests(), kTicks);
  EXPECT_EQ(fdsAtEnd, fdsAfterWarmUp);
#if defined(__SANITIZE_ADDRESS__) || QUORBEL_HAS_ADDRESS_SANITIZER
  // AddressSanitizer holds freed memory in quarantine, so resident size says nothing here;
  // LeakSanitizer checks for leaks at exit instead.
  (void)rssAtEnd;
#else
  // Allocator pages come and go; a leak of even 50 bytes a tick would add about 1 MiB.
  EXPECT_LE(rssAtEnd, rssAfterWarmUp + 512);
#endif
}

} // namespace
} // namespace quorbel
