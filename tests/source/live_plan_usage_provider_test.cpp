#include "source/live_plan_usage_provider.hpp"

#include "model/snapshot_json.hpp"
#include "runtime/helper_runtime.hpp"
#include "source/claude_code_version.hpp"
#include "source/curl_http_session_linux.hpp"
#include "source/raw_loopback_server.hpp"
#include "store/snapshot_store.hpp"
#include "support/capturing_log.hpp"
#include "support/running_http_server.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::CapturingLog;

constexpr double kNowSeconds = 1'780'000'000;
constexpr const char *kToken = "sk-ant-oat01-test-token";
constexpr const char *kUsagePath = "/api/oauth/usage";

class FixedClock final : public Clock {
public:
  explicit FixedClock(double seconds) : now_(instantFromUnixSeconds(seconds)) {}
  Instant now() const override { return now_; }

private:
  Instant now_;
};

class StubCredentials final : public CredentialsReading {
public:
  explicit StubCredentials(std::variant<Credentials, CredentialsError> result)
      : result_(std::move(result)) {}
  Credentials readCredentials() const override {
    if (const auto *error = std::get_if<CredentialsError>(&result_)) {
      throw *error;
    }
    return std::get<Credentials>(result_);
  }

private:
  std::variant<Credentials, CredentialsError> result_;
};

Credentials credentialsExpiringIn(std::optional<double> seconds) {
  Credentials credentials;
  credentials.claudeAiOauth.accessToken = kToken;
  if (seconds) {
    credentials.claudeAiOauth.expiresAt = (kNowSeconds + *seconds) * 1000.0;
  }
  return credentials;
}

Credentials validCredentials() { return credentialsExpiringIn(3600); }

std::string usageBody(const std::string &fiveHour, const std::string &sevenDay) {
  return R"({"five_hour":)" + fiveHour + R"(,"seven_day":)" + sevenDay + "}";
}

std::string window(const std::string &utilization, const std::string &resetsAt) {
  return R"({"utilization":)" + utilization + R"(,"resets_at":")" + resetsAt + R"("})";
}

const std::string kGoodBody = usageBody(window("41.5", "2026-06-29T17:00:00Z"),
                                        window("12", "2026-07-03T09:00:00.500+00:00"));

// An HTTP server on 127.0.0.1 whose usage route answers whatever the test sets.
class UsageServer {
public:
  UsageServer() {
    server_.Get(kUsagePath, [this](const httplib::Request &request, httplib::Response &response) {
      ++hits_;
      {
        const std::lock_guard lock(mutex_);
        lastBody_ = request.body;
        lastMethod_ = request.method;
      }
      const std::lock_guard lock(mutex_);
      answer_(response);
    });
    // One request per connection, as the helper's polls are; it also lets stop() end at once.
    server_.set_keep_alive_max_count(1);
    running_.emplace(server_);
  }

  void answer(int status, std::string body) {
    const std::lock_guard lock(mutex_);
    answer_ = [status, body = std::move(body)](httplib::Response &response) {
      response.status = status;
      response.set_content(body, "application/json");
    };
  }
  void answerWith(std::function<void(httplib::Response &)> answer) {
    const std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
  }

  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(running_->port()) + kUsagePath;
  }
  int hits() const { return hits_; }
  std::string lastMethod() const {
    const std::lock_guard lock(mutex_);
    return lastMethod_;
  }

  httplib::Server server_;

private:
  std::atomic<int> hits_{0};
  mutable std::mutex mutex_;
  std::function<void(httplib::Response &)> answer_ = [](httplib::Response &response) {
    response.status = 500;
  };
  std::string lastBody_;
  std::string lastMethod_;
  // Last, so the server stops before the members its handlers use are gone.
  std::optional<testing::RunningHttpServer> running_;
};

std::shared_ptr<HttpSession> loopbackSession() {
  static const std::shared_ptr<HttpSession> session =
      CurlHttpSession::forLoopback({.allowPlainHttp = true, .trustedCaFile = {}});
  return session;
}

