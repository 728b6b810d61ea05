#include "model/display_text.hpp"
#include "model/duration_text.hpp"
#include "model/snapshot_json.hpp"
#include "view/money_text.hpp"
#include "view/output_schedule.hpp"
#include "view/usage_formats.hpp"

#include "support/scoped_environment.hpp"
#include "support/snapshots.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
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
  PlanSnapshot data =
      testing::usageAt(kNow - age, session, allModels, sessionReset, kNow + 69h + 13min, status);
  data.rateLimitTier = "default_claude_max_20x";
  return data;
}

// One model window used up, one at --warn without a reset time, one whose reset has passed.
PlanSnapshot withModels() {
  PlanSnapshot data = snapshot(41, 14);
  data.modelWindows = {
      {"Opus", 100, kNow + 16h + 13min}, {"Sonnet", 80, std::nullopt}, {"Haiku", 100, kNow - 1min}};
  return data;
}

// $105.87 spent of a $300.00 cap.
PlanSnapshot spending(std::int64_t session, std::int64_t allModels,
                      std::optional<PlanStatus> status = active) {
  PlanSnapshot data = snapshot(session, allModels, status);
  data.extraUsage = ExtraUsage{"USD", 2, 10587, 30000};
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
      {snapshot(4, 1, sessionInactive), "5h 4% · 7d 1% (signed out)",
       R"(["sessionInactive","ok"])"},
      {PlanSnapshot::dataless(sessionInactive, kNow - 1h), "Claude (signed out)",
       R"(["sessionInactive"])"},
      // An expired token is no sign-out: the CLI renews it when it next runs.
      {snapshot(4, 1).withStatus(sessionInactive, InactiveReason::expired),
       "5h 4% · 7d 1% (token expired)", R"(["sessionInactive","expired","ok"])"},
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
      // Money shows on the bar only while a plan window is full: then each message costs it.
      {spending(99, 14), "5h 99% · 7d 14%", R"(["critical"])"},
      {spending(100, 14), "5h 100% · 7d 14% · $105.87", R"(["critical","extraUsage"])"},
      {spending(4, 100, rateLimited), "5h 4% · 7d 100% · $105.87 (rate limited)",
       R"(["rateLimited","critical","extraUsage"])"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    const UsageView view = UsageView::of(c.snapshot, kNow, {});
    EXPECT_EQ(formatText(view), c.text);
    const auto waybar = json::parse(formatWaybar(view));
    EXPECT_EQ(waybar.at("class").dump(), c.waybarClass);
    EXPECT_EQ(waybar.at("tooltip"), formatView(view, OutputFormat::longText));
    // A marker without numbers, however old, holds no data to be stale.
    EXPECT_EQ(json::parse(formatJson(view)).at("stale"), std::string(c.text).ends_with("(stale)"));
  }
}

TEST(UsageViewTest, LongFormatSpeaksToAPerson) {
  const testing::ScopedUtc utc;
  EXPECT_EQ(formatView(UsageView::of(withModels(), kNow, {}), OutputFormat::longText),
            "5h      ████████░░░┃░░░░░░░░  41%  resets 17:00, in 2h 13m\n"
            "        55 % of the window elapsed, on pace for about 74 % at reset\n"
            "7d      ███░░░░░░░░┃░░░░░░░░  14%  resets Thu 12:00, in 2d 21h\n"
            "        58 % of the window elapsed, on pace for about 24 % at reset\n"
            "Opus    ██████████████████┃█ 100%  resets Tue 07:00, in 16h 13m\n"
            "        90 % of the window elapsed, already used up\n"
            "Sonnet  ████████████████░░░░  80%  no reset time reported\n"
            "Haiku   ░░░░░░░░░░░░░░░░░░░░   0%  reset at 14:46\n"
            "Plan: max (default_claude_max_20x)\nStatus: up to date\nData fetched 2m ago");
  const std::string money =
      formatView(UsageView::of(spending(100, 14), kNow, {}), OutputFormat::longText);
  EXPECT_NE(money.find("at reset\nExtra usage: $105.87 of $300.00 this month (35 %)\nPlan: "),
            std::string::npos)
      << money;
  const auto signedOut = PlanSnapshot::dataless(sessionInactive, kNow);
  EXPECT_EQ(formatView(UsageView::of(signedOut, kNow, {}), OutputFormat::longText),
            "5h  no data\n7d  no data\n"
            "Status: signed out of Claude Code; run `claude` to sign in\nWritten just now");
  // Only an expired token needs nothing of the user.
  const std::pair<InactiveReason, const char *> reasons[] = {
      {InactiveReason::expired,
       "token expired; the numbers resume when Claude Code next runs and renews it"},
      {InactiveReason::missing, "signed out of Claude Code; run `claude` to sign in"},
      {InactiveReason::rejected,
       "signed out of Claude Code: the usage endpoint rejected the token; run `claude` to sign in"},
      {InactiveReason::unreadable,
       "the Claude Code credentials file cannot be read; the helper's log says why"}};
  for (const auto &[reason, status] : reasons) {
    SCOPED_TRACE(status);
    const auto inactive = snapshot(41, 14).withStatus(sessionInactive, reason);
    const std::string text = formatView(UsageView::of(inactive, kNow, {}), OutputFormat::longText);
    EXPECT_NE(text.find(std::string("\nStatus: ") + status + "\n"), std::string::npos) << text;
  }
}

