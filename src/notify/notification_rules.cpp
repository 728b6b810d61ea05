#include "notify/notification_rules.hpp"

#include "model/display_text.hpp"
#include "model/duration_text.hpp"
#include "view/money_text.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace quorbel {
namespace {

constexpr std::int64_t kFullPercent = 100;
// Reset times come with a fraction of a second that may move between two answers. A window's next
// period starts after the last one has ended and runs for hours, so a reset time within this of
// the recorded one belongs to the same period.
constexpr auto kSamePeriodTolerance = std::chrono::hours(1);
constexpr std::string_view kModelKeyPrefix = "model:";

struct Shown {
  std::string key;
  const WindowView *window;
};

std::vector<Shown> shownWindows(const UsageView &view) {
  std::vector<Shown> shown;
  if (view.session) {
    shown.push_back({"session", &*view.session});
  }
  if (view.allModels) {
    shown.push_back({"allModels", &*view.allModels});
  }
  for (const WindowView &window : view.models) {
    std::string key = std::string(kModelKeyPrefix) + window.label;
    // A file may name a model twice. Two periods under one key would each reset the other's
    // record at every settling, and the notifier would tell the same level without end.
    const auto sameKey = [&key](const Shown &other) { return other.key == key; };
    if (std::none_of(shown.begin(), shown.end(), sameKey)) {
      shown.push_back({std::move(key), &window});
    }
  }
  return shown;
}

const WindowView *findShown(const UsageView &view, const std::string &key) {
  for (const Shown &shown : shownWindows(view)) {
    if (shown.key == key) {
      return shown.window;
    }
  }
  return nullptr;
}

// How a notification names a window. A key may come from a state file written before model names
// were cleaned, so the name is cleaned here as well.
std::string titleOf(const std::string &key) {
  if (key == "session") {
    return "5-hour window";
  }
  if (key == "allModels") {
    return "weekly window";
  }
  return displayText(key.substr(std::min(key.size(), kModelKeyPrefix.size()))) + " weekly limit";
}

std::string periodOf(const WindowView &window) {
  return window.resetsAt ? formatInternetDate(*window.resetsAt) : std::string();
}

bool samePeriod(const std::string &recorded, const std::string &current) {
  if (recorded.empty() || current.empty()) {
    return recorded == current;
  }
  const auto before = PlanDateParser::dateFrom(recorded);
  const auto after = PlanDateParser::dateFrom(current);
  if (!before || !after) {
    return recorded == current;
  }
  return *after - *before < kSamePeriodTolerance && *before - *after < kSamePeriodTolerance;
}

std::string resetSentence(const WindowView &window) {
  if (!window.resetsAt) {
    return "No reset time reported.";
  }
  return window.reset ? "Its reset time has passed."
                      : "Resets in " + formatDuration(window.untilReset) + ".";
}

DesktopNotification levelNotification(const std::string &key, const WindowView &window,
                                      UsageLevel level) {
  using Urgency = DesktopNotification::Urgency;
  const std::string title = "Claude " + titleOf(key);
  if (level == UsageLevel::full) {
    return {title + " used up", resetSentence(window), Urgency::critical};
  }
  std::string body = resetSentence(window);
  if (window.pace) {
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for "\n" + temporary.
    body += '\n';
    body += paceText(*window.pace);
    body += '.';
  }
  return {title + " at " + std::to_string(window.shownPercent) + "%", body,
          level == UsageLevel::critical ? Urgency::critical : Urgency::normal};
}

std::optional<DueNotification> extraUsageNotification(const NotifierState &state,
                                                      const UsageView &view,
                                                      const ViewOptions &options) {
  using Urgency = DesktopNotification::Urgency;
  const std::optional<ExtraUsage> &money = view.snapshot.extraUsage;
  if (!money || !state.extraUsage) {
    return std::nullopt;
  }
  const std::string sentence = extraUsageSentence(*money) + ".";
  NotifierState after = state;
  if (view.payingExtra && money->used > 0 && !state.extraUsage->spendingSent) {
    after.extraUsage->spendingSent = true;
    return DueNotification{
        {"Claude is now using extra usage: " +
             formatMoney(money->used, money->exponent, money->currency) + " this month",
         "A usage window is at 100%: each message is paid for until it resets.\n" + sentence,
         Urgency::normal},
        after};
  }
  const auto percent = money->percentOfCap();
  if (!percent) {
    return std::nullopt;
  }
  const UsageLevel level = usageLevelOf(*percent, options.warn, options.critical);
  if (level <= state.extraUsage->capNotified) {
    return std::nullopt;
  }
  after.extraUsage->capNotified = level;
  if (level == UsageLevel::full) {
    return DueNotification{
        {"Claude extra usage has reached its monthly cap", sentence, Urgency::critical}, after};
  }
  return DueNotification{
      {"Claude extra usage at " + std::to_string(*percent) + "% of its monthly cap", sentence,
       level == UsageLevel::critical ? Urgency::critical : Urgency::normal},
      after};
}

} // namespace

