#include "view/usage_formats.hpp"

#include "model/display_text.hpp"
#include "model/duration_text.hpp"
#include "model/enum_names.hpp"
#include "view/clock_text.hpp"
#include "view/money_text.hpp"
#include "view/usage_bar.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <vector>

namespace quorbel {
namespace {

using std::chrono::seconds;

constexpr EnumNames kFormatNames{std::array<std::pair<OutputFormat, std::string_view>, 5>{{
    {OutputFormat::text, "text"},
    {OutputFormat::longText, "long"},
    {OutputFormat::waybar, "waybar"},
    {OutputFormat::json, "json"},
    {OutputFormat::prometheus, "prometheus"},
}}};

constexpr int kBarCells = 20;
constexpr std::string_view kSeparator = " \u00b7 ";
// A plan window the endpoint reports without a reset time: nothing was sent for its whole length.
constexpr std::string_view kNotRunning = "idle";

// The figure a bar format shows for a window: its use, or with --show remaining what is left.
std::int64_t shownFigure(const UsageView &view, const WindowView &window) {
  return view.shown == PercentShown::remaining
             ? std::max<std::int64_t>(0, 100 - window.shownPercent)
             : window.shownPercent;
}

std::string figureText(const UsageView &view, const WindowView &window) {
  return std::to_string(shownFigure(view, window)) +
         (view.shown == PercentShown::remaining ? "% left" : "%");
}

std::string percentText(const UsageView &view, const std::optional<WindowView> &window) {
  if (window) {
    return figureText(view, *window);
  }
  return view.fetched ? std::string(kNotRunning) : std::string("\u2014");
}

// A file from a helper that does not tell the reason reads as a sign-out, as it always did.
std::string inactiveWords(std::optional<InactiveReason> reason) {
  switch (reason.value_or(InactiveReason::missing)) {
  case InactiveReason::expired:
    return "token expired; the numbers resume when Claude Code next runs and renews it";
  case InactiveReason::missing:
    break;
  case InactiveReason::rejected:
    return "signed out of Claude Code: the usage endpoint rejected the token; run `claude` to "
           "sign in";
  case InactiveReason::unreadable:
    return "the Claude Code credentials file cannot be read; the helper's log says why";
  }
  return "signed out of Claude Code; run `claude` to sign in";
}

std::string statusWords(const UsageView &view) {
  switch (view.snapshot.effectiveStatus()) {
  case PlanStatus::active:
    return view.stale ? "stale: nothing fetched for " + formatDuration(view.age) +
                            "; is the helper running?"
                      : "up to date";
  case PlanStatus::rateLimited:
    return "rate limited by the usage endpoint; the numbers shown are the last good ones";
  case PlanStatus::sessionInactive:
    return inactiveWords(view.snapshot.effectiveInactiveReason());
  case PlanStatus::noData:
    break;
  }
  return "the helper has started but has no numbers yet";
}

std::string marker(const UsageView &view, bool brief = false) {
  switch (view.snapshot.effectiveStatus()) {
  case PlanStatus::active:
    return view.stale ? " (stale)" : "";
  case PlanStatus::rateLimited:
    return brief ? " (limited)" : " (rate limited)";
  case PlanStatus::sessionInactive:
    if (view.snapshot.effectiveInactiveReason() == InactiveReason::expired) {
      return brief ? " (expired)" : " (token expired)";
    }
    return " (signed out)";
  case PlanStatus::noData:
    break;
  }
  return brief ? " (no data)" : " (no data yet)";
}

std::string paidText(const UsageView &view) {
  const ExtraUsage &money = *view.snapshot.extraUsage;
  return std::string(kSeparator) + formatMoney(money.used, money.exponent, money.currency);
}

std::string paddedLabel(std::string_view label, std::size_t width) {
  std::string text(label);
  // Names are padded by bytes; a name in another script only shifts its own bar.
  text.append(width > text.size() ? width - text.size() : 0, ' ');
  return text;
}

std::string windowLine(const UsageView &view, const WindowView &window, std::size_t labelWidth) {
  const Instant now = view.now;
  const std::int64_t figure = shownFigure(view, window);
  const std::string percent = std::to_string(figure) + "%";
  // The even-pace mark measures elapsed time, so with the share left shown it counts from the end.
  std::optional<double> paceShare;
  if (window.pace) {
    paceShare = view.shown == PercentShown::remaining ? 1.0 - window.pace->elapsedShare
                                                      : window.pace->elapsedShare;
  }
  std::string line = paddedLabel(window.label, labelWidth) + "  " +
                     usageBar(figure, paceShare, kBarCells) + " " +
                     std::string(4 - std::min<std::size_t>(4, percent.size()), ' ') + percent;
  if (view.shown == PercentShown::remaining) {
    line += " left";
  }
  if (!window.resetsAt) {
    line += "  no reset time reported";
  } else if (window.reset) {
    line += "  reset at " + localClock(*window.resetsAt, now);
  } else {
    line += "  resets " + localClock(*window.resetsAt, now) + ", in " +
            formatDuration(window.untilReset);
  }
  if (window.pace) {
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for "\n" + temporary.
    line += '\n';
    line.append(labelWidth + 2, ' ');
    line += paceText(*window.pace, window.pace->runOutAt && !window.pace->usedUp
                                       ? localClock(*window.pace->runOutAt, now)
                                       : std::string());
  }
  return line;
}

std::string planWindowLine(const UsageView &view, std::string_view label,
                           const std::optional<WindowView> &window, std::size_t labelWidth) {
  if (window) {
    return windowLine(view, *window, labelWidth);
  }
  return paddedLabel(label, labelWidth) +
         (view.fetched ? "  not running: starts with your next message" : "  no data");
}

} // namespace

std::string statusMarker(const UsageView &view, bool brief) { return marker(view, brief); }

std::string formatFullestText(const UsageView &view, bool brief) {
  if (!view.fetched || !view.fullest) {
    return "Claude" + marker(view, brief);
  }
  return view.fullest->label + " " + figureText(view, *view.fullest) +
         (view.payingExtra ? paidText(view) : "") + marker(view, brief);
}

std::string windowFigure(const UsageView &view, const WindowView &window) {
  return figureText(view, window);
}

std::optional<OutputFormat> outputFormatNamed(std::string_view name) {
  return kFormatNames.named(name);
}

namespace {

// Whose fault it is matters as much as any figure: an outage of the service reads as such.
std::string serviceMark(const UsageView &view) {
  return view.service ? std::string(kSeparator) + view.service->mark : std::string();
}

} // namespace

std::string formatText(const UsageView &view) {
  if (!view.fetched) {
    return "Claude" + serviceMark(view) + marker(view);
  }
  std::string text = "5h " + percentText(view, view.session) + std::string(kSeparator) + "7d " +
                     percentText(view, view.allModels);
  // A model's limit can block the user while both plan windows look fine; below the warning
  // level it would only crowd a bar.
  for (const WindowView &window : view.models) {
    if (window.shownPercent >= view.warn) {
      text += std::string(kSeparator) + window.label + " " + figureText(view, window);
    }
  }
  // At 100 % every message costs money, so the bar shows what the month has cost so far.
  if (view.payingExtra) {
    text += paidText(view);
  }
  return text + serviceMark(view) + marker(view);
}

std::string formatLong(const UsageView &view) {
  std::size_t labelWidth = 2;
  for (const WindowView &window : view.models) {
    labelWidth = std::max(labelWidth, window.label.size());
  }
  std::string text = planWindowLine(view, "5h", view.session, labelWidth) + "\n" +
                     planWindowLine(view, "7d", view.allModels, labelWidth) + "\n";
  for (const WindowView &window : view.models) {
    text += windowLine(view, window, labelWidth) + "\n";
  }
  for (const std::string &trend : view.trends) {
    text += trend;
    text += '\n';
  }
  if (view.snapshot.extraUsage) {
    text += extraUsageSentence(*view.snapshot.extraUsage) + "\n";
  }
  if (view.snapshot.subscriptionType || view.snapshot.rateLimitTier) {
    text += "Plan: " + view.snapshot.subscriptionType.value_or("unknown");
    if (view.snapshot.rateLimitTier) {
      text += " (" + *view.snapshot.rateLimitTier + ")";
    }
    text += "\n";
  }
  text += "Status: " + statusWords(view) + "\n";
  if (view.service) {
    for (const std::string &line : view.service->details) {
      text += line + "\n";
    }
  }
  const std::string ageText =
      view.age < seconds{60} ? "just now" : formatDuration(view.age) + " ago";
  text += (view.fetched ? "Data fetched " : "Written ") + ageText + "\n";
  return text;
}

std::vector<std::string> waybarStatusClasses(const UsageView &view) {
  // A bar can colour the level and mark the status at once, so a rate limit at 88 % still warns.
  std::vector<std::string> classes;
  if (view.cssClass != view.level) {
    classes.push_back(view.cssClass);
  }
  // An expired token is renewed without the user; a bar may want it quieter than a sign-out.
  if (view.snapshot.effectiveInactiveReason() == InactiveReason::expired) {
    classes.emplace_back("expired");
  }
  return classes;
}

std::string waybarObject(std::string_view text, std::string_view tooltip,
                         const std::vector<std::string> &classes, std::int64_t percentage) {
  const nlohmann::json object = {{"text", markupText(text)},
                                 {"tooltip", markupText(tooltip)},
                                 {"class", classes},
                                 {"percentage", percentage}};
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string formatWaybar(const UsageView &view) {
  std::string tooltip = formatLong(view);
  tooltip.pop_back();
  std::vector<std::string> classes = waybarStatusClasses(view);
  if (view.fetched || classes.empty()) {
    classes.push_back(view.level);
  }
  if (view.payingExtra) {
    classes.emplace_back("extraUsage");
  }
  if (view.service) {
    classes.emplace_back(levelName(view.service->level));
  }
  return waybarObject(formatText(view), tooltip, classes, view.percentage);
}

std::string formatView(const UsageView &view, OutputFormat format) {
  switch (format) {
  case OutputFormat::text:
    return formatText(view);
  case OutputFormat::longText: {
    std::string text = formatLong(view);
    text.pop_back();
    return text;
  }
  case OutputFormat::waybar:
    return formatWaybar(view);
  case OutputFormat::json:
    return formatJson(view);
  case OutputFormat::prometheus:
    // Metrics name their account, which one view does not know: formatPrometheus() writes them.
    break;
  }
  return "";
}

std::string formatUnavailable(OutputFormat format, std::string_view reason) {
  switch (format) {
  case OutputFormat::text:
    return "Claude ?";
  case OutputFormat::waybar:
    return waybarObject("Claude ?", displayText(reason), {"unavailable"}, 0);
  case OutputFormat::json:
    return nlohmann::json{{"error", displayText(reason)}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
  case OutputFormat::longText:
  case OutputFormat::prometheus:
    break;
  }
  return "";
}

} // namespace quorbel
