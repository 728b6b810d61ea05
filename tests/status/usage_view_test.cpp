#include "status/usage_view.hpp"

#include "support/utc_time_zone.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using enum PlanStatus;
using nlohmann::json;

const Instant kNow = *PlanDateParser::dateFrom("2026-06-29T14:47:00Z"); // a Monday

PlanSnapshot snapshot(std::int64_t session, std::int64_t allModels,
                      std::optional<PlanStatus> status = active, std::chrono::seconds age = 2min,
                      Instant sessionReset = kNow + 2h + 13min) {
  return PlanSnapshot{kNow - age,
                      PlanWindow{session, sessionReset},
                      PlanWindow{allModels, *PlanDateParser::dateFrom("2026-07-02T12:00:00Z")},
                      "max",
                      "default_claude_max_20x",
                      status};
}

class UsageViewTest : public ::testing::Test {
protected:
  UsageViewTest() {
    idle_.session.reset();
    models_.modelWindows = {{"Opus", 100, kNow + 16h + 13min},
                            {"Sonnet", 80, std::nullopt},
                            {"Haiku", 100, kNow - 1min}};
  }

  testing::UtcTimeZone utc_; // local clock times in these tests are UTC ones
  PlanSnapshot idle_ = snapshot(41, 14);
  PlanSnapshot models_ = snapshot(41, 14);
};