TEST(UsageViewTest, RemainingCountsWhatIsLeftWhileLevelsStillMeasureUse) {
  PlanSnapshot data = withModels();
  data.session->percent = 45;
  data.allModels->percent = 130; // a file may hold any integer; nothing is left below 0
  const UsageView view = UsageView::of(data, kNow, {.shown = PercentShown::remaining});
  EXPECT_EQ(formatText(view), "5h 55% left · 7d 0% left · Opus 0% left · Sonnet 20% left");
  const std::string text = formatView(view, OutputFormat::longText);
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "5h      ████████┃██░░░░░░░░░  55% left  resets 17:00, in 2h 13m");
  const auto waybar = json::parse(formatWaybar(view));
  EXPECT_EQ(waybar.at("class").dump(), R"(["critical"])");
  EXPECT_EQ(waybar.at("percentage"), 130);
}

TEST(MoneyText, PutsTheSymbolOrCodeAroundExactlyTheMinorUnits) {
  const struct {
    std::int64_t minor, exponent;
    const char *currency, *text;
  } cases[] = {
      {10587, 2, "USD", "$105.87"},
      {250, 2, "EUR", "€2.50"},
      {5, 2, "GBP", "£0.05"},
      {1200, 0, "JPY", "¥1200"},
      {10587, 2, "CHF", "105.87 CHF"},
      {7, 3, "BHD", "0.007 BHD"},
      {9'223'372'036'854'775'807, 2, "EUR", "€92233720368547758.07"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(formatMoney(c.minor, c.exponent, c.currency), c.text);
  }
  EXPECT_EQ(extraUsageSentence({"EUR", 2, 250, std::nullopt}),
            "Extra usage: €2.50 this month, no cap");
  // Rounded down, so 100 % means the cap is reached and not merely near.
  EXPECT_EQ(extraUsageSentence({"GBP", 2, 29999, 30000}),
            "Extra usage: £299.99 of £300.00 this month (99 %)");
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
  EXPECT_EQ(jsonOf(PlanSnapshot::dataless(noData, kNow)).at("extraUsage"), nullptr);
  EXPECT_EQ(jsonOf(spending(100, 14)).at("extraUsage"),
            json::parse(R"({"currency": "USD", "exponent": 2, "used": 10587, "limit": 30000,
                "percentOfCap": 35, "payingNow": true})"));
  EXPECT_EQ(jsonOf(snapshot(1, 2, {})).at("status"), nullptr) << "a file from before statuses";
  EXPECT_EQ(jsonOf(withStrayReason()).at("inactiveReason"), nullptr);
  const auto rejected = PlanSnapshot::dataless(sessionInactive, kNow, InactiveReason::rejected);
  EXPECT_EQ(jsonOf(rejected).at("inactiveReason"), "rejected");
  EXPECT_EQ(jsonOf(rejected).at("class"), "sessionInactive");
  // A path need not be UTF-8; what is printed for it must still parse.
  EXPECT_TRUE(json::accept(formatUnavailable(OutputFormat::waybar, "no snapshot at /x\xff yet")));
  EXPECT_TRUE(json::accept(formatUnavailable(OutputFormat::json, "no snapshot at /x\xff yet")));
}

// The file's strings are data: in no format can one reach a terminal as a control or waybar as
// markup, and what is left of them is shown as written.
TEST(UsageViewTest, EveryFormatShowsTheFileStringsAsPlainText) {
  const PlanSnapshot hostile = decodeSnapshot(R"({"fetchedAt": "2026-06-29T14:45:00Z",
      "session": {"percent": 41, "resetsAt": "2026-06-29T17:00:00Z"},
      "allModels": {"percent": 14, "resetsAt": "2026-07-02T12:00:00Z"},
      "modelWindows": [{"model": "\u001b]0;owned\u0007Op<i>us\u009b2J &amp;", "percent": 97}],
      "subscriptionType": "max & pro\u001b[2J\r\n\t\u007f",
      "rateLimitTier": "<span>tier\u0085\u009d0;t\u009c'\""})");
  const std::string model = "]0;ownedOp<i>us2J &amp;";
  const UsageView view = UsageView::of(hostile, kNow, {});
  EXPECT_EQ(formatText(view), "5h 41% · 7d 14% · " + model + " 97%");
  const std::string longText = formatView(view, OutputFormat::longText);
  EXPECT_NE(longText.find("\nPlan: max & pro[2J (<span>tier0;t'\")\n"), std::string::npos)
      << longText;
  for (const OutputFormat format :
       {OutputFormat::text, OutputFormat::longText, OutputFormat::waybar, OutputFormat::json}) {
    SCOPED_TRACE(int(format));
    // displayText() drops every control, so what it would change could reach a terminal as one.
    std::string out = formatView(view, format);
    if (format == OutputFormat::longText) {
      std::replace(out.begin(), out.end(), '\n', ' ');
    }
    EXPECT_EQ(displayText(out), out);
  }
  // waybar reads its text and tooltip as Pango markup, where each markup character is an entity.
  const json waybar = json::parse(formatWaybar(view));
  EXPECT_EQ(waybar.at("text"), "5h 41% · 7d 14% · ]0;ownedOp&lt;i&gt;us2J &amp;amp; 97%");
  const std::string tooltip = waybar.at("tooltip");
  EXPECT_NE(tooltip.find("\nPlan: max &amp; pro[2J (&lt;span&gt;tier0;t&apos;&quot;)\n"),
            std::string::npos)
      << tooltip;
  const json scripted = json::parse(formatJson(view));
  EXPECT_EQ(scripted.at("modelWindows").at(0).at("model"), model);
  EXPECT_EQ(scripted.at("subscriptionType"), "max & pro[2J");
  EXPECT_EQ(scripted.at("rateLimitTier"), "<span>tier0;t'\"");
  // A path is not the file's, but waybar reads it as markup all the same.
  const json unavailable =
      json::parse(formatUnavailable(OutputFormat::waybar, "no snapshot at /a&b<c>\x1b[2J yet"));
  EXPECT_EQ(unavailable.at("tooltip"), "no snapshot at /a&amp;b&lt;c&gt;[2J yet");
}

