// The packaged alert rules as Prometheus reads and evaluates them.
#include "support/command.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace quorbel {
namespace {

// Series at one-minute steps, and when each alert must and must not fire: a window at 90 % for
// ten minutes, not 89 %; an account signed out for an hour; data older than 15 minutes, or than
// 75 while rate limited (a running helper may wait an hour then), and never while signed out.
constexpr const char *kRuleTests = R"(rule_files: [@RULES@]
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - {series: 'quorbel_usage_ratio{account="default",window="five_hour"}', values: '0.89 0.9x80'}
      - {series: 'quorbel_usage_ratio{account="default",window="seven_day"}', values: '0.89x80'}
      - {series: 'quorbel_status{account="default",status="active"}', values: '1x80'}
      - {series: 'quorbel_status{account="work",status="sessionInactive"}', values: '1x80'}
      - {series: 'quorbel_status{account="slow",status="rateLimited"}', values: '1x80'}
      - {series: 'quorbel_snapshot_fetched_timestamp_seconds{account="default"}', values: '0x80'}
      - {series: 'quorbel_snapshot_fetched_timestamp_seconds{account="work"}', values: '0x80'}
      - {series: 'quorbel_snapshot_fetched_timestamp_seconds{account="slow"}', values: '0x80'}
    alert_rule_test:
      - {eval_time: 10m, alertname: QuorbelUsageHigh, exp_alerts: []}
      - eval_time: 11m
        alertname: QuorbelUsageHigh
        exp_alerts:
          - exp_labels: {severity: warning, account: default, window: five_hour}
            exp_annotations:
              summary: "Claude account default has used 90% of its five_hour window"
              description: "At 100 % the account is blocked until the window resets."
      - {eval_time: 59m, alertname: QuorbelSignedOut, exp_alerts: []}
      - eval_time: 61m
        alertname: QuorbelSignedOut
        exp_alerts:
          - exp_labels: {severity: warning, account: work, status: sessionInactive}
            exp_annotations:
              summary: "Claude account work has been signed out for an hour"
              description: "Sign in to Claude Code again; until then its usage is not followed."
      - {eval_time: 15m, alertname: QuorbelHelperNotRunning, exp_alerts: []}
      - eval_time: 16m
        alertname: QuorbelHelperNotRunning
        exp_alerts:
          - exp_labels: {severity: warning, account: default}
            exp_annotations:
              summary: "Usage of Claude account default is 16m 0s old"
              description: "QuorbelHelper is not running, or cannot reach the usage endpoint."
      - eval_time: 76m
        alertname: QuorbelHelperNotRunning
        exp_alerts:
          - exp_labels: {severity: warning, account: default}
            exp_annotations:
              summary: "Usage of Claude account default is 1h 16m 0s old"
              description: "QuorbelHelper is not running, or cannot reach the usage endpoint."
          - exp_labels: {severity: warning, account: slow}
            exp_annotations:
              summary: "Usage of Claude account slow is 1h 16m 0s old"
              description: "QuorbelHelper is not running, or cannot reach the usage endpoint."
)";

TEST(AlertRules, LoadInPrometheusAndFireOnlyWhenTheyShould) {
  const testing::ScopedTempDir scratch;
  const std::string rules = std::string(QUORBEL_SOURCE_DIR) + "/packaging/quorbel-alerts.yml";
  const auto check = testing::runCommand("promtool check rules '" + rules + "'", scratch);
  EXPECT_EQ(check.exitStatus, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("SUCCESS: 3 rules found"), std::string::npos) << check.out;

  testing::writeFile(scratch / "tests.yml",
                     std::regex_replace(kRuleTests, std::regex("@RULES@"), rules));
  const auto test = testing::runCommand(
      "promtool test rules '" + (scratch / "tests.yml").string() + "'", scratch);
  EXPECT_EQ(test.exitStatus, 0) << test.out << test.err;
  EXPECT_NE(test.out.find("SUCCESS"), std::string::npos) << test.out;
}

} // namespace
} // namespace quorbel