class LiveProviderTest : public ::testing::Test {
protected:
  LivePlanUsageProvider provider(Credentials credentials, std::string url,
                                 std::chrono::milliseconds timeout = 5s) {
    return provider(std::variant<Credentials, CredentialsError>(std::move(credentials)),
                    std::move(url), timeout);
  }
  LivePlanUsageProvider provider(std::variant<Credentials, CredentialsError> credentials,
                                 std::string url, std::chrono::milliseconds timeout = 5s) {
    return LivePlanUsageProvider(std::make_shared<StubCredentials>(std::move(credentials)),
                                 loopbackSession(), std::string(kFallbackClaudeCodeVersion),
                                 kDefaultExpiryMargin, std::move(url), timeout, clock_);
  }

  // The error a fetch throws; a failure of the test when it returns instead.
  static std::optional<PlanUsageError> fetchError(LivePlanUsageProvider provider) {
    try {
      provider.fetch();
    } catch (const PlanUsageError &error) {
      return error;
    }
    ADD_FAILURE() << "fetch succeeded";
    return std::nullopt;
  }

  FixedClock clock_{kNowSeconds};
  UsageServer server_;
};

TEST_F(LiveProviderTest, SendsOneGetWithTheThreeHeadersInOrder) {
  const std::string reply =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kGoodBody.size()) +
      "\r\nConnection: close\r\n\r\n" + kGoodBody;
  const testing::RawLoopbackServer raw(reply);
  provider(validCredentials(), raw.url(kUsagePath)).fetch();

  const auto requests = raw.requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string &head = requests[0];
  const std::string expectedHeaders = std::string("Authorization: Bearer ") + kToken +
                                      "\r\n"
                                      "anthropic-beta: oauth-2025-04-20\r\n"
                                      "User-Agent: claude-code/2.1.195\r\n";
  EXPECT_EQ(head.rfind("GET /api/oauth/usage HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find(expectedHeaders), std::string::npos) << head;
  // Nothing after the head: no body, and nothing announcing one.
  EXPECT_EQ(head.size(), head.find("\r\n\r\n") + 4) << head;
  EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
  EXPECT_EQ(head.find("Transfer-Encoding"), std::string::npos) << head;
}

TEST_F(LiveProviderTest, MapsAGoodAnswerIntoAnActiveSnapshot) {
  server_.answer(200, kGoodBody);
  struct Case {
    const char *name;
    std::optional<std::string> subscriptionType;
    std::optional<std::string> rateLimitTier;
  };
  const Case cases[] = {
      {"with plan strings", "max", "default_claude_max_20x"},
      {"without plan strings", std::nullopt, std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Credentials credentials = validCredentials();
    credentials.claudeAiOauth.subscriptionType = c.subscriptionType;
    credentials.claudeAiOauth.rateLimitTier = c.rateLimitTier;
    const PlanSnapshot snapshot = provider(credentials, server_.url()).fetch();

    PlanSnapshot expected;
    expected.fetchedAt = instantFromUnixSeconds(kNowSeconds);
    expected.session = PlanWindow{42, *PlanDateParser::dateFrom("2026-06-29T17:00:00Z")};
    expected.allModels = PlanWindow{12, *PlanDateParser::dateFrom("2026-07-03T09:00:00.5Z")};
    expected.subscriptionType = c.subscriptionType;
    expected.rateLimitTier = c.rateLimitTier;
    expected.status = PlanStatus::active;
    EXPECT_EQ(snapshot, expected);
  }
  EXPECT_EQ(server_.lastMethod(), "GET");
}

TEST_F(LiveProviderTest, ClassifiesStatuses) {
  struct Case {
    int status;
    std::string body;
    PlanUsageError::Kind kind;
  };
  const Case cases[] = {
      {401, kGoodBody, PlanUsageError::Kind::unauthorized},
      {401, "", PlanUsageError::Kind::unauthorized},
      {429, kGoodBody, PlanUsageError::Kind::rateLimited},
      {429, R"({"error":{"type":"rate_limit_error"}})", PlanUsageError::Kind::rateLimited},
      {403, kGoodBody, PlanUsageError::Kind::unexpectedStatus},
      {500, "oops", PlanUsageError::Kind::unexpectedStatus},
      {204, "", PlanUsageError::Kind::unexpectedStatus},
      {201, kGoodBody, PlanUsageError::Kind::unexpectedStatus},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.status);
    server_.answer(c.status, c.body);
    const auto error = fetchError(provider(validCredentials(), server_.url()));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), c.kind);
    if (c.kind == PlanUsageError::Kind::unexpectedStatus) {
      EXPECT_EQ(error->httpStatus(), c.status);
    }
  }
}

