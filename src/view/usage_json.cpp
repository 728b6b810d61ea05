#include "view/usage_formats.hpp"

#include "model/duration_text.hpp"

#include <nlohmann/json.hpp>

#include <cmath>

namespace quorbel {
namespace {

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

// The file's integers, and what a script would otherwise compute from them.
nlohmann::json extraUsageJson(const UsageView &view) {
  if (!view.snapshot.extraUsage) {
    return nullptr;
  }
  const ExtraUsage &money = *view.snapshot.extraUsage;
  const auto percent = money.percentOfCap();
  return {{"currency", money.currency},
          {"exponent", money.exponent},
          {"used", money.used},
          {"limit", money.limit ? nlohmann::json(*money.limit) : nlohmann::json(nullptr)},
          {"percentOfCap", percent ? nlohmann::json(*percent) : nlohmann::json(nullptr)},
          {"payingNow", view.payingExtra}};
}

// What the service's status page said, while it says something is wrong; null otherwise.
nlohmann::json serviceJson(const UsageView &view) {
  if (!view.service) {
    return nullptr;
  }
  const ServiceStatus &status = view.service->status;
  nlohmann::json components = nlohmann::json::array();
  for (const ServiceComponent &component : status.components) {
    components.push_back({{"name", component.name}, {"status", rawValue(component.state)}});
  }
  nlohmann::json incidents = nlohmann::json::array();
  for (const ServiceIncident &incident : status.incidents) {
    incidents.push_back({{"name", incident.name},
                         {"impact", rawValue(incident.impact)},
                         {"status", rawValue(incident.state)},
                         {"link", incident.link.empty() ? nlohmann::json(nullptr)
                                                        : nlohmann::json(incident.link)}});
  }
  return {{"level", levelName(view.service->level)},
          {"mark", view.service->mark},
          {"indicator", rawValue(status.indicator)},
          {"description", status.description},
          {"checkedAt", formatInternetDate(status.checkedAt)},
          {"components", components},
          {"incidents", incidents}};
}

template <typename T> nlohmann::json optionalJson(const std::optional<T> &value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

} // namespace

std::string formatJson(const UsageView &view) {
  const PlanSnapshot &snapshot = view.snapshot;
  const std::optional<InactiveReason> reason = snapshot.effectiveInactiveReason();
  const nlohmann::json object = {
      {"fetchedAt", formatInternetDate(snapshot.fetchedAt)},
      {"status", snapshot.status ? nlohmann::json(std::string(rawValue(*snapshot.status)))
                                 : nlohmann::json(nullptr)},
      {"effectiveStatus", std::string(rawValue(snapshot.effectiveStatus()))},
      {"inactiveReason",
       reason ? nlohmann::json(std::string(rawValue(*reason))) : nlohmann::json(nullptr)},
      {"hasData", snapshot.hasData()},
      {"session", planWindowJson(view, view.session)},
      {"allModels", planWindowJson(view, view.allModels)},
      {"modelWindows", modelWindowsJson(view)},
      {"extraUsage", extraUsageJson(view)},
      {"subscriptionType", optionalJson(snapshot.subscriptionType)},
      {"rateLimitTier", optionalJson(snapshot.rateLimitTier)},
      {"ageSeconds", view.age.count()},
      {"stale", view.stale},
      {"percentage", view.percentage},
      {"class", view.cssClass},
      {"service", serviceJson(view)},
  };
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
} // namespace quorbel
