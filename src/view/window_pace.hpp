#pragma once

#include "model/plan_date.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// How long each kind of window runs: the rolling five-hour window, and a week for the weekly and
// the per-model windows.
inline constexpr std::chrono::seconds kSessionWindowLength{5 * 3600};
inline constexpr std::chrono::seconds kWeeklyWindowLength{7 * 86400};

// The history's recent samples of a window lead the projection when they cover at least
// kRecentRateMinimum of its current period within the last kRecentRateSpan.
inline constexpr std::chrono::minutes kRecentRateSpan{60};
inline constexpr std::chrono::minutes kRecentRateMinimum{30};

// A window as one sample of the history saw it.
struct UsagePoint {
  Instant at;
  std::int64_t percent = 0;
  std::optional<Instant> resetsAt;
};

// Which rate a projection assumes goes on: the average since the window's period began, or the
// rate of the last hour, from the history.
enum class PaceRate { sinceStart, lastHour };

// Where the current rate of use leads by a window's reset, assuming it stays linear.
struct WindowPace {
  double elapsedShare = 0;         // 0..1 of the window's length
  std::int64_t elapsedPercent = 0; // the share as shown, rounded down
  // The percent the window would reach at its reset; absent in the first tenth of the window,
  // where a few messages would swing it wildly. May exceed 100.
  std::optional<double> projectedPercent;
  // From now until the window reaches 100 %, when that comes before the reset; 0 when used up.
  std::optional<std::chrono::seconds> untilRunOut;
  // How long before the reset it runs out, when it does.
  std::optional<std::chrono::seconds> runOutBeforeReset;
  // When it runs out, as precisely as runOutBeforeReset is shown, so that the clock time and
  // the duration before the reset always agree and change together.
  std::optional<Instant> runOutAt;
  bool usedUp = false; // at 100 % already
  // The rate the projection assumed, when the history was there to choose from; nothing without
  // it, when the average since the period began is the only rate there is.
  std::optional<PaceRate> rate;
};

// The pace of a window at `percent` that resets at `resetsAt`, seen at `now`. Nothing for a window
// without a reset time or whose reset has passed. With the history's samples of the window
// (`recent`, any order), the projection follows the rate of the last hour once the current period
// has samples over at least half of it; samples of an earlier period do not count.
std::optional<WindowPace> paceOf(std::int64_t percent, std::optional<Instant> resetsAt,
                                 std::chrono::seconds length, Instant now,
                                 const std::vector<UsagePoint> *recent = nullptr);

// "55 % of the window elapsed, on pace for about 74 % at reset", or "... on pace to run out about
// 1h 20m before reset", or "... already used up"; a projection from the history says its rate:
// "... at reset (rate of the last hour)" or "(average since the window began)".
// With `runOutClock`, running out reads "... on pace to run out about 16:40, 1h 20m before reset".
std::string paceText(const WindowPace &pace, const std::string &runOutClock = {});

// The trajectory in a few words: "runs out about 16:40, 46m before reset", "lasts to reset",
// "used up", or "" in the first tenth of the window, too early to tell.
std::string trajectoryText(const WindowPace &pace, Instant now);

// The first moment after `now` at which paceText() may read differently; nothing when it will not
// change before the reset.
std::optional<Instant> nextPaceChange(std::int64_t percent, std::optional<Instant> resetsAt,
                                      std::chrono::seconds length, Instant now);

} // namespace quorbel
