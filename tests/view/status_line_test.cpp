#include "model/display_text.hpp"
#include "view/session_input.hpp"
#include "view/status_line.hpp"

#include "support/scoped_environment.hpp"
#include "support/snapshots.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

const Instant kNow = *PlanDateParser::dateFrom("2026-06-29T14:47:00Z"); // a Monday
const Instant kSessionReset = kNow + 2h + 13min;
const Instant kWeeklyReset = kNow + 69h + 13min;

std::string epoch(Instant instant) {
  return std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(instant.time_since_epoch()).count());
}

// The helper's 5h 41 % and 7d 14 %, two minutes old.
PlanSnapshot helperSnapshot() {
  return testing::usageAt(kNow - 2min, 41, 14, kSessionReset, kWeeklyReset);
}

TEST(SessionInput, TakesTheSessionsWindowsOnlyWhereTheyAreNewsOfTheSamePeriod) {
  // The endpoint's fractions jitter: a second off is the same period.
  const std::string both = R"({"model": {"display_name": "Opus"},
      "context_window": {"used_percentage": 8},
      "rate_limits": {"five_hour": {"used_percentage": 23.5, "resets_at": )" +
                           epoch(kSessionReset + 1s) + R"(},
                      "seven_day": {"used_percentage": 41.2, "resets_at": )" +
                           epoch(kWeeklyReset) + "}}}";
  const std::string fiveHourOnly = R"({"rate_limits": {"five_hour": {"used_percentage": 60,
      "resets_at": )" + epoch(kSessionReset) +
                                   "}}}";
  const std::string otherPeriod = R"({"rate_limits": {"five_hour": {"used_percentage": 3,
      "resets_at": )" + epoch(kSessionReset + 5h) +
                                  "}}}";
  const std::string passed = R"({"rate_limits": {"five_hour": {"used_percentage": 3,
      "resets_at": )" + epoch(kNow - 1s) +
                             "}}}";
  const std::string wrongTypes = R"({"model": {"display_name": 7}, "context_window":
      {"used_percentage": "8"}, "rate_limits": {"five_hour": {"used_percentage": "23",
      "resets_at": )" + epoch(kSessionReset) +
                                 R"(}, "seven_day": {"used_percentage": 150,
      "resets_at": )" + epoch(kWeeklyReset) +
                                 "}}}";
  // Escape sequences (ESC, BEL, an 8-bit CSI) and markup in the model's name.
  const std::string hostile =
      R"({"model": {"display_name": "\u001b]0;pwn\u0007Op<b>us</b>\u009b31m\r\n"}})";
  struct Case {
    const char *name;
    std::string document;
    std::optional<std::string> model;
    std::optional<double> context;
    std::int64_t session;
    std::int64_t weekly;
  } cases[] = {
      {"full", both, "Opus", 8, 24, 41},
      {"no rate_limits", R"({"model": {"display_name": "Opus"}})", "Opus", {}, 41, 14},
      {"one window only", fiveHourOnly, {}, {}, 60, 14},
      {"a window of another period", otherPeriod, {}, {}, 41, 14},
      {"a window whose reset has passed", passed, {}, {}, 41, 14},
      {"garbage", "{\"model\": {\"display_name\": \"Opus\"", {}, {}, 41, 14},
      {"not an object", "[1, 2]", {}, {}, 41, 14},
      {"wrong types and ranges", wrongTypes, {}, {}, 41, 14},
      {"hostile strings", hostile, "]0;pwnOp<b>us</b>31m", {}, 41, 14},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const SessionInput input = sessionInputOf(c.document);
    EXPECT_EQ(input.model, c.model);
    EXPECT_EQ(input.contextUsedPercent, c.context);
    const PlanSnapshot merged = withSessionWindows(helperSnapshot(), input, kNow);
    ASSERT_TRUE(merged.session && merged.allModels);
    EXPECT_EQ(merged.session->percent, c.session);
    EXPECT_EQ(merged.allModels->percent, c.weekly);
  }
  // Where the helper has no running window the session's stands alone; its reset comes along.
  PlanSnapshot idle = helperSnapshot();
  idle.session.reset();
  idle.allModels->resetsAt = kNow - 1min;
  const PlanSnapshot filled = withSessionWindows(idle, sessionInputOf(both), kNow);
  ASSERT_TRUE(filled.session && filled.allModels);
  EXPECT_EQ(filled.session->resetsAt, kSessionReset + 1s);
  EXPECT_EQ(filled.allModels->percent, 41);
  // A session window whose reset has passed is no news, even where the helper has none.
  EXPECT_FALSE(withSessionWindows(idle, sessionInputOf(passed), kNow).session);
}

