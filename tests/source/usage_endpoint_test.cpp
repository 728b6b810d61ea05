// The usage endpoint end to end: the live provider over the real libcurl session and, where what
// the cycle does with an answer is the point, one real tick of the refresh cycle over a real
// store. Every server is the test's own loopback server; one table per concern.
#include "model/snapshot_json.hpp"
#include "platform/tick_timer_linux.hpp"
#include "runtime/helper_runtime.hpp"
#include "source/claude_code_version.hpp"
#include "source/credentials_file_linux.hpp"
#include "source/curl_http_session_linux.hpp"
#include "source/live_plan_usage_provider.hpp"
#include "store/snapshot_store.hpp"
#include "support/capturing_log.hpp"
#include "support/deadline.hpp"
#include "support/loopback_server.hpp"
#include "support/process_usage.hpp"
#include "support/secrets.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <variant>

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

using namespace std::chrono_literals;
using testing::CapturingLog;
using testing::holdsSecret;
using testing::httpReply;
using testing::LoopbackPeer;
using testing::LoopbackServer;
using testing::readFile;
using testing::ScopedTempDir;
using testing::writeFile;

constexpr double kNowSeconds = 1'780'000'000;
constexpr const char *kToken = testing::kTestAccessToken;
constexpr std::chrono::milliseconds kTimeout = 2s;
// How far past the time-out a stalled exchange may still be running before it counts as hung.
constexpr std::chrono::milliseconds kTimeoutSlack = 2s;
constexpr long kMemoryBoundKiB = 16 * 1024;
constexpr std::size_t kMiB = 1024 * 1024;
const std::string kAuthorization = std::string("Authorization: Bearer ") + kToken;

class FixedClock final : public Clock {
public:
  Instant now() const override { return instantFromUnixSeconds(kNowSeconds); }
};

using CredentialsOutcome = std::variant<Credentials, CredentialsError>;
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

class StubCredentials final : public CredentialsReading {
public:
  explicit StubCredentials(CredentialsOutcome result) : result_(std::move(result)) {}
  Credentials readCredentials() const override {
    if (const auto *error = std::get_if<CredentialsError>(&result_)) {
      throw *error;
    }
    return std::get<Credentials>(result_);
  }

private:
  CredentialsOutcome result_;
};

Credentials credentialsExpiringIn(std::optional<double> seconds) {
  Credentials credentials;
  credentials.claudeAiOauth.accessToken = kToken;
  credentials.claudeAiOauth.refreshToken = testing::kTestRefreshToken;
  if (seconds) {
    credentials.claudeAiOauth.expiresAt = (kNowSeconds + *seconds) * 1000.0;
  }
  return credentials;
}

std::string usageBody(const std::string &fiveHour, const std::string &sevenDay) {
  return R"({"five_hour":)" + fiveHour + R"(,"seven_day":)" + sevenDay + "}";
}
std::string window(const std::string &utilization, const std::string &resetsAt) {
  return R"({"utilization":)" + utilization + R"(,"resets_at":")" + resetsAt + R"("})";
}
const std::string kGoodBody = usageBody(window("41.5", "2026-06-29T17:00:00Z"),
                                        window("12", "2026-07-03T09:00:00.500+00:00"));

std::shared_ptr<CurlHttpSession> plainSession() {
  static const auto session =
      CurlHttpSession::forLoopback({.allowPlainHttp = true, .trustedCaFile = {}});
  return session;
}

std::shared_ptr<LivePlanUsageProvider> liveProvider(std::shared_ptr<CredentialsReading> credentials,
                                                    const std::string &url,
                                                    std::shared_ptr<HttpSession> session = {}) {
  static const FixedClock clock;
  return std::make_shared<LivePlanUsageProvider>(
      std::move(credentials), session ? session : plainSession(),
      std::string(kFallbackClaudeCodeVersion), kDefaultExpiryMargin, url, kTimeout, clock);
}

// Passes the live provider's error on to the cycle unchanged, keeping a copy, so that one request
// shows both the provider's classification and the cycle's reaction to it.
class RecordingProvider final : public PlanUsageProvider {
public:
  explicit RecordingProvider(std::shared_ptr<PlanUsageProvider> inner) : inner_(std::move(inner)) {}
  PlanSnapshot fetch() override {
    try {
      return inner_->fetch();
    } catch (const PlanUsageError &error) {
      error_ = error;
      throw;
    }
  }
  double minimumInterval() const override { return inner_->minimumInterval(); }
  std::optional<PlanUsageError> error_;

private:
  std::shared_ptr<PlanUsageProvider> inner_;
};

