#include "dashboard/dashboard_layout.hpp"

#include "chart/usage_trends.hpp"
#include "model/display_text.hpp"
#include "model/duration_text.hpp"
#include "view/clock_text.hpp"
#include "view/money_text.hpp"
#include "view/usage_bar.hpp"
#include "view/usage_formats.hpp"
#include "view/usage_level.hpp"

#include <algorithm>

namespace quorbel {
namespace {

constexpr std::size_t kMinBarCells = 6;
constexpr std::size_t kMaxBarCells = 40;
constexpr std::size_t kMaxSparkCells = 48;
constexpr std::string_view kSeparator = " \u00b7 ";
constexpr std::string_view kSparkCaption = " last 24 h";

// How long a line stays as the screen shrinks: the lowest goes first, the bottom one of a kind
// before those above it.
enum Keep : int {
  spacing = 0,
  sparkline,
  serviceDetail,
  modelTrajectory,
  trajectory,
  modelWindow,
  money,
  heading,
  planWindow,
  keys,
};

struct Row {
  ScreenLine line;
  int keep;
};

Tone levelTone(const UsageView &view, std::int64_t percent) {
  switch (usageLevelOf(percent, view.warn, view.critical)) {
  case UsageLevel::none:
    return Tone::ok;
  case UsageLevel::warning:
    return Tone::warning;
  case UsageLevel::critical:
  case UsageLevel::full:
    break;
  }
  return Tone::critical;
}

// The line cut to `columns`, span by span, so that no span's tone leaks onto the next.
ScreenLine fitted(ScreenLine line, std::size_t columns) {
  ScreenLine kept;
  std::size_t used = 0;
  for (Span &span : line) {
    const std::size_t spanWidth = displayColumns(span.text);
    if (used + spanWidth <= columns) {
      used += spanWidth;
      kept.push_back(std::move(span));
      continue;
    }
    if (used < columns) {
      kept.push_back({fitColumns(span.text, columns - used), span.tone});
    }
    break;
  }
  return kept;
}

std::string resetText(const WindowView &window, Instant now, bool brief) {
  if (!window.resetsAt) {
    return brief ? "" : "no reset time";
  }
  if (window.reset) {
    return "reset at " + localClock(*window.resetsAt, now);
  }
  const std::string in = "in " + formatDuration(window.untilReset);
  return brief ? in : "resets " + localClock(*window.resetsAt, now) + ", " + in;
}

// How an account's window lines are laid out: one label column, one bar width, one form of the
// reset, so that the bars line up.
struct Columns {
  std::size_t label = 2;
  int barCells = int(kMaxBarCells);
  bool briefReset = false;
};

// The figure column holds "100%", or "100% left" with --show remaining.
std::size_t figureWidth(const UsageView &view) {
  return view.shown == PercentShown::remaining ? 9 : 4;
}

Columns columnsOf(const UsageView &view, std::size_t columns) {
  Columns layout;
  for (const WindowView &window : view.models) {
    layout.label = std::max(layout.label, displayColumns(window.label));
  }
  // A long model name would leave the bars no room.
  layout.label = std::min(layout.label, std::max<std::size_t>(2, columns / 4));
  const std::size_t fixed = layout.label + 1 + 1 + figureWidth(view) + 2;
  const auto widest = [&](bool brief) {
    std::size_t reset = 0;
    for (const auto *window : {&view.session, &view.allModels}) {
      if (*window) {
        reset = std::max(reset, resetText(**window, view.now, brief).size());
      }
    }
    for (const WindowView &window : view.models) {
      reset = std::max(reset, resetText(window, view.now, brief).size());
    }
    return reset;
  };
  std::size_t reset = widest(false);
  if (fixed + kMinBarCells + reset > columns) {
    layout.briefReset = true;
    reset = widest(true);
  }
  const std::size_t room = columns > fixed + reset ? columns - fixed - reset : 0;
  layout.barCells = int(std::clamp(room, kMinBarCells, kMaxBarCells));
  return layout;
}

// "5h   ██████┃░░░  41%  resets 17:00, in 2h 13m".
ScreenLine windowLine(const UsageView &view, const WindowView &window, const Columns &layout) {
  std::string label = fitColumns(window.label, layout.label);
  label.append(layout.label - displayColumns(label), ' ');
  std::string figure = windowFigure(view, window);
  figure.insert(0, figure.size() < figureWidth(view) ? figureWidth(view) - figure.size() : 0, ' ');
  std::optional<double> paceShare;
  if (window.pace) {
    paceShare = view.shown == PercentShown::remaining ? 1.0 - window.pace->elapsedShare
                                                      : window.pace->elapsedShare;
  }
  const std::int64_t shown = view.shown == PercentShown::remaining
                                 ? std::max<std::int64_t>(0, 100 - window.shownPercent)
                                 : window.shownPercent;
  const Tone tone = levelTone(view, window.shownPercent);
  return {{label + " ", Tone::bold},
          {usageBar(shown, paceShare, layout.barCells), tone},
          {" " + figure, tone},
          {"  " + resetText(window, view.now, layout.briefReset), Tone::dim}};
}

void addWindow(std::vector<Row> &rows, const DashboardAccount &account, const WindowView &window,
               std::optional<HistoryWindowKind> kind, const Columns &layout, std::size_t columns) {
  const UsageView &view = *account.view;
  const bool plan = kind.has_value();
  rows.push_back({windowLine(view, window, layout), plan ? planWindow : modelWindow});
  const std::string indent(layout.label + 1, ' ');
  if (window.pace) {
    const std::string words = trajectoryText(*window.pace, view.now);
    if (!words.empty()) {
      const Tone tone = window.pace->usedUp              ? Tone::critical
                        : window.pace->runOutBeforeReset ? Tone::warning
                                                         : Tone::ok;
      rows.push_back({{{indent, Tone::plain}, {words, tone}}, plan ? trajectory : modelTrajectory});
    }
  }
  const std::size_t room = columns > indent.size() + kSparkCaption.size()
                               ? columns - indent.size() - kSparkCaption.size()
                               : 0;
  const auto cells = int(std::min(room, kMaxSparkCells));
  const auto spark = windowSparkline(account.lastDay, kind.value_or(HistoryWindowKind::model),
                                     plan ? std::string_view() : std::string_view(window.label),
                                     kSessionTrendSpan, cells, view.now);
  if (spark) {
    rows.push_back({{{indent, Tone::plain},
                     {*spark, levelTone(view, window.shownPercent)},
                     {std::string(kSparkCaption), Tone::dim}},
                    sparkline});
  }
}

ScreenLine headingOf(const DashboardAccount &account, bool named) {
  ScreenLine line;
  line.push_back({named ? account.name : "Claude", Tone::bold});
  if (!account.view) {
    line.push_back({std::string(kSeparator) + displayText(account.problem), Tone::critical});
    return line;
  }
  const UsageView &view = *account.view;
  if (view.snapshot.subscriptionType) {
    line.push_back({std::string(kSeparator) + *view.snapshot.subscriptionType, Tone::plain});
  }
  const std::string mark = statusMarker(view);
  line.push_back(
      {std::string(kSeparator) + (mark.empty() ? "up to date" : mark.substr(2, mark.size() - 3)),
       mark.empty() ? Tone::ok : Tone::warning});
  const std::string age =
      view.age < std::chrono::minutes(1) ? "just now" : formatDuration(view.age) + " ago";
  line.push_back(
      {std::string(kSeparator) + (view.fetched ? "fetched " : "written ") + age, Tone::dim});
  return line;
}

void addAccount(std::vector<Row> &rows, const DashboardAccount &account, bool named,
                std::size_t columns) {
  rows.push_back({headingOf(account, named), heading});
  if (!account.view) {
    return;
  }
  const UsageView &view = *account.view;
  const Columns layout = columnsOf(view, columns);
  if (view.session) {
    addWindow(rows, account, *view.session, HistoryWindowKind::session, layout, columns);
  }
  if (view.allModels) {
    addWindow(rows, account, *view.allModels, HistoryWindowKind::allModels, layout, columns);
  }
  for (const WindowView &window : view.models) {
    addWindow(rows, account, window, std::nullopt, layout, columns);
  }
  if (view.snapshot.extraUsage) {
    rows.push_back({{{extraUsageSentence(*view.snapshot.extraUsage),
                      view.payingExtra ? Tone::critical : Tone::plain}},
                    money});
  }
}

// The service's trouble is the machine's, not an account's: shown once, above them all, from the
// first view that holds it.
void addService(std::vector<Row> &rows, const std::vector<DashboardAccount> &accounts) {
  for (const DashboardAccount &account : accounts) {
    if (account.view && account.view->service) {
      const ServiceView &service = *account.view->service;
      const Tone tone =
          service.level == ServiceView::Level::outage ? Tone::critical : Tone::warning;
      rows.push_back({{{service.mark, tone}}, heading});
      for (const std::string &line : service.details) {
        rows.push_back({{{"  " + line, Tone::dim}}, serviceDetail});
      }
      return;
    }
  }
}

ScreenLine keysLine(const std::vector<DashboardAccount> &accounts, const DashboardChoice &choice,
                    PercentShown shown) {
  std::string text = "q quit \u00b7 r ";
  text += shown == PercentShown::used ? "show remaining" : "show used";
  if (accounts.size() > 1) {
    text += " \u00b7 a accounts: ";
    text += choice.only && *choice.only < accounts.size() ? accounts[*choice.only].name : "all";
  }
  return {{text, Tone::dim}};
}

// Drops the least needed rows, the bottom one first among equals, until `rows` remain.
void shrink(std::vector<Row> &lines, std::size_t rows) {
  while (lines.size() > rows) {
    auto least = lines.end();
    for (auto row = lines.begin(); row != lines.end(); ++row) {
      if (least == lines.end() || row->keep <= least->keep) {
        least = row;
      }
    }
    lines.erase(least);
  }
}

} // namespace

std::vector<ScreenLine> layoutDashboard(const std::vector<DashboardAccount> &accounts,
                                        const DashboardChoice &choice, std::size_t columns,
                                        std::size_t rows) {
  std::vector<Row> lines;
  PercentShown shown = PercentShown::used;
  addService(lines, accounts);
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    if (choice.only && *choice.only != i) {
      continue;
    }
    if (accounts[i].view) {
      shown = accounts[i].view->shown;
    }
    if (!lines.empty()) {
      lines.push_back({{}, spacing});
    }
    addAccount(lines, accounts[i], accounts.size() > 1, columns);
  }
  const std::size_t body = rows > 1 ? rows - 1 : rows;
  shrink(lines, body);
  if (rows > 1) {
    // The keys sit on the last row, below whatever room the accounts leave.
    lines.resize(body, Row{{}, spacing});
    lines.push_back({keysLine(accounts, choice, shown), keys});
  }
  std::vector<ScreenLine> screen;
  for (Row &row : lines) {
    screen.push_back(fitted(std::move(row.line), columns));
  }
  return screen;
}

std::string screenText(const std::vector<ScreenLine> &lines) {
  std::string text;
  for (const ScreenLine &line : lines) {
    for (const Span &span : line) {
      text += span.text;
    }
    text += '\n';
  }
  return text;
}

} // namespace quorbel
