#pragma once

#include "app/child_process.hpp"
#include "support/temp_dir.hpp"
#include "support/text.hpp"

#include <systemd/sd-bus.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace quorbel::testing {

// A private D-Bus session bus, a dbus-daemon of its own listening on `socket`, for as long as it
// lives. Nothing on it is activatable, so no real notification service can start on it.
class PrivateSessionBus {
public:
  static constexpr const char *kDaemon = "/usr/bin/dbus-daemon";

  static bool available() { return std::filesystem::exists(kDaemon); }

  explicit PrivateSessionBus(const std::filesystem::path &socket) {
    const auto config = directory_ / "bus.conf";
    writeFile(config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                      "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                      "<busconfig><type>session</type><listen>unix:path=" +
                          socket.string() +
                          "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                          "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                          "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    daemon_ = std::make_unique<ChildProcess>(
        kDaemon, std::vector<std::string>{"PATH=/usr/bin:/bin"},
        ChildProcess::Options{
            .arguments = {"--config-file=" + config.string(), "--nofork", "--print-address"}});
    // The address is printed once the bus listens.
    if (!daemon_->waitFor([&] { return !linesOf(daemon_->standardOutput()).empty(); },
                          std::chrono::seconds(5))) {
      throw std::runtime_error("dbus-daemon did not start: " + daemon_->standardError());
    }
    address_ = linesOf(daemon_->standardOutput()).front();
  }

  const std::string &address() const { return address_; }

private:
  ScopedTempDir directory_;
  std::unique_ptr<ChildProcess> daemon_; // killed and reaped with this object
  std::string address_;
};

// One Notify call as the service received it.
struct ReceivedNotification {
  std::string appName;
  std::uint32_t replacesId = 0;
  std::string icon;
  std::string summary;
  std::string body;
  std::size_t actions = 0;
  std::optional<std::uint8_t> urgency;
  std::int32_t expireTimeout = 0;
};

// Stands in for a desktop's notification daemon: owns org.freedesktop.Notifications on the bus at
// `address` and records every Notify call, serving in a thread of its own.
class StandInNotificationService {
public:
  explicit StandInNotificationService(const std::string &address) {
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0 ||
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", kVtable, this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) < 0) {
      sd_bus_flush_close_unref(bus_);
      throw std::runtime_error("cannot serve org.freedesktop.Notifications at " + address);
    }
    thread_ = std::thread([this] {
      while (!stop_) {
        if (sd_bus_process(bus_, nullptr) <= 0) {
          sd_bus_wait(bus_, 20'000);
        }
      }
    });
  }
  ~StandInNotificationService() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
  }
  StandInNotificationService(const StandInNotificationService &) = delete;
  StandInNotificationService &operator=(const StandInNotificationService &) = delete;

  std::vector<ReceivedNotification> received() {
    const std::lock_guard lock(mutex_);
    return received_;
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(5),
                             [&] { return received_.size() >= count; });
  }

private:
  static int onNotify(sd_bus_message *message, void *self, sd_bus_error *) {
    ReceivedNotification got;
    const char *appName = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    int r =
        sd_bus_message_read(message, "susss", &appName, &got.replacesId, &icon, &summary, &body);
    got.appName = appName ? appName : "";
    got.icon = icon ? icon : "";
    got.summary = summary ? summary : "";
    got.body = body ? body : "";
    r = r < 0 ? r : sd_bus_message_enter_container(message, 'a', "s");
    const char *action = nullptr;
    while (r >= 0 && sd_bus_message_read(message, "s", &action) > 0) {
      ++got.actions;
    }
    r = r < 0 ? r : sd_bus_message_exit_container(message);
    r = r < 0 ? r : sd_bus_message_enter_container(message, 'a', "{sv}");
    while (r >= 0 && sd_bus_message_enter_container(message, 'e', "sv") > 0) {
      const char *key = nullptr;
      std::uint8_t urgency = 0;
      sd_bus_message_read(message, "s", &key);
      if (std::string_view(key ? key : "") == "urgency" &&
          sd_bus_message_read(message, "v", "y", &urgency) >= 0) {
        got.urgency = urgency;
      } else {
        sd_bus_message_skip(message, "v");
      }
      sd_bus_message_exit_container(message);
    }
    r = r < 0 ? r : sd_bus_message_exit_container(message);
    r = r < 0 ? r : sd_bus_message_read(message, "i", &got.expireTimeout);
    if (r < 0) {
      return r;
    }
    auto &service = *static_cast<StandInNotificationService *>(self);
    std::uint32_t id = 0;
    {
      const std::lock_guard lock(service.mutex_);
      service.received_.push_back(got);
      id = std::uint32_t(service.received_.size());
    }
    service.arrived_.notify_all();
    return sd_bus_reply_method_return(message, "u", id);
  }

  static constexpr sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", onNotify, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };

  sd_bus *bus_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<ReceivedNotification> received_;
};

} // namespace quorbel::testing