NotifierState settledState(const NotifierState &state, const UsageView &view) {
  NotifierState settled = state;
  for (const Shown &shown : shownWindows(view)) {
    const std::string period = periodOf(*shown.window);
    const auto found = settled.windows.find(shown.key);
    if (found == settled.windows.end()) {
      settled.windows.emplace(shown.key, WindowRecord{period});
      continue;
    }
    WindowRecord &record = found->second;
    const bool resetUntold = record.notified == UsageLevel::full && !record.resetSent;
    if (!samePeriod(record.period, period) && !resetUntold) {
      record = WindowRecord{period};
    }
  }
  if (const auto &money = view.snapshot.extraUsage) {
    auto &record = settled.extraUsage;
    if (!record || record->currency != money->currency || record->exponent != money->exponent ||
        money->used < record->used) {
      record = ExtraUsageRecord{money->currency, money->exponent, money->used};
    } else {
      record->used = money->used;
    }
  }
  return settled;
}

std::optional<DueNotification> nextNotification(const NotifierState &state, const UsageView &view,
                                                const ViewOptions &options) {
  using Urgency = DesktopNotification::Urgency;
  const PlanStatus status = view.snapshot.effectiveStatus();
  // An expired token is no sign-out: the CLI renews it when it next runs, so telling the user
  // would raise a false alarm every evening and a "signed in again" every morning. After a real
  // sign-out, an expired token is not back yet either: only data is.
  const bool expired = view.snapshot.effectiveInactiveReason() == InactiveReason::expired;
  if (status == PlanStatus::sessionInactive && !expired && !state.signedOut) {
    NotifierState after = state;
    after.signedOut = true;
    return DueNotification{{"Claude Code signed out",
                            "QuorbelHelper cannot update your usage until you sign in again: "
                            "run `claude`.",
                            Urgency::normal},
                           after};
  }
  if (status == PlanStatus::active && state.signedOut) {
    NotifierState after = state;
    after.signedOut = false;
    return DueNotification{{"Claude Code signed in again",
                            "QuorbelHelper is updating your usage again.", Urgency::normal},
                           after};
  }
  for (const auto &[key, record] : state.windows) {
    if (record.notified != UsageLevel::full || record.resetSent) {
      continue;
    }
    const auto resetsAt = PlanDateParser::dateFrom(record.period);
    const WindowView *window = findShown(view, key);
    const bool passed = resetsAt && *resetsAt <= view.now;
    const bool newPeriod = window != nullptr && !samePeriod(record.period, periodOf(*window)) &&
                           window->percent < kFullPercent;
    if (passed || newPeriod) {
      NotifierState after = state;
      after.windows[key].resetSent = true;
      return DueNotification{{"Claude " + titleOf(key) + " available again",
                              "It had reached 100%; its limit has reset.", Urgency::normal},
                             after};
    }
  }
  for (const Shown &shown : shownWindows(view)) {
    const auto found = state.windows.find(shown.key);
    if (found == state.windows.end() ||
        !samePeriod(found->second.period, periodOf(*shown.window))) {
      continue; // not settled yet: what is owed to the old period comes first
    }
    const UsageLevel level =
        usageLevelOf(shown.window->shownPercent, options.warn, options.critical);
    if (level > found->second.notified) {
      NotifierState after = state;
      after.windows[shown.key].notified = level;
      return DueNotification{levelNotification(shown.key, *shown.window, level), after};
    }
  }
  return extraUsageNotification(state, view, options);
}

std::optional<Instant> nextNotificationTime(const NotifierState &state, Instant now) {
  std::optional<Instant> next;
  for (const auto &[key, record] : state.windows) {
    if (record.notified != UsageLevel::full || record.resetSent) {
      continue;
    }
    const auto resetsAt = PlanDateParser::dateFrom(record.period);
    if (resetsAt && *resetsAt > now && (!next || *resetsAt < *next)) {
      next = resetsAt;
    }
  }
  return next;
}

} // namespace quorbel
