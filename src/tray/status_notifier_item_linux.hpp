#pragma once

#include "icon/usage_icon.hpp"
#include "tray/dbus_menu_linux.hpp"
#include "tray/tray_look.hpp"

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sd_bus;
struct sd_bus_slot;
struct sd_bus_message;

namespace quorbel {

// The session bus cannot be reached or refuses what the item needs of it.
class TrayBusError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One StatusNotifierItem on the session bus with its menu (DbusMenu): what a
// panel's tray (KDE, GNOME's AppIndicator extension, Xfce, waybar) shows and asks. It registers
// with the watcher by its bus name, again each time the watcher's name gets a new owner, and
// sends a signal only for what a new look changes.
class StatusNotifierItem {
public:
  struct Hooks {
    std::function<void()> openDetails;                   // "Open details" or a click on the icon
    std::function<std::vector<std::string>()> freshRows; // the menu's rows at this moment
    std::function<void(std::string_view)> tell;          // one line for standard error
  };

  // Connects to the session bus and takes the item's name; throws TrayBusError. The item asks the
  // tray to show it at the first show().
  explicit StatusNotifierItem(Hooks hooks);
  ~StatusNotifierItem();
  StatusNotifierItem(const StatusNotifierItem &) = delete;
  StatusNotifierItem &operator=(const StatusNotifierItem &) = delete;

  void show(const TrayLook &look);

  // The bus connection's descriptor, and serve(): handles what has come in and returns the poll
  // events to wait for, or -1 once "Quit" was chosen or the bus has gone (see busLost()).
  int fd() const;
  int serve();
  bool busLost() const { return busLost_; }
  const std::string &busName() const { return busName_; }

  // The vtables' handlers; public only so the C callbacks can reach them.
  int propertyOf(std::string_view property, sd_bus_message *reply);
  void activate() { hooks_.openDetails(); }
  void registerWithWatcher();
  void registered(sd_bus_message *reply);

private:
  void emit(const char *member, const char *types = nullptr, const char *text = nullptr);

  Hooks hooks_;
  DbusMenu menu_; // after hooks_, whose functions it copies
  sd_bus *bus_ = nullptr;
  std::vector<sd_bus_slot *> slots_;
  std::string busName_;
  TrayLook look_;
  bool shown_ = false;
  UsageIconSet icons_;
  bool busLost_ = false;
  bool toldNoWatcher_ = false;
};

} // namespace quorbel