// An answer as the endpoint sends it in the field: fractions and offsets in every date, keys
// beside the two windows, and per-model weekly limits in "limits" among entries of other kinds,
// entries that do not read, and a second, emptier entry for the same model.
const std::string kFullAnswer = R"({
  "five_hour": {"utilization": 33.0, "resets_at": "2026-05-28T23:00:00.528743+00:00"},
  "seven_day": {"utilization": 8, "resets_at": "2026-06-01T07:00:00.528743+00:00"},
  "seven_day_oauth_apps": null, "seven_day_opus": null,
  "seven_day_sonnet": {"utilization": 3.0, "resets_at": null},
  "extra_usage": {"is_enabled": false, "monthly_limit": null, "used_credits": null,
                  "utilization": null},
  "limits": [
    {"kind": "session", "group": "session", "percent": 33, "resets_at": null, "scope": null},
    {"kind": "weekly_all", "group": "weekly", "percent": 8, "severity": "normal"},
    {"kind": "weekly_scoped", "group": "weekly", "percent": 12.5, "resets_at": null,
     "severity": "normal", "is_active": true, "scope": {"model": {"display_name": "Sonnet"}}},
    {"kind": "weekly_scoped", "percent": 40, "resets_at": null,
     "scope": {"model": {"display_name": "Opus"}}},
    {"kind": "weekly_scoped", "group": "weekly", "percent": 100,
     "resets_at": "2026-05-30T07:00:00.528743+00:00", "severity": "normal", "is_active": true,
     "scope": {"model": {"display_name": "Opus"}}},
    {"kind": "weekly_scoped", "percent": 50, "scope": {}},
    {"kind": "weekly_scoped", "percent": "lots", "scope": {"model": {"display_name": "Haiku"}}},
    {"kind": "weekly_scoped", "percent": 5, "resets_at": "soon",
     "scope": {"model": {"display_name": "Haiku"}}},
    {"kind": "weekly_scoped", "percent": 9, "scope": {"model": {"display_name": 7}}},
    42, null
  ]
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

