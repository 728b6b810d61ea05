#include "status/usage_view.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <vector>

namespace quorbel {
namespace {

using std::chrono::seconds;

constexpr int kBarCells = 20;
constexpr std::string_view kFullCell = "\u2588";
constexpr std::string_view kEmptyCell = "\u2591";
constexpr std::string_view kSeparator = " \u00b7 ";
// A plan window the endpoint reports without a reset time: nothing was sent for its whole length.
constexpr std::string_view kNotRunning = "idle";

WindowView viewOf(std::string label, std::int64_t percent, std::optional<Instant> resetsAt,
                  Instant now) {
  WindowView view{std::move(label), percent, resetsAt, percent, false, seconds{0}, std::nullopt};
  if (!resetsAt) {
    return view;
  }
  if (*resetsAt <= now) {
    view.reset = true;
    view.shownPercent = 0;
  } else {
    view.untilReset = std::chrono::duration_cast<seconds>(*resetsAt - now);
  }
  return view;
}

std::optional<WindowView> planWindowView(std::string label, const std::optional<PlanWindow> &window,
                                         Instant now) {
  if (!window) {
    return std::nullopt;
  }
  return viewOf(std::move(label), window->percent, window->resetsAt, now);
}

WindowView withPace(WindowView window, std::chrono::seconds length, Instant now) {
  window.pace = paceOf(window.percent, window.resetsAt, length, now);
  return window;
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

// What the one-line text shows for a plan window.
std::string percentText(const UsageView &view, const std::optional<WindowView> &window) {
  if (window) {
    return std::to_string(window->shownPercent) + "%";
  }
  return view.fetched ? std::string(kNotRunning) : std::string("\u2014");
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

std::string paddedLabel(std::string_view label, std::size_t width) {
  std::string text(label);
  // Names are padded by bytes; a name in another script only shifts its own bar.
  text.append(width > text.size() ? width - text.size() : 0, ' ');
  return text;
}

std::string windowLine(const WindowView &window, std::size_t labelWidth, Instant now) {
  const std::string percent = std::to_string(window.shownPercent) + "%";
  std::string line = paddedLabel(window.label, labelWidth) + "  " + bar(window.shownPercent) + " " +
                     std::string(4 - std::min<std::size_t>(4, percent.size()), ' ') + percent;
  if (!window.resetsAt) {
    line += "  no reset time reported";
  } else if (window.reset) {
    line += "  reset at " + localClock(*window.resetsAt, now);
  } else {
    line += "  resets " + localClock(*window.resetsAt, now) + ", in " +
            formatDuration(window.untilReset);
  }
  if (window.pace) {
    line += "\n" + std::string(labelWidth + 2, ' ') + paceText(*window.pace);
  }
  return line;
}

std::string planWindowLine(const UsageView &view, std::string_view label,
                           const std::optional<WindowView> &window, std::size_t labelWidth) {
  if (window) {
    return windowLine(*window, labelWidth, view.now);
  }
  return paddedLabel(label, labelWidth) +
         (view.fetched ? "  not running: starts with your next message" : "  no data");
}

// Rounded so that a script sees the figures, not the floating-point noise.
double rounded(double value, double scale) { return std::round(value * scale) / scale; }

nlohmann::json paceJson(const std::optional<WindowPace> &pace) {
  if (!pace) {
    return nullptr;
  }
  return {{"elapsedShare", rounded(pace->elapsedShare, 1e4)},
          {"projectedPercentAtReset", pace->projectedPercent
                                          ? nlohmann::json(rounded(*pace->projectedPercent, 10))
                                          : nlohmann::json(nullptr)},
          {"secondsToRunOut", pace->untilRunOut ? nlohmann::json(pace->untilRunOut->count())
                                                : nlohmann::json(nullptr)}};
}

nlohmann::json windowJson(const WindowView &window) {
  return {{"percent", window.percent},
          {"shownPercent", window.shownPercent},
          {"resetsAt", window.resetsAt ? nlohmann::json(formatInternetDate(*window.resetsAt))
                                       : nlohmann::json(nullptr)},
          {"secondsToReset",
           window.resetsAt ? nlohmann::json(window.untilReset.count()) : nlohmann::json(nullptr)},
          {"reset", window.reset},
          {"pace", paceJson(window.pace)}};
}

// null: no data at all; {"running": false}: fetched, and the window has not started.
nlohmann::json planWindowJson(const UsageView &view, const std::optional<WindowView> &window) {
  if (window) {
    nlohmann::json object = windowJson(*window);
    object["running"] = true;
    return object;
  }
  return view.fetched ? nlohmann::json{{"running", false}} : nlohmann::json(nullptr);
}

nlohmann::json modelWindowsJson(const UsageView &view) {
  nlohmann::json windows = nlohmann::json::array();
  for (const WindowView &window : view.models) {
    nlohmann::json object = windowJson(window);
    object["model"] = window.label;
    windows.push_back(std::move(object));
  }
  return windows;
}

template <typename T> nlohmann::json optionalJson(const std::optional<T> &value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

} // namespace

UsageView UsageView::of(const PlanSnapshot &snapshot, Instant now, const ViewOptions &options) {
  UsageView view;
  view.snapshot = snapshot;
  view.now = now;
  view.warn = options.warn;
  view.session = planWindowView("5h", snapshot.session, now);
  view.allModels = planWindowView("7d", snapshot.allModels, now);
  for (const ModelWindow &window : snapshot.modelWindows) {
    view.models.push_back(viewOf(window.model, window.percent, window.resetsAt, now));
  }
  if (view.session) {
    view.session = withPace(*view.session, kSessionWindowLength, now);
  }
  if (view.allModels) {
    view.allModels = withPace(*view.allModels, kWeeklyWindowLength, now);
  }
  for (WindowView &window : view.models) {
    window = withPace(window, kWeeklyWindowLength, now);
  }
  view.fetched = view.session || view.allModels || !view.models.empty() ||
                 snapshot.effectiveStatus() == PlanStatus::active;
  view.age = std::max(seconds{0}, std::chrono::duration_cast<seconds>(now - snapshot.fetchedAt));
  view.stale = view.fetched && view.age > options.staleAfter;
  for (const auto *window : {&view.session, &view.allModels}) {
    if (*window) {
      view.percentage = std::max(view.percentage, (*window)->shownPercent);
    }
  }
  for (const WindowView &window : view.models) {
    view.percentage = std::max(view.percentage, window.shownPercent);
  }
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
  if (!view.fetched) {
    return "Claude" + marker(view);
  }
  std::string text = "5h " + percentText(view, view.session) + std::string(kSeparator) + "7d " +
                     percentText(view, view.allModels);
  // A model's limit can block the user while both plan windows look fine; below the warning
  // level it would only crowd a bar.
  for (const WindowView &window : view.models) {
    if (window.shownPercent >= view.warn) {
      text +=
          std::string(kSeparator) + window.label + " " + std::to_string(window.shownPercent) + "%";
    }
  }
  return text + marker(view);
}

std::string formatLong(const UsageView &view) {
  std::size_t labelWidth = 2;
  for (const WindowView &window : view.models) {
    labelWidth = std::max(labelWidth, window.label.size());
  }
  std::string text = planWindowLine(view, "5h", view.session, labelWidth) + "\n" +
                     planWindowLine(view, "7d", view.allModels, labelWidth) + "\n";
  for (const WindowView &window : view.models) {
    text += windowLine(window, labelWidth, view.now) + "\n";
  }
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
  text += (view.fetched ? "Data fetched " : "Written ") + ageText + "\n";
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
  if (view.fetched || classes.empty()) {
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
      {"session", planWindowJson(view, view.session)},
      {"allModels", planWindowJson(view, view.allModels)},
      {"modelWindows", modelWindowsJson(view)},
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
