#include "status/sd_bus_notifications_linux.hpp"

#include <systemd/sd-bus.h>

#include <cstring>

namespace quorbel {
namespace {

constexpr const char *kService = "org.freedesktop.Notifications";
constexpr const char *kObjectPath = "/org/freedesktop/Notifications";
constexpr const char *kInterface = "org.freedesktop.Notifications";
constexpr const char *kAppName = "QuorbelHelper";
constexpr std::uint32_t kNewNotification = 0; // replaces_id 0: a notification of its own
constexpr std::int32_t kServerDefaultTimeout = -1;
// sd-bus waits 25 s by default; a notification service that hangs must not hold the watch that
// long.
constexpr std::uint64_t kCallTimeoutMicroseconds = 5'000'000;

} // namespace

SdBusNotifications::~SdBusNotifications() { disconnect(); }

void SdBusNotifications::disconnect() {
  if (bus_ != nullptr) {
    sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
  }
}

void SdBusNotifications::send(const DesktopNotification &notification) {
  for (;;) {
    const bool fresh = bus_ == nullptr;
    if (fresh) {
      // DBUS_SESSION_BUS_ADDRESS, or $XDG_RUNTIME_DIR/bus without it.
      const int opened = sd_bus_open_user(&bus_);
      if (opened < 0) {
        bus_ = nullptr;
        throw NotificationError(NotificationError::Kind::noBus,
                                std::string("cannot connect to the session bus: ") +
                                    std::strerror(-opened));
      }
      sd_bus_set_method_call_timeout(bus_, kCallTimeoutMicroseconds);
    }
    // All zero is SD_BUS_ERROR_NULL, which C++ cannot spell: it is a C compound literal.
    sd_bus_error error{};
    sd_bus_message *reply = nullptr;
    const int called = sd_bus_call_method(
        bus_, kService, kObjectPath, kInterface, "Notify", &error, &reply, "susssasa{sv}i",
        kAppName, kNewNotification, "", notification.summary.c_str(), notification.body.c_str(),
        0, // no actions
        1, "urgency", "y", std::uint8_t(notification.urgency), kServerDefaultTimeout);
    sd_bus_message_unref(reply);
    if (called >= 0) {
      sd_bus_error_free(&error);
      return;
    }
    const bool noService = sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                           sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
    const std::string cause = sd_bus_error_is_set(&error) && error.message != nullptr
                                  ? error.message
                                  : std::strerror(-called);
    sd_bus_error_free(&error);
    if (noService) {
      throw NotificationError(NotificationError::Kind::noService,
                              std::string("no notification service (") + kService +
                                  ") on the session bus");
    }
    disconnect();
    if (fresh) {
      throw NotificationError(NotificationError::Kind::failed, "Notify failed: " + cause);
    }
  }
}

} // namespace quorbel