TEST_F(LiveProviderTest, RealShapedAnswersWriteTheFileAUserExpects) {
  const std::string five = window("33.0", "2026-05-28T23:00:00.528743+00:00");
  const std::string seven = window("8", "2026-06-01T07:00:00+00:00");
  const std::string idle = R"({"utilization": 0.0, "resets_at": null})";
  const Instant now = instantFromUnixSeconds(kNowSeconds);
  const PlanWindow fiveWindow{33, *PlanDateParser::dateFrom("2026-05-28T23:00:00Z")};
  const PlanWindow sevenWindow{8, *PlanDateParser::dateFrom("2026-06-01T07:00:00Z")};
  const auto snapshotOf = [&](std::optional<PlanWindow> session,
                              std::optional<PlanWindow> allModels,
                              std::vector<ModelWindow> models = {}) {
    return PlanSnapshot{now, session, allModels, {}, {}, PlanStatus::active, std::move(models)};
  };
  // What the store holds before the tick; a failed decoding must leave it byte for byte.
  const PlanSnapshot previous = snapshotOf(PlanWindow{1, now}, PlanWindow{2, now});
  struct Case {
    const char *name;
    std::string body;
    std::optional<PlanSnapshot> written; // nothing: a decoding failure, the file untouched
  };
  const Case cases[] = {
      {"idle five-hour window, null reset", usageBody(idle, seven),
       snapshotOf(std::nullopt, sevenWindow)},
      {"idle five-hour window, no reset", usageBody(R"({"utilization": 0.0})", seven),
       snapshotOf(std::nullopt, sevenWindow)},
      {"null window", usageBody("null", seven), snapshotOf(std::nullopt, sevenWindow)},
      {"absent window", R"({"five_hour":)" + five + "}", snapshotOf(fiveWindow, std::nullopt)},
      {"both windows idle", usageBody(idle, "null"), snapshotOf(std::nullopt, std::nullopt)},
      {"legacy per-model objects",
       usageBody(five, seven).insert(1, R"("seven_day_opus": {"utilization": 71.5,
          "resets_at": "2026-06-01T07:00:00Z"}, "seven_day_sonnet": null,)"),
       snapshotOf(fiveWindow, sevenWindow, {{"Opus", 72, sevenWindow.resetsAt}})},
      {"malformed limits fall back to the legacy objects",
       usageBody(five, seven).insert(1, R"("limits": {"kind": "weekly_scoped"},
          "seven_day_sonnet": {"utilization": 4, "resets_at": null},
          "seven_day_opus": {"utilization": "x"},)"),
       snapshotOf(fiveWindow, sevenWindow, {{"Sonnet", 4, std::nullopt}})},
      {"not an object", "[" + usageBody(five, seven) + "]", std::nullopt},
      {"not JSON", "<html>maintenance</html>", std::nullopt},
      {"neither window in the answer", R"({"seven_day_opus": null, "limits": []})", std::nullopt},
      {"wrong-case keys", R"({"Five_hour":)" + five + R"(,"Seven_day":)" + seven + "}",
       std::nullopt},
      {"window neither object nor null", usageBody("5", seven), std::nullopt},
      {"idle window with a string utilization",
       usageBody(R"({"utilization": "0", "resets_at": null})", seven), std::nullopt},
      {"reset time without utilization",
       usageBody(five, R"({"resets_at": "2026-06-01T07:00:00Z"})"), std::nullopt},
      {"reset time with null utilization",
       usageBody(R"({"utilization": null, "resets_at": "2026-06-01T07:00:00Z"})", seven),
       std::nullopt},
      {"reset time as a number", usageBody(five, R"({"utilization": 8, "resets_at": 1})"),
       std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedTempDir temp;
    auto store = std::make_shared<SnapshotStore>(temp / "plan-snapshot.json");
    store->save(previous);
    const std::string before = testing::readFile(store->fileURL());
    server_.answer(200, c.body);
    testing::CapturingLog log;
    HelperRuntime runtime(
        std::make_shared<LivePlanUsageProvider>(provider(validCredentials(), server_.url())), store,
        kLiveMinimumInterval, log, clock_);
    runtime.tick();
    const std::string after = testing::readFile(store->fileURL());
    if (c.written) {
      EXPECT_EQ(decodeSnapshot(after), *c.written) << after;
      EXPECT_NE(log.text().find("200: snapshot updated"), std::string::npos) << log.text();
    } else {
      EXPECT_EQ(after, before);
      EXPECT_NE(log.text().find("Transient error (decoding)"), std::string::npos) << log.text();
    }
  }

  server_.answer(200, kFullAnswer);
  testing::ScopedTempDir temp;
  auto store = std::make_shared<SnapshotStore>(temp / "plan-snapshot.json");
  testing::CapturingLog log;
  HelperRuntime runtime(
      std::make_shared<LivePlanUsageProvider>(provider(validCredentials(), server_.url())), store,
      kLiveMinimumInterval, log, clock_);
  runtime.tick();
  EXPECT_EQ(testing::readFile(store->fileURL()), kFullAnswerFile);
}

