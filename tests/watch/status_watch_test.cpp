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

const Instant kEnd = kT0 + 6h;

// Over six hours of simulated time every wake-up prints (none is wasted), and the output just
// before each wake-up is still the one printed last (no change is missed). `shownAt` is what the
// watch should print at a moment, without the final newline.
void expectWakesExactly(const std::function<StatusWatch(StatusWatch::Output)> &makeWatch,
                        OutputFormat format, const std::function<std::string(Instant)> &shownAt) {
  Instant now = kT0;
  std::vector<std::pair<Instant, std::string>> printed;
  StatusWatch watch = makeWatch([&](std::string_view text) {
    printed.emplace_back(now, text);
    return true;
  });
  // Looks again at each deadline, as the watch loop does, until the next lies beyond the end.
  std::size_t looks = 1;
  for (auto next = watch.update(now).wakeAt; next && *next <= kEnd;
       next = watch.update(now).wakeAt, ++looks) {
    ASSERT_GT(*next, now) << "a deadline that is not ahead would spin";
    now = *next;
  }
  ASSERT_EQ(printed.size(), looks) << "wake-ups that printed nothing";
  for (std::size_t i = 0; i < printed.size(); ++i) {
    const Instant next = i + 1 < printed.size() ? printed[i + 1].first : kEnd;
    // Updates of long are set apart by a blank line.
    const std::string blank = format == OutputFormat::longText && i > 0 ? "\n" : "";
    ASSERT_EQ(
        testing::withoutCounters(blank + shownAt(std::max(printed[i].first, next - 2ms)) + "\n"),
        testing::withoutCounters(printed[i].second))
        << "missed a change before " << formatInternetDate(next);
  }
}

void failOnError(std::string_view message) { ADD_FAILURE() << message; }

// Stale deadlines, passing resets, countdowns, pace and day names in every format.
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
  testing::ScopedTempDir temp;
  const auto file = temp / "plan-snapshot.json";
  for (const PlanSnapshot &data : cases) {
    for (const OutputFormat format :
         {OutputFormat::text, OutputFormat::longText, OutputFormat::waybar, OutputFormat::json}) {
      SCOPED_TRACE("case " + std::to_string(&data - cases) + ", format " +
                   std::to_string(int(format)));
      SnapshotStore(file).save(data);
      expectWakesExactly(
          [&](StatusWatch::Output out) {
            return StatusWatch(file, format, {}, std::move(out), failOnError);
          },
          format, [&](Instant at) { return formatView(UsageView::of(data, at, {}), format); });
    }
  }
}

// The line of several accounts shortens an account to its fullest window, a model's below the
// warning level too: that window's reset changes the line, and the watch wakes for it.
TEST(StatusWatchTest, SeveralAccountsWakeWhenTheirShortenedLineChanges) {
  testing::ScopedTempDir temp;
  const auto defaultFile = temp / "plan-snapshot.json";
  SnapshotStore(defaultFile)
      .save(snapshot(PlanWindow{41, kT0 + 2h + 13min}, PlanWindow{14, kT0 + 69h}));
  PlanSnapshot work =
      snapshot(PlanWindow{40, kT0 + 3h}, PlanWindow{30, kT0 + 69h}, PlanStatus::rateLimited);
  work.modelWindows = {{"Opus", 60, kT0 + 1h}};
  SnapshotStore(accountFile(defaultFile, "work")).save(work);
  ASSERT_EQ(formatAccounts(viewAccounts(findAccounts(defaultFile), kT0, {}), OutputFormat::text),
            "default 5h 41% \u00b7 7d 14% | work Opus 60% (limited)");
  expectWakesExactly(
      [&](StatusWatch::Output out) {
        return StatusWatch([&] { return findAccounts(defaultFile); }, OutputFormat::text, {},
                           std::move(out), failOnError);
      },
      OutputFormat::text,
      [&](Instant at) {
        return formatAccounts(viewAccounts(findAccounts(defaultFile), at, {}), OutputFormat::text);
      });
}

} // namespace
} // namespace quorbel
