#include "notify/usage_notifier.hpp"

#include "store/snapshot_store.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

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
      throw NotificationError("no service");
    }
    shown_ += (shown_.empty() ? "" : "; ") + notification.summary + " " +
              std::to_string(int(notification.urgency));
    body_ = notification.body;
  }

  // The summaries one look at `snapshot` at `now` shows, each with its urgency.
  std::string look(const PlanSnapshot &snapshot, Instant now = kT0) {
    shown_.clear();
    SnapshotStore(temp_ / "snapshot.json").save(snapshot);
    // A rule that keeps finding something to tell would have the notifier loop without end.
    testing::finishesWithin("a look", [&] { notifier_->update(now); });
    return shown_;
  }

  // A new notifier on the same files, as after a restart of the program.
  void restart() {
    errors_.clear();
    notifier_.emplace(temp_ / "snapshot.json", NotifierStateFile(state_), ViewOptions{}, *this,
                      [this](std::string_view error) { errors_.emplace_back(error); });
  }

  testing::ScopedTempDir temp_;
  const std::filesystem::path state_ = temp_ / "state.json";
  std::string shown_, body_; // of what was shown last
  bool refuse_ = false;
  std::vector<std::string> errors_;
  std::optional<UsageNotifier> notifier_;
};

TEST_F(UsageNotifierTest, TellsEachCrossingOncePerPeriodAndRetriesWhatCouldNotBeShown) {
  restart();
  PlanSnapshot withOpus = usage(100, 10);
  withOpus.modelWindows = {{"\x1b]0;x\aOpus\xc2\x9b", 97, kWeeklyReset}};
  PlanSnapshot opusTwice = withOpus; // the first of a name is followed
  opusTwice.modelWindows.push_back({withOpus.modelWindows[0].model, 90, kWeeklyReset + 168h});
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
      {withOpus, kT0, "Claude ]0;xOpus weekly limit at 97% 2"},
      {opusTwice, kT0, ""},
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
      {usage(82, 10, next + 1s), later, ""}, // a reset time that moves a little: same period
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
  // A state file written before names were cleaned still names its windows in plain text.
  testing::writeFile(state_, R"({"signedOut": false, "windows": {"model:\u001b[2JOpus": {"period":
                     "2026-06-29T15:00:00Z", "notified": "full", "resetSent": false}}})");
  restart();
  EXPECT_EQ(look(high, next), "Claude [2JOpus weekly limit available again 1");
}

TEST_F(UsageNotifierTest, TellsWhenExtraUsageIsSpentAndEachLevelOfItsCapOncePerMonth) {
  restart();
  const auto paying = [](std::int64_t session, std::int64_t used, std::string currency = "USD") {
    PlanSnapshot snapshot = usage(session, 10);
    snapshot.extraUsage = ExtraUsage{std::move(currency), 2, used, 30000};
    return snapshot;
  };
  // What each look shows.
  const std::pair<PlanSnapshot, std::string> steps[] = {
      {paying(50, 0), ""},
      {paying(50, 120), ""}, // no window is full: nothing is paid for by the message
      {paying(100, 0), "Claude 5-hour window used up 2"}, // full, yet nothing spent
      {paying(100, 120), "Claude is now using extra usage: $1.20 this month 1"},
      {paying(100, 500), ""},
      {paying(100, 24000), "Claude extra usage at 80% of its monthly cap 1"},
      {paying(100, 29999), "Claude extra usage at 99% of its monthly cap 2"}, // not yet the cap
      {paying(100, 30000), "Claude extra usage has reached its monthly cap 2"},
      {paying(100, 31000), ""},
      {paying(100, 0), ""}, // a new month
      {paying(100, 150), "Claude is now using extra usage: $1.50 this month 1"},
      {paying(100, 29000, "EUR"), "Claude is now using extra usage: €290.00 this month 1; "
                                  "Claude extra usage at 96% of its monthly cap 2"},
  };
  for (const auto &step : steps) {
    SCOPED_TRACE(&step - steps);
    EXPECT_EQ(look(step.first), step.second);
  }
  EXPECT_EQ(body_, "Extra usage: €290.00 of €300.00 this month (96 %).");
  // A state file from before extra usage was told of still loads, and what is told now is kept.
  const NotifierState told = *NotifierStateFile(temp_ / "state.json").load();
  EXPECT_EQ(told.extraUsage, (ExtraUsageRecord{"EUR", 2, 29000, true, UsageLevel::critical}));
  EXPECT_EQ(decodeNotifierState(encodeNotifierState(told)), told);
  EXPECT_EQ(decodeNotifierState(R"({"signedOut": true, "windows": {}})"),
            (NotifierState{{}, true, std::nullopt}));
}

// A restart with the snapshot unchanged tells nothing again, and only because of the state file. A
// state file it cannot use is said once and set aside: at worst one notification comes again.
TEST_F(UsageNotifierTest, RemembersAcrossARestartAndSetsAsideAStateItCannotUse) {
  restart();
  const PlanSnapshot high = usage(85, 10);
  ASSERT_EQ(look(high), "Claude 5-hour window at 85% 1");
  const std::string told = testing::readFile(state_);
  const std::string again = "Claude 5-hour window at 85% 1";
  const std::string ignoring = "quorbel-status: ignoring the notification state: ";
  const std::string cannotRead = ignoring + "cannot read " + state_.string() + ": ";
  const std::string notUsable = ignoring + state_.string() + ": ";
  const struct {
    const char *what;
    std::function<void()> plant;
    std::string error; // none when empty
    std::string shown;
  } cases[] = {
      {"unchanged", [] {}, "", ""},
      {"removed", [&] { std::filesystem::remove(state_); }, "", again},
      {"corrupt", [&] { testing::writeFile(state_, told.substr(0, told.size() / 2)); },
       notUsable + "not a notifier state", again},
      {"unknown level",
       [&] {
         std::string text = told;
         text.replace(text.find("\"warning\""), 9, "\"loud\"");
         testing::writeFile(state_, text);
       },
       notUsable + "window 'session' has an unknown level", again},
      // Readable JSON but for its size: only the bound rejects it.
      {"oversized", [&] { testing::writeFile(state_, std::string(64 * 1024, ' ') + told); },
       cannotRead + "too large", again},
      {"FIFO",
       [&] {
         std::filesystem::remove(state_);
         ASSERT_EQ(::mkfifo(state_.c_str(), 0600), 0);
       },
       cannotRead + "not a regular file", again},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(state_);
    testing::writeFile(state_, told);
    c.plant();
    testing::finishesWithin(c.what, [this] { restart(); });
    EXPECT_EQ(errors_,
              c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
    EXPECT_EQ(look(high), c.shown);
  }
}

} // namespace
} // namespace quorbel
