#include "status/usage_view.hpp"

#include "support/utc_time_zone.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;

const Instant kNow = *PlanDateParser::dateFrom("2026-06-29T14:47:00Z"); // a Monday

// Local times in these tests are UTC.
class UsageViewTest : public ::testing::Test {
  testing::UtcTimeZone utc_;
};

PlanSnapshot snapshot(std::int64_t session, std::int64_t allModels,
                      std::optional<PlanStatus> status = PlanStatus::active,
                      seconds age = seconds(120)) {
  return PlanSnapshot{kNow - age,
                      PlanWindow{session, *PlanDateParser::dateFrom("2026-06-29T17:00:00Z")},
                      PlanWindow{allModels, *PlanDateParser::dateFrom("2026-07-02T12:00:00Z")},
                      "max",
                      "default_claude_max_20x",
                      status};
}

TEST_F(UsageViewTest, ClassFollowsStatusStalenessAndLevels) {
  struct Case {
    const char *name;
    PlanSnapshot snapshot;
    const char *cssClass;
    const char *text;
  };
  const Case cases[] = {
      {"ok", snapshot(41, 14), "ok", "5h 41% \u00b7 7d 14%"},
      {"legacy file counts as active", snapshot(41, 14, std::nullopt), "ok",
       "5h 41% \u00b7 7d 14%"},
      {"just below warn", snapshot(79, 14), "ok", "5h 79% \u00b7 7d 14%"},
      {"warn edge", snapshot(41, 80), "warning", "5h 41% \u00b7 7d 80%"},
      {"just below critical", snapshot(94, 14), "warning", "5h 94% \u00b7 7d 14%"},
      {"critical edge", snapshot(95, 14), "critical", "5h 95% \u00b7 7d 14%"},
      {"stale beats level", snapshot(99, 14, PlanStatus::active, minutes(16)), "stale",
       "5h 99% \u00b7 7d 14% (stale)"},
      {"exactly the stale age is not stale", snapshot(41, 14, PlanStatus::active, minutes(15)),
       "ok", "5h 41% \u00b7 7d 14%"},
      {"rate limited", snapshot(41, 14, PlanStatus::rateLimited), "rateLimited",
       "5h 41% \u00b7 7d 14% (rate limited)"},
      {"signed out with data", snapshot(41, 14, PlanStatus::sessionInactive), "sessionInactive",
       "5h 41% \u00b7 7d 14% (signed out)"},
      {"signed out without data",
       PlanSnapshot::dataless(PlanStatus::sessionInactive, kNow - minutes(20)), "sessionInactive",
       "Claude (signed out)"},
      {"no data yet", PlanSnapshot::dataless(PlanStatus::noData, kNow - minutes(20)), "noData",
       "Claude (no data yet)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const UsageView view = UsageView::of(c.snapshot, kNow, ViewOptions{});
    EXPECT_EQ(view.cssClass, c.cssClass);
    EXPECT_EQ(formatText(view), c.text);
  }
}

TEST_F(UsageViewTest, APassedResetShowsTheWindowAsWholeAgain) {
  const UsageView view = UsageView::of(snapshot(97, 60), kNow + std::chrono::hours(3), {});
  ASSERT_TRUE(view.session);
  EXPECT_TRUE(view.session->reset);
  EXPECT_EQ(view.session->shownPercent, 0);
  EXPECT_EQ(view.session->percent, 97);
  EXPECT_EQ(view.percentage, 60);
  EXPECT_EQ(view.cssClass, "stale");
  EXPECT_EQ(formatText(view), "5h 0% \u00b7 7d 60% (stale)");
}

TEST_F(UsageViewTest, LongFormatSpeaksToAPerson) {
  EXPECT_EQ(formatView(UsageView::of(snapshot(41, 14), kNow, {}), OutputFormat::longText),
            "5h  \u2588\u2588\u2588\u2588\u2588\u2588\u2588\u2588"
            "\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591  41%  "
            "resets 17:00, in 2h 13m\n"
            "    55 % of the window elapsed, on pace for about 74 % at reset\n"
            "7d  \u2588\u2588\u2588"
            "\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591\u2591"
            "\u2591\u2591\u2591  14%  resets Thu 12:00, in 2d 21h\n"
            "    58 % of the window elapsed, on pace for about 24 % at reset\n"
            "Plan: max (default_claude_max_20x)\n"
            "Status: up to date\n"
            "Data fetched 2m ago");
  const std::string signedOut =
      formatView(UsageView::of(PlanSnapshot::dataless(PlanStatus::sessionInactive, kNow), kNow, {}),
                 OutputFormat::longText);
  EXPECT_EQ(signedOut, "5h  no data\n7d  no data\n"
                       "Status: signed out of Claude Code; run `claude` to sign in\n"
                       "Written just now");
}

TEST_F(UsageViewTest, MachineFormatsParseBack) {
  const UsageView view = UsageView::of(snapshot(41, 86, PlanStatus::rateLimited), kNow, {});
  const auto waybar = nlohmann::json::parse(formatWaybar(view));
  EXPECT_EQ(waybar.at("text"), "5h 41% \u00b7 7d 86% (rate limited)");
  EXPECT_EQ(waybar.at("class"), nlohmann::json::array({"rateLimited", "warning"}));
  EXPECT_EQ(waybar.at("percentage"), 86);
  EXPECT_NE(waybar.at("tooltip").get<std::string>().find("last good ones"), std::string::npos);
  EXPECT_EQ(formatWaybar(view).find('\n'), std::string::npos) << "waybar reads one line";

  const auto json = nlohmann::json::parse(formatJson(view));
  EXPECT_EQ(json.at("effectiveStatus"), "rateLimited");
  EXPECT_EQ(json.at("ageSeconds"), 120);
  EXPECT_EQ(json.at("stale"), false);
  EXPECT_EQ(json.at("session").at("secondsToReset"), 2 * 3600 + 13 * 60);
  EXPECT_EQ(json.at("allModels").at("resetsAt"), "2026-07-02T12:00:00Z");
  EXPECT_TRUE(json.at("status").is_string());

  const auto legacy =
      nlohmann::json::parse(formatJson(UsageView::of(snapshot(1, 2, std::nullopt), kNow, {})));
  EXPECT_TRUE(legacy.at("status").is_null());
  EXPECT_EQ(legacy.at("effectiveStatus"), "active");

  for (auto format : {OutputFormat::text, OutputFormat::waybar, OutputFormat::json}) {
    const std::string line = formatUnavailable(format, "no snapshot at /x\xff yet");
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.find('\n'), std::string::npos);
    if (format != OutputFormat::text) {
      EXPECT_TRUE(nlohmann::json::accept(line)) << line;
    }
  }
}

