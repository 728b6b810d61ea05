#include "app/child_process.hpp"
#include "icon/usage_icon.hpp"
#include "store/snapshot_store.hpp"
#include "support/deadline.hpp"
#include "support/snapshots.hpp"
#include "support/temp_dir.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <csignal>
#include <memory>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::fetchedNow;

using Bus = std::unique_ptr<sd_bus, sd_bus *(*)(sd_bus *)>;
using Message = std::unique_ptr<sd_bus_message, sd_bus_message *(*)(sd_bus_message *)>;

constexpr const char *kItem = "org.kde.StatusNotifierItem";
constexpr const char *kMenu = "com.canonical.dbusmenu";

// What the stand-in watcher was asked: the names items registered by.
int onWatcherCall(sd_bus_message *call, void *names, sd_bus_error *) {
  const char *name = nullptr;
  if (std::string_view(sd_bus_message_get_member(call)) != "RegisterStatusNotifierItem" ||
      sd_bus_message_read(call, "s", &name) < 0) {
    return 0;
  }
  static_cast<std::vector<std::string> *>(names)->push_back(name);
  return sd_bus_reply_method_return(call, "");
}

int onItemSignal(sd_bus_message *signal, void *members, sd_bus_error *) {
  static_cast<std::vector<std::string> *>(members)->push_back(sd_bus_message_get_member(signal));
  return 0;
}

// A bus of the test's own with a stand-in tray: a watcher that records registrations, and a host
// connection that reads the item and records its signals.
class TrayItemTest : public ::testing::Test {
protected:
  void SetUp() override {
    testing::writeFile(home / "bus.conf",
                       "<busconfig><type>session</type><listen>" + address +
                           "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
                           "send_destination=\"*\"/><allow receive_sender=\"*\"/><allow "
                           "own=\"*\"/></policy></busconfig>\n");
    daemon = std::make_unique<ChildProcess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{},
        ChildProcess::Options{.arguments = {"--config-file=" + (home / "bus.conf").string(),
                                            "--nofork", "--print-address"}});
    ASSERT_TRUE(daemon->waitFor([&] { return !daemon->standardOutput().empty(); }, 5s));
    host = connect();
  }

  Bus connect() {
    sd_bus *bus = nullptr;
    EXPECT_GE(sd_bus_new(&bus), 0);
    sd_bus_set_address(bus, address.c_str());
    sd_bus_set_bus_client(bus, 1);
    EXPECT_GE(sd_bus_start(bus), 0);
    return Bus(bus, sd_bus_flush_close_unref);
  }

  void startWatcher() {
    watcher = connect();
    registered.clear();
    ASSERT_GE(sd_bus_add_object(watcher.get(), nullptr, "/StatusNotifierWatcher", onWatcherCall,
                                &registered),
              0);
    ASSERT_GE(sd_bus_request_name(watcher.get(), "org.kde.StatusNotifierWatcher", 0), 0);
  }

  std::unique_ptr<ChildProcess> startTray(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"--file", file.string()});
    auto tray = std::make_unique<ChildProcess>(
        QUORBEL_TRAY_BINARY,
        std::vector<std::string>{"HOME=" + home.path().string(),
                                 "DBUS_SESSION_BUS_ADDRESS=" + address, "PATH=/usr/bin:/bin"},
        ChildProcess::Options{.arguments = arguments});
    name = std::string(kItem) + "-" + std::to_string(tray->pid()) + "-1";
    return tray;
  }

  // Serves the stand-ins until `done` holds.
  bool pump(const std::function<bool()> &done) {
    return testing::eventually([&] {
      while (sd_bus_process(host.get(), nullptr) > 0) {
      }
      while (watcher && sd_bus_process(watcher.get(), nullptr) > 0) {
      }
      return done();
    });
  }

  Message property(const char *path, const char *interface, const char *member, const char *type) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    const int r = sd_bus_get_property(host.get(), name.c_str(), path, interface, member, &error,
                                      &reply, type);
    EXPECT_GE(r, 0) << member << ": " << (error.message != nullptr ? error.message : "");
    sd_bus_error_free(&error);
    return Message(reply, sd_bus_message_unref);
  }

  std::string text(const char *member) {
    const Message reply = property("/StatusNotifierItem", kItem, member, "s");
    const char *value = "";
    EXPECT_GE(sd_bus_message_read(reply.get(), "s", &value), 0);
    return value;
  }

  // Calls a menu method; the D-Bus error's name, or "" when it answered.
  std::string callMenu(const char *member, const char *types, std::int32_t id) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    int r = 0;
    if (std::string_view(types) == "isvu") {
      r = sd_bus_call_method(host.get(), name.c_str(), "/MenuBar", kMenu, member, &error, &reply,
                             types, id, "clicked", "s", "", 0u);
    } else if (std::string_view(types) == "iias") {
      r = sd_bus_call_method(host.get(), name.c_str(), "/MenuBar", kMenu, member, &error, &reply,
                             types, id, -1, 0);
    } else {
      r = sd_bus_call_method(host.get(), name.c_str(), "/MenuBar", kMenu, member, &error, &reply,
                             types, id);
    }
    const std::string failed = r < 0 && error.name != nullptr ? error.name : "";
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return failed;
  }

  bool nameHasOwner() {
    sd_bus_message *reply = nullptr;
    int owned = 0;
    sd_bus_call_method(host.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s", name.c_str());
    sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    return owned != 0;
  }

  void save(const PlanSnapshot &snapshot) { SnapshotStore(file).save(snapshot); }

  testing::ScopedTempDir home;
  std::filesystem::path file = home / "plan-snapshot.json";
  std::string address = "unix:path=" + (home / "bus").string();
  std::unique_ptr<ChildProcess> daemon;
  Bus host{nullptr, sd_bus_flush_close_unref};
  Bus watcher{nullptr, sd_bus_flush_close_unref};
  std::vector<std::string> registered;
  std::string name;
};

