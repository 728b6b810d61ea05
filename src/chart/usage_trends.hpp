#pragma once

#include "history/history_sample.hpp"
#include "view/usage_view.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

// How far back the trend lines look: the five-hour window over a day, the weekly over a week.
inline constexpr std::chrono::hours kSessionTrendSpan{24};
inline constexpr std::chrono::hours kWeeklyTrendSpan{24 * 7};

// One line of ▁▂▃▄▅▆▇█ per plan window that has samples in its span before `now`, each cell the
// highest percent it saw, blank where nothing was sampled. None without samples.
std::vector<std::string> trendLines(const std::vector<HistorySample> &samples, Instant now);

// One cell of ▁▂▃▄▅▆▇█ per `cells`th of the `span` before `now` for the window of `kind` (and
// `model`), each the highest percent it saw, blank where nothing was sampled; nothing without
// samples in the span.
std::optional<std::string> windowSparkline(const std::vector<HistorySample> &samples,
                                           HistoryWindowKind kind, std::string_view model,
                                           std::chrono::hours span, int cells, Instant now);

// Each window's points in `samples` from `since` on, for the pace, which looks at the last hour's
// only: a week of points copied for it would cost a short-lived reader more than the rest of its
// work.
RecentUsage recentUsageOf(const std::vector<HistorySample> &samples, Instant since);

// The view that long and the waybar tooltip show: paced from the history beside `snapshotFile`
// when it holds samples, with its trend lines; as without a history when it has none or cannot be
// read, since the snapshot is still worth showing.
UsageView viewWithHistory(const PlanSnapshot &snapshot, const std::filesystem::path &snapshotFile,
                          Instant now, const ViewOptions &options);

} // namespace quorbel
