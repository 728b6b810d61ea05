#include "status/status_watch.hpp"

#include "store/snapshot_store.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

const Instant kT0 = *PlanDateParser::dateFrom("2026-06-29T21:00:00Z"); // a Monday evening

// Time that passes only while the watch sleeps: each wait jumps to its deadline, and the watch
// ends once the next deadline lies beyond `end`.
class SimulatedTime final : public Clock, public WakeSource {
public:
  explicit SimulatedTime(Instant end) : end_(end) {}

  Instant now() const override { return now_; }
  Wake wait(std::optional<Instant> deadline) override {
    EXPECT_TRUE(!deadline || *deadline > now_) << "a deadline that is not ahead would spin";
    if (!deadline || *deadline <= now_ || *deadline > end_) {
      return Wake::stop;
    }
    now_ = *deadline;
    return Wake::due;
  }

private:
  Instant now_ = kT0;
  Instant end_;
};

std::string withoutCounters(const std::string &text, OutputFormat format) {
  if (format != OutputFormat::json) {
    return text;
  }
  nlohmann::json flat = nlohmann::json::parse(text).flatten();
  for (auto item = flat.begin(); item != flat.end();) {
    const std::string &key = item.key();
    const bool counter = key.ends_with("/ageSeconds") || key.ends_with("/secondsToReset") ||
                         key.find("/pace") != std::string::npos;
    item = counter ? flat.erase(item) : std::next(item);
  }
  return flat.dump();
}

PlanSnapshot snapshot(std::optional<PlanWindow> session, std::optional<PlanWindow> allModels,
                      PlanStatus status = PlanStatus::active) {
  return PlanSnapshot{kT0, session, allModels, "max", std::nullopt, status};
}

// Over six hours of simulated time every wake-up prints (none is wasted), and the output just
// before each wake-up is still the one printed last (no change is missed): stale deadlines,
// passing resets, countdowns, pace and day names in every format. The json format's counters tick
// every second by design; a watch prints it when anything else changes.
TEST(StatusWatchTest, WakesExactlyWhenTheOutputChanges) {
  PlanSnapshot everyKind = snapshot(PlanWindow{41, kT0 + 2h + 13min}, PlanWindow{14, kT0 + 69h});
  everyKind.modelWindows = {
      {"Opus", 88, kT0 + 72h}, {"Sonnet", 50, std::nullopt}, {"Haiku", 0, kT0 + 100h}};
  // Nothing else steps at midnight, when this reset's day name goes.
  PlanSnapshot offBeat = snapshot(std::nullopt, PlanWindow{100, kT0 + 26h + 17s});
  offBeat.fetchedAt = kT0 - 7s;
  const PlanSnapshot cases[] = {
      everyKind,
      offBeat,
      snapshot(PlanWindow{97, kT0 + 20min}, PlanWindow{100, kT0 + 24h}),
      snapshot(PlanWindow{41, kT0 + 2h}, PlanWindow{14, kT0 + 69h}, PlanStatus::rateLimited),
      snapshot(std::nullopt, PlanWindow{30, kT0 + 30min}),
  };
  const Instant end = kT0 + 6h;
  testing::ScopedTempDir temp;
  const auto file = temp / "plan-snapshot.json";
  for (std::size_t n = 0; n < std::size(cases); ++n) {
    for (const OutputFormat format :
         {OutputFormat::text, OutputFormat::longText, OutputFormat::waybar, OutputFormat::json}) {
      SCOPED_TRACE("case " + std::to_string(n) + ", format " + std::to_string(int(format)));
      SnapshotStore(file).save(cases[n]);
      SimulatedTime time(end);
      std::vector<std::pair<Instant, std::string>> printed;
      StatusWatch watch(
          file, format, {},
          [&](std::string_view text) {
            printed.emplace_back(time.now(), text);
            return true;
          },
          [](std::string_view message) { ADD_FAILURE() << message; });
      std::size_t looks = 0;
      runWatchLoop(time, time, [&](Instant now) {
        ++looks;
        return watch.update(now);
      });
      ASSERT_EQ(printed.size(), looks) << "wake-ups that printed nothing";
      for (std::size_t i = 0; i < printed.size(); ++i) {
        std::string text = printed[i].second;
        if (format == OutputFormat::longText && i > 0) {
          ASSERT_EQ(text.substr(0, 1), "\n") << "updates of long are set apart by a blank line";
          text.erase(0, 1);
        }
        const Instant nextAt = i + 1 < printed.size() ? printed[i + 1].first : end;
        const Instant justBefore = std::max(printed[i].first, nextAt - 2ms);
        const UsageView view = UsageView::of(cases[n], justBefore, {});
        ASSERT_EQ(withoutCounters(formatView(view, format) + "\n", format),
                  withoutCounters(text, format))
            << "missed a change before " << formatInternetDate(nextAt);
      }
    }
  }
}

} // namespace
} // namespace quorbel
