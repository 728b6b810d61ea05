#include "view/prometheus_text.hpp"

#include "support/command.hpp"
#include "support/snapshots.hpp"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using enum PlanStatus;

// 1782744420 seconds since the epoch.
const Instant kNow = *PlanDateParser::dateFrom("2026-06-29T14:47:00Z");

PlanSnapshot running(std::optional<std::int64_t> session, std::optional<std::int64_t> weekly,
                     PlanStatus status = active) {
  return testing::usageAt(kNow - 2min, session, weekly, kNow + 2h + 13min,
                          kNow + 69h + 13min + 500ms, status);
}

PlanSnapshot withMoneyAndModels() {
  PlanSnapshot data = running(41, 100);
  data.modelWindows = {{"Opus", 100, kNow - 1min}, {"Son\"net\\\n", 7, std::nullopt}};
  data.extraUsage = ExtraUsage{"USD", 2, 10587, 30000};
  return data;
}

// The exposition as promtool reads it: nothing printed and a zero exit status, lint included.
void expectPromtoolPasses(const std::string &text) {
  const testing::ScopedTempDir scratch;
  testing::writeFile(scratch / "metrics.prom", text);
  const auto result = testing::runCommand(
      "promtool check metrics < '" + (scratch / "metrics.prom").string() + "'", scratch);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out + result.err, "");
}

// Every metric once, HELP then TYPE gauge, then its samples together (promtool lets a metric's
// samples come back after another's); returns the sample lines.
std::vector<std::string> expectWellGrouped(const std::string &text) {
  std::vector<std::string> samples;
  std::set<std::string> described;
  std::string current, line, type;
  for (std::istringstream lines(text); std::getline(lines, line);) {
    if (line.starts_with("# HELP ")) {
      current = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_TRUE(described.insert(current).second) << current << " described twice";
      EXPECT_TRUE(std::getline(lines, type) && type == "# TYPE " + current + " gauge") << type;
    } else {
      EXPECT_TRUE(line.starts_with(current + "{")) << line << " outside its metric's group";
      samples.push_back(line);
    }
  }
  EXPECT_EQ(described.size(), 9U);
  return samples;
}

