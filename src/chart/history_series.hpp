#pragma once

#include "history/history_sample.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// The helper fetches every 180 s; more than two intervals without a sample is a gap, shown as one.
inline constexpr std::chrono::seconds kSampleInterval{180};
inline constexpr std::chrono::seconds kGapAfter = 2 * kSampleInterval;

struct SeriesPoint {
  Instant at;
  std::int64_t percent = 0;
};

// One window's percents over time, in runs of samples without a gap between them. A sample that
// lacks the window (not running, not reported) is no point: unknown is never drawn as 0.
struct HistorySeries {
  HistoryWindowKind kind = HistoryWindowKind::session;
  std::string model;
  std::string title; // "five-hour", "weekly" or "<model> weekly"
  std::vector<std::vector<SeriesPoint>> runs;

  // Per column of `columns` equal spans of [from, to): the last percent in it (so a reset shows as
  // the drop it is), the run's value carried through a column that falls between two samples of
  // one run, or nothing in a gap.
  std::vector<std::optional<std::int64_t>> columns(Instant from, Instant to, int count) const;
};

// Every window that appears in `samples`: five-hour, weekly, then each model by name.
std::vector<HistorySeries> seriesOf(const std::vector<HistorySample> &samples);

// A labelled moment on a time axis.
struct AxisTick {
  Instant at;
  std::string label;
};

// At most `most` round moments in [from, to), in local time: whole seconds, minutes or hours
// ("14:05:30", "14:00") for a span up to a day, local midnights ("Jun 29") beyond it, whole weeks
// from Mondays. No two labels of one span read alike: a date gains its year past about a year.
std::vector<AxisTick> axisTicks(Instant from, Instant to, int most);

} // namespace quorbel