TEST_F(UsageViewTest, AnIdleWindowReadsAsNotRunningInEveryFormat) {
  PlanSnapshot idle = snapshot(41, 14);
  idle.session.reset();
  const UsageView view = UsageView::of(idle, kNow, {});
  EXPECT_EQ(formatText(view), "5h idle \u00b7 7d 14%");
  EXPECT_EQ(view.cssClass, "ok");
  EXPECT_EQ(view.percentage, 14);
  const std::string longText = formatView(view, OutputFormat::longText);
  EXPECT_EQ(longText.substr(0, longText.find('\n')),
            "5h  not running: starts with your next message");
  EXPECT_NE(longText.find("Data fetched 2m ago"), std::string::npos) << longText;
  const auto json = nlohmann::json::parse(formatJson(view));
  EXPECT_EQ(json.at("session"), nlohmann::json({{"running", false}}));
  EXPECT_EQ(json.at("allModels").at("running"), true);
  EXPECT_NE(nlohmann::json::parse(formatWaybar(view)).at("text"), "");

  // Fetched data grows stale even with both windows idle; a marker never does.
  PlanSnapshot bothIdle = idle;
  bothIdle.allModels.reset();
  bothIdle.fetchedAt = kNow - minutes(20);
  EXPECT_EQ(formatText(UsageView::of(bothIdle, kNow, {})), "5h idle \u00b7 7d idle (stale)");
  EXPECT_TRUE(
      nlohmann::json::parse(
          formatJson(UsageView::of(PlanSnapshot::dataless(PlanStatus::noData, kNow), kNow, {})))
          .at("session")
          .is_null());
}

