#include "view/output_schedule.hpp"

#include "model/duration_text.hpp"

#include <ctime>
#include <vector>

namespace quorbel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The view counts whole seconds; data is stale once its age exceeds the limit by one.
constexpr seconds kStaleStep{1};

// The countdown to `target` reads formatDuration(whole seconds left): minutes under a day, hours
// beyond, "<1m" in the last minute, until the reset itself.
Instant nextCountdownStep(Instant target, Instant now) {
  const std::int64_t shown = std::chrono::duration_cast<seconds>(target - now).count();
  const std::int64_t step = durationStep(shown);
  if (step == 0) {
    return target;
  }
  // Shown as `below` while that much or more is left; a moment later it is less.
  return target - seconds(shown / step * step) + milliseconds(1);
}

// The data age reads "just now" for a minute, then minutes, then hours beyond a day.
Instant nextAgeStep(Instant since, Instant now) {
  const std::int64_t shown =
      std::max<std::int64_t>(0, std::chrono::duration_cast<seconds>(now - since).count());
  const std::int64_t step = shown >= kSecondsPerDay ? kSecondsPerHour : kSecondsPerMinute;
  return since + seconds((shown / step + 1) * step);
}

std::time_t localMidnight(std::time_t moment, int daysLater) {
  std::tm local{};
  localtime_r(&moment, &local);
  local.tm_mday += daysLater;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

// A reset time reads "17:00" on its own day and "Tue 17:00" on any other, so the text changes at
// the next midnight for a reset that falls today or tomorrow.
std::optional<Instant> nextDayNameChange(Instant resetsAt, Instant now) {
  const std::time_t today = toTimeT(now);
  const Instant start = instantFromTimeT(localMidnight(today, 0));
  const Instant tomorrow = instantFromTimeT(localMidnight(today, 1));
  const Instant dayAfter = instantFromTimeT(localMidnight(today, 2));
  if (resetsAt >= start && resetsAt < dayAfter) {
    return tomorrow;
  }
  return std::nullopt;
}

} // namespace

std::optional<Instant> nextOutputChange(const UsageView &view, OutputFormat format,
                                        const ViewOptions &options) {
  const Instant now = view.now;
  std::optional<Instant> next;
  const auto consider = [&](std::optional<Instant> at) {
    if (at && *at > now && (!next || *at < *next)) {
      next = at;
    }
  };
  const bool longForm = format == OutputFormat::longText || format == OutputFormat::waybar;
  const bool active = view.snapshot.effectiveStatus() == PlanStatus::active;

  // Staleness shows only beside active data; json carries the flag whatever the status.
  if (view.fetched && !view.stale && (active || format == OutputFormat::json)) {
    consider(view.snapshot.fetchedAt + options.staleAfter + kStaleStep);
  }
  if (longForm) {
    consider(nextAgeStep(view.snapshot.fetchedAt, now));
  }
  // A service answer that grows old shows nothing any more.
  if (view.serviceStatus) {
    consider(view.serviceStatus->checkedAt + kServiceStatusFreshFor + std::chrono::seconds(1));
  }

  struct Shown {
    const WindowView *window;
    seconds length;
    bool planWindow; // always in the one-line text; a model window only from the warning level on
  };
  std::vector<Shown> windows;
  if (view.session) {
    windows.push_back({&*view.session, kSessionWindowLength, true});
  }
  if (view.allModels) {
    windows.push_back({&*view.allModels, kWeeklyWindowLength, true});
  }
  for (const WindowView &window : view.models) {
    windows.push_back({&window, kWeeklyWindowLength, false});
  }
  for (const auto &[window, length, planWindow] : windows) {
    if (!window->resetsAt) {
      continue;
    }
    if (longForm) {
      consider(nextDayNameChange(*window->resetsAt, now));
    }
    if (window->reset) {
      continue;
    }
    // A reset changes nothing in the one-line text for a window at 0 % or one it leaves out.
    const bool inText =
        window->shownPercent > 0 && (planWindow || window->shownPercent >= view.warn);
    if (format != OutputFormat::text || inText) {
      consider(*window->resetsAt);
    }
    if (longForm) {
      consider(nextCountdownStep(*window->resetsAt, now));
      consider(nextPaceChange(window->percent, window->resetsAt, length, now));
    }
  }
  // Several accounts shorten an account to its fullest window, whichever it is: its reset changes
  // that line even where the account's own line leaves the window out.
  if (format == OutputFormat::text && view.fullest && view.fullest->resetsAt &&
      !view.fullest->reset) {
    consider(*view.fullest->resetsAt);
  }
  return next;
}

} // namespace quorbel
