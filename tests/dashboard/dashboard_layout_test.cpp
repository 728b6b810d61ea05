#include "dashboard/dashboard_layout.hpp"

#include "model/display_text.hpp"

#include "support/scoped_environment.hpp"
#include "support/snapshots.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

const Instant kNow = *PlanDateParser::dateFrom("2026-06-29T14:47:00Z"); // a Monday

// The default account running out of its five-hour window, Opus used up and paying, with a day
// of history; `work` rate limited without history; `lab` without a snapshot.
std::vector<DashboardAccount> accounts(const ViewOptions &options = {}) {
  PlanSnapshot mine = testing::usageAt(kNow - 2min, 70, 14, kNow + 2h + 13min, kNow + 69h + 13min);
  mine.modelWindows = {{"Opus", 100, kNow + 16h + 13min}};
  mine.extraUsage = ExtraUsage{"USD", 2, 10587, 30000};
  PlanSnapshot work =
      testing::usageAt(kNow - 20min, 88, 20, kNow + 1h, kNow + 100h, PlanStatus::rateLimited);
  std::vector<HistorySample> day;
  for (int hour = 0; hour < 24; hour += 2) {
    PlanSnapshot then = testing::usageAt(kNow - 24h + std::chrono::hours(hour), hour * 4, hour,
                                         kNow + 2h, kNow + 69h);
    then.modelWindows = {{"Opus", 50 + hour * 2, kNow + 16h}};
    day.push_back(HistorySample::of(then));
  }
  return {{"default", UsageView::of(mine, kNow, options), "", day},
          {"work", UsageView::of(work, kNow, options), "", {}},
          {"lab", std::nullopt, "no snapshot at /d/accounts/lab/plan-snapshot.json yet", {}}};
}