TEST_F(UsageViewTest, ModelWindowsCountInEveryFormat) {
  PlanSnapshot withModels = snapshot(41, 14);
  withModels.modelWindows = {{"Opus", 100, *PlanDateParser::dateFrom("2026-06-30T07:00:00Z")},
                             {"Sonnet", 79, std::nullopt},
                             {"Haiku", 100, kNow - minutes(1)}};
  const UsageView view = UsageView::of(withModels, kNow, {});
  EXPECT_EQ(view.percentage, 100);
  EXPECT_EQ(view.cssClass, "critical");
  // Only what is at or above the warning level joins the line; a passed reset reads 0 %.
  EXPECT_EQ(formatText(view), "5h 41% \u00b7 7d 14% \u00b7 Opus 100%");
  EXPECT_EQ(formatText(UsageView::of(withModels, kNow, ViewOptions{79, 95, minutes(15)})),
            "5h 41% \u00b7 7d 14% \u00b7 Opus 100% \u00b7 Sonnet 79%");

  const std::string longText = formatView(view, OutputFormat::longText);
  EXPECT_NE(longText.find("5h      \u2588"), std::string::npos) << longText;
  EXPECT_NE(longText.find(" 100%  resets Tue 07:00, in 16h 13m\n"), std::string::npos) << longText;
  EXPECT_NE(longText.find("Sonnet  "), std::string::npos) << longText;
  EXPECT_NE(longText.find("  79%  no reset time reported\n"), std::string::npos) << longText;
  EXPECT_NE(longText.find("   0%  reset at 14:46\n"), std::string::npos) << longText;
  EXPECT_EQ(nlohmann::json::parse(formatWaybar(view)).at("tooltip"),
            longText.substr(0, longText.size()));

  const auto models = nlohmann::json::parse(formatJson(view)).at("modelWindows");
  ASSERT_EQ(models.size(), 3u);
  EXPECT_EQ(models[0].at("model"), "Opus");
  EXPECT_EQ(models[0].at("secondsToReset"), 16 * 3600 + 13 * 60);
  EXPECT_TRUE(models[1].at("resetsAt").is_null());
  EXPECT_EQ(models[2].at("shownPercent"), 0);
  EXPECT_EQ(models[2].at("percent"), 100);
}

TEST_F(UsageViewTest, WaybarClassCarriesTheStatusAndTheLevel) {
  struct Case {
    const char *name;
    PlanSnapshot snapshot;
    std::vector<std::string> classes;
  };
  const Case cases[] = {
      {"ok", snapshot(41, 14), {"ok"}},
      {"warning", snapshot(41, 88), {"warning"}},
      {"critical", snapshot(97, 14), {"critical"}},
      {"rate limited at 88 %",
       snapshot(88, 14, PlanStatus::rateLimited),
       {"rateLimited", "warning"}},
      {"stale", snapshot(97, 14, PlanStatus::active, minutes(16)), {"stale", "critical"}},
      {"signed out with data",
       snapshot(41, 14, PlanStatus::sessionInactive),
       {"sessionInactive", "ok"}},
      {"signed out without data",
       PlanSnapshot::dataless(PlanStatus::sessionInactive, kNow),
       {"sessionInactive"}},
      {"no data yet", PlanSnapshot::dataless(PlanStatus::noData, kNow), {"noData"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto waybar = nlohmann::json::parse(formatWaybar(UsageView::of(c.snapshot, kNow, {})));
    EXPECT_EQ(waybar.at("class"), nlohmann::json(c.classes));
  }
  EXPECT_EQ(nlohmann::json::parse(formatUnavailable(OutputFormat::waybar, "no file")).at("class"),
            nlohmann::json::array({"unavailable"}));
}

TEST(FormatDuration, PicksTheTwoLargestUnits) {
  struct Case {
    std::int64_t seconds;
    const char *text;
  };
  for (const Case c :
       {Case{0, "<1m"}, Case{59, "<1m"}, Case{60, "1m"}, Case{3599, "59m"}, Case{3600, "1h 0m"},
        Case{7980, "2h 13m"}, Case{86400, "1d 0h"}, Case{590400, "6d 20h"}, Case{-5, "<1m"}}) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(formatDuration(seconds(c.seconds)), c.text);
  }
}

} // namespace
} // namespace quorbel