// Centuries apart, beyond what nanoseconds since 1970 can hold: the old data is stale whatever
// --stale-after allows, and data from the future is as fresh as it gets.
TEST(UsageViewTest, ReadsDatesCenturiesAwayInEveryFormat) {
  const Instant y1678 = *PlanDateParser::dateFrom("1678-01-01T00:00:00Z");
  const Instant y2261 = *PlanDateParser::dateFrom("2261-12-31T23:59:59Z");
  const struct {
    PlanSnapshot snapshot;
    const char *text;
    const char *dataAge; // the long format's last line
  } cases[] = {{{y1678, PlanWindow{41, y2261}, PlanWindow{14, y2261}, "max", {}, {}},
                "5h 41% · 7d 14% (stale)",
                "Data fetched 127283d 14h ago"},
               {{y2261, PlanWindow{41, y1678}, PlanWindow{14, y1678}, "max", {}, {}},
                "5h 0% · 7d 0%",
                "Data fetched just now"}};
  const ViewOptions longest{80, 95, kLongestDurationOption};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    const UsageView view = UsageView::of(c.snapshot, kNow, longest);
    EXPECT_EQ(formatView(view, OutputFormat::text), c.text);
    EXPECT_TRUE(formatView(view, OutputFormat::longText).ends_with(c.dataAge));
    for (const OutputFormat format :
         {OutputFormat::text, OutputFormat::longText, OutputFormat::waybar, OutputFormat::json}) {
      EXPECT_GT(nextOutputChange(view, format, longest).value_or(kLatestInstant), kNow);
    }
  }
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
  const testing::ScopedUtc utc;
  const auto k5h = kSessionWindowLength, k7d = kWeeklyWindowLength;
  const struct {
    std::int64_t percent;
    std::optional<std::chrono::seconds> elapsed; // of a window of `length`; nothing: no reset time
    std::chrono::seconds length;
    const char *text; // nullptr: no pace at all
    const char *trajectory;
  } cases[] = {
      {30, 29min, k5h, "9 % of the window elapsed", ""}, // too early to project
      {5, 30min, k5h, "10 % of the window elapsed, on pace for about 50 % at reset",
       "lasts to reset"},
      {32, 84h, k7d, "50 % of the window elapsed, on pace for about 64 % at reset",
       "lasts to reset"},
      {50, 110min, k5h, "36 % of the window elapsed, on pace to run out about 1h 20m before reset",
       "runs out about 16:37, 1h 20m before reset"},
      // Past a day the duration counts whole hours, and the clock time agrees with it.
      {60, 72h, k7d, "42 % of the window elapsed, on pace to run out about 2d 0h before reset",
       "runs out about Wed 14:47, 2d 0h before reset"},
      {0, 150min, k5h, "50 % of the window elapsed, on pace for about 0 % at reset",
       "lasts to reset"},
      {100, 6min, k5h, "2 % of the window elapsed, already used up", "used up"},
      {50, 150min, k5h, "50 % of the window elapsed, on pace for about 100 % at reset",
       "lasts to reset"},
      {90, 301min, k5h, nullptr, ""},
      {90, 300min, k5h, nullptr, ""}, // the reset is now
      {90, std::nullopt, k7d, nullptr, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text ? c.text : "no pace");
    const auto resetsAt = c.elapsed ? std::optional(kNow - *c.elapsed + c.length) : std::nullopt;
    const auto pace = paceOf(c.percent, resetsAt, c.length, kNow);
    EXPECT_EQ(pace ? paceText(*pace) : "", c.text ? c.text : "");
    EXPECT_EQ(pace ? trajectoryText(*pace, kNow) : "", c.trajectory);
    if (!pace) {
      EXPECT_FALSE(nextPaceChange(c.percent, resetsAt, c.length, kNow));
    }
  }
}