// The menu's items as "id label" or "id -" for a separator, "(off)" after a disabled one.
std::vector<std::string> menuItems(sd_bus_message *reply) {
  std::vector<std::string> items;
  std::uint32_t revision = 0;
  std::int32_t id = 0;
  sd_bus_message_read(reply, "u", &revision);
  sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
  sd_bus_message_read(reply, "i", &id);
  sd_bus_message_skip(reply, "a{sv}");
  sd_bus_message_enter_container(reply, 'a', "v");
  while (sd_bus_message_enter_container(reply, 'v', "(ia{sv}av)") > 0) {
    sd_bus_message_enter_container(reply, 'r', "ia{sv}av");
    sd_bus_message_read(reply, "i", &id);
    std::string item = std::to_string(id);
    sd_bus_message_enter_container(reply, 'a', "{sv}");
    while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
      const char *key = nullptr, *value = nullptr;
      int flag = 1;
      sd_bus_message_read(reply, "s", &key);
      const std::string_view property = key;
      if (property == "label") {
        sd_bus_message_read(reply, "v", "s", &value);
        item += std::string(" ") + value;
      } else if (property == "type") {
        sd_bus_message_read(reply, "v", "s", &value);
        item += std::string(" -") + (std::string_view(value) == "separator" ? "" : value);
      } else if (property == "enabled") {
        sd_bus_message_read(reply, "v", "b", &flag);
        item += flag != 0 ? "" : " (off)";
      } else {
        sd_bus_message_skip(reply, "v");
      }
      sd_bus_message_exit_container(reply);
    }
    sd_bus_message_exit_container(reply);
    sd_bus_message_skip(reply, "av");
    sd_bus_message_exit_container(reply);
    sd_bus_message_exit_container(reply);
    items.push_back(item);
  }
  return items;
}

