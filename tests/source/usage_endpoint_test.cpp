// The usage endpoint end to end: a credentials file, the live provider over the real libcurl
// session and one tick of the refresh cycle, against the test's own loopback servers. One table
// per concern.
#include "http/curl_http_session_linux.hpp"
#include "model/snapshot_json.hpp"
#include "runtime/helper_runtime.hpp"
#include "source/claude_code_version.hpp"
#include "source/credentials_file_linux.hpp"
#include "source/live_plan_usage_provider.hpp"
#include "store/snapshot_store.hpp"
#include "support/capturing_log.hpp"
#include "support/deadline.hpp"
#include "support/loopback_server.hpp"
#include "support/secrets.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::httpReply;
using testing::LoopbackServer;

constexpr double kNowSeconds = 1'780'000'000;
constexpr std::chrono::milliseconds kTimeout = 2s;
const std::string kToken = testing::kTestAccessToken;
constexpr std::string_view kCycle = "[RefreshCycle] ";

class FixedClock final : public Clock {
public:
  Instant now() const override { return instantFromUnixSeconds(kNowSeconds); }
};

// A credentials document, refresh token included, whose token expires `seconds` from now, or never
// says when.
std::string expiringIn(std::optional<double> seconds, const std::string &more = "") {
  return std::string(R"({"claudeAiOauth":{"refreshToken":")") + testing::kTestRefreshToken +
         R"(","accessToken":")" + kToken + '"' + more +
         (seconds ? ",\"expiresAt\":" + std::to_string((kNowSeconds + *seconds) * 1000) : "") +
         "}}";
}

std::shared_ptr<CurlHttpSession> plainSession() {
  return CurlHttpSession::forLoopback({.allowPlainHttp = true, .trustedCaFile = {}});
}

LoopbackServer::Script replying(int status, const std::string &body, const std::string &head = "") {
  return {httpReply(status, body, head)};
}

const std::string kIdleBody = R"({"five_hour": null})";
const std::string kIdleFile = R"({"fetchedAt":"2026-05-28T20:26:40Z","status":"active"})";
const std::string kHeaders = "\r\nAuthorization: Bearer " + kToken +
                             "\r\nanthropic-beta: oauth-2025-04-20\r\n"
                             "User-Agent: claude-code/2.1.195\r\n\r\n";

// One tick against one server. It ends in the snapshot, as the file's compact form, or in the
// cycle's log line, of which a prefix is given, since transport errors end in libcurl's words.
// The line follows what the person is told, the credentials' folder shown as $DIR, and the reason
// the file gives for an inactive session.
struct Exchange {
  const char *name;
  LoopbackServer::Script answer;
  std::string outcome;
  std::string credentials = expiringIn(3600);
  bool sent = true;                          // whether the request reaches the server
  std::shared_ptr<HttpSession> session = {}; // none: one for plain http
  std::filesystem::path certificate = {};    // the server's; none: plain http
  std::optional<std::string> written = {};   // the file the tick leaves, compact, when it matters
  int ticks = 1;                             // each one request, the script's next answer
};

