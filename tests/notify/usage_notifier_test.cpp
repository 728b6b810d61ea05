#include "notify/usage_notifier.hpp"

#include "store/snapshot_store.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

const Instant kT0 = *PlanDateParser::dateFrom("2026-06-29T12:00:00Z");
const Instant kSessionReset = kT0 + 3h;
const Instant kWeeklyReset = kT0 + 96h;

PlanSnapshot usage(std::int64_t session, std::int64_t weekly, Instant sessionReset = kSessionReset,
                   Instant weeklyReset = kWeeklyReset) {
  return {kT0, PlanWindow{session, sessionReset}, PlanWindow{weekly, weeklyReset}, "max", {}, {}};
}

// The notifier's rules at work, without a desktop: the test shows the notifications itself.
class UsageNotifierTest : public ::testing::Test, public NotificationSending {
protected:
  void send(const DesktopNotification &notification) override {
    if (refuse_) {
      throw NotificationError(NotificationError::Kind::noService, "no service");
    }
    shown_ += (shown_.empty() ? "" : "; ") + notification.summary + " " +
              std::to_string(int(notification.urgency));
    body_ = notification.body;
  }

  // The summaries one look at `snapshot` at `now` shows, each with its urgency.
  std::string look(const PlanSnapshot &snapshot, Instant now = kT0) {
    shown_.clear();
    SnapshotStore(temp_ / "snapshot.json").save(snapshot);
    notifier_.update(now);
    return shown_;
  }

  testing::ScopedTempDir temp_;
  std::string shown_, body_; // of what was shown last
  bool refuse_ = false;
  std::vector<std::string> errors_;
  UsageNotifier notifier_{temp_ / "snapshot.json",
                          NotifierStateFile(temp_ / "state.json"),
                          {},
                          *this,
                          [this](std::string_view error) { errors_.emplace_back(error); }};
};

TEST_F(UsageNotifierTest, TellsEachCrossingOncePerPeriodAndRetriesWhatCouldNotBeShown) {
  PlanSnapshot withOpus = usage(100, 10);
  withOpus.modelWindows = {{"Opus", 97, kWeeklyReset}};
  PlanSnapshot signedOut = usage(100, 10); // from a helper that does not say why
  signedOut.status = PlanStatus::sessionInactive;
  const auto inactive = [](InactiveReason reason) {
    return usage(100, 10).withStatus(PlanStatus::sessionInactive, reason);
  };
  const Instant next = kSessionReset + 5h; // the 5-hour window's next reset
  const Instant later = kSessionReset + 1s;
  const struct Step {
    PlanSnapshot snapshot;
    Instant now;
    std::string shown;
  } steps[] = {
      {usage(50, 10), kT0, ""},
      {usage(85, 10), kT0, "Claude 5-hour window at 85% 1"},
      {usage(90, 10), kT0, ""},
      {usage(95, 10), kT0, "Claude 5-hour window at 95% 2"},
      {usage(100, 10), kT0, "Claude 5-hour window used up 2"},
      {withOpus, kT0, "Claude Opus weekly limit at 97% 2"},
      // The token runs out in the evening and the CLI renews it in the morning: no alarm.
      {inactive(InactiveReason::expired), kT0, ""},
      {usage(100, 10), kT0, ""},
      {inactive(InactiveReason::missing), kT0, "Claude Code signed out 1"},
      // An expired token after a sign-out is not back yet either.
      {inactive(InactiveReason::expired), kT0, ""},
      {signedOut, kT0, ""},
      {usage(100, 10), kT0, "Claude Code signed in again 1"},
      {inactive(InactiveReason::rejected), kT0, "Claude Code signed out 1"},
      {usage(100, 10), kT0, "Claude Code signed in again 1"},
      {usage(100, 10), later, "Claude 5-hour window available again 1"},
      {usage(82, 10, next), later, "Claude 5-hour window at 82% 1"},
      {usage(82, 10, next + 400ms), later, ""}, // a reset time that moves a little: same period
      {usage(82, 100, next), later, "Claude weekly window used up 2"},
      // A new weekly period may come before the old reset time.
      {usage(82, 3, next, kWeeklyReset + 168h), later, "Claude weekly window available again 1"},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(&step - steps);
    EXPECT_EQ(look(step.snapshot, step.now), step.shown);
  }
  // What cannot be shown is said once, and shown at the next look that still calls for it.
  const PlanSnapshot high = usage(96, 3, next, kWeeklyReset + 168h);
  refuse_ = true;
  look(high, next - 3h);
  look(high, next - 3h);
  refuse_ = false;
  EXPECT_EQ(look(high, next - 3h), "Claude 5-hour window at 96% 2");
  EXPECT_EQ(body_, "Resets in 3h 0m.\n"
                   "40 % of the window elapsed, on pace to run out about 2h 55m before reset.");
  EXPECT_EQ(errors_, std::vector<std::string>{"quorbel-status: cannot show desktop notifications: "
                                              "no service; will try again when the next one is "
                                              "due"});
}

TEST(NotifierState, LivesUnderTheXdgStateHomeOrTheHomeAndNowhereElse) {
  const std::filesystem::path inStateHome = "/state/QuorbelHelper/notify-state.json";
  const std::filesystem::path inHome = "/home/me/.local/state/QuorbelHelper/notify-state.json";
  EXPECT_EQ(notifierStateLocation("/state", "/home/me"), inStateHome);
  EXPECT_EQ(notifierStateLocation("relative", "/home/me"), inHome);
  EXPECT_EQ(notifierStateLocation("", "/home/me"), inHome);
  EXPECT_EQ(notifierStateLocation("/state", std::nullopt), inStateHome);
  EXPECT_EQ(notifierStateLocation(std::nullopt, std::nullopt), std::nullopt) << "no shared place";
}

} // namespace
} // namespace quorbel
