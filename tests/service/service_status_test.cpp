// The status page end to end: the poller over the real libcurl session, at the page's real host
// name, against the test's own TLS server; the file it leaves; and how helpers share the page.
#include "http/curl_http_session_linux.hpp"
#include "model/helper_version.hpp"
#include "service/service_status_poller.hpp"
#include "support/deadline.hpp"
#include "support/loopback_server.hpp"
#include "support/test_pki.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::httpReply;
using testing::LoopbackServer;
using Kind = ServiceCheckResult::Kind;
using C = ComponentState;

constexpr std::chrono::milliseconds kTimeLimit = 2s;
const Instant kNow = instantFromUnixSeconds(1'796'637'600);
const std::string kLink = "https://stspg.io/abc";

class MovableClock final : public Clock {
public:
  Instant now() const override { return at; }
  Instant at = kNow;
};

// A summary as the page sends it: components as "name=status", incidents as JSON objects.
std::string page(const std::string &indicator, std::vector<std::string> components,
                 const std::string &incidents = "") {
  std::string listed;
  for (const std::string &entry : components) {
    const auto at = entry.find('=');
    listed += std::string(listed.empty() ? "" : ",") + R"({"id":"c","group":false,"name":")" +
              entry.substr(0, at) + R"(","status":")" + entry.substr(at + 1) + "\"}";
  }
  return R"({"page":{"id":"p"},"status":{"indicator":")" + indicator +
         R"(","description":"Said"},"components":[)" + listed + R"(],"incidents":[)" + incidents +
         "]}";
}
std::string incident(const std::string &id, const std::string &name, const std::string &status,
                     const std::string &impact, const std::string &link = kLink,
                     const std::string &touches = "Claude Code") {
  return R"({"id":)" + id + R"(,"name":")" + name + R"(","status":")" + status + R"(","impact":")" +
         impact + R"(","shortlink":")" + link +
         R"(","incident_updates":[],"components":[{"name":")" + touches + "\"}]},";
}
ServiceStatus kept(ServiceIndicator indicator, std::vector<ServiceComponent> components = {},
                   std::vector<ServiceIncident> incidents = {}) {
  return {indicator, "Said", kNow, std::move(components), std::move(incidents)};
}

TEST(ServiceStatusPoller, EachPageLeavesWhatAReaderNeedsAndAFailureLeavesTheFile) {
  const testing::ScopedTempDir pki;
  testing::makeServerCertificate(pki.path(), "DNS:status.claude.com");
  const std::string longName = std::string(159, 'y') + "\u00e9\u00e9";
  const auto hostile = page(
      "major",
      {R"(Claude Code\u001b]8;;https://x\u0007 \u009b<b>x</b>=major_outage)", "Claude API 1=bad",
       "Claude API 2=partial_outage", "Claude API 3=partial_outage", "Claude API 4=partial_outage",
       "Claude API 5=partial_outage"},
      incident(R"("a")", longName, "investigating", "critical", "javascript:alert(1)") +
          incident(R"("b")", "B", "monitoring", "minor", R"(https://stspg.io/x\" onclick=\"y)") +
          incident("7", "C", "identified", "major") + R"({"name":42},)" +
          incident(R"("d")", "D", "identified", "none") + "{}");
  const struct {
    const char *name;
    LoopbackServer::Script answer;
    std::optional<ServiceStatus> file; // none: left as it was
    std::string cause = {};
  } cases[] = {
      {"operational",
       {httpReply(200, page("none", {"Claude Code=operational", "Claude API=operational"}))},
       kept(ServiceIndicator::none)},
      {"a minor incident, and one elsewhere",
       {httpReply(200, page("minor", {"Claude Code=degraded_performance", "Console=major_outage"},
                            incident(R"("i1")", "Slow", "investigating", "minor") +
                                incident(R"("i2")", "Login", "identified", "major", kLink,
                                         "Claude Console") +
                                "{}"))},
       kept(ServiceIndicator::minor, {{"Claude Code", C::degradedPerformance}},
            {{"i1", "Slow", IncidentImpact::minor, IncidentState::investigating, kLink}})},
      {"a major outage of Claude Code, worst first",
       {httpReply(200, page("major", {"claude.ai=partial_outage", "Claude Code=major_outage"},
                            incident(R"("i3")", "Down", "identified", "major") + "{}"))},
       kept(ServiceIndicator::major,
            {{"Claude Code", C::majorOutage}, {"claude.ai", C::partialOutage}},
            {{"i3", "Down", IncidentImpact::major, IncidentState::identified, kLink}})},
      {"resolved incidents",
       {httpReply(200, page("none", {},
                            incident("1", "Over", "resolved", "major") +
                                incident("2", "Told", "postmortem", "minor") + "{}"))},
       kept(ServiceIndicator::none)},
      {"unknown values",
       {httpReply(200, page("catastrophic", {"Claude Code=melting"},
                            incident(R"("i6")", "Odd", "pondering", "huge") + "{}"))},
       kept(ServiceIndicator::unknown, {{"Claude Code", C::unknown}},
            {{"i6", "Odd", IncidentImpact::unknown, IncidentState::unknown, kLink}})},
      {"hostile strings and too many entries",
       {httpReply(200, hostile)},
       kept(ServiceIndicator::major,
            {{"Claude Code]8;;https://x <b>x</b>", C::majorOutage},
             {"Claude API 2", C::partialOutage},
             {"Claude API 3", C::partialOutage},
             {"Claude API 4", C::partialOutage},
             {"Claude API 5", C::partialOutage}},
            {{"a", std::string(159, 'y'), IncidentImpact::critical, IncidentState::investigating,
              ""},
             {"", "C", IncidentImpact::major, IncidentState::identified, kLink},
             {"b", "B", IncidentImpact::minor, IncidentState::monitoring, ""}})},
      {"an oversized body",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n" +
        std::string(kMaxResponseBodyBytes + 1, ' ')},
       std::nullopt,
       "network: other"},
      {"a page that is down", {httpReply(503, "")}, std::nullopt, "HTTP 503"},
      {"not a summary", {httpReply(200, "<html>maintenance</html>")}, std::nullopt, "decoding"},
      {"a page that hangs", LoopbackServer::silent(), std::nullopt, "network: timedOut"},
  };
  const MovableClock clock;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const LoopbackServer server(c.answer, pki / "server.pem");
    const testing::ScopedTempDir data;
    const ServiceStatus earlier{ServiceIndicator::minor, "Earlier", kNow - 20min, {}, {}};
    testing::writeFile(data / "service-status.json", encodeServiceStatus(earlier));
    ServiceStatusPoller poller(CurlHttpSession::forLoopback(
                                   {.trustedCaFile = pki / "ca.pem",
                                    .connectTo = {"status.claude.com:443:" + server.authority()}}),
                               data / "service-status.json", clock,
                               {std::string(kServiceStatusUrl), kTimeLimit});
    ServiceCheckResult result;
    const auto started = std::chrono::steady_clock::now();
    testing::finishesWithin("the check", [&] { result = poller.check(); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, kTimeLimit + 1s);
    EXPECT_EQ(result.kind, c.file ? Kind::written : Kind::failed) << result.detail;
    EXPECT_EQ(result.cause, c.cause);
    // Byte for byte: the file itself holds only what was cleaned, not just what reads back.
    EXPECT_EQ(testing::readFile(data / "service-status.json"),
              encodeServiceStatus(c.file.value_or(earlier)));
    EXPECT_EQ(server.requests(), 1);
    // Only a plain User-Agent goes with it: nothing of the usage request, the token least of all.
    const std::string head = server.firstHead();
    EXPECT_EQ(head, "GET /api/v2/summary.json HTTP/1.1\r\nHost: status.claude.com\r\nAccept: "
                    "*/*\r\nUser-Agent: QuorbelHelper/" +
                        std::string(kHelperVersion) + "\r\n\r\n");
  }
}