TEST(DashboardLayout, FitsEveryTerminalFromFortyByTwelveUpDroppingLinesNeverWrapping) {
  const testing::ScopedUtc utc;
  struct Case {
    std::size_t columns;
    std::size_t rows;
    DashboardChoice choice;
    PercentShown shown;
    const char *screen;
  } cases[] = {
      {40, 12, {}, PercentShown::used, R"(default · max · up to date · fetched 2m…
5h   ██████████┃██░░░░░  70%  in 2h 13m
     runs out about 15:59, 1h 1m before…
7d   ███░░░░░░░┃░░░░░░░  14%  in 2d 21h
     lasts to reset
Opus ████████████████┃█ 100%  in 16h 13m
Extra usage: $105.87 of $300.00 this mo…
work · max · rate limited · fetched 20m…
5h █████████████████┃█░░░  88%  in 1h 0m
7d ████░░░░┃░░░░░░░░░░░░░  20%  in 4d 4h
lab · no snapshot at /d/accounts/lab/pl…
q quit · r show remaining · a accounts:…
)"},
      {80, 24, {}, PercentShown::used, R"(default · max · up to date · fetched 2m ago
5h   ██████████████████████┃█████░░░░░░░░░░░░  70%  resets 17:00, in 2h 13m
     runs out about 15:59, 1h 1m before reset
     ▁   ▁   ▂   ▂   ▃   ▃   ▄   ▄   ▅   ▆   ▆   ▇    last 24 h
7d   ██████░░░░░░░░░░░░░░░░░┃░░░░░░░░░░░░░░░░  14%  resets Thu 12:00, in 2d 21h
     lasts to reset
     ▁   ▁   ▁   ▁   ▁   ▁   ▁   ▁   ▂   ▂   ▂   ▂    last 24 h
Opus ████████████████████████████████████┃███ 100%  resets Tue 07:00, in 16h 13m
     used up
     ▄   ▄   ▅   ▅   ▅   ▅   ▆   ▆   ▆   ▇   ▇   ▇    last 24 h
Extra usage: $105.87 of $300.00 this month (35 %)

work · max · rate limited · fetched 20m ago
5h ████████████████████████████████┃██░░░░░  88%  resets 15:47, in 1h 0m
   runs out about 15:20, 27m before reset
7d ████████░░░░░░░░┃░░░░░░░░░░░░░░░░░░░░░░░  20%  resets Fri 18:47, in 4d 4h
   lasts to reset

lab · no snapshot at /d/accounts/lab/plan-snapshot.json yet




q quit · r show remaining · a accounts: all
)"},
      {80, 24, {0}, PercentShown::remaining, R"(default · max · up to date · fetched 2m ago
5h   ███████████░░░░┃░░░░░░░░░░░░░░░░░░░  30% left  resets 17:00, in 2h 13m
     runs out about 15:59, 1h 1m before reset
     ▁   ▁   ▂   ▂   ▃   ▃   ▄   ▄   ▅   ▆   ▆   ▇    last 24 h
7d   ██████████████┃███████████████░░░░░  86% left  resets Thu 12:00, in 2d 21h
     lasts to reset
     ▁   ▁   ▁   ▁   ▁   ▁   ▁   ▁   ▂   ▂   ▂   ▂    last 24 h
Opus ░░░┃░░░░░░░░░░░░░░░░░░░░░░░░░░░░░░░   0% left  resets Tue 07:00, in 16h 13m
     used up
     ▄   ▄   ▅   ▅   ▅   ▅   ▆   ▆   ▆   ▇   ▇   ▇    last 24 h
Extra usage: $105.87 of $300.00 this month (35 %)












q quit · r show used · a accounts: default
)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.columns) + "x" + std::to_string(c.rows));
    ViewOptions options;
    options.shown = c.shown;
    const std::vector<ScreenLine> screen =
        layoutDashboard(accounts(options), c.choice, c.columns, c.rows);
    EXPECT_EQ(screenText(screen), c.screen);
    EXPECT_EQ(screen.size(), c.rows);
    for (const ScreenLine &line : screen) {
      std::string text;
      for (const Span &span : line) {
        text += span.text;
      }
      EXPECT_LE(displayColumns(text), c.columns) << text;
    }
  }
  // Room beyond what the accounts need adds blank rows only: nothing is stretched to fill it.
  const auto content = [](std::size_t columns, std::size_t rows) {
    const std::vector<ScreenLine> screen = layoutDashboard(accounts(), {}, columns, rows);
    EXPECT_EQ(screen.size(), rows);
    return std::regex_replace(screenText(screen), std::regex("\n+"), "\n");
  };
  EXPECT_EQ(content(200, 50), content(80, 24));
}

// The service's trouble is the machine's: every account's view holds it, and it shows once, above
// them, its details going right after the sparklines as the screen shrinks.
TEST(DashboardLayout, ShowsTheServicesTroubleOnceAboveTheAccounts) {
  std::vector<DashboardAccount> shown = accounts();
  for (const std::size_t i : {0, 1}) {
    UsageView &view = *shown[i].view;
    view.serviceStatus = ServiceStatus{
        ServiceIndicator::major,
        "",
        kNow - 1min,
        {{"Claude Code", ComponentState::majorOutage}},
        {{"i1", "Errors", IncidentImpact::major, IncidentState::identified, "https://stspg.io/x"}}};
    view.service = ServiceView::of(view.serviceStatus, kNow);
  }
  const std::string tall = screenText(layoutDashboard(shown, {}, 80, 24));
  EXPECT_TRUE(tall.starts_with("Claude Code outage\n  Service: Claude Code outage\n  Incident: "
                               "Errors (identified, major impact) https://stspg.io/x\n\ndefault"))
      << tall;
  const std::vector<ScreenLine> small = layoutDashboard(shown, {}, 80, 16);
  EXPECT_TRUE(screenText(small).starts_with("Claude Code outage\ndefault")) << screenText(small);
  EXPECT_NE(screenText(small).find("used up"), std::string::npos) << screenText(small);
  EXPECT_EQ(small.front().front().tone, Tone::critical);
}

} // namespace
} // namespace quorbel
