#pragma once

#include "view/usage_level.hpp"
#include "view/usage_view.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace quorbel {

// What the user has been told about one window in one of its periods.
struct WindowRecord {
  std::string period; // the window's reset time when first seen; empty for a window without one
  UsageLevel notified = UsageLevel::none;
  bool resetSent = false; // "available again", once a full window has reset

  bool operator==(const WindowRecord &) const = default;
};

// What the user has been told about extra usage this month. A month is known by its amount: one
// that falls (or comes in other units) belongs to a new month, which starts with nothing told.
struct ExtraUsageRecord {
  std::string currency;
  std::int64_t exponent = 0;
  std::int64_t used = 0; // at the last look
  bool spendingSent = false;
  UsageLevel capNotified = UsageLevel::none; // the highest share of the cap told

  bool operator==(const ExtraUsageRecord &) const = default;
};

// Everything the notifier remembers, so that neither a new look nor a restart repeats itself.
struct NotifierState {
  std::map<std::string, WindowRecord> windows; // "session", "allModels", "model:<name>"
  bool signedOut = false; // the user has been told the session signed out (not merely expired)
  std::optional<ExtraUsageRecord> extraUsage; // absent until extra usage is first seen on

  bool operator==(const NotifierState &) const = default;
};

// One freedesktop notification.
struct DesktopNotification {
  enum class Urgency : std::uint8_t { low = 0, normal = 1, critical = 2 };

  std::string summary;
  std::string body;
  Urgency urgency = Urgency::normal;

  bool operator==(const DesktopNotification &) const = default;
};

struct DueNotification {
  DesktopNotification notification;
  NotifierState stateAfter; // the state once it has been shown
};

// The state brought up to the windows' current periods where nothing is left to tell: a window in
// a new period starts again with nothing notified. A full window whose "available again" is not
// yet shown keeps its old period until it is.
NotifierState settledState(const NotifierState &state, const UsageView &view);

// The first notification that `view` calls for, given what `state` says was told already: the
// session signed out or back, a full window that has reset, a window that has risen to a new
// level, extra usage being spent while a window is full, extra usage rising through a level of its
// cap. Nothing when all has been told.
std::optional<DueNotification> nextNotification(const NotifierState &state, const UsageView &view,
                                                const ViewOptions &options);

// When a notification may fall due with the snapshot unchanged: the reset time of a full window.
std::optional<Instant> nextNotificationTime(const NotifierState &state, Instant now);

} // namespace quorbel
