#pragma once

#include "chart/history_series.hpp"
#include "history/history_sample.hpp"
#include "store/account_location.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

enum class HistoryFormat { chart, csv, json, svg };

std::optional<HistoryFormat> historyFormatNamed(std::string_view name);

// What the history is shown over, and how.
struct HistoryFrame {
  Instant from;
  Instant to;
  std::string sinceText;  // "7d", as the user asked, for the empty line and titles
  int columns = 80;       // the terminal's width, for the chart
  std::int64_t warn = 80; // the svg's guides
  std::int64_t critical = 95;
  std::string account{kDefaultAccountName};
  bool namesAccount = false; // chart titles start with the account's name
};

// One account's samples, under the name the exports give it.
struct AccountHistory {
  std::string account;
  std::vector<HistorySample> samples;
};

// The one line an empty history prints (csv prints its header alone instead).
std::string emptyHistoryLine(const HistoryFrame &frame);

// RFC 4180: CRLF line ends, a header, one row per window per sample, fields quoted when needed.
std::string formatHistoryCsv(const std::vector<HistorySample> &samples, const HistoryFrame &frame);
// An array of samples in time order.
std::string formatHistoryJson(const std::vector<HistorySample> &samples, const HistoryFrame &frame);
// A block chart per window, no wider than frame.columns (at least kMinChartColumns).
std::string formatHistoryChart(const std::vector<HistorySample> &samples,
                               const HistoryFrame &frame);
// A standalone picture: no scripts, no external references.
std::string formatHistorySvg(const std::vector<HistorySample> &samples, const HistoryFrame &frame);
// The picture of `series`, a line each, in the legend by their titles.
std::string formatSeriesSvg(const std::vector<HistorySeries> &series, const HistoryFrame &frame);

// Every account's history in `format`: csv rows and json samples name their account, the chart
// draws each account's windows under its name (or says it has none), and the svg has a line per
// account and window. The default account alone reads as the single-account formats print it.
std::string formatAccountsHistory(const std::vector<AccountHistory> &histories,
                                  HistoryFormat format, const HistoryFrame &frame);

inline constexpr int kMinChartColumns = 16;

} // namespace quorbel
