#include "chart/history_formats.hpp"
#include "support/scoped_environment.hpp"
#include "support/text.hpp"
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

namespace quorbel {
namespace {

using std::chrono::hours;
using std::chrono::minutes;
using testing::linesOf;

const Instant kFrom = instantFromUnixSeconds(1'782'734'400); // 2026-06-29T12:00:00Z

HistorySample sampleAt(minutes offset, std::int64_t session, std::optional<std::int64_t> weekly) {
  HistorySample sample;
  sample.fetchedAt = kFrom + offset;
  sample.windows.push_back({HistoryWindowKind::session, "", session, kFrom + hours{5}});
  if (weekly) {
    sample.windows.push_back({HistoryWindowKind::allModels, "", *weekly, std::nullopt});
  }
  return sample;
}

// Samples every 3 minutes over [from, to) minutes, at percents rising by `step` from `start`.
std::vector<HistorySample> run(int from, int to, std::int64_t start, std::int64_t step) {
  std::vector<HistorySample> samples;
  for (int m = from; m < to; m += 3) {
    samples.push_back(sampleAt(
        minutes{m}, std::min<std::int64_t>(100, start + step * (m - from) / 3), std::nullopt));
  }
  return samples;
}

std::size_t columnsOf(const std::string &line) {
  return std::size_t(std::count_if(line.begin(), line.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The axis row under the chart: one character per column, blank where nothing was sampled.
std::string axisOf(const std::string &chart) {
  for (const std::string &line : linesOf(chart)) {
    if (line.rfind("    \u2514", 0) == 0) {
      std::string axis;
      for (std::size_t i = 7; i < line.size();) {
        axis += line[i] == ' ' ? '_' : '-';
        i += line[i] == ' ' ? 1 : 3;
      }
      return axis;
    }
  }
  return "no axis";
}

class HistoryFormatsTest : public ::testing::Test {
protected:
  testing::ScopedEnvironment zone_{"TZ", "UTC"};
  void SetUp() override { ::tzset(); }
  HistoryFrame frame(int columns) {
    HistoryFrame frame;
    frame.from = kFrom;
    frame.to = kFrom + hours{2};
    frame.sinceText = "2h";
    frame.columns = columns;
    return frame;
  }
};

TEST_F(HistoryFormatsTest, ChartsShowGapsAsGapsResetsAsDropsAndFitTheWidth) {
  std::vector<HistorySample> withGap = run(0, 30, 10, 1);
  const auto after = run(60, 120, 20, 1); // nothing from minute 30 to 60: ten intervals
  withGap.insert(withGap.end(), after.begin(), after.end());
  std::vector<HistorySample> withReset = run(0, 60, 60, 1);
  const auto afterReset = run(60, 120, 2, 0); // a new window: down to 2 %
  withReset.insert(withReset.end(), afterReset.begin(), afterReset.end());
  std::vector<HistorySample> shortPause = run(0, 30, 10, 0);
  const auto resumed = run(36, 120, 10, 0); // two intervals without a sample are no gap
  shortPause.insert(shortPause.end(), resumed.begin(), resumed.end());
  const struct {
    const char *what;
    std::vector<HistorySample> samples;
    int columns;
  } cases[] = {
      {"a gap", withGap, 17},
      {"a short pause", shortPause, 17},
      {"the reset", withReset, 17},
      {"narrow", withGap, 5},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string chart = formatHistoryChart(c.samples, frame(c.columns));
    const int width = std::max(c.columns, kMinChartColumns);
    for (const std::string &line : linesOf(chart)) {
      EXPECT_LE(columnsOf(line), std::size_t(width)) << line;
    }
    EXPECT_EQ(std::string("five-hour window, last 2h").rfind(linesOf(chart).front(), 0), 0u);
    EXPECT_NE(chart.find("100%\u2524"), std::string::npos);
    EXPECT_NE(chart.find("  0%\u2524"), std::string::npos);
  }
  // Twelve columns of ten minutes: nothing from minute 27 to 60.
  EXPECT_EQ(axisOf(formatHistoryChart(withGap, frame(17))), "---___------");
  EXPECT_EQ(axisOf(formatHistoryChart(shortPause, frame(17))), "------------");
  EXPECT_EQ(axisOf(formatHistoryChart(withGap, frame(5))), "---__------");
  // At 80 columns the time labels sit under the axis, first and last in place.
  const auto wide = linesOf(formatHistoryChart(withGap, frame(80)));
  EXPECT_EQ(wide.back(), std::string(5, ' ') + "12:00" + std::string(32, ' ') + "13:00" +
                             std::string(28, ' ') + "14:00");
  // The reset: the top row is full before it, and empty after.
  const auto resetChart = linesOf(formatHistoryChart(withReset, frame(17)));
  EXPECT_EQ(resetChart[4], " 50%┤██████");
  EXPECT_EQ(resetChart[8], "  0%┤██████▁▁▁▁▁▁");
}

TEST_F(HistoryFormatsTest, ExportsQuoteWhatNeedsItAndKeepUnknownsEmpty) {
  HistorySample sample = sampleAt(minutes{0}, 37, 13);
  sample.windows.push_back({HistoryWindowKind::model, "Opus, \"big\" <b>", 64, kFrom + hours{30}});
  sample.extraUsage = ExtraUsage{"EUR", 2, 105, std::nullopt};
  const HistoryFrame f = frame(80);
  EXPECT_EQ(formatHistoryCsv({sample}, f),
            "time,account,window,percent,resetsAt\r\n"
            "2026-06-29T12:00:00Z,default,session,37,2026-06-29T17:00:00Z\r\n"
            "2026-06-29T12:00:00Z,default,allModels,13,\r\n"
            "2026-06-29T12:00:00Z,default,\"Opus, \"\"big\"\" <b>\",64,2026-06-30T18:00:00Z\r\n");
  const auto json =
      nlohmann::json::parse(formatHistoryJson({sample, sampleAt(minutes{3}, 38, {})}, f));
  ASSERT_EQ(json.size(), 2u);
  EXPECT_EQ(json[0]["windows"][1],
            nlohmann::json::parse(R"({"window":"allModels","percent":13,"resetsAt":null})"));
  EXPECT_EQ(json[0]["extraUsage"]["used"], 105);
  EXPECT_EQ(json[1]["fetchedAt"], "2026-06-29T12:03:00Z");
  EXPECT_EQ(json[1]["windows"].size(), 1u);

  const std::string svg = formatHistorySvg({sample, sampleAt(minutes{90}, 5, 14)}, f);
  for (const char *banned : {"<script", "href", "url(", "@import", "onload"}) {
    EXPECT_EQ(svg.find(banned), std::string::npos) << banned;
  }
  EXPECT_NE(svg.find("Opus, &quot;big&quot; &lt;b&gt; weekly"), std::string::npos);
  EXPECT_NE(svg.find(">warn 80 %</text>"), std::string::npos);
  EXPECT_NE(svg.find(">critical 95 %</text>"), std::string::npos);
  // Ninety minutes apart is a gap: two separate marks, no line across it.
  EXPECT_EQ(svg.find("<polyline"), std::string::npos);
  EXPECT_NE(svg.find(">14:00</text>"), std::string::npos);
  // An empty history is the header alone, or nothing: the command says so in a line of its own.
  EXPECT_EQ(formatHistoryCsv({}, f), "time,account,window,percent,resetsAt\r\n");
  EXPECT_EQ(formatHistoryJson({}, f), "[]\n");
  EXPECT_EQ(formatHistoryChart({}, f), "");
}

} // namespace
} // namespace quorbel
