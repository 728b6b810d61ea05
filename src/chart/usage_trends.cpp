#include "chart/usage_trends.hpp"

#include "history/history_store.hpp"

#include <algorithm>
#include <optional>

namespace quorbel {
namespace {

constexpr int kTrendCells = 24;
constexpr std::string_view kLevels[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                        "\u2585", "\u2586", "\u2587", "\u2588"};

} // namespace

std::optional<std::string> windowSparkline(const std::vector<HistorySample> &samples,
                                           HistoryWindowKind kind, std::string_view model,
                                           std::chrono::hours span, int cells, Instant now) {
  if (cells <= 0) {
    return std::nullopt;
  }
  const Instant from = now - span;
  std::vector<std::optional<std::int64_t>> levels(static_cast<std::size_t>(cells));
  bool any = false;
  for (const HistorySample &sample : samples) {
    const HistoryWindow *window = sample.window(kind, model);
    if (window == nullptr || sample.fetchedAt < from || sample.fetchedAt >= now) {
      continue;
    }
    const auto cell = std::size_t((sample.fetchedAt - from) * cells / span);
    levels[cell] = std::max(levels[cell].value_or(0), window->percent);
    any = true;
  }
  if (!any) {
    return std::nullopt;
  }
  std::string line;
  for (const auto &cell : levels) {
    line += cell ? std::string(kLevels[std::clamp<std::int64_t>(*cell, 0, 100) * 7 / 100]) : " ";
  }
  return line;
}

std::vector<std::string> trendLines(const std::vector<HistorySample> &samples, Instant now) {
  std::vector<std::string> lines;
  if (auto line = windowSparkline(samples, HistoryWindowKind::session, {}, kSessionTrendSpan,
                                  kTrendCells, now)) {
    lines.push_back("5h over 24 h  " + *line);
  }
  if (auto line = windowSparkline(samples, HistoryWindowKind::allModels, {}, kWeeklyTrendSpan,
                                  kTrendCells, now)) {
    lines.push_back("7d over 7 d   " + *line);
  }
  return lines;
}

RecentUsage recentUsageOf(const std::vector<HistorySample> &samples, Instant since) {
  RecentUsage recent;
  for (const HistorySample &sample : samples) {
    if (sample.fetchedAt < since) {
      continue; // not `break`: a clock set back may have filed samples out of order
    }
    for (const HistoryWindow &window : sample.windows) {
      const UsagePoint point{sample.fetchedAt, window.percent, window.resetsAt};
      switch (window.kind) {
      case HistoryWindowKind::session:
        recent.session.push_back(point);
        break;
      case HistoryWindowKind::allModels:
        recent.allModels.push_back(point);
        break;
      case HistoryWindowKind::model:
        recent.models[window.model].push_back(point);
        break;
      }
    }
  }
  return recent;
}

UsageView viewWithHistory(const PlanSnapshot &snapshot, const std::filesystem::path &snapshotFile,
                          Instant now, const ViewOptions &options) {
  std::vector<HistorySample> samples;
  try {
    // The five-hour window's trend and the pace look back a day at most.
    samples = readHistory(historyPathBeside(snapshotFile), now - kWeeklyTrendSpan,
                          now - kSessionTrendSpan);
  } catch (const HistoryError &) {
    // Without a readable history the snapshot is still worth showing, paced as without one.
  }
  // No samples at all, as before the helper kept any, leaves the pace as it always was.
  const std::optional<RecentUsage> recent =
      samples.empty() ? std::nullopt : std::optional(recentUsageOf(samples, now - kRecentRateSpan));
  UsageView view = UsageView::of(snapshot, now, options, recent ? &*recent : nullptr);
  view.trends = trendLines(samples, now);
  return view;
}

} // namespace quorbel
