#include "chart/history_formats.hpp"
#include "chart/history_series.hpp"

#include "model/enum_names.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace quorbel {
namespace {

constexpr EnumNames kHistoryFormatNames{std::array<std::pair<HistoryFormat, std::string_view>, 4>{{
    {HistoryFormat::chart, "chart"},
    {HistoryFormat::csv, "csv"},
    {HistoryFormat::json, "json"},
    {HistoryFormat::svg, "svg"},
}}};

constexpr int kChartRows = 8;
constexpr int kEighths = 8;
constexpr int kAxisWidth = 5; // "100%" and the axis
constexpr int kLabelRoom = 8; // columns a time label takes with the space after it
constexpr std::string_view kLevels[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                        "\u2585", "\u2586", "\u2587", "\u2588"};

std::string csvField(std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    return std::string(field);
  }
  std::string quoted = "\"";
  for (const char c : field) {
    quoted += c;
    if (c == '"') {
      quoted += '"';
    }
  }
  return quoted + "\"";
}

// Cuts `text` to `width` columns, never inside a character.
std::string cutTo(std::string text, std::size_t width) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == width) {
      text.resize(i);
      break;
    }
  }
  return text;
}

std::string chartOf(const HistorySeries &series, const HistoryFrame &frame, int width) {
  const int plot = width - kAxisWidth;
  const auto values = series.columns(frame.from, frame.to, plot);
  const std::string title = (frame.namesAccount ? frame.account + ": " : std::string()) +
                            series.title + " window, last " + frame.sinceText;
  std::string text = cutTo(title, std::size_t(width)) + "\n";
  for (int row = 0; row < kChartRows; ++row) {
    const int fromBottom = kChartRows - 1 - row;
    text += row == 0                    ? "100%\u2524"
            : row == kChartRows / 2 - 1 ? " 50%\u2524"
            : row == kChartRows - 1     ? "  0%\u2524"
                                        : "    \u2502";
    std::string line;
    for (const auto &value : values) {
      const int eighths = value ? int((*value * kChartRows * kEighths + 50) / 100) : 0;
      const int fill = std::clamp(eighths - fromBottom * kEighths, 0, kEighths);
      line += fill == 0 ? std::string(" ") : std::string(kLevels[fill - 1]);
    }
    // Trailing blanks carry nothing and would wrap a terminal exactly as wide as the chart.
    while (!line.empty() && line.back() == ' ') {
      line.pop_back();
    }
    text += line + "\n";
  }
  // The axis is broken where there were no samples, so a gap never reads as 0 %.
  text += "    \u2514";
  for (const auto &value : values) {
    text += value ? "\u2500" : " ";
  }
  text += "\n";
  // Round moments, each label starting under its column; one that would overlap the last or pass
  // the right edge is left out.
  std::string labels(kAxisWidth, ' ');
  const auto span = frame.to - frame.from;
  for (const AxisTick &tick : axisTicks(frame.from, frame.to, std::max(1, plot / kLabelRoom))) {
    const int column = kAxisWidth + int((tick.at - frame.from) * plot / span);
    const int length = int(tick.label.size());
    const int start = std::min(column, width - length);
    if (start >= int(labels.size()) + (labels.size() > std::size_t(kAxisWidth) ? 1 : 0)) {
      labels.resize(std::size_t(start), ' ');
      labels += tick.label;
    }
  }
  return text + labels + "\n";
}

constexpr std::string_view kCsvHeader = "time,account,window,percent,resetsAt\r\n";

void appendCsvRows(std::string &text, const std::vector<HistorySample> &samples,
                   std::string_view name) {
  const std::string account = csvField(name);
  for (const HistorySample &sample : samples) {
    const std::string time = formatInternetDate(sample.fetchedAt);
    for (const HistoryWindow &window : sample.windows) {
      text += time + "," + account + "," + csvField(window.name()) + "," +
              std::to_string(window.percent) + "," +
              (window.resetsAt ? formatInternetDate(*window.resetsAt) : std::string()) + "\r\n";
    }
  }
}

