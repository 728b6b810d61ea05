#include "view/usage_view.hpp"

#include "model/display_text.hpp"
#include "model/enum_names.hpp"
#include "view/usage_level.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <vector>

namespace quorbel {
namespace {

using std::chrono::seconds;

constexpr std::int64_t kFullPercent = 100;

constexpr EnumNames kPercentShownNames{std::array<std::pair<PercentShown, std::string_view>, 2>{{
    {PercentShown::used, "used"},
    {PercentShown::remaining, "remaining"},
}}};

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

WindowView withPace(WindowView window, std::chrono::seconds length, Instant now,
                    const std::vector<UsagePoint> *recent) {
  window.pace = paceOf(window.percent, window.resetsAt, length, now, recent);
  return window;
}

// A model's samples, when the history was read: none yet is still a history to choose from.
const std::vector<UsagePoint> *recentOfModel(const RecentUsage *recent, std::string_view model) {
  static const std::vector<UsagePoint> kNone;
  if (recent == nullptr) {
    return nullptr;
  }
  const auto found = recent->models.find(model);
  return found == recent->models.end() ? &kNone : &found->second;
}

// The file's strings are data from outside: every format and notification shows them cleaned.
PlanSnapshot shownSnapshot(PlanSnapshot snapshot) {
  for (std::optional<std::string> *text : {&snapshot.subscriptionType, &snapshot.rateLimitTier}) {
    if (*text) {
      **text = displayText(**text);
    }
  }
  for (ModelWindow &window : snapshot.modelWindows) {
    window.model = displayText(window.model);
  }
  return snapshot;
}

// Plan windows come first, and only a fuller window displaces the one found.
std::optional<WindowView> fullestOf(const UsageView &view) {
  std::optional<WindowView> fullest;
  const auto consider = [&fullest](const WindowView &window) {
    if (!fullest || window.shownPercent > fullest->shownPercent) {
      fullest = window;
    }
  };
  for (const auto *window : {&view.session, &view.allModels}) {
    if (*window) {
      consider(**window);
    }
  }
  for (const WindowView &window : view.models) {
    consider(window);
  }
  return fullest;
}

} // namespace

std::optional<PercentShown> percentShownNamed(std::string_view name) {
  return kPercentShownNames.named(name);
}

UsageView UsageView::of(const PlanSnapshot &snapshot, Instant now, const ViewOptions &options,
                        const RecentUsage *recent) {
  UsageView view;
  view.snapshot = shownSnapshot(snapshot);
  view.now = now;
  view.warn = options.warn;
  view.critical = options.critical;
  view.shown = options.shown;
  // Read at each look, so a watcher shows a new answer as soon as the helper writes it.
  if (!options.serviceStatusFile.empty()) {
    if (auto status = readServiceStatus(options.serviceStatusFile);
        status && ServiceView::fresh(*status, now)) {
      view.serviceStatus = std::move(status);
      view.service = ServiceView::of(view.serviceStatus, now);
    }
  }
  view.session = planWindowView("5h", snapshot.session, now);
  view.allModels = planWindowView("7d", snapshot.allModels, now);
  for (const ModelWindow &window : view.snapshot.modelWindows) {
    view.models.push_back(viewOf(window.model, window.percent, window.resetsAt, now));
  }
  if (view.session) {
    view.session = withPace(*view.session, kSessionWindowLength, now,
                            recent != nullptr ? &recent->session : nullptr);
  }
  if (view.allModels) {
    view.allModels = withPace(*view.allModels, kWeeklyWindowLength, now,
                              recent != nullptr ? &recent->allModels : nullptr);
  }
  for (WindowView &window : view.models) {
    window = withPace(window, kWeeklyWindowLength, now, recentOfModel(recent, window.label));
  }
  view.fetched = view.session || view.allModels || !view.models.empty() ||
                 snapshot.effectiveStatus() == PlanStatus::active;
  view.age = std::max(seconds{0}, std::chrono::duration_cast<seconds>(now - snapshot.fetchedAt));
  view.stale = view.fetched && view.age > options.staleAfter;
  view.fullest = fullestOf(view);
  view.percentage = view.fullest ? view.fullest->shownPercent : 0;
  const auto full = [](const std::optional<WindowView> &window) {
    return window && window->shownPercent >= kFullPercent;
  };
  view.payingExtra = snapshot.extraUsage && (full(view.session) || full(view.allModels));
  view.level =
      std::string(levelClass(usageLevelOf(view.percentage, options.warn, options.critical)));
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

} // namespace quorbel