// However many helpers run, the page gets one request an interval: the one holding the lock asks,
// the others only read, and one that takes over from a poller that left waits out the interval.
TEST(ServiceStatusPoller, HelpersShareOneRequestPerInterval) {
  const LoopbackServer server({httpReply(200, page("none", {}))});
  const testing::ScopedTempDir data;
  const auto session = CurlHttpSession::forLoopback({.allowPlainHttp = true});
  MovableClock clock;
  const ServiceStatusPoller::Options plain{server.url("/api/v2/summary.json"), kTimeLimit};
  const auto file = data / "service-status.json";
  auto first = std::make_unique<ServiceStatusPoller>(session, file, clock, plain);
  ServiceStatusPoller second(session, file, clock, plain);
  const struct {
    std::chrono::minutes later;
    bool firstLeaves;
    bool firstLooks; // else the second
    Kind outcome;
    int requests; // in all so far
  } steps[] = {
      {0min, false, true, Kind::written, 1},  {0min, false, false, Kind::elsewhere, 1},
      {4min, false, true, Kind::fresh, 1},    {1min, false, false, Kind::elsewhere, 1},
      {0min, false, true, Kind::written, 2},  {2min, true, false, Kind::fresh, 2},
      {3min, false, false, Kind::written, 3},
  };
  for (const auto &step : steps) {
    clock.at += step.later;
    SCOPED_TRACE(std::to_string((clock.at - kNow) / 1min) + " min");
    if (step.firstLeaves) {
      first.reset();
    }
    EXPECT_EQ((step.firstLooks ? *first : second).check().kind, step.outcome);
    EXPECT_EQ(server.requests(), step.requests);
  }
  // A newcomer is due when the file is an interval old, and a clock set back never postpones it
  // by more than one interval.
  ServiceStatusPoller newcomer(session, file, clock, plain);
  clock.at += 2min;
  EXPECT_EQ(newcomer.dueIn(), std::chrono::milliseconds(3min));
  clock.at -= 1h;
  EXPECT_EQ(newcomer.dueIn(), std::chrono::milliseconds(kServiceStatusInterval));
}

} // namespace
} // namespace quorbel
