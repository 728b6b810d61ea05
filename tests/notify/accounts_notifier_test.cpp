#include "notify/accounts_notifier.hpp"

#include "store/snapshot_store.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const Instant kT0 = *PlanDateParser::dateFrom("2026-06-29T12:00:00Z");

PlanSnapshot usage(std::int64_t session) {
  return {kT0, PlanWindow{session, kT0 + 3h}, PlanWindow{10, kT0 + 96h}, "max", {}, {}};
}

class AccountsNotifierTest : public ::testing::Test, public NotificationSending {
protected:
  void send(const DesktopNotification &notification) override {
    shown_.push_back(notification.summary);
  }
  fs::path file(const std::string &account) const {
    return account == "default"
               ? temp_ / "data/QuorbelHelper/plan-snapshot.json"
               : temp_ / "data/QuorbelHelper/accounts" / account / "plan-snapshot.json";
  }
  // The summaries that one look of a notifier started afresh shows.
  std::vector<std::string> look() {
    shown_.clear();
    AccountsNotifier notifier([this] { return findAccounts(file("default")); },
                              temp_ / "state/QuorbelHelper/notify-state.json", {}, *this,
                              [](std::string_view) {});
    notifier.update(kT0);
    return shown_;
  }

  testing::ScopedTempDir temp_;
  std::vector<std::string> shown_;
};

TEST_F(AccountsNotifierTest, EachAccountIsToldOnceUnderItsNameAndRemembersItsOwnState) {
  using Summaries = std::vector<std::string>;
  SnapshotStore(file("default")).save(usage(85));
  const Summaries alone = look();
  ASSERT_EQ(alone.size(), 1u);
  EXPECT_FALSE(alone[0].starts_with("default: ")) << "one account is told as before";

  SnapshotStore(file("work")).save(usage(85));
  const Summaries both = look();
  ASSERT_EQ(both.size(), 1u) << "the default account was told already";
  EXPECT_EQ(both[0], "work: " + alone[0]);
  EXPECT_TRUE(fs::exists(temp_ / "state/QuorbelHelper/accounts/work/notify-state.json"));

  // A new level on one account is told for it alone; nothing repeats after a restart.
  SnapshotStore(file("default")).save(usage(96));
  const Summaries risen = look();
  ASSERT_EQ(risen.size(), 1u);
  EXPECT_TRUE(risen[0].starts_with("default: ")) << risen[0];
  EXPECT_EQ(look(), Summaries{});
}

} // namespace
} // namespace quorbel
