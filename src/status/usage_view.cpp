#include "status/usage_view.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <vector>

namespace quorbel {
namespace {

using std::chrono::seconds;

constexpr int kBarCells = 20;
constexpr std::string_view kFullCell = "\u2588";
constexpr std::string_view kEmptyCell = "\u2591";
constexpr std::string_view kSeparator = " \u00b7 ";

WindowView viewOf(const PlanWindow &window, Instant now) {
  WindowView view{window, window.percent, false, seconds{0}};
  if (window.resetsAt <= now) {
    view.reset = true;
    view.shownPercent = 0;
  } else {
    view.untilReset = std::chrono::duration_cast<seconds>(window.resetsAt - now);
  }
  return view;
}

std::string levelClass(std::int64_t percent, const ViewOptions &options) {
  if (percent >= options.critical) {
    return "critical";
  }
  if (percent >= options.warn) {
    return "warning";
  }
  return "ok";
}

std::string percentText(const std::optional<WindowView> &window) {
  return window ? std::to_string(window->shownPercent) + "%" : std::string("\u2014");
}

std::string localClock(Instant instant, Instant now) {
  const std::time_t when = std::chrono::system_clock::to_time_t(instant);
  const std::time_t today = std::chrono::system_clock::to_time_t(now);
  std::tm whenLocal{};
  std::tm nowLocal{};
  localtime_r(&when, &whenLocal);
  localtime_r(&today, &nowLocal);
  const bool sameDay =
      whenLocal.tm_yday == nowLocal.tm_yday && whenLocal.tm_year == nowLocal.tm_year;
  char buffer[32];
  std::strftime(buffer, sizeof buffer, sameDay ? "%H:%M" : "%a %H:%M", &whenLocal);
  return buffer;
}

std::string bar(std::int64_t percent) {
  const auto clamped = std::clamp<std::int64_t>(percent, 0, 100);
  const auto filled = int((clamped * kBarCells + 50) / 100);
  std::string text;
  for (int i = 0; i < kBarCells; ++i) {
    text += i < filled ? kFullCell : kEmptyCell;
  }
  return text;
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
    return "signed out of Claude Code; run `claude` to sign in";
  case PlanStatus::noData:
    break;
  }
  return "the helper has started but has no numbers yet";
}

std::string marker(const UsageView &view) {
  switch (view.snapshot.effectiveStatus()) {
  case PlanStatus::active:
    return view.stale ? " (stale)" : "";
  case PlanStatus::rateLimited:
    return " (rate limited)";
  case PlanStatus::sessionInactive:
    return " (signed out)";
  case PlanStatus::noData:
    break;
  }
  return " (no data yet)";
}

std::string windowLine(std::string_view label, const std::optional<WindowView> &window,
                       Instant now) {
  std::string line(label);
  if (!window) {
    return line + "  no data";
  }
  const std::string percent = std::to_string(window->shownPercent) + "%";
  line += "  " + bar(window->shownPercent) + " " +
          std::string(4 - std::min<std::size_t>(4, percent.size()), ' ') + percent;
  if (window->reset) {
    line += "  reset at " + localClock(window->window.resetsAt, now);
  } else {
    line += "  resets " + localClock(window->window.resetsAt, now) + ", in " +
            formatDuration(window->untilReset);
  }
  return line;
}

nlohmann::json windowJson(const std::optional<WindowView> &window) {
  if (!window) {
    return nullptr;
  }
  return {{"percent", window->window.percent},
          {"shownPercent", window->shownPercent},
          {"resetsAt", formatInternetDate(window->window.resetsAt)},
          {"secondsToReset", window->untilReset.count()},
          {"reset", window->reset}};
}

template <typename T> nlohmann::json optionalJson(const std::optional<T> &value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

} // namespace

UsageView UsageView::of(const PlanSnapshot &snapshot, Instant now, const ViewOptions &options) {
  UsageView view;
  view.snapshot = snapshot;
  view.now = now;
  if (snapshot.session) {
    view.session = viewOf(*snapshot.session, now);
  }
  if (snapshot.allModels) {
    view.allModels = viewOf(*snapshot.allModels, now);
  }
  view.age = std::max(seconds{0}, std::chrono::duration_cast<seconds>(now - snapshot.fetchedAt));
  view.stale = snapshot.hasData() && view.age > options.staleAfter;
  view.percentage = std::max(view.session ? view.session->shownPercent : 0,
                             view.allModels ? view.allModels->shownPercent : 0);
  view.level = levelClass(view.percentage, options);
  switch (snapshot.effectiveStatus()) {
  case PlanStatus::active:
    view.cssClass = view.stale ? "stale" : view.level;
    break;
  case PlanStatus::rateLimited:
    view.cssClass = "rateLimited";
    break;
  case PlanStatus::sessionInactive:
    view.cssClass = "sessionInactive";
    break;
  case PlanStatus::noData:
    view.cssClass = "noData";
    break;
  }
  return view;
}

std::optional<OutputFormat> outputFormatNamed(std::string_view name) {
  if (name == "text") {
    return OutputFormat::text;
  }
  if (name == "long") {
    return OutputFormat::longText;
  }
  if (name == "waybar") {
    return OutputFormat::waybar;
  }
  if (name == "json") {
    return OutputFormat::json;
  }
  return std::nullopt;
}

std::string formatDuration(seconds duration) {
  const auto total = std::max<std::int64_t>(0, duration.count());
  const auto days = total / 86400;
  const auto hours = total % 86400 / 3600;
  const auto minutes = total % 3600 / 60;
  if (days > 0) {
    return std::to_string(days) + "d " + std::to_string(hours) + "h";
  }
  if (hours > 0) {
    return std::to_string(hours) + "h " + std::to_string(minutes) + "m";
  }
  if (minutes > 0) {
    return std::to_string(minutes) + "m";
  }
  return "<1m";
}

std::string formatText(const UsageView &view) {
  if (!view.session && !view.allModels) {
    return "Claude" + marker(view);
  }
  return "5h " + percentText(view.session) + std::string(kSeparator) + "7d " +
         percentText(view.allModels) + marker(view);
}

std::string formatLong(const UsageView &view) {
  std::string text = windowLine("5h", view.session, view.now) + "\n" +
                     windowLine("7d", view.allModels, view.now) + "\n";
  if (view.snapshot.subscriptionType || view.snapshot.rateLimitTier) {
    text += "Plan: " + view.snapshot.subscriptionType.value_or("unknown");
    if (view.snapshot.rateLimitTier) {
      text += " (" + *view.snapshot.rateLimitTier + ")";
    }
    text += "\n";
  }
  text += "Status: " + statusWords(view) + "\n";
  const std::string ageText =
      view.age < seconds{60} ? "just now" : formatDuration(view.age) + " ago";
  text += (view.snapshot.hasData() ? "Data fetched " : "Written ") + ageText + "\n";
  return text;
}

std::string formatWaybar(const UsageView &view) {
  std::string tooltip = formatLong(view);
  tooltip.pop_back();
  // A bar can colour the level and mark the status at once, so a rate limit at 88 % still warns.
  std::vector<std::string> classes;
  if (view.cssClass != view.level) {
    classes.push_back(view.cssClass);
  }
  if (view.snapshot.hasData() || classes.empty()) {
    classes.push_back(view.level);
  }
  const nlohmann::json object = {{"text", formatText(view)},
                                 {"tooltip", tooltip},
                                 {"class", classes},
                                 {"percentage", view.percentage}};
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string formatJson(const UsageView &view) {
  const PlanSnapshot &snapshot = view.snapshot;
  const nlohmann::json object = {
      {"fetchedAt", formatInternetDate(snapshot.fetchedAt)},
      {"status", snapshot.status ? nlohmann::json(std::string(rawValue(*snapshot.status)))
                                 : nlohmann::json(nullptr)},
      {"effectiveStatus", std::string(rawValue(snapshot.effectiveStatus()))},
      {"hasData", snapshot.hasData()},
      {"session", windowJson(view.session)},
      {"allModels", windowJson(view.allModels)},
      {"subscriptionType", optionalJson(snapshot.subscriptionType)},
      {"rateLimitTier", optionalJson(snapshot.rateLimitTier)},
      {"ageSeconds", view.age.count()},
      {"stale", view.stale},
      {"percentage", view.percentage},
      {"class", view.cssClass},
  };
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
    break;
  }
  return formatJson(view);
}

std::string formatUnavailable(OutputFormat format, std::string_view reason) {
  switch (format) {
  case OutputFormat::text:
    return "Claude ?";
  case OutputFormat::waybar:
    return nlohmann::json{{"text", "Claude ?"},
                          {"tooltip", std::string(reason)},
                          {"class", nlohmann::json::array({"unavailable"})},
                          {"percentage", 0}}
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  case OutputFormat::json:
    return nlohmann::json{{"error", std::string(reason)}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
  case OutputFormat::longText:
    break;
  }
  return "";
}

} // namespace quorbel
