#pragma once

#include "notify/notification_rules.hpp"

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

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

// Where a notifier says what went wrong: one message for standard error, without its newline.
using NotifierErrors = std::function<void(std::string_view message)>;

// Says `problem` unless it is the one said last (`lastTold`), so a cause that lasts all day costs
// one line rather than one a look; a caller clears `lastTold` once the cause has gone.
void tellOnce(const NotifierErrors &errors, const std::string &problem, std::string &lastTold);

// Shows `notification`, or says once why it cannot and returns false: the notification is then not
// recorded, so it stays due for the next look.
bool sendOrTellOnce(NotificationSending &sender, const DesktopNotification &notification,
                    const NotifierErrors &errors, std::string &lastSendProblem);

} // namespace quorbel
