#pragma once

#include "model/plan_snapshot.hpp"
#include "view/service_view.hpp"
#include "view/window_pace.hpp"

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

// What the bar formats count: the share of a window used (the default) or the share left.
// Levels and classes measure use either way.
enum class PercentShown { used, remaining };

std::optional<PercentShown> percentShownNamed(std::string_view name);

// How a reader judges a snapshot: the two percent levels and how old data may be.
struct ViewOptions {
  std::int64_t warn = 80;
  std::int64_t critical = 95;
  std::chrono::seconds staleAfter{15 * 60};
  PercentShown shown = PercentShown::used;
  // The service status file the helper keeps; empty: the service's status is not shown.
  std::filesystem::path serviceStatusFile = {};
};

// The longest duration --stale-after and --since take: longer than anyone waits for a helper or
// looks back, and short enough that every sum or difference with an instant stays in range.
inline constexpr std::chrono::seconds kLongestDurationOption{10LL * 366 * 86400};

// One window as a reader should show it at a given moment: a plan window or a model's.
struct WindowView {
  std::string label;               // "5h", "7d" or the model's name
  std::int64_t percent = 0;        // as fetched
  std::optional<Instant> resetsAt; // a model window may come without one
  std::int64_t shownPercent = 0;   // 0 once the reset has passed: the allowance is whole again
  bool reset = false;
  std::chrono::seconds untilReset{0}; // never negative
  std::optional<WindowPace> pace;     // while the window runs toward a known reset
};

// What the history saw of each window lately, for the pace; the formats that read no history go
// without.
struct RecentUsage {
  std::vector<UsagePoint> session;
  std::vector<UsagePoint> allModels;
  std::map<std::string, std::vector<UsagePoint>, std::less<>> models; // by model name
};

// What every output format needs, computed once from a snapshot and "now".
struct UsageView {
  PlanSnapshot snapshot; // as read, its strings cleaned for display (displayText)
  Instant now;
  // Whether the snapshot holds what a fetch returned. In a fetched snapshot an absent plan window
  // is one that is not running; in a marker or a signed-out start there is simply no data.
  bool fetched = false;
  std::optional<WindowView> session;
  std::optional<WindowView> allModels;
  std::vector<WindowView> models;
  std::chrono::seconds age{0};
  bool stale = false;
  // The window closest to its limit, model windows included; a plan window on a tie, since its
  // limit stops every model. Nothing without windows.
  std::optional<WindowView> fullest;
  std::int64_t percentage = 0; // the fullest window's shown percent, 0 without one
  std::string cssClass;        // ok, warning, critical, stale, rateLimited, sessionInactive, noData
  std::int64_t warn = 0;       // the level from which a model window joins the one-line text
  std::int64_t critical = 0;   // the level from which a window is critical
  std::string level;           // ok, warning or critical by `percentage`, whatever the status
  PercentShown shown = PercentShown::used;
  // Extra usage is on and a plan window is used up: every message now costs money.
  bool payingExtra = false;
  // Lines drawn from the history for the long and waybar formats; empty when none was read.
  std::vector<std::string> trends;
  // The service's own trouble, machine-wide, which the reader sets from the status file; nothing
  // when all is well or the file says nothing fresh.
  std::optional<ServiceView> service;
  std::optional<ServiceStatus> serviceStatus; // the file while fresh, whatever it says

  static UsageView of(const PlanSnapshot &snapshot, Instant now, const ViewOptions &options,
                      const RecentUsage *recent = nullptr);
};

} // namespace quorbel
