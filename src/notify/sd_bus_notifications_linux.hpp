#pragma once

#include "notify/notification_sending.hpp"

struct sd_bus;

namespace quorbel {

// Calls org.freedesktop.Notifications.Notify on the session bus through sd-bus. Connects on the
// first notification and keeps the connection; a connection that has died with its bus (the user
// logged out and in again) is replaced once per notification.
class SdBusNotifications final : public NotificationSending {
public:
  SdBusNotifications() = default;
  ~SdBusNotifications() override;
  SdBusNotifications(const SdBusNotifications &) = delete;
  SdBusNotifications &operator=(const SdBusNotifications &) = delete;

  void send(const DesktopNotification &notification) override;

private:
  void disconnect();

  sd_bus *bus_ = nullptr;
};

} // namespace quorbel