// Resets the kernel's high-water mark of the resident size, so that a peak during one tick shows
// even when the memory is returned before the tick ends; false where the kernel refuses.
bool resetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return clear.good();
}
long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return 0;
}
ino_t inodeOf(const std::filesystem::path &path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

const Instant kNow = instantFromUnixSeconds(kNowSeconds);
// What the store holds before a tick; a failed tick must leave it byte for byte.
const PlanSnapshot kPrevious{kNow, PlanWindow{1, kNow}, PlanWindow{2, kNow}, "max",
                             {},   PlanStatus::active};

// What one tick of the refresh cycle did against a server, over a store holding kPrevious.
struct TickOutcome {
  std::optional<PlanUsageError> error;
  RefreshResult result;
  std::optional<PlanSnapshot> lastSnapshot;
  std::chrono::steady_clock::duration elapsed{};
  std::string fileBefore, fileAfter, log;
  bool fileReplaced = false; // a save renames a new file into place, even with the same bytes
  long peakGrowthKiB = 0;
};

TickOutcome tickOnce(const std::string &url,
                     CredentialsOutcome credentials = credentialsExpiringIn(3600),
                     std::shared_ptr<HttpSession> session = {}) {
  const ScopedTempDir temp;
  auto store = std::make_shared<SnapshotStore>(temp / "plan-snapshot.json");
  store->save(kPrevious);
  auto provider = std::make_shared<RecordingProvider>(liveProvider(
      std::make_shared<StubCredentials>(std::move(credentials)), url, std::move(session)));
  CapturingLog log;
  CapturingLog hints;
  static const FixedClock clock;
  HelperRuntime runtime(provider, store, kLiveMinimumInterval, log, clock, hints);
  runtime.seed();

  TickOutcome outcome;
  outcome.fileBefore = readFile(store->fileURL());
  const ino_t inodeBefore = inodeOf(store->fileURL());
  const long residentBefore = testing::residentKiB();
  const bool peakReset = resetPeakResident();
  const auto start = std::chrono::steady_clock::now();
  runtime.tick();
  outcome.elapsed = std::chrono::steady_clock::now() - start;
  outcome.peakGrowthKiB = (peakReset ? peakResidentKiB() : testing::residentKiB()) - residentBefore;
  outcome.fileAfter = readFile(store->fileURL());
  outcome.fileReplaced = inodeOf(store->fileURL()) != inodeBefore;
  outcome.error = provider->error_;
  outcome.result = *runtime.lastResult();
  outcome.lastSnapshot = runtime.lastSnapshot();
  outcome.log = log.text();
  EXPECT_FALSE(holdsSecret(outcome.log)) << outcome.log;
  if (outcome.error) {
    EXPECT_FALSE(holdsSecret(outcome.error->what())) << outcome.error->what();
  }
  return outcome;
}

// A failed tick: the cycle keeps its data and leaves the disk alone.
void expectFileUntouched(const TickOutcome &outcome) {
  EXPECT_EQ(outcome.fileAfter, outcome.fileBefore);
  EXPECT_FALSE(outcome.fileReplaced);
  EXPECT_EQ(outcome.lastSnapshot, kPrevious);
}

PlanSnapshot activeSnapshot(std::optional<PlanWindow> session, std::optional<PlanWindow> allModels,
                            std::vector<ModelWindow> models = {}) {
  return PlanSnapshot{kNow, session, allModels, {}, {}, PlanStatus::active, std::move(models)};
}

// An answer as the endpoint sends it in the field: fractions and offsets in every date, keys
// beside the two windows, and per-model weekly limits in "limits" among entries of other kinds,
// entries that do not read, and a second, emptier entry for the same model.
const std::string kFullAnswer = R"({
  "five_hour": {"utilization": 33.0, "resets_at": "2026-05-28T23:00:00.528743+00:00"},
  "seven_day": {"utilization": 8, "resets_at": "2026-06-01T07:00:00.528743+00:00"},
  "seven_day_oauth_apps": null, "seven_day_opus": null,
  "seven_day_sonnet": {"utilization": 3.0, "resets_at": null}, "extra_usage": {"is_enabled": false},
  "limits": [{"kind": "session", "percent": 33, "resets_at": null, "scope": null},
    {"kind": "weekly_all", "group": "weekly", "percent": 8, "severity": "normal"},
    {"kind": "weekly_scoped", "percent": 12.5, "resets_at": null, "is_active": true,
     "scope": {"model": {"display_name": "Sonnet"}}},
    {"kind": "weekly_scoped", "percent": 40, "scope": {"model": {"display_name": "Opus"}}},
    {"kind": "weekly_scoped", "group": "weekly", "percent": 100,
     "resets_at": "2026-05-30T07:00:00.528743+00:00", "scope": {"model": {"display_name": "Opus"}}},
    {"kind": "weekly_scoped", "percent": 50, "scope": {}},
    {"kind": "weekly_scoped", "percent": "lots", "scope": {"model": {"display_name": "Haiku"}}},
    {"kind": "weekly_scoped", "percent": 5, "resets_at": "soon",
     "scope": {"model": {"display_name": "Haiku"}}},
    {"kind": "weekly_scoped", "percent": 9, "scope": {"model": {"display_name": 7}}}, 42, null]
})";

const std::string kFullAnswerFile = R"({
  "allModels" : {
    "percent" : 8,
    "resetsAt" : "2026-06-01T07:00:00Z"
  },
  "fetchedAt" : "2026-05-28T20:26:40Z",
  "modelWindows" : [
    {
      "model" : "Opus",
      "percent" : 100,
      "resetsAt" : "2026-05-30T07:00:00Z"
    },
    {
      "model" : "Sonnet",
      "percent" : 13
    }
  ],
  "session" : {
    "percent" : 33,
    "resetsAt" : "2026-05-28T23:00:00Z"
  },
  "status" : "active"
})";

