#include "status/status_watch.hpp"

#include "status/snapshot_wake_source_linux.hpp"
#include "store/atomic_file.hpp"
#include "store/snapshot_store.hpp"
#include "support/temp_dir.hpp"

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

const Instant kT0 = *PlanDateParser::dateFrom("2026-06-29T21:00:00Z"); // a Monday evening

// Time that passes only when the watch sleeps: each wait jumps straight to its deadline, and the
// watch ends once the next deadline lies beyond `end`.
class SimulatedTime final : public Clock, public WakeSource {
public:
  SimulatedTime(Instant start, Instant end) : now_(start), end_(end) {}

  Instant now() const override { return now_; }
  Wake wait(std::optional<Instant> deadline) override {
    deadlines.push_back(deadline);
    if (!deadline || *deadline > end_) {
      return Wake::stop;
    }
    EXPECT_GT(*deadline, now_) << "a deadline that is not ahead would spin";
    now_ = *deadline;
    ++wakes;
    return Wake::due;
  }

  std::vector<std::optional<Instant>> deadlines;
  int wakes = 0;

private:
  Instant now_;
  Instant end_;
};

struct Printed {
  Instant at;
  std::string text;
};

// Local times in these tests are UTC.
class StatusWatchTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char *tz = std::getenv("TZ");
    savedTz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (savedTz_) {
      ::setenv("TZ", savedTz_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

  std::filesystem::path file() const { return temp_ / "plan-snapshot.json"; }

  // Runs a watch on `snapshot` through `time`.
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

  ScopedTempDir temp_;
  std::optional<std::string> savedTz_;
};

PlanSnapshot snapshot(std::optional<PlanWindow> session, std::optional<PlanWindow> allModels,
                      PlanStatus status = PlanStatus::active) {
  return PlanSnapshot{kT0, session, allModels, "max", std::nullopt, status};
}

TEST_F(StatusWatchTest, WakesAtTheStaleDeadlineAndAtAPassedResetOnly) {
  const PlanSnapshot data =
      snapshot(PlanWindow{97, kT0 + 20min}, PlanWindow{14, kT0 + 100h}, PlanStatus::active);
  for (const OutputFormat format : {OutputFormat::text, OutputFormat::json}) {
    SCOPED_TRACE(int(format));
    SimulatedTime time(kT0, kT0 + 1h);
    const auto printed = simulate(data, format, time);
    EXPECT_EQ(time.deadlines,
              (std::vector<std::optional<Instant>>{kT0 + 15min + 1s, kT0 + 20min, kT0 + 100h}));
    ASSERT_EQ(printed.size(), 3u);
    if (format == OutputFormat::text) {
      EXPECT_EQ(printed[0].text, "5h 97% \u00b7 7d 14%\n");
      EXPECT_EQ(printed[1].text, "5h 97% \u00b7 7d 14% (stale)\n");
      EXPECT_EQ(printed[2].text, "5h 0% \u00b7 7d 14% (stale)\n");
    } else {
      EXPECT_EQ(nlohmann::json::parse(printed[1].text).at("stale"), true);
      EXPECT_EQ(nlohmann::json::parse(printed[2].text).at("session").at("reset"), true);
    }
  }
}

// Over six hours of simulated time, every wake-up prints (none is wasted) and the output just
// before each wake-up is still the one printed last (no change is missed).
TEST_F(StatusWatchTest, WakesExactlyWhenTheOutputChanges) {
  PlanSnapshot everyKind = snapshot(PlanWindow{41, kT0 + 2h + 13min}, PlanWindow{14, kT0 + 69h});
  everyKind.modelWindows = {{"Opus", 88, kT0 + 72h}, {"Sonnet", 50, std::nullopt}};
  PlanSnapshot idleSession = snapshot(std::nullopt, PlanWindow{30, kT0 + 30min});
  // Nothing else steps at midnight, when the reset's day name goes.
  PlanSnapshot offBeat = snapshot(std::nullopt, PlanWindow{100, kT0 + 26h + 17s});
  offBeat.fetchedAt = kT0 - 7s;
  const struct Case {
    const char *name;
    PlanSnapshot snapshot;
  } cases[] = {
      {"every kind of window", everyKind},
      {"running out, and used up until tomorrow",
       snapshot(PlanWindow{60, kT0 + 3h}, PlanWindow{100, kT0 + 24h})},
      {"rate limited",
       snapshot(PlanWindow{41, kT0 + 2h}, PlanWindow{14, kT0 + 69h}, PlanStatus::rateLimited)},
      {"idle session, weekly reset passing", idleSession},
      {"reset tomorrow, off the minute", offBeat},
  };
  const Instant end = kT0 + 6h;
  for (const Case &c : cases) {
    for (const OutputFormat format :
         {OutputFormat::text, OutputFormat::longText, OutputFormat::waybar, OutputFormat::json}) {
      SCOPED_TRACE(std::string(c.name) + ", format " + std::to_string(int(format)));
      SimulatedTime time(kT0, end);
      const auto printed = simulate(c.snapshot, format, time);
      ASSERT_EQ(printed.size(), std::size_t(time.wakes) + 1) << "wake-ups that printed nothing";
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
        ASSERT_EQ(formatView(UsageView::of(c.snapshot, justBefore, {}), format) + "\n", text)
            << "missed a change before " << formatInternetDate(nextAt);
      }
    }
  }
}

