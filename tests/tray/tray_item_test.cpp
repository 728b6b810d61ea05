#include "app/child_process.hpp"
#include "icon/usage_icon.hpp"
#include "store/snapshot_store.hpp"
#include "support/command.hpp"
#include "support/snapshots.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <systemd/sd-bus.h>

#include <csignal>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::ChildProcess;
using testing::fetchedNow;

// Records what the stand-in watcher was asked: the names items registered by.
int onWatcherCall(sd_bus_message *call, void *names, sd_bus_error *) {
  const char *name = nullptr;
  if (sd_bus_message_read(call, "s", &name) < 0) {
    return 0;
  }
  static_cast<std::vector<std::string> *>(names)->push_back(name);
  return sd_bus_reply_method_return(call, "");
}

int onItemSignal(sd_bus_message *signal, void *members, sd_bus_error *) {
  static_cast<std::vector<std::string> *>(members)->push_back(sd_bus_message_get_member(signal));
  return 0;
}

// A bus of the test's own with a stand-in tray: a watcher that records registrations and a host
// connection that records the item's signals; busctl reads the item as a host would.
class TrayItemTest : public ::testing::Test {
protected:
  using Bus = std::unique_ptr<sd_bus, sd_bus *(*)(sd_bus *)>;

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
    sd_bus_new(&bus);
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
    name = "org.kde.StatusNotifierItem-" + std::to_string(tray->pid()) + "-1";
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

  // busctl's answer as JSON ("data"; null when there is none), or the error it printed as a string.
  json busctl(const std::string &arguments) {
    const auto result =
        testing::runCommand("busctl --address='" + address + "' --json=short " + arguments, home);
    if (result.exitStatus != 0) {
      return result.err;
    }
    return result.out.empty() ? json() : json::parse(result.out)["data"];
  }
  json item(const std::string &property) {
    return busctl("get-property " + name + " /StatusNotifierItem org.kde.StatusNotifierItem " +
                  property);
  }
  json menu(const std::string &call) {
    return busctl("call -- " + name + " /MenuBar com.canonical.dbusmenu " + call);
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

  EXPECT_EQ(item("Title"), "Claude usage");
  EXPECT_EQ(item("Status"), "Active");
  EXPECT_EQ(item("IconName"), "");
  EXPECT_EQ(item("XAyatanaLabel"), "5h 41% \u00b7 7d 14%");
  EXPECT_EQ(item("Menu"), "/MenuBar");
  const json tip = item("ToolTip");
  EXPECT_EQ(tip[2], "Claude usage");
  EXPECT_NE(tip[3].get<std::string>().find("Plan: max&lt;b&gt;_x\n"), std::string::npos) << tip;
  const json icons = item("IconPixmap");
  ASSERT_EQ(icons.size(), kIconSizes.size());
  for (std::size_t i = 0; i < kIconSizes.size(); ++i) {
    SCOPED_TRACE(kIconSizes[i]);
    EXPECT_EQ(icons[i][0], kIconSizes[i]);
    EXPECT_EQ(icons[i][1], kIconSizes[i]);
    EXPECT_EQ(icons[i][2].get<std::vector<std::uint8_t>>(),
              drawUsageIcon({41, IconTone::ok, IconMark::none}, kIconSizes[i]).argb);
  }

  // Each item as "id label", "(off)" when disabled, "-" for a separator.
  std::vector<std::string> items;
  const json layout = menu("GetLayout iias 0 -1 0");
  for (const json &child : layout[1][2]) {
    const json &properties = child["data"][1];
    items.push_back(
        std::to_string(child["data"][0].get<int>()) + (properties.contains("type") ? " -" : "") +
        (properties.contains("label") ? " " + properties["label"]["data"].get<std::string>() : "") +
        (properties.contains("enabled") ? " (off)" : ""));
  }
  ASSERT_GE(items.size(), 6u) << layout;
  EXPECT_TRUE(items[0].starts_with("10 5h ") && items[0].ends_with(" (off)")) << items[0];
  EXPECT_NE(std::find(items.begin(), items.end(), "14 Plan: max<b>__x (off)"), items.end())
      << json(items);
  EXPECT_EQ(std::vector<std::string>(items.end() - 3, items.end()),
            (std::vector<std::string>{"3 -", "1 Open details", "2 Quit"}));
  // Hosts ask for the root's properties beside the items'.
  const json group = menu("GetGroupProperties aias 3 0 2 99 0")[0];
  ASSERT_EQ(group.size(), 2u) << group;
  EXPECT_EQ(group[0][0], 0);
  EXPECT_EQ(group[1][0], 2);

  // Odd calls get errors and leave the item running.
  for (const char *odd : {"GetLayout iias 99 -1 0", "GetLayout ii 0 -1", "GetProperty is 1 color",
                          "Event isvu 77 clicked s x 0"}) {
    EXPECT_TRUE(menu(odd).is_string()) << odd;
  }
  EXPECT_EQ(
      busctl("call " + name + " /StatusNotifierItem org.kde.StatusNotifierItem Activate ii 0 0"),
      json());
  EXPECT_TRUE(testing::eventually([&] { return std::filesystem::exists(home / "opened"); }));
  EXPECT_FALSE(tray->exited());

  EXPECT_EQ(menu("Event isvu 2 clicked s x 0"), json());
  EXPECT_EQ(tray->waitForExit(5s), 0);
  EXPECT_EQ(busctl("call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus "
                   "NameHasOwner s " +
                   name),
            json::array({false}));
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
  const std::vector<std::string> all = {"NewIcon", "NewToolTip", "XAyatanaNewLabel", "NewStatus",
                                        "LayoutUpdated"};
  struct Case {
    const char *name;
    PlanSnapshot snapshot;
    std::vector<std::string> signals;
    std::string status;
  };
  const Case cases[] = {
      {"critical", fetchedNow(96), all, "NeedsAttention"},
      {"plan renamed", renamed, {"NewToolTip", "LayoutUpdated"}, "NeedsAttention"},
      {"stale", stale, all, "Active"},
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
    EXPECT_EQ(item("Status"), c.status);
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
}

} // namespace
} // namespace quorbel
