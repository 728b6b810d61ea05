#include "status/status_watch.hpp"

#include "status/snapshot_wake_source_linux.hpp"
#include "store/atomic_file.hpp"
#include "store/snapshot_store.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"
#include "support/utc_time_zone.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::ScopedTempDir;
using Wake = WakeSource::Wake;

const Instant kT0 = *PlanDateParser::dateFrom("2026-06-29T21:00:00Z"); // a Monday evening

// Time that passes only while the watch sleeps: each wait jumps to its deadline, and the watch
// ends once the next deadline lies beyond `end`.
class SimulatedTime final : public Clock, public WakeSource {
public:
  explicit SimulatedTime(Instant end) : end_(end) {}

  Instant now() const override { return now_; }
  Wake wait(std::optional<Instant> deadline) override {
    deadlines.push_back(deadline);
    if (!deadline || *deadline > end_) {
      return Wake::stop;
    }
    EXPECT_GT(*deadline, now_) << "a deadline that is not ahead would spin";
    now_ = *deadline;
    return Wake::due;
  }

  std::vector<std::optional<Instant>> deadlines; // one per wait, the last one ended the watch

private:
  Instant now_ = kT0;
  Instant end_;
};

struct Printed {
  Instant at;
  std::string text;
};

class StatusWatchTest : public ::testing::Test {
protected:
  std::filesystem::path file() const { return temp_ / "plan-snapshot.json"; }

  std::vector<Printed> simulate(const PlanSnapshot &snapshot, OutputFormat format,
                                SimulatedTime &time) {
    SnapshotStore(file()).save(snapshot);
    std::vector<Printed> printed;
    StatusWatch watch(
        file(), format, ViewOptions{},
        [&](std::string_view text) {
          printed.push_back({time.now(), std::string(text)});
          return true;
        },
        [](std::string_view message) { ADD_FAILURE() << message; });
    runWatchLoop(time, time, [&watch](Instant now) { return watch.update(now); });
    return printed;
  }

  testing::UtcTimeZone utc_;
  ScopedTempDir temp_;
};

PlanSnapshot snapshot(std::optional<PlanWindow> session, std::optional<PlanWindow> allModels,
                      PlanStatus status = PlanStatus::active) {
  return PlanSnapshot{kT0, session, allModels, "max", std::nullopt, status};
}

TEST_F(StatusWatchTest, WakesAtTheStaleDeadlineAndAtAPassedResetOnly) {
  const PlanSnapshot data = snapshot(PlanWindow{97, kT0 + 20min}, PlanWindow{14, kT0 + 100h});
  for (const OutputFormat format : {OutputFormat::text, OutputFormat::json}) {
    SCOPED_TRACE(int(format));
    SimulatedTime time(kT0 + 1h);
    const auto printed = simulate(data, format, time);
    EXPECT_EQ(time.deadlines,
              (std::vector<std::optional<Instant>>{kT0 + 15min + 1s, kT0 + 20min, kT0 + 100h}));
    ASSERT_EQ(printed.size(), 3u);
    if (format == OutputFormat::text) {
      EXPECT_EQ(printed[1].text, "5h 97% \u00b7 7d 14% (stale)\n");
      EXPECT_EQ(printed[2].text, "5h 0% \u00b7 7d 14% (stale)\n");
    } else {
      EXPECT_EQ(nlohmann::json::parse(printed[1].text).at("stale"), true);
      EXPECT_EQ(nlohmann::json::parse(printed[2].text).at("session").at("reset"), true);
    }
  }
}