void expectOutcomes(std::initializer_list<Exchange> exchanges) {
  static const FixedClock clock;
  static const auto plain = plainSession();
  for (const Exchange &c : exchanges) {
    SCOPED_TRACE(c.name);
    const LoopbackServer server(c.answer, c.certificate);
    const testing::ScopedTempDir temp;
    testing::writeFile(temp / ".credentials.json", c.credentials);
    testing::CapturingLog log, hints;
    HelperRuntime runtime(std::make_shared<LivePlanUsageProvider>(
                              std::make_shared<CredentialsFile>(temp / ".credentials.json"),
                              c.session ? c.session : plain,
                              std::string(kFallbackClaudeCodeVersion), kDefaultExpiryMargin,
                              server.url(), kTimeout, clock),
                          std::make_shared<SnapshotStore>(temp / "plan-snapshot.json"),
                          kLiveMinimumInterval, log, clock, hints);
    for (int tick = 0; tick < c.ticks; ++tick) {
      testing::finishesWithin("the tick", [&] { runtime.tick(); });
    }
    std::string told = hints.text();
    if (const auto at = told.find(temp.path().string()); at != std::string::npos) {
      told.replace(at, temp.path().string().size(), "$DIR");
    }
    if (const auto file = SnapshotStore(temp / "plan-snapshot.json").load();
        file && file->inactiveReason) {
      told += std::string(rawValue(*file->inactiveReason)) + ": ";
    }
    const std::string outcome = runtime.lastSnapshot()
                                    ? encodeSnapshot(*runtime.lastSnapshot(), JsonLayout::compact)
                                    : told + log.lines().back().substr(kCycle.size());
    EXPECT_EQ(outcome.substr(0, c.outcome.size()), c.outcome);
    EXPECT_FALSE(testing::holdsSecret(log.text() + hints.text())) << log.text() << hints.text();
    EXPECT_EQ(server.requests(), c.sent ? c.ticks : 0) << "a request crossed where it must not";
    if (c.written) {
      EXPECT_EQ(
          encodeSnapshot(*SnapshotStore(temp / "plan-snapshot.json").load(), JsonLayout::compact),
          *c.written);
      EXPECT_EQ(log.lines().size(), std::size_t(c.ticks)) << log.text();
    }
    // One GET with the three headers in order, and nothing after them.
    const std::string head = server.firstHead();
    EXPECT_TRUE(!c.sent ||
                (head.starts_with("GET /api/oauth/usage HTTP/1.1\r\n") && head.ends_with(kHeaders)))
        << head;
  }
}

