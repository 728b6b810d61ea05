#include "notify/sd_bus_notifications_linux.hpp"

#include <systemd/sd-bus.h>

#include <dlfcn.h>

#include <cstring>
#include <string>

namespace quorbel {
namespace {

// libsystemd is loaded on the first notification, not linked: it brings libgcrypt and three
// compression libraries whose loading would more than double the time of every one-shot
// quorbel-status a bar runs, which never notifies.
struct SdBus {
  decltype(&sd_bus_open_user) openUser = nullptr;
  decltype(&sd_bus_set_method_call_timeout) setMethodCallTimeout = nullptr;
  decltype(&sd_bus_call_method) callMethod = nullptr;
  decltype(&sd_bus_message_unref) messageUnref = nullptr;
  decltype(&sd_bus_error_free) errorFree = nullptr;
  decltype(&sd_bus_error_has_name) errorHasName = nullptr;
  decltype(&sd_bus_error_is_set) errorIsSet = nullptr;
  decltype(&sd_bus_flush_close_unref) flushCloseUnref = nullptr;
  std::string loadError; // empty once every function was found
};

template <typename Function> bool resolve(void *library, const char *name, Function &function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

const SdBus &sdBus() {
  static const SdBus bus = [] {
    SdBus loaded;
    void *library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr ||
        !(resolve(library, "sd_bus_open_user", loaded.openUser) &&
          resolve(library, "sd_bus_set_method_call_timeout", loaded.setMethodCallTimeout) &&
          resolve(library, "sd_bus_call_method", loaded.callMethod) &&
          resolve(library, "sd_bus_message_unref", loaded.messageUnref) &&
          resolve(library, "sd_bus_error_free", loaded.errorFree) &&
          resolve(library, "sd_bus_error_has_name", loaded.errorHasName) &&
          resolve(library, "sd_bus_error_is_set", loaded.errorIsSet) &&
          resolve(library, "sd_bus_flush_close_unref", loaded.flushCloseUnref))) {
      const char *why = ::dlerror();
      loaded.loadError = why != nullptr ? why : "libsystemd.so.0 lacks an sd-bus function";
    }
    // Never unloaded: the process keeps the bus until it ends.
    return loaded;
  }();
  return bus;
}

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
    sdBus().flushCloseUnref(bus_);
    bus_ = nullptr;
  }
}

void SdBusNotifications::send(const DesktopNotification &notification) {
  const SdBus &sd = sdBus();
  if (!sd.loadError.empty()) {
    throw NotificationError("cannot load sd-bus from libsystemd: " + sd.loadError);
  }
  for (;;) {
    const bool fresh = bus_ == nullptr;
    if (fresh) {
      // DBUS_SESSION_BUS_ADDRESS, or $XDG_RUNTIME_DIR/bus without it.
      const int opened = sd.openUser(&bus_);
      if (opened < 0) {
        bus_ = nullptr;
        throw NotificationError(std::string("cannot connect to the session bus: ") +
                                std::strerror(-opened));
      }
      sd.setMethodCallTimeout(bus_, kCallTimeoutMicroseconds);
    }
    // All zero is SD_BUS_ERROR_NULL, which C++ cannot spell: it is a C compound literal.
    sd_bus_error error{};
    sd_bus_message *reply = nullptr;
    const int called = sd.callMethod(
        bus_, kService, kObjectPath, kInterface, "Notify", &error, &reply, "susssasa{sv}i",
        kAppName, kNewNotification, "", notification.summary.c_str(), notification.body.c_str(),
        0, // no actions
        1, "urgency", "y", std::uint8_t(notification.urgency), kServerDefaultTimeout);
    sd.messageUnref(reply);
    if (called >= 0) {
      sd.errorFree(&error);
      return;
    }
    const bool noService = sd.errorHasName(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                           sd.errorHasName(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
    const std::string cause =
        sd.errorIsSet(&error) && error.message != nullptr ? error.message : std::strerror(-called);
    sd.errorFree(&error);
    if (noService) {
      throw NotificationError(std::string("no notification service (") + kService +
                              ") on the session bus");
    }
    disconnect();
    if (fresh) {
      throw NotificationError("Notify failed: " + cause);
    }
  }
}

} // namespace quorbel
