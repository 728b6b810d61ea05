#include "watch/status_watch.hpp"

#include "store/snapshot_store.hpp"
#include "support/temp_dir.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

const Instant kT0 = *PlanDateParser::dateFrom("2026-06-29T21:00:00Z"); // a Monday evening

PlanSnapshot snapshot(std::optional<PlanWindow> session, std::optional<PlanWindow> allModels,
                      PlanStatus status = PlanStatus::active) {
  return PlanSnapshot{kT0, session, allModels, "max", std::nullopt, status};
}

// Over six hours of simulated time every wake-up prints (none is wasted), and the output just
// before each wake-up is still the one printed last (no change is missed): stale deadlines,
// passing resets, countdowns, pace and day names in every format.
TEST(StatusWatchTest, WakesExactlyWhenTheOutputChanges) {
  PlanSnapshot everyKind = snapshot(PlanWindow{41, kT0 + 2h + 13min}, PlanWindow{14, kT0 + 69h});
  everyKind.modelWindows = {
      {"Opus", 88, kT0 + 72h}, {"Sonnet", 50, std::nullopt}, {"Haiku", 0, kT0 + 100h}};
  // Nothing else steps at midnight, when this reset's day name goes.
  PlanSnapshot offBeat = snapshot(std::nullopt, PlanWindow{100, kT0 + 26h + 17s});
  offBeat.fetchedAt = kT0 - 7s;
  const PlanSnapshot cases[] = {
      everyKind, offBeat, snapshot(PlanWindow{97, kT0 + 20min}, PlanWindow{100, kT0 + 24h}),
      snapshot(PlanWindow{41, kT0 + 2h}, PlanWindow{14, kT0 + 69h}, PlanStatus::rateLimited),
      snapshot(std::nullopt, PlanWindow{30, kT0 + 30min})};
  const Instant end = kT0 + 6h;
  testing::ScopedTempDir temp;
  for (const PlanSnapshot &data : cases) {
    for (const OutputFormat format :
         {OutputFormat::text, OutputFormat::longText, OutputFormat::waybar, OutputFormat::json}) {
      SCOPED_TRACE("case " + std::to_string(&data - cases) + ", format " +
                   std::to_string(int(format)));
      SnapshotStore(temp / "plan-snapshot.json").save(data);
      Instant now = kT0;
      std::vector<std::pair<Instant, std::string>> printed;
      StatusWatch watch(
          temp / "plan-snapshot.json", format, {},
          [&](std::string_view text) {
            printed.emplace_back(now, text);
            return true;
          },
          [](std::string_view message) { ADD_FAILURE() << message; });
      // Looks again at each deadline, as the watch loop does, until the next lies beyond the end.
      std::size_t looks = 1;
      for (auto next = watch.update(now).wakeAt; next && *next <= end;
           next = watch.update(now).wakeAt, ++looks) {
        ASSERT_GT(*next, now) << "a deadline that is not ahead would spin";
        now = *next;
      }
      ASSERT_EQ(printed.size(), looks) << "wake-ups that printed nothing";
      for (std::size_t i = 0; i < printed.size(); ++i) {
        const Instant next = i + 1 < printed.size() ? printed[i + 1].first : end;
        const auto view = UsageView::of(data, std::max(printed[i].first, next - 2ms), {});
        // Updates of long are set apart by a blank line.
        const std::string blank = format == OutputFormat::longText && i > 0 ? "\n" : "";
        ASSERT_EQ(testing::withoutCounters(blank + formatView(view, format) + "\n"),
                  testing::withoutCounters(printed[i].second))
            << "missed a change before " << formatInternetDate(next);
      }
    }
  }
}

} // namespace
} // namespace quorbel
