#include "status/window_pace.hpp"

#include "status/usage_view.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using std::chrono::minutes;
using std::chrono::seconds;

const Instant kNow = *PlanDateParser::dateFrom("2026-06-29T14:47:00Z");

struct Case {
  const char *name;
  std::int64_t percent;
  std::optional<seconds> elapsed; // of the window at kNow; nothing: no reset time
  seconds length;
  const char *text; // nullptr: no pace at all
  std::optional<double> projected;
  std::optional<std::int64_t> untilRunOut;
};

std::optional<Instant> resetOf(const Case &c) {
  if (!c.elapsed) {
    return std::nullopt;
  }
  return kNow - *c.elapsed + c.length;
}

TEST(WindowPace, ProjectsLinearlyAndStaysQuietWhereItWouldMislead) {
  const Case cases[] = {
      {"first tenth of the window: no projection", 30, minutes(29), kSessionWindowLength,
       "9 % of the window elapsed", std::nullopt, std::nullopt},
      {"a tenth in: projection starts", 5, minutes(30), kSessionWindowLength,
       "10 % of the window elapsed, on pace for about 50 % at reset", 50.0, std::nullopt},
      {"weekly window on pace", 32, 84h, kWeeklyWindowLength,
       "50 % of the window elapsed, on pace for about 64 % at reset", 64.0, std::nullopt},
      {"running out before the reset", 50, minutes(110), kSessionWindowLength,
       "36 % of the window elapsed, on pace to run out about 1h 20m before reset", 50.0 * 300 / 110,
       110 * 60},
      {"0 %: on pace for nothing", 0, 150min, kSessionWindowLength,
       "50 % of the window elapsed, on pace for about 0 % at reset", 0.0, std::nullopt},
      {"100 % already, even early", 100, minutes(6), kSessionWindowLength,
       "2 % of the window elapsed, already used up", std::nullopt, 0},
      {"100 % midway", 100, 150min, kSessionWindowLength,
       "50 % of the window elapsed, already used up", 200.0, 0},
      {"exactly 100 % projected is not running out", 50, 150min, kSessionWindowLength,
       "50 % of the window elapsed, on pace for about 100 % at reset", 100.0, std::nullopt},
      {"reset further off than the window is long", 40, seconds(-3600), kSessionWindowLength,
       "0 % of the window elapsed", std::nullopt, std::nullopt},
      {"reset passed", 90, 301min, kSessionWindowLength, nullptr, std::nullopt, std::nullopt},
      {"reset right now", 90, 300min, kSessionWindowLength, nullptr, std::nullopt, std::nullopt},
      {"no reset time", 90, std::nullopt, kWeeklyWindowLength, nullptr, std::nullopt, std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto pace = paceOf(c.percent, resetOf(c), c.length, kNow);
    ASSERT_EQ(pace.has_value(), c.text != nullptr);
    if (!pace) {
      EXPECT_FALSE(nextPaceChange(c.percent, resetOf(c), c.length, kNow));
      continue;
    }
    EXPECT_EQ(paceText(*pace), c.text);
    ASSERT_EQ(pace->projectedPercent.has_value(), c.projected.has_value());
    if (c.projected) {
      EXPECT_NEAR(*pace->projectedPercent, *c.projected, 1e-9);
    }
    EXPECT_EQ(pace->untilRunOut ? std::optional(pace->untilRunOut->count()) : std::nullopt,
              c.untilRunOut);
  }
}

// Walks a window from kNow to its reset through nextPaceChange(): the text must not change before
// a predicted moment (a missed change) and must change at it (a wasted wake-up).
TEST(WindowPace, PredictsEachChangeOfTheTextAndNothingElse) {
  const Case cases[] = {
      {"running out", 50, minutes(31), kSessionWindowLength, "", std::nullopt, std::nullopt},
      {"on pace", 20, minutes(20), kSessionWindowLength, "", std::nullopt, std::nullopt},
      {"weekly, running out by days", 70, 40h, kWeeklyWindowLength, "", std::nullopt, std::nullopt},
      {"used up", 100, minutes(1), kSessionWindowLength, "", std::nullopt, std::nullopt},
      {"unused", 0, minutes(1), kSessionWindowLength, "", std::nullopt, std::nullopt},
  };
  constexpr auto kJustBefore = 2ms; // the prediction may be up to 1 ms late by design
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Instant resetsAt = *resetOf(c);
    Instant now = kNow;
    int changes = 0;
    while (const auto next = nextPaceChange(c.percent, resetsAt, c.length, now)) {
      ASSERT_GT(*next, now);
      const std::string shown = paceText(*paceOf(c.percent, resetsAt, c.length, now));
      ASSERT_EQ(
          paceText(*paceOf(c.percent, resetsAt, c.length, std::max(now, *next - kJustBefore))),
          shown)
          << formatInternetDate(*next);
      ASSERT_NE(paceText(*paceOf(c.percent, resetsAt, c.length, *next)), shown)
          << formatInternetDate(*next);
      now = *next;
      ++changes;
    }
    EXPECT_EQ(paceText(*paceOf(c.percent, resetsAt, c.length, resetsAt - 1ns)),
              paceText(*paceOf(c.percent, resetsAt, c.length, now)))
        << "a change after the last prediction";
    EXPECT_GT(changes, 80) << "every elapsed percent at least";
  }
}

TEST(WindowPace, JsonCarriesTheNumbers) {
  const PlanSnapshot snapshot{kNow,
                              PlanWindow{50, kNow - minutes(110) + kSessionWindowLength},
                              PlanWindow{3, kNow - minutes(30) + kWeeklyWindowLength},
                              std::nullopt,
                              std::nullopt,
                              PlanStatus::active};
  const auto json = nlohmann::json::parse(formatJson(UsageView::of(snapshot, kNow, {})));
  EXPECT_EQ(json.at("session").at("pace"), nlohmann::json({{"elapsedShare", 0.3667},
                                                           {"projectedPercentAtReset", 136.4},
                                                           {"secondsToRunOut", 6600}}));
  EXPECT_EQ(json.at("allModels").at("pace"), nlohmann::json({{"elapsedShare", 0.003},
                                                             {"projectedPercentAtReset", nullptr},
                                                             {"secondsToRunOut", nullptr}}));
}

} // namespace
} // namespace quorbel