TEST_F(LiveProviderTest, RateLimitWaitsAtLeastWhatRetryAfterAsks) {
  CapturingLog log;
  testing::ScopedTempDir temp;
  HelperRuntime runtime(
      std::make_shared<LivePlanUsageProvider>(provider(validCredentials(), server_.url())),
      std::make_shared<SnapshotStore>(temp / "plan-snapshot.json"), kLiveMinimumInterval, log,
      clock_);
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
    double minimum;
    double maximum;
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
  for (const Case &c : cases) {
    SCOPED_TRACE(c.retryAfter.value_or("none"));
    server_.answerWith([&](httplib::Response &response) {
      response.status = 429;
      if (c.retryAfter) {
        response.set_header("Retry-After", *c.retryAfter);
      }
    });
    const double delay = runtime.tick();
    EXPECT_GE(delay, c.minimum);
    EXPECT_LE(delay, c.maximum);
    EXPECT_NE(log.lines().back().find("Backing off " + std::to_string(std::int64_t(delay)) + " s"),
              std::string::npos)
        << log.lines().back();
  }
  server_.answer(200, kGoodBody);
  runtime.tick();
  server_.answer(429, "");
  EXPECT_EQ(runtime.tick(), 180);
}

TEST_F(LiveProviderTest, UnreadableResetDateNamesTheFirstWindowThatFails) {
  struct Case {
    std::string fiveHourReset;
    std::string sevenDayReset;
    PlanSnapshotError expected;
  };
  const Case cases[] = {
      // "five_hour" fails first, so "seven_day" is never mapped.
      {"2026-06-29 17:00:00Z", "soon", PlanSnapshotError("five_hour", "2026-06-29 17:00:00Z")},
      {"2026-06-29T17:00:00Z", "", PlanSnapshotError("seven_day", "")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.expected.field());
    server_.answer(200, usageBody(window("1", c.fiveHourReset), window("2", c.sevenDayReset)));
    const auto error = fetchError(provider(validCredentials(), server_.url()));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), PlanUsageError::Kind::decoding);
    ASSERT_TRUE(error->decodingFailure() && error->decodingFailure()->resetDate);
    EXPECT_EQ(*error->decodingFailure()->resetDate, c.expected);
  }
}

TEST_F(LiveProviderTest, DecidesCredentialFailuresWithoutARequest) {
  server_.answer(200, kGoodBody);
  struct Case {
    const char *name;
    std::variant<Credentials, CredentialsError> credentials;
    std::optional<PlanUsageError::Kind> kind; // nothing: the fetch succeeds
  };
  const Case cases[] = {
      {"no credentials", CredentialsError::noToken(), PlanUsageError::Kind::credentialMissing},
      {"unreadable", CredentialsError::unexpectedStatus(13),
       PlanUsageError::Kind::credentialMissing},
      {"undecodable", CredentialsError::decodeFailed(), PlanUsageError::Kind::credentialMissing},
      {"no expiry", credentialsExpiringIn(std::nullopt), PlanUsageError::Kind::credentialExpired},
      {"expired an hour ago", credentialsExpiringIn(-3600),
       PlanUsageError::Kind::credentialExpired},
      {"expires now", credentialsExpiringIn(0), PlanUsageError::Kind::credentialExpired},
      {"expires at exactly the margin", credentialsExpiringIn(kDefaultExpiryMargin),
       PlanUsageError::Kind::credentialExpired},
      {"a millisecond inside the margin", credentialsExpiringIn(kDefaultExpiryMargin - 0.001),
       PlanUsageError::Kind::credentialExpired},
      {"a second past the margin", credentialsExpiringIn(kDefaultExpiryMargin + 1), std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const int hitsBefore = server_.hits();
    if (c.kind) {
      const auto error = fetchError(provider(c.credentials, server_.url()));
      ASSERT_TRUE(error);
      EXPECT_EQ(error->kind(), *c.kind);
      EXPECT_EQ(server_.hits(), hitsBefore);
    } else {
      EXPECT_TRUE(provider(c.credentials, server_.url()).fetch().hasData());
      EXPECT_EQ(server_.hits(), hitsBefore + 1);
    }
  }
}

} // namespace
} // namespace quorbel