TEST(UsageEndpoint, ClassifiesEveryAnswer) {
  const auto ok = [](const std::string &body) { return replying(200, body); };
  // As the endpoint sends it in the field: fractions and offsets in dates, keys beside the two
  // windows, and per-model limits among entries of other kinds, entries that do not read, and a
  // second, emptier entry for one model; names lose their controls, and one of controls only is
  // skipped.
  const std::string fieldAnswer =
      R"({"seven_day_opus": null, "seven_day_sonnet": {"utilization": 3},
  "five_hour": {"utilization": 33.0, "resets_at": "2026-05-28T23:00:00.528743+00:00"},
  "seven_day": {"utilization": 8, "resets_at": "2026-06-01T09:00:00.5+02:00"}, "limits": [42, null,
  {"kind": "session", "percent": 60, "scope": {"model": {"display_name": "Opus"}}},
  {"kind": "weekly_scoped", "percent": 12.5, "resets_at": null, "scope": {"model":
   {"display_name": "Sonnet"}}},
  {"kind": "weekly_scoped", "percent": 40, "scope": {"model": {"display_name": "Opus"}}},
  {"kind": "weekly_scoped", "percent": 100, "resets_at": "2026-05-30T07:00:00.528743+00:00",
   "scope": {"model": {"display_name": "Opus"}}}, {"kind": "weekly_scoped", "percent": 50},
  {"kind": "weekly_scoped", "percent": "lots", "scope": {"model": {"display_name": "Haiku"}}},
  {"kind": "weekly_scoped", "percent": 90, "resets_at": "soon", "scope": {"model":
   {"display_name": "Haiku"}}}, {"kind": "weekly_scoped", "percent": 9, "scope": {"model":
   {"display_name": 7}}}, {"kind": "weekly_scoped", "percent": 7, "scope": {"model":
   {"display_name": "\u001bHai\tku\u009b\u0007"}}}, {"kind": "weekly_scoped", "percent": 8,
   "scope": {"model": {"display_name": "\u001b\u009b\u007f"}}}]})";
  const std::string bad = "Transient error (decoding)";
  const auto retryAfter = [](const char *seconds) {
    return replying(429, "", std::string("Retry-After: ") + seconds + "\r\n");
  };
  expectOutcomes({
      {"field answer", ok(fieldAnswer),
       R"({"allModels":{"percent":8,"resetsAt":"2026-06-01T07:00:00Z"},)"
       R"("fetchedAt":"2026-05-28T20:26:40Z","modelWindows":[{"model":"Haiku","percent":7},)"
       R"({"model":"Opus","percent":100,)"
       R"("resetsAt":"2026-05-30T07:00:00Z"},{"model":"Sonnet","percent":13}],)"
       R"("rateLimitTier":"default_claude_max_20x","session":{"percent":33,)"
       R"("resetsAt":"2026-05-28T23:00:00Z"},"status":"active","subscriptionType":"max"})",
       expiringIn(3600, R"(,"subscriptionType":"max","rateLimitTier":"default_claude_max_20x")")},
      {"idle windows, with a null reset or none", ok(R"({"five_hour": {"utilization": 0,
          "resets_at": null}, "seven_day": {"utilization": 0}})"),
       kIdleFile},
      {"null window", ok(kIdleBody), kIdleFile},
      {"malformed limits: the legacy model objects",
       ok(R"({"five_hour": null, "limits": {"kind": "weekly_scoped"}, "seven_day_sonnet":
          {"utilization": 4}, "seven_day_opus": {"utilization": 71.5, "resets_at":
          "2026-06-01T07:00:00Z"}})"),
       R"({"fetchedAt":"2026-05-28T20:26:40Z","modelWindows":[{"model":"Opus","percent":72,)"
       R"("resetsAt":"2026-06-01T07:00:00Z"},{"model":"Sonnet","percent":4}],"status":"active"})"},
      {"body at the cap", ok(std::string(kMaxResponseBodyBytes, ' ')), bad},
      {"neither window", ok(R"({"seven_day_opus": null, "limits": []})"), bad},
      {"not JSON, echoing the token", ok("<html>" + kToken), bad},
      {"neither object nor null", ok(R"({"five_hour": 5})"), bad},
      {"string utilization", ok(R"({"five_hour": {"utilization": "0"}})"), bad},
      {"unreadable reset", ok(R"({"five_hour": {"utilization": 8, "resets_at": "x"}})"), bad},
      {"201", replying(201, kIdleBody), "Transient error (HTTP 201)"},
      {"401", replying(401, kIdleBody), "rejected: 401 unauthorized; token rejected"},
      // A token without the endpoint's scope: no sign-out, the data stays, the person is told how.
      {"403", replying(403, kIdleBody),
       "QuorbelHelper: the usage endpoint refused this Claude Code token (HTTP 403)"},
      {"401, long body", replying(401, std::string(kMaxResponseBodyBytes + 1, ' ')),
       "rejected: 401 unauth"},
      // The back-off's rules are the refresh cycle's; here, that the answer's Retry-After reaches
      // it.
      {"429, a longer Retry-After", retryAfter("1600"), "429: rate limited. Backing off 1600 s"},
      // Decided locally: no request goes out. Why the credentials cannot be used is told, never
      // what they hold.
      {"unreadable credentials", ok(kIdleBody),
       "QuorbelHelper: credentials file $DIR/.credentials.json: not JSON\n"
       "unreadable: Session inactive",
       "{", false},
      {"signed out", ok(kIdleBody), "missing: Session inactive", R"({"claudeAiOauth":null})",
       false},
      {"empty token", ok(kIdleBody), "missing: Session inactive",
       R"({"claudeAiOauth":{"accessToken":"","expiresAt":4102444800000}})", false},
      {"no expiry", ok(kIdleBody), "expired: Session inactive", expiringIn(std::nullopt), false},
      {"at the margin", ok(kIdleBody), "expired: Session inactive",
       expiringIn(kDefaultExpiryMargin), false},
      {"a second past the margin", ok(kIdleBody), kIdleFile, expiringIn(kDefaultExpiryMargin + 1)},
  });
}