TEST_F(UsageViewTest, TextAndClassFollowLevelsStalenessAndStatus) {
  PlanSnapshot bothIdle = idle_;
  bothIdle.allModels.reset();
  bothIdle.fetchedAt = kNow - 20min;
  struct Case {
    PlanSnapshot snapshot;
    const char *text;
    const char *waybarClass; // its first is the status class, json's "class"
  };
  const Case cases[] = {
      {snapshot(79, 14), "5h 79% · 7d 14%", R"(["ok"])"},
      {snapshot(41, 80), "5h 41% · 7d 80%", R"(["warning"])"},
      {snapshot(95, 14), "5h 95% · 7d 14%", R"(["critical"])"},
      {snapshot(94, 14, active, 16min), "5h 94% · 7d 14% (stale)", R"(["stale","warning"])"},
      // A file from before statuses is active, and data exactly the stale age old is not stale.
      {snapshot(41, 14, std::nullopt, 15min), "5h 41% · 7d 14%", R"(["ok"])"},
      {snapshot(88, 1, rateLimited), "5h 88% · 7d 1% (rate limited)",
       R"(["rateLimited","warning"])"},
      {snapshot(4, 1, sessionInactive), "5h 4% · 7d 1% (signed out)",
       R"(["sessionInactive","ok"])"},
      {PlanSnapshot::dataless(sessionInactive, kNow - 1h), "Claude (signed out)",
       R"(["sessionInactive"])"},
      {PlanSnapshot::dataless(noData, kNow - 1h), "Claude (no data yet)", R"(["noData"])"},
      // Once the reset has passed the window is whole again, whatever was fetched before.
      {snapshot(97, 60, active, 2min, kNow - 1min), "5h 0% · 7d 60%", R"(["ok"])"},
      {idle_, "5h idle · 7d 14%", R"(["ok"])"},
      {bothIdle, "5h idle · 7d idle (stale)", R"(["stale","ok"])"},
      // A model window from --warn joins the line and counts for the class.
      {models_, "5h 41% · 7d 14% · Opus 100% · Sonnet 80%", R"(["critical"])"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    const UsageView view = UsageView::of(c.snapshot, kNow, {});
    EXPECT_EQ(formatText(view), c.text);
    const auto waybar = json::parse(formatWaybar(view));
    EXPECT_EQ(waybar.at("text"), c.text);
    EXPECT_EQ(waybar.at("class").dump(), c.waybarClass);
    EXPECT_EQ(json::parse(formatJson(view)).at("class"), waybar.at("class")[0]);
    EXPECT_EQ(waybar.at("tooltip"), formatView(view, OutputFormat::longText));
  }
}

TEST_F(UsageViewTest, LongFormatSpeaksToAPerson) {
  const auto bar = [](int full) {
    std::string cells;
    for (int cell = 0; cell < 20; ++cell) {
      cells += cell < full ? "█" : "░";
    }
    return cells;
  };
  EXPECT_EQ(formatView(UsageView::of(models_, kNow, {}), OutputFormat::longText),
            "5h      " + bar(8) + "  41%  resets 17:00, in 2h 13m\n" +
                "        55 % of the window elapsed, on pace for about 74 % at reset\n" +
                "7d      " + bar(3) + "  14%  resets Thu 12:00, in 2d 21h\n" +
                "        58 % of the window elapsed, on pace for about 24 % at reset\n" +
                "Opus    " + bar(20) + " 100%  resets Tue 07:00, in 16h 13m\n" +
                "        90 % of the window elapsed, already used up\n" + "Sonnet  " + bar(16) +
                "  80%  no reset time reported\n" + "Haiku   " + bar(0) +
                "   0%  reset at 14:46\nPlan: max (default_claude_max_20x)\nStatus: up to date\n"
                "Data fetched 2m ago");
  const auto signedOut = PlanSnapshot::dataless(sessionInactive, kNow);
  EXPECT_EQ(formatView(UsageView::of(signedOut, kNow, {}), OutputFormat::longText),
            "5h  no data\n7d  no data\n"
            "Status: signed out of Claude Code; run `claude` to sign in\nWritten just now");
  const std::string idle = formatView(UsageView::of(idle_, kNow, {}), OutputFormat::longText);
  EXPECT_EQ(idle.substr(0, idle.find('\n')), "5h  not running: starts with your next message");
}

TEST_F(UsageViewTest, JsonCarriesWhatAScriptWouldComputeOnOneLine) {
  const auto view = json::parse(formatJson(UsageView::of(models_, kNow, {})));
  EXPECT_EQ(view.at("ageSeconds"), 120);
  EXPECT_EQ(view.at("stale"), false);
  EXPECT_EQ(view.at("percentage"), 100);
  EXPECT_EQ(view.at("allModels").at("resetsAt"), "2026-07-02T12:00:00Z");
  EXPECT_EQ(view.at("session").at("secondsToReset"), 2 * 3600 + 13 * 60);
  // Rounded to the figures, not the floating-point noise.
  EXPECT_EQ(view.at("session").at("pace"), json({{"elapsedShare", 0.5567},
                                                 {"projectedPercentAtReset", 73.7},
                                                 {"secondsToRunOut", nullptr}}));
  const auto &models = view.at("modelWindows");
  EXPECT_EQ(models[0].at("model"), "Opus");
  EXPECT_EQ(models[0].at("pace").at("secondsToRunOut"), 0);
  EXPECT_TRUE(models[1].at("resetsAt").is_null());
  EXPECT_EQ(models[2].at("shownPercent"), 0);
  EXPECT_EQ(models[2].at("percent"), 100);

  EXPECT_EQ(json::parse(formatJson(UsageView::of(idle_, kNow, {}))).at("session"),
            json({{"running", false}}));
  const auto legacy = json::parse(formatJson(UsageView::of(snapshot(1, 2, {}), kNow, {})));
  EXPECT_EQ(legacy.at("status"), nullptr);
  EXPECT_EQ(legacy.at("effectiveStatus"), "active");
  const auto dataless = UsageView::of(PlanSnapshot::dataless(noData, kNow), kNow, {});
  EXPECT_EQ(json::parse(formatJson(dataless)).at("session"), nullptr);

  for (auto format : {OutputFormat::text, OutputFormat::waybar, OutputFormat::json}) {
    const std::string line = formatUnavailable(format, "no snapshot at /x\xff yet");
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_TRUE(format == OutputFormat::text ? line == "Claude ?" : json::accept(line)) << line;
  }
}

TEST(FormatDuration, PicksTheTwoLargestUnits) {
  const std::pair<std::int64_t, const char *> cases[] = {
      {-5, "<1m"},     {59, "<1m"},      {60, "1m"},       {3599, "59m"},
      {3600, "1h 0m"}, {7980, "2h 13m"}, {86400, "1d 0h"}, {590400, "6d 20h"}};
  for (const auto &[seconds, text] : cases) {
    EXPECT_EQ(formatDuration(std::chrono::seconds(seconds)), text) << seconds;
  }
}

} // namespace
} // namespace quorbel
