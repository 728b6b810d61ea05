#include "status/usage_notifier.hpp"

#include "status/sd_bus_notifications_linux.hpp"
#include "store/snapshot_store.hpp"
#include "support/session_bus.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::PrivateSessionBus;
using testing::ScopedTempDir;
using testing::StandInNotificationService;

const Instant kT0 = *PlanDateParser::dateFrom("2026-06-29T12:00:00Z");
const Instant kSessionReset = kT0 + 3h;
const Instant kWeeklyReset = kT0 + 96h;

struct Sent {
  std::string summary;
  int urgency;
  bool operator==(const Sent &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Sent &sent) {
  return out << '"' << sent.summary << "\" urgency " << sent.urgency;
}

// Points the code under test at a bus of the test's own, for as long as it lives.
class SessionBusAddress {
public:
  explicit SessionBusAddress(const std::string &address) {
    if (const char *saved = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
      saved_ = saved;
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SessionBusAddress() {
    if (saved_) {
      ::setenv("DBUS_SESSION_BUS_ADDRESS", saved_->c_str(), 1);
    } else {
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
  }

private:
  std::optional<std::string> saved_;
};

class UsageNotifierTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!PrivateSessionBus::available()) {
      GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus); no private bus";
    }
  }

  std::filesystem::path socket() const { return temp_ / "bus"; }
  std::filesystem::path snapshotFile() const { return temp_ / "plan-snapshot.json"; }
  NotifierStateFile stateFile() const { return NotifierStateFile(temp_ / "state/notify.json"); }

  std::unique_ptr<UsageNotifier> notifier(NotificationSending &sender) {
    return std::make_unique<UsageNotifier>(
        snapshotFile(), stateFile(), ViewOptions{}, sender,
        [this](std::string_view message) { errors_.emplace_back(message); });
  }

  // Publishes a snapshot and lets the notifier look at it at `now`; what reached the service.
  std::vector<Sent> look(UsageNotifier &notifier, const PlanSnapshot &snapshot, Instant now,
                         StandInNotificationService &service) {
    const std::size_t before = service.received().size();
    SnapshotStore(snapshotFile()).save(snapshot);
    notifier.update(now);
    std::vector<Sent> sent;
    const auto received = service.received();
    for (std::size_t i = before; i < received.size(); ++i) {
      sent.push_back({received[i].summary, received[i].urgency.value_or(-1)});
    }
    return sent;
  }

  ScopedTempDir temp_;
  std::vector<std::string> errors_;
};

PlanSnapshot usage(std::int64_t session, std::int64_t weekly, Instant sessionReset = kSessionReset,
                   Instant weeklyReset = kWeeklyReset, PlanStatus status = PlanStatus::active) {
  return PlanSnapshot{kT0,
                      PlanWindow{session, sessionReset},
                      PlanWindow{weekly, weeklyReset},
                      "max",
                      std::nullopt,
                      status};
}