// Over six hours of simulated time every wake-up prints (none is wasted), and the output just
// before each wake-up is still the one printed last (no change is missed).
TEST_F(StatusWatchTest, WakesExactlyWhenTheOutputChanges) {
  PlanSnapshot everyKind = snapshot(PlanWindow{41, kT0 + 2h + 13min}, PlanWindow{14, kT0 + 69h});
  everyKind.modelWindows = {{"Opus", 88, kT0 + 72h}, {"Sonnet", 50, std::nullopt}};
  // Nothing else steps at midnight, when this reset's day name goes.
  PlanSnapshot offBeat = snapshot(std::nullopt, PlanWindow{100, kT0 + 26h + 17s});
  offBeat.fetchedAt = kT0 - 7s;
  const PlanSnapshot cases[] = {
      everyKind,
      offBeat,
      snapshot(PlanWindow{60, kT0 + 3h}, PlanWindow{100, kT0 + 24h}),
      snapshot(PlanWindow{41, kT0 + 2h}, PlanWindow{14, kT0 + 69h}, PlanStatus::rateLimited),
      snapshot(std::nullopt, PlanWindow{30, kT0 + 30min}),
  };
  const Instant end = kT0 + 6h;
  for (std::size_t n = 0; n < std::size(cases); ++n) {
    for (const OutputFormat format :
         {OutputFormat::text, OutputFormat::longText, OutputFormat::waybar, OutputFormat::json}) {
      SCOPED_TRACE("case " + std::to_string(n) + ", format " + std::to_string(int(format)));
      SimulatedTime time(end);
      const auto printed = simulate(cases[n], format, time);
      ASSERT_EQ(printed.size(), time.deadlines.size()) << "wake-ups that printed nothing";
      if (format == OutputFormat::json) {
        continue; // its counters change every second by design
      }
      for (std::size_t i = 0; i < printed.size(); ++i) {
        std::string text = printed[i].text;
        if (format == OutputFormat::longText && i > 0) {
          ASSERT_EQ(text.substr(0, 1), "\n") << "updates of long are set apart by a blank line";
          text.erase(0, 1);
        }
        const Instant nextAt = i + 1 < printed.size() ? printed[i + 1].at : end;
        const Instant justBefore = std::max(printed[i].at, nextAt - 2ms);
        ASSERT_EQ(formatView(UsageView::of(cases[n], justBefore, {}), format) + "\n", text)
            << "missed a change before " << formatInternetDate(nextAt);
      }
    }
  }
}

// The real wake source, counted, on a real directory.
class CountingWakes final : public WakeSource {
public:
  explicit CountingWakes(WakeSource &inner) : inner_(inner) {}
  Wake wait(std::optional<Instant> deadline) override {
    const Wake wake = inner_.wait(deadline);
    const std::lock_guard lock(mutex_);
    ++counts_[int(wake)];
    return wake;
  }
  int count(Wake wake) {
    const std::lock_guard lock(mutex_);
    return counts_[int(wake)];
  }

private:
  WakeSource &inner_;
  std::mutex mutex_;
  int counts_[3] = {};
};

TEST_F(StatusWatchTest, RealWatchWakesForTheSnapshotOnlyAndFollowsItsDirectory) {
  const auto watched = temp_ / "data/QuorbelHelper/plan-snapshot.json";
  const Instant now = std::chrono::system_clock::now();
  const auto save = [&](std::int64_t percent) {
    SnapshotStore(watched).save(PlanSnapshot{now, PlanWindow{percent, now + 2h},
                                             PlanWindow{14, now + 50h}, std::nullopt, std::nullopt,
                                             PlanStatus::active});
  };
  save(41);
  const int stop = ::eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(stop, 0);
  SnapshotWakeSource real(watched, stop);
  CountingWakes wakes(real);
  std::mutex mutex;
  std::condition_variable printed;
  std::vector<std::string> lines;
  std::vector<std::string> errors;
  const auto waitForLines = [&](std::size_t count) {
    std::unique_lock lock(mutex);
    return printed.wait_for(lock, 5s, [&] { return lines.size() >= count; });
  };
  StatusWatch watch(
      watched, OutputFormat::text, {},
      [&](std::string_view text) {
        const std::lock_guard lock(mutex);
        lines.emplace_back(text);
        printed.notify_all();
        return true;
      },
      [&](std::string_view message) { errors.emplace_back(message); });
  std::thread loop(
      [&] { runWatchLoop(systemClock(), wakes, [&](Instant at) { return watch.update(at); }); });

  ASSERT_TRUE(waitForLines(1));
  // Other files in the directory, the helper's own temporary file among them, do not count.
  testing::writeFile(watched.parent_path() / "notes.txt", "x");
  { AtomicFile abandoned(watched); }
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(wakes.count(Wake::changed) + wakes.count(Wake::due), 0);

  save(55);
  ASSERT_TRUE(waitForLines(2));
  EXPECT_EQ(wakes.count(Wake::changed), 1);

  // The directory goes, then comes back with the file.
  std::filesystem::remove_all(temp_ / "data");
  ASSERT_TRUE(waitForLines(3));
  save(60);
  ASSERT_TRUE(waitForLines(4));
  EXPECT_EQ(wakes.count(Wake::due), 0);

  const std::uint64_t one = 1;
  ASSERT_EQ(::write(stop, &one, sizeof one), ssize_t(sizeof one));
  testing::finishesWithin("the stopped watch loop", [&] { loop.join(); });
  ::close(stop);
  EXPECT_EQ(lines, (std::vector<std::string>{"5h 41% \u00b7 7d 14%\n", "5h 55% \u00b7 7d 14%\n",
                                             "Claude ?\n", "5h 60% \u00b7 7d 14%\n"}));
  EXPECT_EQ(errors, std::vector<std::string>{"quorbel-status: no snapshot at " + watched.string() +
                                             " yet; is QuorbelHelper running?"});
}

} // namespace
} // namespace quorbel