TEST(PrometheusText, ExportsEachAccountsWindowsStatusAndMoneyAsPromtoolReadsThem) {
  PlanSnapshot signedOut = PlanSnapshot::dataless(sessionInactive, kNow - 2h);
  PlanSnapshot badMoney = running(3, 4);
  badMoney.extraUsage = ExtraUsage{"usd", 2, 5, std::nullopt};
  badMoney.modelWindows = {{"Opus", 10, std::nullopt}, {"Opus\x07", 90, std::nullopt}};
  PlanSnapshot yen = running(std::nullopt, 0, rateLimited);
  yen.extraUsage = ExtraUsage{"JPY", 0, 1200, std::nullopt};
  PlanSnapshot sessionReset = running(97, 30);
  sessionReset.session->resetsAt = kNow - 1s;

  const struct {
    const char *name;
    std::vector<AccountSnapshot> accounts;
    std::vector<std::string> present; // sample lines, in this order
    std::vector<std::string> absent;  // starts of lines that must not be there
  } cases[] = {
      {"both windows running, models, money with a cap",
       {{"default", withMoneyAndModels()}},
       {R"(quorbel_usage_ratio{account="default",window="five_hour"} 0.41)",
        R"(quorbel_usage_ratio{account="default",window="seven_day"} 1)",
        // kNow + 2h 13m and kNow + 69h 13m 0.5s.
        R"(quorbel_usage_resets_timestamp_seconds{account="default",window="five_hour"} 1782752400)",
        R"(quorbel_usage_resets_timestamp_seconds{account="default",window="seven_day"} 1782993600.5)",
        // Opus's reset has passed: its allowance is whole again.
        R"(quorbel_model_usage_ratio{account="default",model="Opus"} 0)",
        R"(quorbel_model_usage_ratio{account="default",model="Son\"net\\"} 0.07)",
        R"(quorbel_model_usage_resets_timestamp_seconds{account="default",model="Opus"} 1782744360)",
        R"(quorbel_snapshot_fetched_timestamp_seconds{account="default"} 1782744300)",
        R"(quorbel_status{account="default",status="active"} 1)",
        R"(quorbel_status{account="default",status="rateLimited"} 0)",
        R"(quorbel_status{account="default",status="sessionInactive"} 0)",
        R"(quorbel_status{account="default",status="noData"} 0)",
        R"(quorbel_inactive_reason{account="default",reason="expired"} 0)",
        R"(quorbel_inactive_reason{account="default",reason="unreadable"} 0)",
        R"(quorbel_extra_usage_used{account="default",currency="USD"} 105.87)",
        R"(quorbel_extra_usage_limit{account="default",currency="USD"} 300)"},
       {R"(quorbel_model_usage_resets_timestamp_seconds{account="default",model="Son)"}},
      {"five-hour window idle, rate limited, yen without a cap",
       {{"default", yen}},
       {R"(quorbel_usage_ratio{account="default",window="seven_day"} 0)",
        R"(quorbel_status{account="default",status="active"} 0)",
        R"(quorbel_status{account="default",status="rateLimited"} 1)",
        R"(quorbel_extra_usage_used{account="default",currency="JPY"} 1200)"},
       {R"(quorbel_usage_ratio{account="default",window="five_hour"})",
        R"(quorbel_usage_resets_timestamp_seconds{account="default",window="five_hour"})",
        "quorbel_extra_usage_limit{"}},
      {"five-hour reset passed: the allowance is whole again",
       {{"default", sessionReset}},
       {R"(quorbel_usage_ratio{account="default",window="five_hour"} 0)",
        R"(quorbel_usage_ratio{account="default",window="seven_day"} 0.3)",
        R"(quorbel_usage_resets_timestamp_seconds{account="default",window="five_hour"} 1782744419)"},
       {}},
      {"warming up, signed out, money not well formed, two model names that clean to one",
       {{"default", PlanSnapshot::dataless(noData, kNow)}, {"out", signedOut}, {"bad", badMoney}},
       {R"(quorbel_usage_ratio{account="bad",window="five_hour"} 0.03)",
        R"(quorbel_model_usage_ratio{account="bad",model="Opus"} 0.1)",
        R"(quorbel_snapshot_fetched_timestamp_seconds{account="out"} 1782737220)",
        R"(quorbel_status{account="default",status="noData"} 1)",
        R"(quorbel_status{account="out",status="sessionInactive"} 1)"},
       {R"(quorbel_usage_ratio{account="default")", R"(quorbel_usage_ratio{account="out")",
        R"(quorbel_model_usage_ratio{account="bad",model="Opus"} 0.9)",
        "quorbel_extra_usage_used{"}},
      {"an expired token and a sign-out, otherwise alike, read apart",
       {{"default", running(5, 6).withStatus(sessionInactive, InactiveReason::expired)},
        {"work", running(5, 6).withStatus(sessionInactive, InactiveReason::missing)}},
       {R"(quorbel_inactive_reason{account="default",reason="expired"} 1)",
        R"(quorbel_inactive_reason{account="default",reason="missing"} 0)",
        R"(quorbel_inactive_reason{account="work",reason="expired"} 0)",
        R"(quorbel_inactive_reason{account="work",reason="missing"} 1)",
        R"(quorbel_inactive_reason{account="work",reason="rejected"} 0)"},
       {}},
      {"several accounts: default first, then by name, each metric's samples together",
       {{"work", running(50, 60)},
        {"al\"ex\\\n", running(5, 6)},
        {"default", running(90, 95)},
        {"work", running(1, 1)}},
       {R"(quorbel_usage_ratio{account="default",window="five_hour"} 0.9)",
        R"(quorbel_usage_ratio{account="default",window="seven_day"} 0.95)",
        R"(quorbel_usage_ratio{account="al\"ex\\\n",window="five_hour"} 0.05)",
        R"(quorbel_usage_ratio{account="work",window="five_hour"} 0.5)",
        R"(quorbel_usage_ratio{account="work",window="seven_day"} 0.6)",
        R"(quorbel_snapshot_fetched_timestamp_seconds{account="default"} 1782744300)",
        R"(quorbel_status{account="work",status="noData"} 0)"},
       {R"(quorbel_usage_ratio{account="work",window="five_hour"} 0.01)"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = formatPrometheus(c.accounts, kNow);
    expectPromtoolPasses(text);
    const std::vector<std::string> samples = expectWellGrouped(text);
    auto from = samples.begin();
    for (const std::string &line : c.present) {
      const auto found = std::find(from, samples.end(), line);
      EXPECT_NE(found, samples.end()) << "missing or out of order: " << line << "\n" << text;
      from = found == samples.end() ? from : found;
    }
    for (const std::string &start : c.absent) {
      for (const std::string &line : samples) {
        EXPECT_FALSE(line.starts_with(start)) << line;
      }
    }
  }
}

} // namespace
} // namespace quorbel
