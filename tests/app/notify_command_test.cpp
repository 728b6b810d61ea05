#include "app/child_process.hpp"
#include "status/notifier_state.hpp"
#include "store/snapshot_store.hpp"
#include "support/session_bus.hpp"

#include <gtest/gtest.h>

#include <csignal>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PrivateSessionBus;
using testing::ScopedTempDir;
using testing::StandInNotificationService;

constexpr auto kDeadline = 5s;

TEST(NotifyCommand, NotifiesOnTheSessionBusAndRemembersAcrossARestart) {
  if (!PrivateSessionBus::available()) {
    GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus); no private bus";
  }
  ScopedTempDir temp;
  PrivateSessionBus bus(temp / "bus");
  StandInNotificationService service(bus.address());
  const auto snapshotFile = temp / "data/QuorbelHelper/plan-snapshot.json";
  const auto save = [&](std::int64_t percent) {
    const Instant now = std::chrono::system_clock::now();
    SnapshotStore(snapshotFile)
        .save(PlanSnapshot{now, PlanWindow{percent, now + 2h}, PlanWindow{14, now + 50h}, "max",
                           std::nullopt, PlanStatus::active});
  };
  const auto start = [&] {
    return std::make_unique<ChildProcess>(
        QUORBEL_STATUS_BINARY,
        std::vector<std::string>{"HOME=" + (temp / "home").string(),
                                 "XDG_DATA_HOME=" + (temp / "data").string(),
                                 "XDG_STATE_HOME=" + (temp / "state").string(),
                                 "DBUS_SESSION_BUS_ADDRESS=" + bus.address()},
        ChildProcess::Options{.arguments = {"--notify", "--warn", "70"}});
  };

  save(75);
  auto notifier = start();
  ASSERT_TRUE(service.waitFor(1));
  EXPECT_EQ(service.received()[0].summary, "Claude 5-hour window at 75%");
  EXPECT_EQ(service.received()[0].urgency, 1);
  notifier->sendSignal(SIGTERM);
  EXPECT_EQ(notifier->waitForExit(kDeadline), 0);
  EXPECT_EQ(notifier->standardOutput(), "");
  EXPECT_EQ(notifier->standardError(), "");
  const auto state = NotifierStateFile(temp / "state/QuorbelHelper/notify-state.json").load();
  ASSERT_TRUE(state);
  EXPECT_EQ(state->windows.at("session").notified, UsageLevel::warning);

  // Restarted, it does not repeat the 75 % notification, and tells what is new.
  notifier = start();
  save(96);
  ASSERT_TRUE(service.waitFor(2));
  EXPECT_EQ(service.received().size(), 2u);
  EXPECT_EQ(service.received()[1].summary, "Claude 5-hour window at 96%");
  EXPECT_EQ(service.received()[1].urgency, 2);
  notifier->sendSignal(SIGINT);
  EXPECT_EQ(notifier->waitForExit(kDeadline), 0);
}

} // namespace
} // namespace quorbel
