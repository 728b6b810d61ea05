#include "chart/history_series.hpp"

#include <algorithm>
#include <ctime>
#include <map>
#include <string_view>
#include <tuple>

namespace quorbel {

std::vector<HistorySeries> seriesOf(const std::vector<HistorySample> &samples) {
  struct Building {
    HistorySeries series;
    Instant lastSeen;
  };
  // One look-up a window a sample: a month holds tens of thousands.
  std::map<std::tuple<HistoryWindowKind, std::string_view>, Building> byWindow;
  for (const HistorySample &sample : samples) {
    for (const HistoryWindow &window : sample.windows) {
      const auto [entry, added] =
          byWindow.try_emplace(std::make_tuple(window.kind, std::string_view(window.model)));
      HistorySeries &series = entry->second.series;
      if (added) {
        series.kind = window.kind;
        series.model = window.model;
        series.title = window.kind == HistoryWindowKind::session     ? "five-hour"
                       : window.kind == HistoryWindowKind::allModels ? "weekly"
                                                                     : window.model + " weekly";
      }
      if (added || sample.fetchedAt - entry->second.lastSeen > kGapAfter) {
        series.runs.emplace_back();
      }
      series.runs.back().push_back({sample.fetchedAt, window.percent});
      entry->second.lastSeen = sample.fetchedAt;
    }
  }
  std::vector<HistorySeries> all;
  for (auto &entry : byWindow) {
    all.push_back(std::move(entry.second.series));
  }
  return all;
}

std::vector<std::optional<std::int64_t>> HistorySeries::columns(Instant from, Instant to,
                                                                int count) const {
  std::vector<std::optional<std::int64_t>> values(std::size_t(std::max(count, 0)));
  if (count <= 0 || to <= from) {
    return values;
  }
  const auto span = to - from;
  const auto columnOf = [&](Instant at) { return int((at - from).count() * count / span.count()); };
  for (const auto &run : runs) {
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (run[i].at < from || run[i].at >= to) {
        continue;
      }
      const int column = columnOf(run[i].at);
      values[std::size_t(column)] = run[i].percent;
      // Columns between this sample and the next of the same run hold this value until then.
      if (i + 1 < run.size()) {
        const int until = run[i + 1].at >= to ? count : columnOf(run[i + 1].at);
        for (int c = column + 1; c < until; ++c) {
          values[std::size_t(c)] = run[i].percent;
        }
      }
    }
  }
  return values;
}

std::string axisTimeLabel(Instant at, std::chrono::seconds span) {
  const std::time_t when = toTimeT(at);
  std::tm local{};
  localtime_r(&when, &local);
  const char *form = span <= std::chrono::hours{24}    ? "%H:%M"
                     : span <= std::chrono::hours{192} ? "%a %H:%M"
                                                       : "%b %d";
  char buffer[32];
  std::strftime(buffer, sizeof buffer, form, &local);
  return buffer;
}

} // namespace quorbel
