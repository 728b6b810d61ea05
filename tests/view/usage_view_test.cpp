#include "model/duration_text.hpp"
#include "view/usage_formats.hpp"

#include "support/scoped_environment.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ctime>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using enum PlanStatus;
using nlohmann::json;

const Instant kNow = *PlanDateParser::dateFrom("2026-06-29T14:47:00Z"); // a Monday

// Fetched two minutes ago; the 5-hour window resets at 17:00, the weekly one on Thursday at 12:00.
// A window without a percent is idle.
PlanSnapshot snapshot(std::optional<std::int64_t> session, std::optional<std::int64_t> allModels,
                      std::optional<PlanStatus> status = active, std::chrono::seconds age = 2min,
                      Instant sessionReset = kNow + 2h + 13min) {
  const auto window = [](std::optional<std::int64_t> percent, Instant resetsAt) {
    return percent ? std::optional(PlanWindow{*percent, resetsAt}) : std::nullopt;
  };
  return {kNow - age, window(session, sessionReset), window(allModels, kNow + 69h + 13min),
          "max",      "default_claude_max_20x",      status};
}

// One model window used up, one at --warn without a reset time, one whose reset has passed.
PlanSnapshot withModels() {
  PlanSnapshot data = snapshot(41, 14);
  data.modelWindows = {
      {"Opus", 100, kNow + 16h + 13min}, {"Sonnet", 80, std::nullopt}, {"Haiku", 100, kNow - 1min}};
  return data;
}

// A reason beside another status than sessionInactive, which no helper writes.
PlanSnapshot withStrayReason() {
  PlanSnapshot data = snapshot(41, 14);
  data.inactiveReason = InactiveReason::expired;
  return data;
}

TEST(UsageViewTest, TextAndClassFollowLevelsStalenessAndStatus) {
  const struct {
    PlanSnapshot snapshot;
    const char *text;
    const char *waybarClass; // the status class, then the level beside numbers
  } cases[] = {
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
      // An expired token is no sign-out: the CLI renews it when it next runs.
      {snapshot(4, 1).withStatus(sessionInactive, InactiveReason::expired),
       "5h 4% · 7d 1% (token expired)", R"(["sessionInactive","expired","ok"])"},
      {PlanSnapshot::dataless(sessionInactive, kNow - 1h, InactiveReason::expired),
       "Claude (token expired)", R"(["sessionInactive","expired"])"},
      {snapshot(4, 1).withStatus(sessionInactive, InactiveReason::rejected),
       "5h 4% · 7d 1% (signed out)", R"(["sessionInactive","ok"])"},
      {withStrayReason(), "5h 41% · 7d 14%", R"(["ok"])"},
      {PlanSnapshot::dataless(noData, kNow - 1h), "Claude (no data yet)", R"(["noData"])"},
      // Once the reset has passed the window is whole again, whatever was fetched before.
      {snapshot(97, 60, active, 2min, kNow - 1min), "5h 0% · 7d 60%", R"(["ok"])"},
      {snapshot({}, 14), "5h idle · 7d 14%", R"(["ok"])"},
      {snapshot({}, {}, active, 20min), "5h idle · 7d idle (stale)", R"(["stale","ok"])"},
      // A model window from --warn joins the line and counts for the class.
      {withModels(), "5h 41% · 7d 14% · Opus 100% · Sonnet 80%", R"(["critical"])"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    const UsageView view = UsageView::of(c.snapshot, kNow, {});
    EXPECT_EQ(formatText(view), c.text);
    const auto waybar = json::parse(formatWaybar(view));
    EXPECT_EQ(waybar.at("class").dump(), c.waybarClass);
    EXPECT_EQ(waybar.at("tooltip"), formatView(view, OutputFormat::longText));
  }
}

TEST(UsageViewTest, LongFormatSpeaksToAPerson) {
  // Local clock times here are UTC ones. The C library reads TZ again only in tzset().
  struct Tzset {
    Tzset() { ::tzset(); }
    ~Tzset() { ::tzset(); }
  } afterRestoring;
  const testing::ScopedEnvironment utc("TZ", "UTC");
  const Tzset afterSetting;
  EXPECT_EQ(formatView(UsageView::of(withModels(), kNow, {}), OutputFormat::longText),
            "5h      ████████░░░░░░░░░░░░  41%  resets 17:00, in 2h 13m\n"
            "        55 % of the window elapsed, on pace for about 74 % at reset\n"
            "7d      ███░░░░░░░░░░░░░░░░░  14%  resets Thu 12:00, in 2d 21h\n"
            "        58 % of the window elapsed, on pace for about 24 % at reset\n"
            "Opus    ████████████████████ 100%  resets Tue 07:00, in 16h 13m\n"
            "        90 % of the window elapsed, already used up\n"
            "Sonnet  ████████████████░░░░  80%  no reset time reported\n"
            "Haiku   ░░░░░░░░░░░░░░░░░░░░   0%  reset at 14:46\n"
            "Plan: max (default_claude_max_20x)\nStatus: up to date\nData fetched 2m ago");
  const auto signedOut = PlanSnapshot::dataless(sessionInactive, kNow);
  EXPECT_EQ(formatView(UsageView::of(signedOut, kNow, {}), OutputFormat::longText),
            "5h  no data\n7d  no data\n"
            "Status: signed out of Claude Code; run `claude` to sign in\nWritten just now");
  // Only an expired token needs nothing of the user.
  const struct {
    PlanSnapshot snapshot;
    const char *status;
  } reasons[] = {
      {snapshot(41, 14).withStatus(sessionInactive, InactiveReason::expired),
       "token expired; the numbers resume when Claude Code next runs and renews it"},
      {snapshot(41, 14).withStatus(sessionInactive, InactiveReason::missing),
       "signed out of Claude Code; run `claude` to sign in"},
      {snapshot(41, 14).withStatus(sessionInactive, InactiveReason::rejected),
       "signed out of Claude Code: the usage endpoint rejected the token; run `claude` to sign in"},
      {snapshot(41, 14).withStatus(sessionInactive, InactiveReason::unreadable),
       "the Claude Code credentials file cannot be read; the helper's log says why"},
  };
  for (const auto &c : reasons) {
    SCOPED_TRACE(c.status);
    const std::string text =
        formatView(UsageView::of(c.snapshot, kNow, {}), OutputFormat::longText);
    EXPECT_NE(text.find(std::string("\nStatus: ") + c.status + "\n"), std::string::npos) << text;
  }
}

TEST(UsageViewTest, JsonCarriesWhatAScriptWouldCompute) {
  const auto view = json::parse(formatJson(UsageView::of(withModels(), kNow, {})));
  // Pace figures are rounded to what they mean, not floating-point noise.
  const auto expected = json::parse(R"({"/ageSeconds": 120, "/stale": false, "/percentage": 100,
      "/class": "critical", "/allModels/resetsAt": "2026-07-02T12:00:00Z",
      "/session/secondsToReset": 7980, "/session/pace/elapsedShare": 0.5567,
      "/session/pace/projectedPercentAtReset": 73.7, "/session/pace/secondsToRunOut": null,
      "/modelWindows/0/model": "Opus", "/modelWindows/0/pace/secondsToRunOut": 0,
      "/modelWindows/1/resetsAt": null, "/modelWindows/2/shownPercent": 0,
      "/modelWindows/2/percent": 100})");
  for (const auto &[pointer, value] : expected.items()) {
    EXPECT_EQ(view.at(json::json_pointer(pointer)), value) << pointer;
  }
  const auto jsonOf = [](const PlanSnapshot &snapshot) {
    return json::parse(formatJson(UsageView::of(snapshot, kNow, {})));
  };
  EXPECT_EQ(jsonOf(snapshot({}, 14)).at("session"), json({{"running", false}}));
  EXPECT_EQ(jsonOf(PlanSnapshot::dataless(noData, kNow)).at("session"), nullptr);
  EXPECT_EQ(jsonOf(snapshot(1, 2, {})).at("status"), nullptr) << "a file from before statuses";
  EXPECT_EQ(jsonOf(withStrayReason()).at("inactiveReason"), nullptr);
  const auto rejected = PlanSnapshot::dataless(sessionInactive, kNow, InactiveReason::rejected);
  EXPECT_EQ(jsonOf(rejected).at("inactiveReason"), "rejected");
  EXPECT_EQ(jsonOf(rejected).at("class"), "sessionInactive");
  // A path need not be UTF-8; what is printed for it must still parse.
  EXPECT_TRUE(json::accept(formatUnavailable(OutputFormat::waybar, "no snapshot at /x\xff yet")));
  EXPECT_TRUE(json::accept(formatUnavailable(OutputFormat::json, "no snapshot at /x\xff yet")));
}

