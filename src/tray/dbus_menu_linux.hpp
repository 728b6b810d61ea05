#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct sd_bus;
struct sd_bus_slot;
struct sd_bus_message;

namespace quorbel {

// The tray item's menu over com.canonical.dbusmenu: the rows of information (disabled), then
// "Open details" and "Quit". The rows are read again whenever a host is about to draw the menu, so
// countdowns and the data's age are those of the moment it opens.
class DbusMenu {
public:
  static constexpr const char *kPath = "/MenuBar";
  static constexpr const char *kInterface = "com.canonical.dbusmenu";

  struct Hooks {
    std::function<void()> openDetails;                   // "Open details"
    std::function<std::vector<std::string>()> freshRows; // the menu's rows at this moment
  };

  explicit DbusMenu(Hooks hooks);
  ~DbusMenu();
  DbusMenu(const DbusMenu &) = delete;
  DbusMenu &operator=(const DbusMenu &) = delete;

  // Puts the menu's object on `bus` at kPath; the slot is the caller's to release.
  int addTo(sd_bus *bus, sd_bus_slot **slot);

  // The first rows, before any host has seen a layout: no new revision.
  void setRows(std::vector<std::string> rows) { rows_ = std::move(rows); }
  // Takes new rows; true, with a new revision, when they differ from the last ones.
  bool changeRows(std::vector<std::string> rows);
  // Tells hosts the layout has a new revision.
  int announceLayout(sd_bus *bus) const;
  bool quitChosen() const { return quit_; }

  // The vtable's handlers; public only so the C callbacks can reach them.
  int propertyOf(std::string_view property, sd_bus_message *reply);
  int getLayout(sd_bus_message *call);
  int getGroupProperties(sd_bus_message *call);
  int getProperty(sd_bus_message *call);
  int event(sd_bus_message *call);
  int eventGroup(sd_bus_message *call);
  int aboutToShow(sd_bus_message *call);
  int aboutToShowGroup(sd_bus_message *call);

private:
  struct Item;
  std::vector<Item> items() const;
  bool refreshRows();
  bool handleClick(std::int32_t id);

  Hooks hooks_;
  std::vector<std::string> rows_;
  std::uint32_t revision_ = 1;
  bool quit_ = false;
};

} // namespace quorbel
