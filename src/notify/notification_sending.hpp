#pragma once

#include "notify/notification_rules.hpp"

#include <stdexcept>
#include <string>

namespace quorbel {

// Why a notification could not be shown; the message says what to check.
class NotificationError : public std::runtime_error {
public:
  enum class Kind {
    noBus,     // no session bus to connect to
    noService, // the bus has no notification service
    failed,    // the service or the bus refused the call
  };

  NotificationError(Kind kind, const std::string &message)
      : std::runtime_error(message), kind_(kind) {}

  Kind kind() const { return kind_; }

private:
  Kind kind_;
};

// Shows desktop notifications. A seam, so the notifier's rules run without a desktop.
class NotificationSending {
public:
  virtual ~NotificationSending() = default;

  // Shows `notification` or throws NotificationError.
  virtual void send(const DesktopNotification &notification) = 0;
};

} // namespace quorbel