// The money comes in two shapes; what does not read is left out quietly and costs nothing else.
// Each row asserts the one member that differs, as the file writes it: "extraUsage", or none.
TEST(UsageEndpoint, WritesExtraUsageFromEitherShapeInIntegers) {
  const std::string weekly = R"({"five_hour": null,
      "seven_day": {"utilization": 8, "resets_at": "2026-06-01T07:00:00Z"}, )";
  const auto file = [](const std::string &money, const char *status = "active") {
    return R"({"allModels":{"percent":8,"resetsAt":"2026-06-01T07:00:00Z"},)" +
           (money.empty() ? "" : R"("extraUsage":{"currency":)" + money + "},") +
           R"("fetchedAt":"2026-05-28T20:26:40Z","status":")" + status + "\"}";
  };
  const auto row = [&](const char *name, const std::string &answer, const std::string &money) {
    return Exchange{name, replying(200, weekly + answer + "}"), file(money)};
  };
  const std::string usd = R"("USD","exponent":2,"limit":30000,"used":10587)";
  const std::string fieldUsd = R"("extra_usage": {"is_enabled": true, "monthly_limit": 30000,
      "used_credits": 10587.0, "utilization": 35.29, "currency": "USD", "decimal_places": 2})";
  const std::string off = R"("extra_usage": {"is_enabled": false, "monthly_limit": null})";
  const auto spend = [](const std::string &used, const std::string &limit) {
    return R"("spend": {"enabled": true, "used": )" + used + R"(, "limit": )" + limit +
           R"(, "percent": 43, "severity": "normal"})";
  };
  const std::string gbp = R"({"amount_minor": 4321, "currency": "GBP", "exponent": 2})";
  const auto cap = [](const char *currency, int exponent) {
    return R"({"amount_minor": 10000, "currency": ")" + std::string(currency) +
           R"(", "exponent": )" + std::to_string(exponent) + "}";
  };
  const auto extra = [](const std::string &members) {
    return R"("extra_usage": {"is_enabled": true, )" + members + "}";
  };
  expectOutcomes({
      row("USD with a cap", fieldUsd, usd),
      // The fraction rounds to the nearest minor unit; no code is "USD", no places are 2.
      row("EUR without a cap",
          extra(R"("monthly_limit": null, "used_credits": 249.5, "currency": "EUR")"),
          R"("EUR","exponent":2,"used":250)"),
      row("defaults", extra(R"("used_credits": 7)"), R"("USD","exponent":2,"used":7)"),
      row("GBP from spend, which wins", spend(gbp, cap("GBP", 2)) + ", " + off,
          R"("GBP","exponent":2,"limit":10000,"used":4321)"),
      row("JPY from spend, no cap",
          spend(R"({"amount_minor": 1200, "currency": "JPY", "exponent": 0})", "null"),
          R"("JPY","exponent":0,"used":1200)"),
      row("spend without a boolean defers to extra_usage",
          R"("spend": {"enabled": "yes"}, )" + fieldUsd, usd),
      row("disabled", off, ""),
      row("disabled in spend", R"("spend": {"enabled": false, "used": null}, )" + fieldUsd, ""),
      // The money's own rules (code, places, sign) are checked with the file; here only that an
      // answer goes through them.
      row("a terminal escape for a code", extra(R"("used_credits": 5, "currency": "\u001b[2J")"),
          ""),
      row("amount as text", extra(R"("used_credits": "105.87")"), ""),
      row("no amount", extra(R"("used_credits": null, "monthly_limit": 100)"), ""),
      row("amount beyond any bill", extra(R"("used_credits": 1e300)"), ""),
      row("amount beyond 64 bits", extra(R"("used_credits": 18446744073709551615)"), ""),
      row("cap as text", extra(R"("used_credits": 5, "monthly_limit": "300")"), ""),
      row("spend capped in another currency", spend(gbp, cap("EUR", 2)), ""),
      row("spend capped in other units", spend(gbp, cap("GBP", 3)), ""),
      row("spend without an amount", spend(R"({"currency": "GBP"})", "null"), ""),
  });
  // A failure publishes the last good snapshot whole: the money keeps its figures and fetchedAt,
  // and only the file's status changes.
  Exchange limited = row("then a 429", fieldUsd, usd);
  limited.answer.push_back(httpReply(429, ""));
  limited.written = file(usd, "rateLimited");
  limited.ticks = 2;
  expectOutcomes({limited});
}