TEST(FormatDuration, PicksTheTwoLargestUnits) {
  std::string texts;
  for (const std::int64_t seconds : {-5, 59, 60, 3599, 3600, 7980, 86400, 590400}) {
    texts += formatDuration(std::chrono::seconds(seconds)) + ", ";
  }
  EXPECT_EQ(texts, "<1m, <1m, 1m, 59m, 1h 0m, 2h 13m, 1d 0h, 6d 20h, ");
}

// When each change of the pace text comes is checked through the watch, which wakes for it.
TEST(WindowPace, ProjectsLinearlyAndStaysQuietWhereItWouldMislead) {
  const auto k5h = kSessionWindowLength, k7d = kWeeklyWindowLength;
  const struct {
    std::int64_t percent;
    std::optional<std::chrono::seconds> elapsed; // of a window of `length`; nothing: no reset time
    std::chrono::seconds length;
    const char *text; // nullptr: no pace at all
  } cases[] = {
      {30, 29min, k5h, "9 % of the window elapsed"}, // too early to project
      {5, 30min, k5h, "10 % of the window elapsed, on pace for about 50 % at reset"},
      {32, 84h, k7d, "50 % of the window elapsed, on pace for about 64 % at reset"},
      {50, 110min, k5h, "36 % of the window elapsed, on pace to run out about 1h 20m before reset"},
      {0, 150min, k5h, "50 % of the window elapsed, on pace for about 0 % at reset"},
      {100, 6min, k5h, "2 % of the window elapsed, already used up"},
      {50, 150min, k5h, "50 % of the window elapsed, on pace for about 100 % at reset"},
      {90, 301min, k5h, nullptr},
      {90, 300min, k5h, nullptr}, // the reset is now
      {90, std::nullopt, k7d, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text ? c.text : "no pace");
    const auto resetsAt = c.elapsed ? std::optional(kNow - *c.elapsed + c.length) : std::nullopt;
    const auto pace = paceOf(c.percent, resetsAt, c.length, kNow);
    EXPECT_EQ(pace ? paceText(*pace) : "", c.text ? c.text : "");
    if (!pace) {
      EXPECT_FALSE(nextPaceChange(c.percent, resetsAt, c.length, kNow));
    }
  }
}

} // namespace
} // namespace quorbel
