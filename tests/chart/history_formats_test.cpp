#include "chart/history_formats.hpp"
#include "support/scoped_environment.hpp"
#include "support/text.hpp"
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <regex>

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
  // The reset: the top row is full before it, and empty after.
  const auto resetChart = linesOf(formatHistoryChart(withReset, frame(17)));
  EXPECT_EQ(resetChart[4], " 50%┤██████");
  EXPECT_EQ(resetChart[8], "  0%┤██████▁▁▁▁▁▁");
}

// However short the span and wherever the clock stands against the round moments, and at any
// width a terminal may have, the chart draws within its width.
TEST_F(HistoryFormatsTest, EverySpanAndWidthDraws) {
  for (int span = 1; span <= 600; ++span) {
    for (int columns = 20; columns <= 200; ++columns) {
      HistoryFrame f = frame(columns);
      // The clock anywhere in a five-minute period, to the millisecond.
      f.to = kFrom + std::chrono::milliseconds((span * 7919 + columns * 104729) % 300'000);
      f.from = f.to - std::chrono::seconds{span};
      HistorySample sample = sampleAt(minutes{0}, 40, 12);
      sample.fetchedAt = f.from + (f.to - f.from) / 2;
      std::string chart;
      ASSERT_NO_THROW(chart = formatHistoryChart({sample}, f)) << span << " s, " << columns;
      for (const std::string &line : linesOf(chart)) {
        ASSERT_LE(columnsOf(line), std::size_t(columns))
            << span << " s, " << columns << ": " << line;
      }
    }
  }
}

// The captures of `pattern` in `text`, each followed by a space.
std::string matchesOf(const std::string &text, const std::regex &pattern) {
  std::string found;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
    found += (*it)[1].str() + " ";
  }
  return found;
}

// The time axis names round moments, and never two alike: whole seconds, minutes or hours within a
// day, midnights for days and weeks, Mondays for a month.
TEST_F(HistoryFormatsTest, TimeAxesAreLabelledAtRoundMoments) {
  const std::string week = "Jun 23 Jun 24 Jun 25 Jun 26 Jun 27 Jun 28 Jun 29 ";
  const std::string month = "Jun 01 Jun 08 Jun 15 Jun 22 Jun 29 ";
  const struct {
    std::chrono::seconds span;
    std::string terminal; // at 80 columns
    std::string svg;
  } cases[] = {
      {std::chrono::seconds{240},
       "14:43:30 14:44:00 14:44:30 14:45:00 14:45:30 14:46:00 14:46:30 14:47:00 ",
       "14:44 14:45 14:46 14:47 "},
      {hours{24}, "15:00 18:00 21:00 00:00 03:00 06:00 09:00 12:00 ", "18:00 00:00 06:00 12:00 "},
      {hours{24 * 7}, week, week},
      {hours{24 * 30}, month, month},
  };
  const std::regex terminalLabel(R"(([A-Z][a-z]{2} \d\d|\d\d:\d\d(:\d\d)?))");
  const std::regex svgLabel("text-anchor=\"middle\">([^<]*)</text>");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.span.count());
    HistoryFrame f = frame(80);
    f.to = kFrom + hours{2} + minutes{47} + std::chrono::seconds{30};
    f.from = f.to - c.span;
    const std::vector samples{sampleAt(minutes{0}, 40, 12)};
    EXPECT_EQ(matchesOf(linesOf(formatHistoryChart(samples, f)).back(), terminalLabel), c.terminal);
    EXPECT_EQ(matchesOf(formatHistorySvg(samples, f), svgLabel), c.svg);
  }
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
  EXPECT_NE(svg.find(">13:30</text>"), std::string::npos);
  // An empty history is the header alone, or nothing: the command says so in a line of its own.
  EXPECT_EQ(formatHistoryCsv({}, f), "time,account,window,percent,resetsAt\r\n");
  EXPECT_EQ(formatHistoryJson({}, f), "[]\n");
  EXPECT_EQ(formatHistoryChart({}, f), "");
}

} // namespace
} // namespace quorbel