TEST(UsageEndpoint, HostileTransportEndsInATransientErrorWithinItsTimeOut) {
  const LoopbackServer elsewhere(replying(200, kIdleBody));
  const std::string okHead = "HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n";
  const std::string network = "Transient error (network: ";
  expectOutcomes({
      {"never answers", LoopbackServer::silent(), network + "timedOut"},
      {"not HTTP", {"SSH-2.0-OpenSSH_9.2\r\n"}, network + "badServerResponse"},
      {"closed without a word", {""}, network + "badServerResponse"},
      {"closes mid-body", {okHead + kIdleBody}, network + "other"},
      // Of a length no header announces.
      {"a chunk a byte over the cap",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n" +
        std::string(kMaxResponseBodyBytes + 1, ' ')},
       network + "other: response body larger"},
      {"redirect", replying(302, "", "Location: " + elsewhere.url() + "\r\n"),
       "Transient error (HTTP 302)"},
  });
  EXPECT_EQ(elsewhere.connections(), 0) << "the redirect was followed";
}

TEST(UsageEndpoint, NothingThatCouldLeakTheTokenGoesOut) {
  // Two throwaway authorities, and server certificates for 127.0.0.1 or another name.
  const testing::ScopedTempDir pki;
  const std::string script =
      "cd '" + pki.path().string() +
      "' && n='openssl req -x509 -newkey ec -pkeyopt "
      "ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=test' && leaf() { $n -CA $3.pem -CAkey "
      "$3.key -addext subjectAltName=$2 -addext basicConstraints=CA:FALSE -keyout $1.key -out "
      "$1.pem; } && { $n -keyout trusted.key -out trusted.pem && $n -keyout untrusted.key -out "
      "untrusted.pem && leaf good IP:127.0.0.1 trusted && leaf other DNS:other.example trusted "
      "&& leaf stranger IP:127.0.0.1 untrusted; } >log 2>&1";
  ASSERT_EQ(std::system(script.c_str()), 0) << testing::readFile(pki / "log");
  const auto tls =
      CurlHttpSession::forLoopback({.allowPlainHttp = false, .trustedCaFile = pki / "trusted.pem"});
  const auto served = [&](const char *leaf, const std::string &outcome, bool sent = false) {
    return Exchange{leaf,      replying(200, kIdleBody), outcome, expiringIn(3600), sent, tls,
                    pki / leaf};
  };
  const std::string refused = "Transient error (network: other: ";
  // The good server comes first, so a session that already trusts one peer must refuse the others.
  expectOutcomes({
      served("good.pem", kIdleFile, true),
      served("other.pem", refused),    // a name other than 127.0.0.1, from the trusted authority
      served("stranger.pem", refused), // 127.0.0.1, from an authority the client does not trust
      {"plain http on the helper's own session", replying(200, kIdleBody),
       refused + "URL scheme not allowed", expiringIn(3600), false,
       std::make_shared<CurlHttpSession>()},
      {"line break in the token", replying(200, kIdleBody),
       refused + "header \"Authorization\" holds a line break",
       R"({"claudeAiOauth":{"accessToken":"x\r\nX-Injected: 1","expiresAt":4102444800000}})",
       false},
  });
}

// A stop during a request is checked on the built helper; one that came first sends nothing.
TEST(UsageEndpoint, AStopThatCameFirstSendsNothing) {
  const LoopbackServer server(replying(200, kIdleBody));
  const auto session = plainSession();
  std::stop_source stop;
  session->cancelOn(stop.get_token());
  stop.request_stop();
  try {
    session->get({server.url(), {}, 30s});
    ADD_FAILURE() << "answered";
  } catch (const HttpTransportFailure &failure) {
    EXPECT_EQ(failure.error().kind, TransportError::Kind::cancelled);
  }
  // Served only after whatever the stopped session sent: connections are taken in order.
  EXPECT_EQ(plainSession()->get({server.url(), {}, 5s}).status, 200);
  EXPECT_EQ(server.connections(), 1);
}

} // namespace
} // namespace quorbel
