#include "app/child_process.hpp"
#include "store/snapshot_store.hpp"
#include "support/deadline.hpp"
#include "support/scoped_environment.hpp"
#include "support/temp_dir.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <csignal>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

// Stands in for the desktop's notification service and records each call as its summary and
// urgency. Only a call as the notifier means to make it counts: no actions, the urgency as the only
// hint, the server's default time-out, the program's name.
int onNotify(sd_bus_message *message, void *calls, sd_bus_error *) {
  const char *appName = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  const char *hint = nullptr;
  std::uint32_t replacesId = 0;
  std::uint8_t urgency = 0;
  std::int32_t timeout = 0;
  const int read = sd_bus_message_read(message, "susssasa{sv}i", &appName, &replacesId, &icon,
                                       &summary, &body, 0, 1, &hint, "y", &urgency, &timeout);
  if (read < 0 || std::string_view(hint) != "urgency" || timeout != -1 ||
      std::string_view(appName) != "QuorbelHelper" || std::string_view(body).empty()) {
    return read < 0 ? read : -EINVAL;
  }
  static_cast<std::vector<std::string> *>(calls)->push_back(std::string(summary) + " " +
                                                            std::to_string(urgency));
  return sd_bus_reply_method_return(message, "u", std::uint32_t(1));
}

// The desktop may come after the notifier: it says once per cause why it cannot notify yet, and
// notifies once the session bus and the service are there.
TEST(NotifyCommand, NotifiesOnTheSessionBusOnceItIsThereAndRemembersAcrossARestart) {
  testing::ScopedTempDir temp;
  const std::string address = "unix:path=" + (temp / "bus").string();
  const auto save = [&](std::int64_t percent) {
    const Instant now = std::chrono::system_clock::now();
    SnapshotStore(temp / "data/QuorbelHelper/plan-snapshot.json")
        .save(PlanSnapshot{now, PlanWindow{percent, now + 2h}, PlanWindow{14, now + 50h}, "max",
                           std::nullopt, PlanStatus::active});
  };
  const auto start = [&] {
    return std::make_unique<ChildProcess>(
        QUORBEL_STATUS_BINARY,
        std::vector<std::string>{
            "HOME=" + (temp / "home").string(), "XDG_DATA_HOME=" + (temp / "data").string(),
            "XDG_STATE_HOME=" + (temp / "state").string(), "DBUS_SESSION_BUS_ADDRESS=" + address},
        ChildProcess::Options{.arguments = {"--notify", "--warn", "70"}});
  };
  save(75);
  auto notifier = start();
  const auto says = [&](const char *text) {
    return notifier->waitFor(
        [&] { return notifier->standardError().find(text) != std::string::npos; }, 5s);
  };
  ASSERT_TRUE(says("cannot connect to the session bus")) << notifier->standardError();

  // A bus of the test's own, where nothing is activatable: no real notification service can start.
  testing::writeFile(temp / "bus.conf",
                     "<busconfig><type>session</type><listen>" + address +
                         "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
                         "send_destination=\"*\"/><allow receive_sender=\"*\"/><allow "
                         "own=\"*\"/></policy></busconfig>\n");
  ChildProcess bus("/usr/bin/dbus-daemon", {},
                   {.arguments = {"--config-file=" + (temp / "bus.conf").string(), "--nofork",
                                  "--print-address"}});
  ASSERT_TRUE(bus.waitFor([&] { return !bus.standardOutput().empty(); }, 5s))
      << bus.standardError();
  save(76);
  ASSERT_TRUE(says("no notification service")) << notifier->standardError();

  const testing::ScopedEnvironment session("DBUS_SESSION_BUS_ADDRESS", address.c_str());
  sd_bus *service = nullptr;
  ASSERT_GE(sd_bus_open_user(&service), 0);
  const std::unique_ptr<sd_bus, sd_bus *(*)(sd_bus *)> owner(service, sd_bus_flush_close_unref);
  std::vector<std::string> calls;
  ASSERT_GE(sd_bus_add_object(service, nullptr, "/org/freedesktop/Notifications", onNotify, &calls),
            0);
  ASSERT_GE(sd_bus_request_name(service, "org.freedesktop.Notifications", 0), 0);
  const auto served = [&](std::size_t count) {
    return testing::eventually([&] {
      while (sd_bus_process(service, nullptr) > 0) {
      }
      return calls.size() >= count;
    });
  };
  save(77);
  ASSERT_TRUE(served(1)) << notifier->standardError();
  notifier->sendSignal(SIGTERM);
  EXPECT_EQ(notifier->waitForExit(5s), 0);
  EXPECT_EQ(notifier->standardOutput(), "");
  EXPECT_EQ(testing::linesOf(notifier->standardError()).size(), 2u) << notifier->standardError();

  notifier = start();
  save(96);
  ASSERT_TRUE(served(2)) << notifier->standardError();
  EXPECT_EQ(calls, (std::vector<std::string>{"Claude 5-hour window at 77% 1",
                                             "Claude 5-hour window at 96% 2"}));
  notifier->sendSignal(SIGINT);
  EXPECT_EQ(notifier->waitForExit(5s), 0);
}

} // namespace
} // namespace quorbel
