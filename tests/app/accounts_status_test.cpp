// quorbel-status over several accounts, run as the built program.
#include "app/child_process.hpp"
#include "model/clock.hpp"
#include "store/snapshot_store.hpp"
#include "support/command.hpp"
#include "support/deadline.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>

#include <csignal>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::kTestDeadline;

PlanSnapshot fetchedNow(std::int64_t session, std::int64_t week) {
  const Instant now = systemClock().now();
  return {now,
          PlanWindow{session, now + 30h},
          PlanWindow{week, now + 100h},
          "max",
          {},
          PlanStatus::active};
}

class AccountsStatus : public ::testing::Test {
protected:
  fs::path file(const std::string &account) const {
    return account == "default" ? data() / "plan-snapshot.json"
                                : data() / "accounts" / account / "plan-snapshot.json";
  }
  fs::path data() const { return home_ / "share/QuorbelHelper"; }
  testing::CommandResult run(const std::string &arguments) const {
    return testing::runCommand("env -i HOME='" + home_.path().string() + "' XDG_DATA_HOME='" +
                                   (home_ / "share").string() + "' TZ=UTC " +
                                   QUORBEL_STATUS_BINARY + " " + arguments,
                               home_);
  }

  testing::ScopedTempDir home_;
};

TEST_F(AccountsStatus, OneAccountOrOneChosenPrintsExactlyItsOwnFile) {
  const char *formats[] = {"text", "long", "waybar", "json"};
  const auto same = [&](const std::string &arguments, const std::string &account) {
    for (const std::string format : formats) {
      SCOPED_TRACE(arguments + " " + format);
      const auto shown = run("--format " + format + " " + arguments);
      const auto alone = run("--format " + format + " --file '" + file(account).string() + "'");
      EXPECT_EQ(shown.exitStatus, 0) << shown.err;
      // The two runs may fall in different seconds.
      EXPECT_EQ(testing::withoutCounters(shown.out), testing::withoutCounters(alone.out));
      EXPECT_EQ(shown.err, "");
    }
  };
  // An account whose helper runs alone, without the default one.
  SnapshotStore(file("work")).save(fetchedNow(88, 20));
  same("", "work");
  SnapshotStore(file("default")).save(fetchedNow(41, 14));
  SnapshotStore(file("zeta")).save(fetchedNow(5, 96));
  same("--account work", "work");
  same("--account default", "default");
  EXPECT_EQ(run("").out, "default 5h 41% \u00b7 7d 14% | work 5h 88% | zeta 7d 96%\n");

  const auto unknown = run("--account nobody");
  EXPECT_EQ(unknown.exitStatus, 2);
  EXPECT_EQ(unknown.err,
            "quorbel-status: no account 'nobody'; accounts found: default, work, zeta\n");
  EXPECT_EQ(unknown.out, "");
}

TEST_F(AccountsStatus, WatchFollowsAnAccountWhoseFolderAppearsLater) {
  SnapshotStore(file("default")).save(fetchedNow(41, 14));
  // Already there, as after a first account: only an entry made inside it tells of the next.
  fs::create_directories(data() / "accounts");
  ChildProcess watch(
      QUORBEL_STATUS_BINARY,
      {"HOME=" + home_.path().string(), "XDG_DATA_HOME=" + (home_ / "share").string()},
      {.arguments = {"--watch"}});
  const auto printed = [&](const std::string &line) { return watch.waitForOutput(line); };
  ASSERT_TRUE(printed("5h 41% \u00b7 7d 14%\n")) << watch.standardOutput();
  // Once this shows, the watch has settled and waits for what comes next.
  SnapshotStore(file("default")).save(fetchedNow(42, 14));
  ASSERT_TRUE(printed("5h 42% \u00b7 7d 14%\n")) << watch.standardOutput();
  // The helper makes the folder (for its lock) before its first file.
  fs::create_directories(file("work").parent_path());
  ASSERT_TRUE(printed("default 5h 42% \u00b7 7d 14% | work ?\n")) << watch.standardOutput();
  SnapshotStore(file("work")).save(fetchedNow(88, 20));
  EXPECT_TRUE(printed("default 5h 42% \u00b7 7d 14% | work 5h 88% \u00b7 7d 20%\n"))
      << watch.standardOutput();
  watch.sendSignal(SIGTERM);
  EXPECT_EQ(watch.waitForExit(kTestDeadline), 0);
}

} // namespace
} // namespace quorbel
