#include "chart/history_formats.hpp"
#include "chart/history_series.hpp"
#include "model/display_text.hpp"

#include <array>
#include <cstdio>

namespace quorbel {
namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 340;
constexpr int kLeft = 56;
constexpr int kRight = 780;
constexpr int kTop = 24;
constexpr int kBottom = 260;
constexpr int kTimeTicks = 8; // at most, each about 60 px wide under 724 px
constexpr std::array<const char *, 6> kColours = {"#1f77b4", "#d62728", "#2ca02c",
                                                  "#9467bd", "#ff7f0e", "#8c564b"};

std::string number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", value);
  return buffer;
}

double yOf(double percent) { return kBottom - (kBottom - kTop) * percent / 100.0; }

std::string guide(std::int64_t percent, const char *name, const char *colour) {
  const std::string y = number(yOf(double(percent)));
  return "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + y + "\" x2=\"" +
         std::to_string(kRight) + "\" y2=\"" + y + "\" stroke=\"" + colour +
         "\" stroke-dasharray=\"6 4\"/>\n<text x=\"" + std::to_string(kRight) + "\" y=\"" +
         number(yOf(double(percent)) - 4) + "\" text-anchor=\"end\" fill=\"" + colour + "\">" +
         name + " " + std::to_string(percent) + " %</text>\n";
}

} // namespace

std::string formatHistorySvg(const std::vector<HistorySample> &samples, const HistoryFrame &frame) {
  return formatSeriesSvg(seriesOf(samples), frame);
}

std::string formatSeriesSvg(const std::vector<HistorySeries> &series, const HistoryFrame &frame) {
  const double span = double((frame.to - frame.from).count());
  const auto xOf = [&](Instant at) {
    return kLeft + (kRight - kLeft) * double((at - frame.from).count()) / span;
  };
  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    std::to_string(kWidth) + "\" height=\"" + std::to_string(kHeight) +
                    "\" viewBox=\"0 0 " + std::to_string(kWidth) + " " + std::to_string(kHeight) +
                    "\" font-family=\"sans-serif\" font-size=\"12\">\n"
                    "<title>Claude Code plan usage, last " +
                    markupText(frame.sinceText) +
                    "</title>\n<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  for (int percent = 0; percent <= 100; percent += 25) {
    const std::string y = number(yOf(percent));
    svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + y + "\" x2=\"" +
           std::to_string(kRight) + "\" y2=\"" + y + "\" stroke=\"#dddddd\"/>\n<text x=\"" +
           std::to_string(kLeft - 6) + "\" y=\"" + number(yOf(percent) + 4) +
           "\" text-anchor=\"end\">" + std::to_string(percent) + " %</text>\n";
  }
  svg += guide(frame.warn, "warn", "#e6a700") + guide(frame.critical, "critical", "#c00000");
  for (const AxisTick &tick : axisTicks(frame.from, frame.to, kTimeTicks)) {
    const std::string x = number(xOf(tick.at));
    svg += "<line x1=\"" + x + "\" y1=\"" + std::to_string(kBottom) + "\" x2=\"" + x + "\" y2=\"" +
           std::to_string(kBottom + 5) + "\" stroke=\"#000000\"/>\n<text x=\"" + x + "\" y=\"" +
           std::to_string(kBottom + 20) + "\" text-anchor=\"middle\">" + markupText(tick.label) +
           "</text>\n";
  }
  svg += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(kBottom) + "\" x2=\"" +
         std::to_string(kRight) + "\" y2=\"" + std::to_string(kBottom) +
         "\" stroke=\"#000000\"/>\n";
  for (std::size_t i = 0; i < series.size(); ++i) {
    const char *colour = kColours[i % kColours.size()];
    // One line per run: a gap between runs stays empty, and a reset is the drop it was.
    for (const auto &run : series[i].runs) {
      std::string points;
      for (const SeriesPoint &point : run) {
        if (point.at < frame.from || point.at > frame.to) {
          continue;
        }
        if (!points.empty()) {
          points += ' ';
        }
        points += number(xOf(point.at));
        points += ',';
        points += number(yOf(double(point.percent)));
      }
      if (run.size() == 1 && !points.empty()) {
        const auto comma = points.find(',');
        svg += "<circle cx=\"" + points.substr(0, comma) + "\" cy=\"" + points.substr(comma + 1) +
               "\" r=\"2\" fill=\"" + colour + "\"/>\n";
      } else if (!points.empty()) {
        svg += "<polyline fill=\"none\" stroke=\"" + std::string(colour) +
               "\" stroke-width=\"2\" points=\"" + points + "\"/>\n";
      }
    }
    const int x = kLeft + int(i % 4) * 180;
    const int y = kBottom + 45 + int(i / 4) * 18;
    svg += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y - 9) +
           "\" width=\"14\" height=\"10\" fill=\"" + colour + "\"/>\n<text x=\"" +
           std::to_string(x + 20) + "\" y=\"" + std::to_string(y) + "\">" +
           markupText(series[i].title) + "</text>\n";
  }
  return svg + "</svg>\n";
}

} // namespace quorbel