// 5h used up with extra usage spent, Opus at --warn, a stale snapshot, an outage of Claude Code,
// another account at 92 %.
StatusLineContent crowded() {
  PlanSnapshot data = testing::usageAt(kNow - 20min, 100, 41, kSessionReset, kWeeklyReset);
  data.modelWindows = {{"Opus", 91, kWeeklyReset}, {"Sonnet", 12, kWeeklyReset}};
  data.extraUsage = ExtraUsage{"USD", 2, 10587, 30000};
  const PlanSnapshot other = testing::usageAt(kNow - 1min, 92, 30, kSessionReset, kWeeklyReset);
  UsageView view = UsageView::of(data, kNow, {});
  view.serviceStatus = ServiceStatus{
      ServiceIndicator::major, "", kNow - 1min, {{"Claude Code", ComponentState::majorOutage}}, {}};
  view.service = ServiceView::of(view.serviceStatus, kNow);
  return {"Opus 4.8", 8.4, view, {{"work", UsageView::of(other, kNow, {})}}};
}

TEST(StatusLine, DropsTheLeastUsefulPartsFirstAndNeverPassesItsWidth) {
  struct Case {
    std::size_t columns;
    const char *line;
  } cases[] = {
      {0,
       "Opus 4.8 · 5h 100% (2h 13m) · 7d 41% · Opus 91% · $105.87 (stale) · ctx 8% · work 5h 92% "
       "· Claude Code outage"},
      {80, "5h 100% (2h 13m) · 7d 41% · Opus 91% · $105.87 (stale) · Claude Code outage"},
      {70, "5h 100% · 7d 41% · Opus 91% · $105.87 (stale) · Claude Code outage"},
      {60, "5h 100% · 7d 41% · $105.87 (stale) · Claude Code outage"},
      {52, "5h 100% · $105.87 (stale) · Claude Code outage"},
      {44, "5h 100% · $105.87 (stale)"},
      {33, "5h 100% · $105.87 (stale)"},
      {15, "$105.87 (stale)"},
      {6, "(stal…"},
  };
  const StatusLineContent content = crowded();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.columns);
    EXPECT_EQ(formatStatusLine(content, {false, c.columns, 1}), c.line);
  }
  EXPECT_NE(formatStatusLine(content, {true, 0, 1}).find("\x1b[31mClaude Code outage\x1b[0m"),
            std::string::npos);
  // Coloured or not, one line or two, nothing passes the width or wraps.
  for (std::size_t columns = 1; columns <= 100; ++columns) {
    for (const int lines : {1, 2}) {
      std::string text = formatStatusLine(content, {false, columns, lines});
      for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
        end = text.find('\n', start);
        ASSERT_LE(displayColumns(text.substr(start, end - start)), columns) << text;
      }
    }
  }
}

TEST(StatusLine, ColoursByLevelAndShowsResetsAndTrajectoriesOnASecondLine) {
  const testing::ScopedUtc utc;
  PlanSnapshot data = testing::usageAt(kNow - 2min, 82, 96, kSessionReset, kWeeklyReset);
  // A hostile model name stays text between our own colour codes.
  const StatusLineContent content{
      displayText("\x1b[2JOpus"), 97, UsageView::of(data, kNow, {}), {}};
  EXPECT_EQ(formatStatusLine(content, {true, 0, 2}),
            "[2JOpus · \x1b[33m5h 82%\x1b[0m \x1b[2m(2h 13m)\x1b[0m · \x1b[31m7d 96%\x1b[0m · "
            "\x1b[31mctx 97%\x1b[0m\n"
            "5h resets 17:00, \x1b[33mruns out about 15:24, 1h 36m before reset\x1b[0m · "
            "7d resets Thu 12:00, \x1b[31mruns out about 19:00, 2d 17h before reset\x1b[0m");
  // Nothing from the helper or the session: the line still comes.
  EXPECT_EQ(formatStatusLine({"Opus", {}, {}, {}}, {false, 0, 2}), "Opus · Claude ?");
}

} // namespace
} // namespace quorbel
