#pragma once

#include "notify/notification_rules.hpp"

#include <stdexcept>
#include <string>

namespace quorbel {

// Why a notification could not be shown (no session bus, no notification service on it, or the
// call refused); the message says what to check. Every cause is handled alike: try again later.
class NotificationError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Shows desktop notifications. A seam, so the notifier's rules run without a desktop.
class NotificationSending {
public:
  virtual ~NotificationSending() = default;

  // Shows `notification` or throws NotificationError.
  virtual void send(const DesktopNotification &notification) = 0;
};

} // namespace quorbel