TEST_F(UsageNotifierTest, TellsEachCrossingOncePerPeriodEvenAcrossARestart) {
  PrivateSessionBus bus(socket());
  const SessionBusAddress address(bus.address());
  StandInNotificationService service(bus.address());
  SdBusNotifications sender;
  auto watcher = notifier(sender);

  PlanSnapshot withOpus = usage(100, 10);
  withOpus.modelWindows = {{"Opus", 97, kWeeklyReset}};
  const Instant nextSessionReset = kSessionReset + 5h;
  const struct Step {
    const char *name;
    PlanSnapshot snapshot;
    Instant now;
    std::vector<Sent> sent;
  } steps[] = {
      {"below the warning level", usage(50, 10), kT0, {}},
      {"rises through --warn", usage(85, 10), kT0, {{"Claude 5-hour window at 85%", 1}}},
      {"higher, same level", usage(90, 10), kT0, {}},
      {"rises through --critical", usage(96, 10), kT0, {{"Claude 5-hour window at 96%", 2}}},
      {"reaches 100 %", usage(100, 10), kT0, {{"Claude 5-hour window used up", 2}}},
      {"a model window jumps straight to critical",
       withOpus,
       kT0,
       {{"Claude Opus weekly limit at 97%", 2}}},
      {"signed out",
       usage(100, 10, kSessionReset, kWeeklyReset, PlanStatus::sessionInactive),
       kT0,
       {{"Claude Code signed out", 1}}},
      {"still signed out",
       usage(100, 10, kSessionReset, kWeeklyReset, PlanStatus::sessionInactive),
       kT0,
       {}},
      {"back", usage(100, 10), kT0, {{"Claude Code signed in again", 1}}},
      {"the full window's reset time passes",
       usage(100, 10),
       kSessionReset + 1s,
       {{"Claude 5-hour window available again", 1}}},
      {"its new period, below the warning level",
       usage(5, 10, nextSessionReset),
       kSessionReset + 1s,
       {}},
      {"the new period may notify again",
       usage(82, 10, nextSessionReset),
       kSessionReset + 1s,
       {{"Claude 5-hour window at 82%", 1}}},
      {"a reset time that moves by a fraction is the same period",
       usage(82, 10, nextSessionReset + 400ms),
       kSessionReset + 2s,
       {}},
      {"the weekly window fills",
       usage(82, 100, nextSessionReset),
       kSessionReset + 2s,
       {{"Claude weekly window used up", 2}}},
      {"a new weekly period arrives before the old reset time",
       usage(82, 3, nextSessionReset, kWeeklyReset + 168h),
       kSessionReset + 3s,
       {{"Claude weekly window available again", 1}}},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.name);
    EXPECT_EQ(look(*watcher, step.snapshot, step.now, service), step.sent);
  }

  // A restart reads what was told from the state file.
  watcher = notifier(sender);
  const PlanSnapshot last = steps[std::size(steps) - 1].snapshot;
  EXPECT_EQ(look(*watcher, last, kSessionReset + 4s, service), std::vector<Sent>{});
  PlanSnapshot critical = last;
  critical.session->percent = 95;
  EXPECT_EQ(look(*watcher, critical, kSessionReset + 4s, service),
            (std::vector<Sent>{{"Claude 5-hour window at 95%", 2}}));
  EXPECT_EQ(errors_, std::vector<std::string>{});

  const auto first = service.received().at(0);
  EXPECT_EQ(first.appName, "QuorbelHelper");
  EXPECT_EQ(first.replacesId, 0u);
  EXPECT_EQ(first.icon, "");
  EXPECT_EQ(first.actions, 0u);
  EXPECT_EQ(first.expireTimeout, -1);
  EXPECT_EQ(first.body,
            "Resets in 3h 0m.\n"
            "40 % of the window elapsed, on pace to run out about 2h 38m before reset.");
}

TEST_F(UsageNotifierTest, WithoutABusOrAServiceSaysSoOnceAndDeliversWhenOneIsThere) {
  for (const bool busMissing : {true, false}) {
    SCOPED_TRACE(busMissing ? "no bus at all" : "a bus without a notification service");
    errors_.clear();
    std::filesystem::remove_all(temp_ / "state");
    const SessionBusAddress address("unix:path=" + socket().string());
    auto bus = busMissing ? nullptr : std::make_unique<PrivateSessionBus>(socket());
    SdBusNotifications sender;
    auto watcher = notifier(sender);
    SnapshotStore(snapshotFile()).save(usage(85, 10));
    watcher->update(kT0);
    SnapshotStore(snapshotFile()).save(usage(96, 10));
    watcher->update(kT0);
    ASSERT_EQ(errors_.size(), 1u) << "once, not per attempt";
    EXPECT_NE(errors_[0].find(busMissing ? "cannot connect to the session bus"
                                         : "no notification service"),
              std::string::npos)
        << errors_[0];
    EXPECT_NE(errors_[0].find("will try again"), std::string::npos) << errors_[0];

    // The service comes; the next look shows what still holds, at its current level.
    if (!bus) {
      bus = std::make_unique<PrivateSessionBus>(socket());
    }
    StandInNotificationService service(bus->address());
    watcher->update(kT0);
    ASSERT_EQ(service.received().size(), 1u);
    EXPECT_EQ(service.received()[0].summary, "Claude 5-hour window at 96%");
  }
}

} // namespace
} // namespace quorbel
