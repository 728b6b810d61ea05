// The status page end to end: the poller over the real libcurl session, at the page's real host
// name, against the test's own TLS server; the file it leaves; and how helpers share the page.
#include "http/curl_http_session_linux.hpp"
#include "model/helper_version.hpp"
#include "service/service_status_poller.hpp"
#include "support/deadline.hpp"
#include "support/loopback_server.hpp"
#include "support/test_pki.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::httpReply;
using testing::LoopbackServer;
using Kind = ServiceCheckResult::Kind;

constexpr std::chrono::milliseconds kTimeLimit = 2s;
const Instant kNow = instantFromUnixSeconds(1'796'637'600); // 2026-12-07T10:00:00Z

class MovableClock final : public Clock {
public:
  Instant now() const override { return at; }
  Instant at = kNow;
};

std::string page(const std::string &indicator, const std::string &components,
                 const std::string &incidents = "") {
  return R"({"page":{"id":"p","name":"Claude","url":"https://status.claude.com"},)"
         R"("status":{"indicator":")" +
         indicator + R"(","description":"Said )" + indicator + R"("},"components":[)" + components +
         R"(],"incidents":[)" + incidents + R"(],"scheduled_maintenances":[]})";
}
std::string component(const std::string &name, const std::string &status) {
  return R"({"id":"c","name":")" + name + R"(","status":")" + status +
         R"(","group":false,"group_id":null,"position":1})";
}
std::string incident(const std::string &id, const std::string &name, const std::string &status,
                     const std::string &impact, const std::string &link,
                     const std::string &touches = "Claude Code") {
  return R"({"id":)" + id + R"(,"name":")" + name + R"(","status":")" + status + R"(","impact":")" +
         impact + R"(","shortlink":")" + link +
         R"(","incident_updates":[],"components":[{"name":")" + touches +
         R"(","status":"partial_outage"}]})";
}
// The file as a reader gets it, one line with sorted keys, checked now.
std::string kept(const std::string &indicator, const std::string &components,
                 const std::string &incidents = "", const std::string &said = "") {
  return R"({"checkedAt":"2026-12-07T10:00:00Z","components":[)" + components +
         R"(],"description":"Said )" + (said.empty() ? indicator : said) + R"(","incidents":[)" +
         incidents + R"(],"indicator":")" + indicator + "\"}";
}
std::string keptIncident(const std::string &id, const std::string &name, const std::string &impact,
                         const std::string &status, const std::string &link) {
  return R"({"id":")" + id + R"(","impact":")" + impact + R"(","link":")" + link + R"(","name":")" +
         name + R"(","status":")" + status + "\"}";
}

const ServiceStatus kEarlier{ServiceIndicator::minor, "Earlier", kNow - 20min, {}, {}};

struct Case {
  const char *name;
  LoopbackServer::Script answer;
  std::string file; // what the file holds afterwards; empty: as it was
  std::string cause = {};
};