// An endless chunked body: the case a declared length does not announce.
LoopbackServer::Script endlessChunks(int status) {
  return [status](LoopbackPeer &peer) {
    const std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
    if (peer.write("HTTP/1.1 " + std::to_string(status) +
                   " X\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n")) {
      peer.writeRepeated(chunk, 1u << 20);
    }
  };
}

TEST(UsageEndpoint, ClassifiesEveryAnswerAndWritesWhatAUserExpects) {
  using Kind = PlanUsageError::Kind;
  const std::string five = window("33.0", "2026-05-28T23:00:00.528743+00:00");
  const std::string seven = window("8", "2026-06-01T07:00:00+00:00");
  const std::string idle = R"({"utilization": 0.0, "resets_at": null})";
  const PlanWindow fiveWindow{33, *PlanDateParser::dateFrom("2026-05-28T23:00:00Z")};
  const PlanWindow sevenWindow{8, *PlanDateParser::dateFrom("2026-06-01T07:00:00Z")};
  Credentials withPlan = credentialsExpiringIn(3600);
  withPlan.claudeAiOauth.subscriptionType = "max";
  withPlan.claudeAiOauth.rateLimitTier = "default_claude_max_20x";
  PlanSnapshot good =
      activeSnapshot(PlanWindow{42, *PlanDateParser::dateFrom("2026-06-29T17:00:00Z")},
                     // The file keeps whole seconds.
                     PlanWindow{12, *PlanDateParser::dateFrom("2026-07-03T09:00:00Z")});
  PlanSnapshot goodWithPlan = good;
  goodWithPlan.subscriptionType = "max";
  goodWithPlan.rateLimitTier = "default_claude_max_20x";
  const auto sized = [](int status, std::size_t size) {
    return LoopbackServer::replying({httpReply(status, std::string(size, ' '))});
  };
  const auto body = [](const std::string &text) {
    return LoopbackServer::replying({httpReply(200, text)});
  };

  struct Case {
    const char *name;
    LoopbackServer::Script answer;
    std::optional<Kind> kind;            // nothing: the fetch succeeds
    std::optional<PlanSnapshot> written; // nothing: the file is left as it was
    long httpStatus = 0;                 // for unexpected statuses
    std::optional<PlanSnapshotError> resetDate{};
    CredentialsOutcome credentials = credentialsExpiringIn(3600);
  };
  const auto signedOut = [&](const char *name, CredentialsOutcome credentials, Kind kind) {
    return Case{
        name, body(kGoodBody),       kind, kPrevious.withStatus(PlanStatus::sessionInactive), 0,
        {},   std::move(credentials)};
  };
  const Case cases[] = {
      {"good answer with plan strings", body(kGoodBody), {}, goodWithPlan, 0, {}, withPlan},
      {"good answer without them", body(kGoodBody), std::nullopt, good},
      {"body at the cap", sized(200, kMaxResponseBodyBytes), Kind::decoding, std::nullopt},
      {"401", LoopbackServer::replying({httpReply(401, kGoodBody)}), Kind::unauthorized,
       kPrevious.withStatus(PlanStatus::sessionInactive)},
      {"401 empty, over the cap", sized(401, kMaxResponseBodyBytes + 1), Kind::unauthorized,
       kPrevious.withStatus(PlanStatus::sessionInactive)},
      {"429 with the token echoed",
       LoopbackServer::replying({httpReply(429, std::string("echo ") + kToken)}), Kind::rateLimited,
       kPrevious.withStatus(PlanStatus::rateLimited)},
      {"429 endless", endlessChunks(429), Kind::rateLimited,
       kPrevious.withStatus(PlanStatus::rateLimited)},
      {"403", LoopbackServer::replying({httpReply(403, kGoodBody)}), Kind::unexpectedStatus,
       std::nullopt, 403},
      {"500", LoopbackServer::replying({httpReply(500, "oops")}), Kind::unexpectedStatus,
       std::nullopt, 500},
      {"204", LoopbackServer::replying({httpReply(204, "")}), Kind::unexpectedStatus, std::nullopt,
       204},
      {"201", LoopbackServer::replying({httpReply(201, kGoodBody)}), Kind::unexpectedStatus,
       std::nullopt, 201},
      {"idle five-hour window, null reset", body(usageBody(idle, seven)), std::nullopt,
       activeSnapshot(std::nullopt, sevenWindow)},
      {"idle five-hour window, no reset", body(usageBody(R"({"utilization": 0.0})", seven)),
       std::nullopt, activeSnapshot(std::nullopt, sevenWindow)},
      {"null window", body(usageBody("null", seven)), std::nullopt,
       activeSnapshot(std::nullopt, sevenWindow)},
      {"absent window", body(R"({"five_hour":)" + five + "}"), std::nullopt,
       activeSnapshot(fiveWindow, std::nullopt)},
      {"both windows idle", body(usageBody(idle, "null")), std::nullopt,
       activeSnapshot(std::nullopt, std::nullopt)},
      {"legacy per-model objects",
       body(usageBody(five, seven).insert(1, R"("seven_day_opus": {"utilization": 71.5,
          "resets_at": "2026-06-01T07:00:00Z"}, "seven_day_sonnet": null,)")),
       std::nullopt, activeSnapshot(fiveWindow, sevenWindow, {{"Opus", 72, sevenWindow.resetsAt}})},
      {"malformed limits fall back to the legacy objects",
       body(usageBody(five, seven).insert(1, R"("limits": {"kind": "weekly_scoped"},
          "seven_day_sonnet": {"utilization": 4, "resets_at": null},
          "seven_day_opus": {"utilization": "x"},)")),
       std::nullopt, activeSnapshot(fiveWindow, sevenWindow, {{"Sonnet", 4, std::nullopt}})},
      {"not an object", body("[" + usageBody(five, seven) + "]"), Kind::decoding, std::nullopt},
      {"not JSON", body("<html>maintenance</html>"), Kind::decoding, std::nullopt},
      {"cut-short JSON", body("{\"five_hour\":"), Kind::decoding, std::nullopt},
      {"neither window in the answer", body(R"({"seven_day_opus": null, "limits": []})"),
       Kind::decoding, std::nullopt},
      {"wrong-case keys", body(R"({"Five_hour":)" + five + R"(,"Seven_day":)" + seven + "}"),
       Kind::decoding, std::nullopt},
      {"window neither object nor null", body(usageBody("5", seven)), Kind::decoding, std::nullopt},
      {"idle window with a string utilization",
       body(usageBody(R"({"utilization": "0", "resets_at": null})", seven)), Kind::decoding,
       std::nullopt},
      {"reset time without utilization",
       body(usageBody(five, R"({"resets_at": "2026-06-01T07:00:00Z"})")), Kind::decoding,
       std::nullopt},
      {"reset time with null utilization",
       body(usageBody(R"({"utilization": null, "resets_at": "2026-06-01T07:00:00Z"})", seven)),
       Kind::decoding, std::nullopt},
      {"reset time as a number", body(usageBody(five, R"({"utilization": 8, "resets_at": 1})")),
       Kind::decoding, std::nullopt},
      // "five_hour" fails first, so "seven_day" is never mapped.
      {"unreadable five-hour reset",
       body(usageBody(window("1", "2026-06-29 17:00:00Z"), window("2", "soon"))), Kind::decoding,
       std::nullopt, 0, PlanSnapshotError("five_hour", "2026-06-29 17:00:00Z")},
      {"empty seven-day reset",
       body(usageBody(window("1", "2026-06-29T17:00:00Z"), window("2", ""))), Kind::decoding,
       std::nullopt, 0, PlanSnapshotError("seven_day", "")},
      // Decided locally: no request goes out.
      signedOut("no credentials", CredentialsError::noToken(), Kind::credentialMissing),
      signedOut("unreadable credentials", CredentialsError::unexpectedStatus(13),
                Kind::credentialMissing),
      signedOut("undecodable credentials", CredentialsError::decodeFailed(),
                Kind::credentialMissing),
      signedOut("no expiry", credentialsExpiringIn(std::nullopt), Kind::credentialExpired),
      signedOut("expired an hour ago", credentialsExpiringIn(-3600), Kind::credentialExpired),
      signedOut("expires at exactly the margin", credentialsExpiringIn(kDefaultExpiryMargin),
                Kind::credentialExpired),
      signedOut("a millisecond inside the margin",
                credentialsExpiringIn(kDefaultExpiryMargin - 0.001), Kind::credentialExpired),
      {"a second past the margin",
       body(kGoodBody),
       std::nullopt,
       good,
       0,
       {},
       credentialsExpiringIn(kDefaultExpiryMargin + 1)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const LoopbackServer server(c.answer, {.watched = kAuthorization});
    const TickOutcome outcome = tickOnce(server.url(), c.credentials);
    const bool local = c.kind == Kind::credentialMissing || c.kind == Kind::credentialExpired;
    EXPECT_EQ(server.requests(), local ? 0 : 1);
    EXPECT_EQ(server.watched(), local ? 0 : 1);
    if (!local) {
      EXPECT_EQ(server.heads().at(0).rfind("GET /api/oauth/usage HTTP/1.1\r\n", 0), 0u);
    }
    ASSERT_EQ(outcome.error.has_value(), c.kind.has_value()) << outcome.log;
    if (c.kind) {
      EXPECT_EQ(kindName(outcome.error->kind()), kindName(*c.kind)) << outcome.error->what();
      if (c.kind == Kind::unexpectedStatus) {
        EXPECT_EQ(outcome.error->httpStatus(), c.httpStatus);
      }
      if (c.resetDate) {
        ASSERT_TRUE(outcome.error->decodingFailure() &&
                    outcome.error->decodingFailure()->resetDate);
        EXPECT_EQ(*outcome.error->decodingFailure()->resetDate, *c.resetDate);
      }
    }
    if (c.written) {
      EXPECT_EQ(decodeSnapshot(outcome.fileAfter), *c.written) << outcome.fileAfter;
    } else {
      expectFileUntouched(outcome);
      EXPECT_NE(outcome.log.find("Transient error ("), std::string::npos) << outcome.log;
    }
    if (!c.kind) {
      EXPECT_NE(outcome.log.find("200: snapshot updated"), std::string::npos) << outcome.log;
    }
  }
  const LoopbackServer full(httpReply(200, kFullAnswer));
  EXPECT_EQ(tickOnce(full.url()).fileAfter, kFullAnswerFile);
}

TEST(UsageEndpoint, HostileTransportEndsInATransientErrorWithinItsTimeOut) {
  using TKind = TransportError::Kind;
  // The one peer a redirect names; it must never be contacted. Another address than the one the
  // token was sent to, so the redirect is to another host.
  const LoopbackServer elsewhere(httpReply(200, kGoodBody), {.address = "127.0.0.2"});
  const std::string okHead = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
  const std::string chunked = okHead + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string oneKiB(1024, 'x');
  const std::string refusedUrl = LoopbackServer(std::string()).url();
  const std::string longHeader =
      "HTTP/1.1 200 OK\r\nX-Flood: " + std::string(8 * kMiB, 'x') + "\r\nContent-Length: 0\r\n\r\n";
  std::string manyHeaders = "HTTP/1.1 200 OK\r\n";
  for (int line = 0; line < 500'000; ++line) {
    manyHeaders += "X-Flood-" + std::to_string(line) + ": 1\r\n";
  }
  manyHeaders += "Content-Length: 0\r\n\r\n";

  struct Case {
    const char *name;
    LoopbackServer::Script answer;
    TKind transport = TKind::other;
    long httpStatus = 0; // a status instead of a transport error
    bool endsByTimeout = false;
    bool boundsMemory = false;
    bool refused = false; // nothing listens at all
  };
  const Case cases[] = {
      {"drips its body a byte a second",
       [&](LoopbackPeer &peer) {
         if (!peer.write(okHead + "Content-Length: " + std::to_string(kGoodBody.size()) +
                         "\r\n\r\n")) {
           return;
         }
         for (const char byte : kGoodBody) {
           if (!peer.write(std::string_view(&byte, 1))) {
             return;
           }
           std::this_thread::sleep_for(1s);
         }
       },
       TKind::timedOut, 0, true},
      {"never answers", LoopbackServer::silent(), TKind::timedOut, 0, true},
      {"not HTTP", LoopbackServer::replying({"SSH-2.0-OpenSSH_9.2\r\n"}), TKind::badServerResponse},
      {"closed without a word", LoopbackServer::replying({""}), TKind::badServerResponse},
      {"nothing listening", {}, TKind::cannotConnectToHost, 0, false, false, true},
      {"closes mid-body", LoopbackServer::replying({httpReply(200, kGoodBody).substr(0, 150)})},
      {"chunk size that is not hexadecimal",
       LoopbackServer::replying({chunked + "zz\r\n" + kGoodBody + "\r\n0\r\n\r\n"})},
      {"chunk size beyond 64 bits",
       LoopbackServer::replying(
           {chunked + "1" + std::string(16, '0') + "\r\n" + kGoodBody + "\r\n0\r\n\r\n"})},
      {"chunked body closed before its last chunk",
       LoopbackServer::replying({chunked + "400\r\n" + kGoodBody})},
      {"a byte over the cap",
       LoopbackServer::replying({httpReply(200, std::string(kMaxResponseBodyBytes + 1, ' '))})},
      {"endless chunked 200", endlessChunks(200), TKind::other, 0, false, true},
      {"50 MiB body",
       [&](LoopbackPeer &peer) {
         if (peer.write(okHead + "Content-Length: " + std::to_string(50 * kMiB) + "\r\n\r\n")) {
           peer.writeRepeated(oneKiB, 50 * 1024);
         }
       },
       TKind::other, 0, false, true},
      {"one header line of 8 MiB", LoopbackServer::replying({longHeader}), TKind::other, 0, false,
       true},
      {"500,000 header lines", LoopbackServer::replying({manyHeaders}), TKind::other, 0, false,
       true},
      {"redirect to another host",
       LoopbackServer::replying({httpReply(302, "", "Location: " + elsewhere.url() + "\r\n")}),
       TKind::other, 302},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<LoopbackServer> server;
    if (!c.refused) {
      server.emplace(c.answer, LoopbackServer::Options{.watched = kAuthorization});
    }
    const TickOutcome outcome = tickOnce(c.refused ? refusedUrl : server->url());
    if (c.endsByTimeout) {
      // libcurl rounds its own clock to the millisecond and may fire a hair before ours reads
      // the full time-out.
      EXPECT_GE(outcome.elapsed, kTimeout - std::chrono::milliseconds(20));
      EXPECT_LT(outcome.elapsed, kTimeout + kTimeoutSlack);
    } else {
      // Refused on sight, not left to run out the clock.
      EXPECT_LT(outcome.elapsed, kTimeout);
    }
    // The peak of this one tick, not the size after it: AddressSanitizer's quarantine keeps freed
    // memory resident, but only memory allocated during the tick can raise the peak.
    if (c.boundsMemory) {
      EXPECT_LT(outcome.peakGrowthKiB, kMemoryBoundKiB);
    }
    if (server) {
      // The request went out, token and all, exactly once: the answer alone decided the outcome.
      EXPECT_EQ(server->connections(), 1);
      EXPECT_EQ(server->watched(), 1);
    }
    ASSERT_TRUE(outcome.error) << outcome.log;
    const auto *transient = std::get_if<refresh::TransientError>(&outcome.result);
    ASSERT_NE(transient, nullptr) << outcome.log;
    if (c.httpStatus != 0) {
      EXPECT_EQ(kindName(outcome.error->kind()), kindName(PlanUsageError::Kind::unexpectedStatus));
      EXPECT_EQ(outcome.error->httpStatus(), c.httpStatus);
      EXPECT_EQ(transient->text, "HTTP " + std::to_string(c.httpStatus));
    } else {
      EXPECT_EQ(kindName(outcome.error->kind()), kindName(PlanUsageError::Kind::network));
      ASSERT_TRUE(outcome.error->transportError());
      EXPECT_EQ(kindName(outcome.error->transportError()->kind), kindName(c.transport))
          << outcome.error->what();
      EXPECT_FALSE(outcome.error->transportError()->text.empty());
      EXPECT_EQ(transient->text.rfind("network: " + std::string(kindName(c.transport)), 0), 0u)
          << transient->text;
    }
    expectFileUntouched(outcome);
  }
  EXPECT_EQ(elsewhere.connections(), 0) << "the redirect was followed";
}

TEST(UsageEndpoint, SendsOneGetWithTheThreeHeadersInOrder) {
  const LoopbackServer server(httpReply(200, kGoodBody));
  liveProvider(std::make_shared<StubCredentials>(credentialsExpiringIn(3600)), server.url())
      ->fetch();
  ASSERT_EQ(server.heads().size(), 1u);
  const std::string head = server.heads()[0];
  EXPECT_EQ(head.rfind("GET /api/oauth/usage HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find(kAuthorization + "\r\nanthropic-beta: oauth-2025-04-20\r\n"
                                       "User-Agent: claude-code/2.1.195\r\n"),
            std::string::npos)
      << head;
  // Nothing after the head: no body, and nothing announcing one.
  EXPECT_EQ(head.size(), head.find("\r\n\r\n") + 4) << head;
  EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
  EXPECT_EQ(head.find("Transfer-Encoding"), std::string::npos) << head;
}

// Throwaway certificate authorities and server certificates, made with the openssl command.
class TestPki {
public:
  explicit TestPki(const ScopedTempDir &dir) : dir_(dir) {
    writeFile(dir_ / "openssl.cnf", "[req]\ndistinguished_name = dn\nprompt = no\n"
                                    "[dn]\nCN = Quorbel test\n"
                                    "[ca]\nbasicConstraints = critical,CA:TRUE\n"
                                    "keyUsage = critical,keyCertSign,cRLSign\n"
                                    "subjectKeyIdentifier = hash\n"
                                    "[ip]\nbasicConstraints = CA:FALSE\n"
                                    "extendedKeyUsage = serverAuth\nsubjectAltName = IP:127.0.0.1\n"
                                    "[other]\nbasicConstraints = CA:FALSE\n"
                                    "extendedKeyUsage = serverAuth\n"
                                    "subjectAltName = DNS:other.example\n");
  }
  // Returns the certificate's path; the key sits beside it with the extension ".key".
  std::filesystem::path makeCa(const std::string &name) {
    run("req -x509 -config openssl.cnf -extensions ca -newkey ec -pkeyopt "
        "ec_paramgen_curve:P-256 -nodes -days 2 -keyout " +
        name + ".key -out " + name + ".pem");
    return dir_ / (name + ".pem");
  }
  // A server certificate with the extension section `names` of the config, signed by `ca`.
  std::filesystem::path makeLeaf(const std::string &name, const std::string &names,
                                 const std::string &ca) {
    run("req -new -config openssl.cnf -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
        "-keyout " +
        name + ".key -out " + name + ".csr");
    run("x509 -req -in " + name + ".csr -CA " + ca + ".pem -CAkey " + ca +
        ".key -CAcreateserial -days 2 -extfile openssl.cnf -extensions " + names + " -out " + name +
        ".pem");
    return dir_ / (name + ".pem");
  }

private:
  void run(const std::string &arguments) {
    const std::string command =
        "cd '" + dir_.path().string() + "' && openssl " + arguments + " >openssl.log 2>&1";
    if (std::system(command.c_str()) != 0) {
      throw std::runtime_error("openssl " + arguments + " failed:\n" +
                               readFile(dir_ / "openssl.log"));
    }
  }
  const ScopedTempDir &dir_;
};

TEST(UsageEndpoint, NothingThatCouldLeakTheTokenGoesOut) {
  if (std::system("command -v openssl >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "the openssl command is not installed (scripts/install-deps.sh installs it); "
                    "it makes the test's certificates";
  }
  const ScopedTempDir temp;
  TestPki pki(temp);
  const auto trustedCa = pki.makeCa("trusted-ca");
  pki.makeCa("untrusted-ca");
  const auto tlsSession =
      CurlHttpSession::forLoopback({.allowPlainHttp = false, .trustedCaFile = trustedCa});
  const auto request = [](std::string url, HttpHeaders headers) {
    return HttpGetRequest{std::move(url), std::move(headers), 5s};
  };
  const HttpHeaders bearer{{"Authorization", std::string("Bearer ") + kToken}};

  struct Case {
    const char *name;
    std::filesystem::path certificate; // empty: plain http
    std::shared_ptr<HttpSession> session;
    HttpHeaders headers;
    bool sent; // whether the request may go out at all
  };
  // The good server comes first, so a session that has already trusted one peer is the one that
  // must refuse the others.
  const Case cases[] = {
      {"127.0.0.1 from the trusted CA", pki.makeLeaf("good", "ip", "trusted-ca"), tlsSession,
       bearer, true},
      {"another host name from the trusted CA", pki.makeLeaf("other-name", "other", "trusted-ca"),
       tlsSession, bearer, false},
      {"127.0.0.1 from a CA the client does not trust",
       pki.makeLeaf("untrusted", "ip", "untrusted-ca"), tlsSession, bearer, false},
      // The helper's own session speaks https only.
      {"plain http", {}, std::make_shared<CurlHttpSession>(), bearer, false},
      {"line break in a value",
       {},
       plainSession(),
       {{"Authorization", "Bearer x\r\nX-Injected: 1"}},
       false},
      {"line break in a name", {}, plainSession(), {{"X-A\nB", "1"}}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const LoopbackServer server(httpReply(200, kGoodBody), {.certificate = c.certificate});
    const auto started = std::chrono::steady_clock::now();
    std::optional<TransportError> error;
    try {
      EXPECT_EQ(c.session->get(request(server.url(), c.headers)).status, 200);
    } catch (const HttpTransportFailure &failure) {
      error = failure.error();
      EXPECT_FALSE(holdsSecret(error->describe())) << error->describe();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, kTimeout);
    EXPECT_EQ(server.requests(), c.sent ? 1 : 0) << "a request crossed where it must not";
    if (c.certificate.empty()) {
      EXPECT_EQ(server.connections(), 0) << "refused before connecting";
    }
    if (c.sent) {
      EXPECT_FALSE(error);
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->kind, TransportError::Kind::other) << error->text;
    }
  }
}

TEST(UsageEndpoint, RateLimitWaitsAtLeastWhatRetryAfterAsks) {
  const auto httpDateIn = [](std::time_t seconds) {
    const std::time_t when = std::time(nullptr) + seconds;
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return std::string(text);
  };
  struct Case {
    std::optional<std::string> retryAfter; // the header's value, if any
    double minimum, maximum;
  };
  // One cycle of back-off; each row is the next 429.
  const Case cases[] = {
      {std::nullopt, 180, 180},
      {std::nullopt, 360, 360},
      {std::nullopt, 720, 720},
      {std::nullopt, 1440, 1440},
      {std::nullopt, 1440, 1440},
      {"1600", 1600, 1600},           // longer than the step: the server's wait
      {"0", 1440, 1440},              // no wait asked for: the step
      {"99999", 3600, 3600},          // capped
      {"60", 1440, 1440},             // shorter than the step: the step
      {httpDateIn(1600), 1597, 1600}, // the date form, read against the real clock
  };
  std::vector<std::string> replies;
  for (const Case &c : cases) {
    replies.push_back(
        httpReply(429, "", c.retryAfter ? "Retry-After: " + *c.retryAfter + "\r\n" : ""));
  }
  replies.push_back(httpReply(200, kGoodBody));
  replies.push_back(httpReply(429, ""));
  const LoopbackServer server(LoopbackServer::replying(replies), {.maxConnections = 16});
  CapturingLog log;
  const ScopedTempDir temp;
  const FixedClock clock;
  HelperRuntime runtime(
      liveProvider(std::make_shared<StubCredentials>(credentialsExpiringIn(3600)), server.url()),
      std::make_shared<SnapshotStore>(temp / "plan-snapshot.json"), kLiveMinimumInterval, log,
      clock);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.retryAfter.value_or("none"));
    const double delay = runtime.tick();
    EXPECT_GE(delay, c.minimum);
    EXPECT_LE(delay, c.maximum);
    EXPECT_NE(log.lines().back().find("Backing off " + std::to_string(std::int64_t(delay)) + " s"),
              std::string::npos)
        << log.lines().back();
  }
  runtime.tick();
  EXPECT_EQ(runtime.tick(), 180);
}

TEST(UsageEndpoint, AStopEndsARequestUnderWayAndSendsNoMore) {
  for (const bool stopFirst : {false, true}) {
    SCOPED_TRACE(stopFirst ? "stop before the request" : "stop during it");
    const LoopbackServer server(LoopbackServer::silent());
    const auto session =
        CurlHttpSession::forLoopback({.allowPlainHttp = true, .trustedCaFile = {}});
    std::stop_source stop;
    session->cancelOn(stop.get_token());
    if (stopFirst) {
      stop.request_stop();
    }
    auto result = std::async(std::launch::async, [&]() -> std::optional<TransportError> {
      try {
        session->get(HttpGetRequest{server.url(), {}, 30s});
      } catch (const HttpTransportFailure &failure) {
        return failure.error();
      }
      return std::nullopt;
    });
    if (!stopFirst) {
      ASSERT_TRUE(testing::eventually([&] { return server.requests() == 1; }));
      stop.request_stop();
    }
    // libcurl asks about once a second; far less than the 30 s time-out.
    const auto error = testing::finishesWithin("the stopped request", [&] { return result.get(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, TransportError::Kind::cancelled);
    EXPECT_EQ(server.connections(), stopFirst ? 0 : 1);
  }
}

std::string credentialsDocument(double expiresAtMilliseconds) {
  return std::string(R"({"claudeAiOauth":{"accessToken":")") + kToken + R"(","refreshToken":")" +
         testing::kTestRefreshToken + R"(","expiresAt":)" + std::to_string(expiresAtMilliseconds) +
         R"(,"scopes":["user:inference"],"subscriptionType":"max"}})";
}

// While signed out, the sign-in is shown at once; once active, a token refresh by the CLI waits
// for the cadence, since every extra request counts against the endpoint's limit.
TEST(UsageEndpoint, SigningInTicksAtOnceButATokenRefreshAddsNoRequest) {
  ScopedTempDir temp;
  const LoopbackServer server(httpReply(200, kGoodBody));
  const auto credentialsPath = temp / "home/.claude/.credentials.json";
  CapturingLog log;
  HelperRuntime runtime(
      liveProvider(std::make_shared<CredentialsFile>(credentialsPath), server.url()),
      std::make_shared<SnapshotStore>(temp / "data/plan-snapshot.json"), 180, log);
  LinuxTickTimer timer(credentialsPath);
  std::stop_source stop;
  auto finished = std::async(std::launch::async, [&] { runtime.run(stop.get_token(), timer); });
  ASSERT_TRUE(testing::eventually([&] { return log.lines().size() == 2; })) << log.text();
  EXPECT_EQ(runtime.lastResult(), RefreshResult(refresh::SessionInactive{}));

  std::filesystem::create_directories(credentialsPath.parent_path());
  writeFile(credentialsPath, credentialsDocument(testing::kFarFutureMilliseconds));
  // The file may be seen once while still empty, which reads as signed out and sends nothing;
  // its completed write then ticks again.
  ASSERT_TRUE(testing::eventually([&] {
    return log.text().find("[RefreshCycle] 200: snapshot updated") != std::string::npos;
  })) << log.text();
  EXPECT_EQ(server.requests(), 1);

  writeFile(credentialsPath, credentialsDocument(testing::kFarFutureMilliseconds - 1000));
  std::this_thread::sleep_for(500ms);
  stop.request_stop();
  testing::finishesWithin("the stopped refresh cycle", [&] { finished.get(); });
  EXPECT_EQ(server.requests(), 1);
  EXPECT_EQ(log.lines().back(), "[RefreshCycle] Sleep cancelled; stopping refresh cycle.\n");
}

TEST(UsageEndpoint, ThousandsOfTicksKeepMemoryAndDescriptorsFlat) {
  constexpr int kTicks = 10'000;
  constexpr int kWarmUp = 100;
  const std::vector<std::string> replies = {httpReply(200, kGoodBody),
                                            httpReply(429, ""),
                                            httpReply(401, ""),
                                            httpReply(500, "oops"),
                                            httpReply(200, "{\"five_hour\":"),
                                            "SSH-2.0-OpenSSH_9.2\r\n",
                                            httpReply(200, kGoodBody).substr(0, 150)};
  const LoopbackServer server(
      [&](LoopbackPeer &peer) { peer.write(replies[std::size_t(peer.index()) % replies.size()]); },
      {.maxConnections = kTicks});
  // tmpfs keeps thousands of fsynced writes quick; the property is the process's own use.
  const std::filesystem::path snapshot =
      std::filesystem::path("/dev/shm") / ("quorbel-soak-" + std::to_string(::getpid()) + ".json");
  CapturingLog log;
  HelperRuntime runtime(
      liveProvider(std::make_shared<StubCredentials>(credentialsExpiringIn(1e9)), server.url()),
      std::make_shared<SnapshotStore>(snapshot), 1, log);
  const auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  long residentAfterWarmUp = 0, descriptorsAfterWarmUp = 0;
  for (int tick = 1; tick <= kTicks; ++tick) {
    runtime.tick();
    log.clear();
    if (tick == kWarmUp) {
      residentAfterWarmUp = testing::residentKiB();
      descriptorsAfterWarmUp = openDescriptors();
    }
  }
  std::filesystem::remove(snapshot);
  EXPECT_EQ(server.requests(), kTicks);
  EXPECT_EQ(openDescriptors(), descriptorsAfterWarmUp);
#if !defined(__SANITIZE_ADDRESS__) && !QUORBEL_HAS_ADDRESS_SANITIZER
  // Allocator pages come and go; a leak of even 100 bytes a tick would add about 1 MiB.
  EXPECT_LE(testing::residentKiB(), residentAfterWarmUp + 512);
#else
  // AddressSanitizer holds freed memory in quarantine; LeakSanitizer checks at exit instead.
  (void)residentAfterWarmUp;
#endif
}

} // namespace
} // namespace quorbel
