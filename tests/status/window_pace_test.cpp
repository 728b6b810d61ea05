#include "status/window_pace.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

// When each change of the text comes is checked through the watch, which wakes for it.
TEST(WindowPace, ProjectsLinearlyAndStaysQuietWhereItWouldMislead) {
  const Instant now = *PlanDateParser::dateFrom("2026-06-29T14:47:00Z");
  const struct {
    std::int64_t percent;
    std::optional<std::chrono::seconds> elapsed; // of a window of `length`; nothing: no reset time
    std::chrono::seconds length;
    const char *text; // nullptr: no pace at all
  } cases[] = {
      {30, 29min, kSessionWindowLength, "9 % of the window elapsed"}, // too early to project
      {5, 30min, kSessionWindowLength,
       "10 % of the window elapsed, on pace for about 50 % at reset"},
      {32, 84h, kWeeklyWindowLength, "50 % of the window elapsed, on pace for about 64 % at reset"},
      {50, 110min, kSessionWindowLength,
       "36 % of the window elapsed, on pace to run out about 1h 20m before reset"},
      {0, 150min, kSessionWindowLength,
       "50 % of the window elapsed, on pace for about 0 % at reset"},
      {100, 6min, kSessionWindowLength, "2 % of the window elapsed, already used up"},
      {50, 150min, kSessionWindowLength,
       "50 % of the window elapsed, on pace for about 100 % at reset"},
      {90, 301min, kSessionWindowLength, nullptr},
      {90, std::nullopt, kWeeklyWindowLength, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text ? c.text : "no pace");
    const auto resetsAt = c.elapsed ? std::optional(now - *c.elapsed + c.length) : std::nullopt;
    const auto pace = paceOf(c.percent, resetsAt, c.length, now);
    EXPECT_EQ(pace ? paceText(*pace) : "", c.text ? c.text : "");
    if (!pace) {
      EXPECT_FALSE(nextPaceChange(c.percent, resetsAt, c.length, now));
    }
  }
}

} // namespace
} // namespace quorbel