// A wake source that counts what woke the watch.
class CountingWakes final : public WakeSource {
public:
  explicit CountingWakes(WakeSource &inner) : inner_(inner) {}
  Wake wait(std::optional<Instant> deadline) override {
    const Wake wake = inner_.wait(deadline);
    const std::lock_guard lock(mutex);
    ++counts[int(wake)];
    return wake;
  }
  int count(Wake wake) {
    const std::lock_guard lock(mutex);
    return counts[int(wake)];
  }

  std::mutex mutex;
  int counts[3] = {};

private:
  WakeSource &inner_;
};

class Lines {
public:
  bool add(std::string_view text) {
    const std::lock_guard lock(mutex_);
    lines_.emplace_back(text);
    changed_.notify_all();
    return true;
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return lines_.size() >= count; });
  }
  std::vector<std::string> all() {
    const std::lock_guard lock(mutex_);
    return lines_;
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

TEST_F(StatusWatchTest, RealWatchWakesForTheSnapshotOnlyAndFollowsItsDirectory) {
  const auto directory = temp_ / "data/QuorbelHelper";
  const auto watched = directory / "plan-snapshot.json";
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
  Lines lines;
  std::vector<std::string> errors;
  StatusWatch watch(
      watched, OutputFormat::text, {}, [&](std::string_view text) { return lines.add(text); },
      [&](std::string_view message) { errors.emplace_back(message); });
  std::thread loop(
      [&] { runWatchLoop(systemClock(), wakes, [&](Instant at) { return watch.update(at); }); });

  ASSERT_TRUE(lines.waitFor(1));
  // Other files in the directory, the helper's own temporary file among them, do not count.
  testing::writeFile(directory / "notes.txt", "x");
  { AtomicFile abandoned(watched); }
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(wakes.count(WakeSource::Wake::changed) + wakes.count(WakeSource::Wake::due), 0);

  save(55);
  ASSERT_TRUE(lines.waitFor(2));
  EXPECT_EQ(wakes.count(WakeSource::Wake::changed), 1);

  // The directory goes, comes back, and the file with it.
  std::filesystem::remove_all(temp_ / "data");
  ASSERT_TRUE(lines.waitFor(3));
  save(60);
  ASSERT_TRUE(lines.waitFor(4));
  EXPECT_EQ(wakes.count(WakeSource::Wake::due), 0);

  const std::uint64_t one = 1;
  ASSERT_EQ(::write(stop, &one, sizeof one), ssize_t(sizeof one));
  loop.join();
  ::close(stop);
  EXPECT_EQ(lines.all(),
            (std::vector<std::string>{"5h 41% \u00b7 7d 14%\n", "5h 55% \u00b7 7d 14%\n",
                                      "Claude ?\n", "5h 60% \u00b7 7d 14%\n"}));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "quorbel-status: no snapshot at " + watched.string() +
                           " yet; is QuorbelHelper running?");
  EXPECT_EQ(wakes.count(WakeSource::Wake::stop), 1);
}

} // namespace
} // namespace quorbel