// An item as a host sees it: registered by its bus name, its properties, icons of every size as
// drawn, the menu with escaped labels, errors for odd calls, a click, and "Quit".
TEST_F(TrayItemTest, RegistersAndAnswersAsAHostReadsIt) {
  PlanSnapshot hostile = fetchedNow(41);
  hostile.subscriptionType = "max<b>_x\x07";
  save(hostile);
  startWatcher();
  auto tray = startTray({"--open-command", "touch '" + (home / "opened").string() + "'"});
  ASSERT_TRUE(pump([&] { return !registered.empty(); })) << tray->standardError();
  EXPECT_EQ(registered, std::vector<std::string>{name});

  EXPECT_EQ(text("Title"), "Claude usage");
  EXPECT_EQ(text("Status"), "Active");
  EXPECT_EQ(text("IconName"), "");
  EXPECT_EQ(text("XAyatanaLabel"), "5h 41% \u00b7 7d 14%");
  const Message menuPath = property("/StatusNotifierItem", kItem, "Menu", "o");
  const char *path = "";
  sd_bus_message_read(menuPath.get(), "o", &path);
  EXPECT_STREQ(path, "/MenuBar");

  const Message tip = property("/StatusNotifierItem", kItem, "ToolTip", "(sa(iiay)ss)");
  const char *iconName = nullptr, *title = nullptr, *body = nullptr;
  ASSERT_GE(sd_bus_message_enter_container(tip.get(), 'r', "sa(iiay)ss"), 0);
  ASSERT_GE(sd_bus_message_read(tip.get(), "s", &iconName), 0);
  ASSERT_GE(sd_bus_message_skip(tip.get(), "a(iiay)"), 0);
  ASSERT_GE(sd_bus_message_read(tip.get(), "ss", &title, &body), 0);
  EXPECT_STREQ(title, "Claude usage");
  EXPECT_NE(std::string_view(body).find("Plan: max&lt;b&gt;_x\n"), std::string::npos) << body;

  const Message icons = property("/StatusNotifierItem", kItem, "IconPixmap", "a(iiay)");
  ASSERT_GE(sd_bus_message_enter_container(icons.get(), 'a', "(iiay)"), 0);
  const IconLook expected{41, IconTone::ok, IconMark::none};
  for (const int size : kIconSizes) {
    SCOPED_TRACE(size);
    std::int32_t width = 0, height = 0;
    const void *bytes = nullptr;
    std::size_t length = 0;
    ASSERT_GT(sd_bus_message_enter_container(icons.get(), 'r', "iiay"), 0);
    ASSERT_GE(sd_bus_message_read(icons.get(), "ii", &width, &height), 0);
    ASSERT_GE(sd_bus_message_read_array(icons.get(), 'y', &bytes, &length), 0);
    sd_bus_message_exit_container(icons.get());
    EXPECT_EQ(width, size);
    EXPECT_EQ(height, size);
    const auto *begin = static_cast<const std::uint8_t *>(bytes);
    EXPECT_EQ(std::vector<std::uint8_t>(begin, begin + length), drawUsageIcon(expected, size).argb);
  }
  EXPECT_EQ(sd_bus_message_enter_container(icons.get(), 'r', "iiay"), 0); // no other size

  sd_bus_message *layout = nullptr;
  ASSERT_GE(sd_bus_call_method(host.get(), name.c_str(), "/MenuBar", kMenu, "GetLayout", nullptr,
                               &layout, "iias", 0, -1, 0),
            0);
  const std::vector<std::string> items = menuItems(layout);
  sd_bus_message_unref(layout);
  ASSERT_GE(items.size(), 6u);
  EXPECT_TRUE(items[0].starts_with("10 5h ") && items[0].ends_with(" (off)")) << items[0];
  EXPECT_NE(std::find(items.begin(), items.end(), "14 Plan: max<b>__x (off)"), items.end())
      << ::testing::PrintToString(items);
  EXPECT_EQ(std::vector<std::string>(items.end() - 3, items.end()),
            (std::vector<std::string>{"3 -", "1 Open details", "2 Quit"}));

  // Hosts ask for the root's properties beside the items'.
  sd_bus_message *group = nullptr;
  const std::int32_t ids[] = {0, 2, 99};
  sd_bus_message *call = nullptr;
  ASSERT_GE(sd_bus_message_new_method_call(host.get(), &call, name.c_str(), "/MenuBar", kMenu,
                                           "GetGroupProperties"),
            0);
  sd_bus_message_append_array(call, 'i', ids, sizeof ids);
  sd_bus_message_append(call, "as", 0);
  ASSERT_GE(sd_bus_call(host.get(), call, 0, nullptr, &group), 0);
  sd_bus_message_unref(call);
  std::vector<std::int32_t> answered;
  sd_bus_message_enter_container(group, 'a', "(ia{sv})");
  for (std::int32_t id = 0; sd_bus_message_enter_container(group, 'r', "ia{sv}") > 0;) {
    sd_bus_message_read(group, "i", &id);
    sd_bus_message_skip(group, "a{sv}");
    sd_bus_message_exit_container(group);
    answered.push_back(id);
  }
  sd_bus_message_unref(group);
  EXPECT_EQ(answered, (std::vector<std::int32_t>{0, 2}));

  // Odd calls get errors and leave the item running.
  const char *const invalid = SD_BUS_ERROR_INVALID_ARGS;
  EXPECT_EQ(callMenu("GetLayout", "iias", 99), invalid);
  EXPECT_EQ(callMenu("GetProperty", "i", 1), invalid); // the property's name missing
  EXPECT_EQ(callMenu("Event", "isvu", 77), invalid);
  EXPECT_EQ(callMenu("AboutToShow", "i", 0), "");
  ASSERT_GE(sd_bus_call_method(host.get(), name.c_str(), "/StatusNotifierItem", kItem, "Activate",
                               nullptr, nullptr, "ii", 0, 0),
            0);
  EXPECT_TRUE(testing::eventually([&] { return std::filesystem::exists(home / "opened"); }));
  EXPECT_FALSE(tray->exited());

  EXPECT_EQ(callMenu("Event", "isvu", 2), "");
  EXPECT_EQ(tray->waitForExit(5s), 0);
  EXPECT_FALSE(nameHasOwner());
}

