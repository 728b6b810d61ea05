#include "view/status_line.hpp"

#include "model/display_text.hpp"
#include "model/duration_text.hpp"
#include "view/clock_text.hpp"
#include "view/money_text.hpp"
#include "view/usage_formats.hpp"
#include "view/usage_level.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace quorbel {
namespace {

constexpr std::string_view kSeparator = " \u00b7 ";
constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kGreen = "\x1b[32m";
constexpr std::string_view kYellow = "\x1b[33m";
constexpr std::string_view kRed = "\x1b[31m";
constexpr std::string_view kBoldRed = "\x1b[1;31m";
constexpr std::string_view kMagenta = "\x1b[35m";
constexpr std::string_view kDim = "\x1b[2m";

// How long a part stays as the line narrows: the lowest goes first.
enum Keep : int {
  modelName = 1,
  context,
  otherAccount,
  countdown,
  modelLimit,
  weekly,
  service,
  fiveHour,
  money,
  statusMark,
};

struct Part {
  std::string text;
  std::string_view color; // empty: the terminal's own
  int keep = 0;
  // Joins it to the part before it instead of the separator; empty for a part of its own.
  std::string_view glue{};
};

std::string_view levelColor(std::int64_t percent, const UsageView &view) {
  switch (usageLevelOf(percent, view.warn, view.critical)) {
  case UsageLevel::none:
    return kGreen;
  case UsageLevel::warning:
    return kYellow;
  case UsageLevel::critical:
    return kRed;
  case UsageLevel::full:
    break;
  }
  return kBoldRed;
}

std::string_view markColor(const UsageView &view) {
  if (view.cssClass == "sessionInactive") {
    return view.snapshot.effectiveInactiveReason() == InactiveReason::expired ? kDim : kRed;
  }
  return view.cssClass == "noData" ? kDim : kYellow;
}

std::string_view windowColor(const UsageView &view, const WindowView &window) {
  return levelColor(window.shownPercent, view);
}

void addWindow(std::vector<Part> &parts, const UsageView &view,
               const std::optional<WindowView> &window, std::string_view label, int keep) {
  if (!window) {
    parts.push_back({std::string(label) + " " + (view.fetched ? "idle" : "\u2014"), {}, keep});
    return;
  }
  parts.push_back(
      {std::string(label) + " " + windowFigure(view, *window), windowColor(view, *window), keep});
}

void addAccountParts(std::vector<Part> &parts, const UsageView &view) {
  addWindow(parts, view, view.session, "5h", Keep::fiveHour);
  if (view.session && !view.session->reset && view.session->resetsAt) {
    // Built piece by piece: GCC 12 at -O3 reports a false -Wrestrict for "(" + temporary.
    std::string countdown(1, '(');
    countdown += formatDuration(view.session->untilReset);
    countdown += ')';
    parts.push_back({std::move(countdown), kDim, Keep::countdown, " "});
  }
  addWindow(parts, view, view.allModels, "7d", Keep::weekly);
  // A model's limit can block the user while both plan windows look fine.
  for (const WindowView &window : view.models) {
    if (window.shownPercent >= view.warn) {
      parts.push_back({window.label + " " + windowFigure(view, window), windowColor(view, window),
                       Keep::modelLimit});
    }
  }
  if (view.payingExtra) {
    const ExtraUsage &spent = *view.snapshot.extraUsage;
    parts.push_back(
        {formatMoney(spent.used, spent.exponent, spent.currency), kMagenta, Keep::money});
  }
}

std::vector<Part> firstLineParts(const StatusLineContent &content) {
  std::vector<Part> parts;
  if (content.model) {
    parts.push_back({*content.model, {}, Keep::modelName});
  }
  const UsageView *view = content.account ? &*content.account : nullptr;
  if (view != nullptr && view->fetched) {
    addAccountParts(parts, *view);
  } else {
    parts.push_back({view != nullptr ? "Claude" : "Claude ?", kDim, Keep::fiveHour});
  }
  // The mark is about the session's own account, so it follows that account's figures: after the
  // other accounts it would read as the last one's.
  if (view != nullptr) {
    const std::string mark = statusMarker(*view);
    if (!mark.empty()) {
      parts.push_back({mark.substr(1), markColor(*view), Keep::statusMark, " "});
    }
  }
  if (content.contextUsedPercent) {
    const auto percent = std::int64_t(std::llround(*content.contextUsedPercent));
    parts.push_back({"ctx " + std::to_string(percent) + "%",
                     view != nullptr ? levelColor(percent, *view) : kDim, Keep::context});
  }
  for (const OtherAccount &other : content.others) {
    if (const auto &fullest = other.view.fullest) {
      parts.push_back({other.name + " " + fullest->label + " " + windowFigure(other.view, *fullest),
                       windowColor(other.view, *fullest), Keep::otherAccount});
    }
  }
  // Whether a failing session is the service's fault or the account's. Last, so that the status
  // mark, which is about the account's data, never reads as about the service.
  if (view != nullptr && view->service) {
    parts.push_back({view->service->mark,
                     view->service->level == ServiceView::Level::outage ? kRed : kYellow,
                     Keep::service});
  }
  return parts;
}

void addWindowSchedule(std::vector<Part> &parts, const UsageView &view,
                       const std::optional<WindowView> &window, int keep, int trajectoryKeep) {
  if (!window || !window->resetsAt) {
    return;
  }
  const std::string when = window->reset ? "reset at " : "resets ";
  parts.push_back({window->label + " " + when + localClock(*window->resetsAt, view.now), {}, keep});
  if (window->pace) {
    const std::string trajectory = trajectoryText(*window->pace, view.now);
    if (!trajectory.empty()) {
      parts.push_back({trajectory,
                       window->pace->runOutBeforeReset ? windowColor(view, *window) : kDim,
                       trajectoryKeep, ", "});
    }
  }
}

std::vector<Part> secondLineParts(const StatusLineContent &content) {
  std::vector<Part> parts;
  if (content.account && content.account->fetched) {
    // Narrowing drops the weekly trajectory, then the five-hour one, then the weekly reset.
    addWindowSchedule(parts, *content.account, content.account->session, 4, 2);
    addWindowSchedule(parts, *content.account, content.account->allModels, 3, 1);
  }
  return parts;
}

std::string joined(const std::vector<Part> &parts, bool color) {
  std::string line;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      line += parts[i].glue.empty() ? kSeparator : parts[i].glue;
    }
    if (color && !parts[i].color.empty()) {
      line += std::string(parts[i].color) + parts[i].text + std::string(kReset);
    } else {
      line += parts[i].text;
    }
  }
  return line;
}

// Drops the least useful parts until the line fits; a part attached to a dropped one goes with it.
std::string fitted(std::vector<Part> parts, const StatusLineStyle &style) {
  while (style.columns > 0 && parts.size() > 1 &&
         displayColumns(joined(parts, false)) > style.columns) {
    const auto least = std::min_element(
        parts.begin(), parts.end(), [](const Part &a, const Part &b) { return a.keep < b.keep; });
    auto end = std::next(least);
    while (end != parts.end() && !end->glue.empty() && end->keep <= least->keep) {
      ++end;
    }
    parts.erase(least, end);
  }
  if (style.columns > 0 && displayColumns(joined(parts, false)) > style.columns) {
    // One part alone that does not fit: cut its text, which carries no control of its own.
    parts.resize(1);
    parts.front().text = fitColumns(parts.front().text, style.columns);
  }
  return joined(parts, style.color);
}

} // namespace

std::string formatStatusLine(const StatusLineContent &content, const StatusLineStyle &style) {
  std::string text = fitted(firstLineParts(content), style);
  if (style.lines >= 2) {
    const std::string second = fitted(secondLineParts(content), style);
    if (!second.empty()) {
      text += '\n';
      text += second;
    }
  }
  return text;
}

} // namespace quorbel