// 40 % at half of a five-hour window is on pace for 80 % by the average since it began.
TEST(WindowPace, FollowsTheLastHourOnceTheCurrentPeriodHasHalfAnHourOfSamples) {
  const Instant resetsAt = kNow + 150min;
  const Instant resetAgo = kNow - 40min; // where the period before a fresh one ended
  const auto at = [&](std::chrono::minutes ago, std::int64_t percent, Instant reset) {
    return UsagePoint{kNow - ago, percent, reset};
  };
  const std::vector<UsagePoint> none;
  const struct {
    const char *what;
    std::int64_t percent;
    Instant resetsAt;
    std::optional<std::vector<UsagePoint>> recent; // nothing: no history at all
    const char *text;
  } cases[] = {
      {"no history", 40, resetsAt, std::nullopt,
       "50 % of the window elapsed, on pace for about 80 % at reset"},
      {"a history without this window", 40, resetsAt, none,
       "50 % of the window elapsed, on pace for about 80 % at reset (average since the window "
       "began)"},
      {"29 minutes of samples", 40, resetsAt,
       std::vector{at(39min, 20, resetsAt), at(10min, 36, resetsAt)},
       "50 % of the window elapsed, on pace for about 80 % at reset (average since the window "
       "began)"},
      // 16 % in the last half hour runs 60 % out in 112.5 minutes; the sample of two hours ago
      // is not the last hour's.
      {"30 minutes of samples", 40, resetsAt,
       std::vector{at(10min, 36, resetsAt), at(120min, 10, resetsAt), at(40min, 20, resetsAt)},
       "50 % of the window elapsed, on pace to run out about 37m before reset (rate of the last "
       "hour)"},
      // The window reset 40 minutes ago: 20 % at 13 % elapsed averages 150 % by the reset, but
      // the 6 % of the half hour since leads to 72 %.
      {"a reset inside the hour", 20, kNow + 260min,
       std::vector{at(55min, 80, resetAgo), at(45min, 85, resetAgo), at(35min, 14, kNow + 260min),
                   at(5min, 20, kNow + 260min)},
       "13 % of the window elapsed, on pace for about 72 % at reset (rate of the last hour)"},
      {"a reset inside the hour, 20 minutes since", 20, kNow + 260min,
       std::vector{at(55min, 80, resetAgo), at(45min, 85, resetAgo), at(25min, 14, kNow + 260min),
                   at(5min, 20, kNow + 260min)},
       "13 % of the window elapsed, on pace to run out about 1h 40m before reset (average since "
       "the window began)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const auto pace =
        paceOf(c.percent, c.resetsAt, kSessionWindowLength, kNow, c.recent ? &*c.recent : nullptr);
    ASSERT_TRUE(pace);
    EXPECT_EQ(paceText(*pace), c.text);
  }
  // The view hands each window its own samples.
  RecentUsage recent;
  recent.session = {at(40min, 20, kNow + 2h + 13min), at(10min, 32, kNow + 2h + 13min)};
  recent.allModels = {at(50min, 13, kNow + 69h + 13min), at(5min, 14, kNow + 69h + 13min)};
  recent.models["Opus"] = {at(45min, 80, kNow + 16h + 13min), at(5min, 99, kNow + 16h + 13min)};
  const UsageView view = UsageView::of(withModels(), kNow, {}, &recent);
  EXPECT_EQ(view.session->pace->rate, PaceRate::lastHour);
  EXPECT_EQ(view.allModels->pace->rate, PaceRate::lastHour);
  EXPECT_EQ(view.models[0].pace->rate, PaceRate::lastHour);
  EXPECT_EQ(view.models[0].label, "Opus");
}

} // namespace
} // namespace quorbel