// A change to the file sends the signals for what it changes and no others.
TEST_F(TrayItemTest, SignalsOnlyWhatAChangeChanges) {
  save(fetchedNow(41));
  startWatcher();
  auto tray = startTray();
  ASSERT_TRUE(pump([&] { return !registered.empty(); })) << tray->standardError();
  std::vector<std::string> signals;
  const std::string rule = "type='signal',sender='" + name + "'";
  ASSERT_GE(sd_bus_add_match(host.get(), nullptr, rule.c_str(), onItemSignal, &signals), 0);

  PlanSnapshot renamed = fetchedNow(96);
  renamed.subscriptionType = "pro";
  PlanSnapshot stale = renamed;
  stale.fetchedAt -= 1h;
  struct Case {
    const char *name;
    PlanSnapshot snapshot;
    std::vector<std::string> signals;
    std::string status;
  };
  const Case cases[] = {
      {"critical",
       fetchedNow(96),
       {"NewIcon", "NewToolTip", "XAyatanaNewLabel", "NewStatus", "LayoutUpdated"},
       "NeedsAttention"},
      {"plan renamed", renamed, {"NewToolTip", "LayoutUpdated"}, "NeedsAttention"},
      {"stale",
       stale,
       {"NewIcon", "NewToolTip", "XAyatanaNewLabel", "NewStatus", "LayoutUpdated"},
       "Active"},
      {"weekly window only",
       fetchedNow(41, 20),
       {"NewIcon", "NewToolTip", "XAyatanaNewLabel", "LayoutUpdated"},
       "Active"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    signals.clear();
    save(c.snapshot);
    EXPECT_TRUE(pump([&] { return signals.size() >= c.signals.size(); }));
    EXPECT_EQ(signals, c.signals);
    EXPECT_EQ(text("Status"), c.status);
  }
  EXPECT_EQ(tray->endWith(SIGTERM), 0);
}

// Without a session bus the item ends with one line; without a tray it says so once and waits;
// a watcher that starts, or starts again, gets the item registered.
TEST_F(TrayItemTest, WaitsForATrayAndRegistersAgainWhenTheWatcherRestarts) {
  save(fetchedNow(41));
  ChildProcess noBus(QUORBEL_TRAY_BINARY,
                     {"HOME=" + home.path().string(),
                      "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home / "none").string()},
                     {.arguments = {"--file", file.string()}});
  EXPECT_EQ(noBus.waitForExit(5s), 1);
  EXPECT_EQ(testing::linesOf(noBus.standardError()).size(), 1u) << noBus.standardError();
  EXPECT_TRUE(noBus.standardError().starts_with("quorbel-tray: cannot connect to the session bus"))
      << noBus.standardError();

  auto tray = startTray();
  ASSERT_TRUE(tray->waitFor(
      [&] { return tray->standardError().find("no tray") != std::string::npos; }, 5s));
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    watcher.reset();
    startWatcher();
    ASSERT_TRUE(pump([&] { return !registered.empty(); })) << tray->standardError();
    EXPECT_EQ(registered, std::vector<std::string>{name});
  }
  EXPECT_EQ(tray->endWith(SIGTERM), 0);
  EXPECT_EQ(testing::linesOf(tray->standardError()).size(), 1u) << tray->standardError();
  EXPECT_FALSE(nameHasOwner());
}

} // namespace
} // namespace quorbel