void appendJsonSamples(nlohmann::json &array, const std::vector<HistorySample> &samples,
                       const std::string &account) {
  for (const HistorySample &sample : samples) {
    nlohmann::json windows = nlohmann::json::array();
    for (const HistoryWindow &window : sample.windows) {
      windows.push_back(
          {{"window", window.name()},
           {"percent", window.percent},
           {"resetsAt", window.resetsAt ? nlohmann::json(formatInternetDate(*window.resetsAt))
                                        : nlohmann::json(nullptr)}});
    }
    nlohmann::json entry = {{"fetchedAt", formatInternetDate(sample.fetchedAt)},
                            {"account", account},
                            {"windows", windows}};
    if (const auto &money = sample.extraUsage) {
      entry["extraUsage"] = {
          {"currency", money->currency},
          {"exponent", money->exponent},
          {"used", money->used},
          {"limit", money->limit ? nlohmann::json(*money->limit) : nlohmann::json(nullptr)}};
    }
    array.push_back(std::move(entry));
  }
}

std::string jsonText(const nlohmann::json &array) {
  return array.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace

std::optional<HistoryFormat> historyFormatNamed(std::string_view name) {
  return kHistoryFormatNames.named(name);
}

std::string emptyHistoryLine(const HistoryFrame &frame) {
  return "No usage history in the last " + frame.sinceText + ".\n";
}

std::string formatHistoryCsv(const std::vector<HistorySample> &samples, const HistoryFrame &frame) {
  std::string text(kCsvHeader);
  appendCsvRows(text, samples, frame.account);
  return text;
}

std::string formatHistoryJson(const std::vector<HistorySample> &samples,
                              const HistoryFrame &frame) {
  nlohmann::json array = nlohmann::json::array();
  appendJsonSamples(array, samples, frame.account);
  return jsonText(array);
}

std::string formatAccountsHistory(const std::vector<AccountHistory> &histories,
                                  HistoryFormat format, const HistoryFrame &frame) {
  HistoryFrame named = frame;
  named.namesAccount = histories.size() > 1 ||
                       (histories.size() == 1 && histories.front().account != kDefaultAccountName);
  std::string text;
  nlohmann::json array = nlohmann::json::array();
  std::vector<HistorySeries> lines;
  for (const AccountHistory &history : histories) {
    named.account = history.account;
    switch (format) {
    case HistoryFormat::csv:
      appendCsvRows(text, history.samples, history.account);
      break;
    case HistoryFormat::json:
      appendJsonSamples(array, history.samples, history.account);
      break;
    case HistoryFormat::chart:
      text += text.empty() ? "" : "\n";
      text += history.samples.empty()
                  ? history.account + ": no usage history in the last " + frame.sinceText + ".\n"
                  : formatHistoryChart(history.samples, named);
      break;
    case HistoryFormat::svg:
      for (HistorySeries &series : seriesOf(history.samples)) {
        series.title = (named.namesAccount ? history.account + " " : "") + series.title;
        lines.push_back(std::move(series));
      }
      break;
    }
  }
  switch (format) {
  case HistoryFormat::csv:
    return std::string(kCsvHeader) + text;
  case HistoryFormat::json:
    return jsonText(array);
  case HistoryFormat::chart:
    return text;
  case HistoryFormat::svg:
    break;
  }
  return formatSeriesSvg(lines, frame);
}

std::string formatHistoryChart(const std::vector<HistorySample> &samples,
                               const HistoryFrame &frame) {
  const int width = std::max(frame.columns, kMinChartColumns);
  std::string text;
  for (const HistorySeries &series : seriesOf(samples)) {
    if (!text.empty()) {
      text += '\n';
    }
    text += chartOf(series, frame, width);
  }
  return text;
}

} // namespace quorbel
