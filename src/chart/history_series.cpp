#include "chart/history_series.hpp"

#include <algorithm>
#include <ctime>
#include <iterator>
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

namespace {

using std::chrono::seconds;

// Steps between labels within a day, each a whole fraction of the next larger unit.
constexpr seconds kClockSteps[] = {
    seconds{1},    seconds{2},    seconds{5},     seconds{10},    seconds{15},   seconds{30},
    seconds{60},   seconds{120},  seconds{300},   seconds{600},   seconds{900},  seconds{1800},
    seconds{3600}, seconds{7200}, seconds{10800}, seconds{21600}, seconds{43200}};
// Steps in days between labelled midnights; those of whole weeks start on Mondays.
constexpr std::int64_t kDaySteps[] = {1, 2, 7, 14, 28, 56, 91, 182, 364, 728, 1456, 2912, 5824};
constexpr std::int64_t kMondayShift = 3; // 1970-01-01 was a Thursday
// Beyond about a year, "Jun 29" could name two days.
constexpr std::chrono::hours kDatesWithoutYear{24 * 360};

std::int64_t floorDivide(std::int64_t a, std::int64_t b) { return a / b - (a % b < 0 ? 1 : 0); }
std::int64_t floorModulo(std::int64_t a, std::int64_t b) { return a - floorDivide(a, b) * b; }

std::tm localAt(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return local;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t dayNumber(std::int64_t year, std::int64_t month, std::int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = floorDivide(year, 400);
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

std::string labelOf(std::time_t when, const char *form) {
  const std::tm local = localAt(when);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, form, &local);
  return buffer;
}

// Local clock times that are whole multiples of `step` within [from, to).
std::vector<std::time_t> clockTimes(std::time_t from, std::time_t to, std::int64_t step) {
  std::vector<std::time_t> times;
  for (std::time_t at = from; at < to;) {
    const std::int64_t offset = localAt(at).tm_gmtoff;
    std::time_t next = std::time_t((floorDivide(at + offset - 1, step) + 1) * step - offset);
    if (next < at) {
      next = at; // an offset that grew on the way
    }
    if (next >= to) {
      break;
    }
    times.push_back(next);
    at = next + 1;
  }
  return times;
}

// Local midnights within [from, to) whose day counts a whole number of `days` (from a Monday for
// whole weeks).
std::vector<std::time_t> midnights(std::time_t from, std::time_t to, std::int64_t days) {
  std::vector<std::time_t> times;
  const std::tm first = localAt(from);
  std::int64_t day = dayNumber(first.tm_year + 1900LL, first.tm_mon + 1LL, first.tm_mday);
  const std::int64_t shift = days % 7 == 0 ? kMondayShift : 0;
  day += floorModulo(-(day + shift), days);
  for (;; day += days) {
    std::tm local{};
    // mktime normalises a day of the month past its end, and finds the zone's offset then.
    local.tm_year = 70;
    local.tm_mday = int(day) + 1;
    local.tm_isdst = -1;
    const std::time_t at = std::mktime(&local);
    if (at >= to || at == std::time_t(-1)) {
      break;
    }
    if (at >= from) {
      times.push_back(at);
    }
  }
  return times;
}

} // namespace

std::vector<AxisTick> axisTicks(Instant from, Instant to, int most) {
  std::vector<AxisTick> ticks;
  if (to <= from || most < 1) {
    return ticks;
  }
  const std::time_t start = toTimeT(from + std::chrono::milliseconds{999});
  const std::time_t end = toTimeT(to - std::chrono::milliseconds{1}) + 1;
  const auto span = to - from;
  std::vector<std::time_t> times;
  const char *form = "%b %d";
  if (span <= std::chrono::hours{24}) {
    seconds step = std::end(kClockSteps)[-1];
    for (const seconds candidate : kClockSteps) {
      if (span / candidate < most) {
        step = candidate;
        break;
      }
    }
    form = step < std::chrono::minutes{1} ? "%H:%M:%S" : "%H:%M";
    times = clockTimes(start, end, step.count());
  } else {
    std::int64_t days = std::end(kDaySteps)[-1];
    for (const std::int64_t candidate : kDaySteps) {
      if (span / std::chrono::hours{24 * candidate} < most) {
        days = candidate;
        break;
      }
    }
    form = span < kDatesWithoutYear ? "%b %d" : "%Y-%m-%d";
    times = midnights(start, end, days);
  }
  for (const std::time_t at : times) {
    if (int(ticks.size()) == most) {
      break;
    }
    ticks.push_back({instantFromTimeT(at), labelOf(at, form)});
  }
  return ticks;
}

} // namespace quorbel