TEST(ServiceStatusPoller, EachPageLeavesWhatAReaderNeedsAndAFailureLeavesTheFile) {
  const testing::ScopedTempDir pki;
  testing::makeServerCertificate(pki.path(), "DNS:status.claude.com");
  const std::string ok = component("Claude Code", "operational");
  const std::string link = "https://stspg.io/abc";
  const std::string longName = std::string(159, 'y') + "\u00e9\u00e9";
  const Case cases[] = {
      {"operational",
       {httpReply(200, page("none", ok + "," + component("Claude API", "operational")))},
       kept("none", "")},
      {"a minor incident, and one elsewhere",
       {httpReply(200, page("minor",
                            component("Claude Code", "degraded_performance") + "," +
                                component("Claude Console", "major_outage"),
                            incident("\"i1\"", "Slow", "investigating", "minor", link) + "," +
                                incident("\"i2\"", "Console", "identified", "major", link,
                                         "Claude Console")))},
       kept("minor", R"({"name":"Claude Code","status":"degraded_performance"})",
            keptIncident("i1", "Slow", "minor", "investigating", link))},
      {"a major outage of Claude Code, worst first",
       {httpReply(200, page("major",
                            component("claude.ai", "partial_outage") + "," +
                                component("Claude Code", "major_outage"),
                            incident("\"i3\"", "Down", "identified", "major", link)))},
       kept("major",
            R"({"name":"Claude Code","status":"major_outage"},)"
            R"({"name":"claude.ai","status":"partial_outage"})",
            keptIncident("i3", "Down", "major", "identified", link))},
      {"resolved incidents",
       {httpReply(200, page("none", ok,
                            incident("\"i4\"", "Over", "resolved", "major", link) + "," +
                                incident("\"i5\"", "Told", "postmortem", "minor", link)))},
       kept("none", "")},
      {"unknown values",
       {httpReply(200, page("catastrophic", component("Claude Code", "melting"),
                            incident("\"i6\"", "Odd", "pondering", "huge", link)))},
       kept("unknown", R"({"name":"Claude Code","status":"unknown"})",
            keptIncident("i6", "Odd", "unknown", "unknown", link), "catastrophic")},
      {"hostile strings and too many entries",
       {httpReply(200, page("major",
                            component(R"(Claude Code\u001b]8;;https://x\u0007 \u009b<b>x</b>)",
                                      "major_outage") +
                                ",{\"name\":42,\"status\":\"major_outage\"}," +
                                component("Claude API 1", "partial_outage") + "," +
                                component("Claude API 2", "partial_outage") + "," +
                                component("Claude API 3", "partial_outage") + "," +
                                component("Claude API 4", "partial_outage") + "," +
                                component("Claude API 5", "partial_outage"),
                            incident("\"a\"", longName, "investigating", "critical",
                                     "javascript:alert(1)") +
                                "," +
                                incident("\"b\"", "B", "monitoring", "minor",
                                         R"(https://stspg.io/x\" onmouseover=\"y)") +
                                "," + incident("7", "C", "identified", "major", link) + "," +
                                incident("\"d\"", "D", "identified", "none", link)))},
       kept("major",
            R"({"name":"Claude Code]8;;https://x <b>x</b>","status":"major_outage"},)"
            R"({"name":"Claude API 1","status":"partial_outage"},)"
            R"({"name":"Claude API 2","status":"partial_outage"},)"
            R"({"name":"Claude API 3","status":"partial_outage"},)"
            R"({"name":"Claude API 4","status":"partial_outage"})",
            keptIncident("a", std::string(159, 'y'), "critical", "investigating", "") + "," +
                keptIncident("", "C", "major", "identified", link) + "," +
                keptIncident("b", "B", "minor", "monitoring", ""))},
      {"an oversized body",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n" +
        std::string(kMaxResponseBodyBytes + 1, ' ')},
       "",
       "network: other"},
      {"a page that is down", {httpReply(503, "")}, "", "HTTP 503"},
      {"not a summary", {httpReply(200, "<html>maintenance</html>")}, "", "decoding"},
      {"a page that hangs", LoopbackServer::silent(), "", "network: timedOut"},
  };
  const MovableClock clock;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const LoopbackServer server(c.answer, pki / "server.pem");
    const testing::ScopedTempDir data;
    const auto file = data / "service-status.json";
    testing::writeFile(file, encodeServiceStatus(kEarlier));
    const std::string before = testing::readFile(file);
    ServiceStatusPoller poller(CurlHttpSession::forLoopback(
                                   {.trustedCaFile = pki / "ca.pem",
                                    .connectTo = {"status.claude.com:443:" + server.authority()}}),
                               file, clock, {std::string(kServiceStatusUrl), kTimeLimit});
    ServiceCheckResult result;
    const auto started = std::chrono::steady_clock::now();
    testing::finishesWithin("the check", [&] { result = poller.check(); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, kTimeLimit + 1s);
    EXPECT_EQ(result.kind, c.file.empty() ? Kind::failed : Kind::written) << result.detail;
    EXPECT_EQ(result.cause, c.cause);
    const std::string after = testing::readFile(file);
    EXPECT_EQ(c.file.empty() ? after : nlohmann::json::parse(after).dump(),
              c.file.empty() ? before : c.file);
    EXPECT_EQ(server.requests(), 1);
    // Only a plain User-Agent goes with it: nothing of the usage request, the token least of all.
    const std::string head = server.firstHead();
    EXPECT_TRUE(
        head.starts_with("GET /api/v2/summary.json HTTP/1.1\r\nHost: status.claude.com\r\n"))
        << head;
    EXPECT_NE(head.find("\r\nUser-Agent: QuorbelHelper/" + std::string(kHelperVersion) + "\r\n"),
              std::string::npos)
        << head;
    EXPECT_EQ(head.find("uthorization"), std::string::npos) << head;
    EXPECT_EQ(head.find("anthropic"), std::string::npos) << head;
  }
}

// However many helpers run, the page gets one request an interval: the one holding the lock asks,
// the others only read, and one that takes over from a poller that left waits out the interval.
TEST(ServiceStatusPoller, HelpersShareOneRequestPerInterval) {
  const LoopbackServer server({httpReply(200, page("none", ""))});
  const testing::ScopedTempDir data;
  const auto session = CurlHttpSession::forLoopback({.allowPlainHttp = true});
  MovableClock clock;
  const ServiceStatusPoller::Options plain{server.url("/api/v2/summary.json"), kTimeLimit};
  auto first =
      std::make_unique<ServiceStatusPoller>(session, data / "service-status.json", clock, plain);
  ServiceStatusPoller second(session, data / "service-status.json", clock, plain);
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
  ServiceStatusPoller newcomer(session, data / "service-status.json", clock, plain);
  clock.at += 2min;
  EXPECT_EQ(newcomer.dueIn(), std::chrono::milliseconds(3min));
  clock.at -= 1h;
  EXPECT_EQ(newcomer.dueIn(), std::chrono::milliseconds(kServiceStatusInterval));
  EXPECT_EQ(second.dueIn(), std::chrono::milliseconds(kServiceStatusInterval));
}

} // namespace
} // namespace quorbel
