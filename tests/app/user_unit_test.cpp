// The installed units under a real systemd user manager, enabled the way the README says.
#include "app/child_process.hpp"
#include "model/snapshot_json.hpp"
#include "support/command.hpp"
#include "support/deadline.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::eventually;
using testing::readFile;

// Tells systemd tools the machine runs systemd; a user manager needs it.
const fs::path kBootedMarker = "/run/systemd/system";
// A real manager starts units and processes of its own: longer than the other tests' deadline.
constexpr auto kDeadline = 10s;

TEST(UserUnit, RunsAsInstalledStopsPromptlyAndComesBackAfterAKill) {
  // A machine booted with systemd has user managers of its own, which a second one would fight.
  std::error_code error;
  if (::geteuid() != 0 || !fs::exists("/lib/systemd/systemd") ||
      fs::read_symlink("/proc/1/exe", error).filename().string().starts_with("systemd")) {
    GTEST_SKIP() << "needs root, systemd installed and PID 1 not systemd";
  }
  testing::ScopedTempDir home, runtime, scratch;
  fs::permissions(runtime.path(), fs::perms::owner_all);
  const std::string env = "env -i HOME='" + home.path().string() + "' XDG_RUNTIME_DIR='" +
                          runtime.path().string() + "' PATH=/usr/sbin:/usr/bin:/sbin:/bin ";
  const auto systemctl = [&](const std::string &arguments) {
    return testing::runCommand(env + "timeout 20 systemctl --user " + arguments, scratch);
  };
  const auto property = [&](const std::string &name, const std::string &unit) {
    return systemctl("show --value -p " + name + " " + unit).out;
  };
  const bool madeMarker = fs::create_directory(kBootedMarker, error);
  testing::ChildProcess manager(
      "/bin/sh", {}, {.arguments = {"-c", "exec " + env + "/lib/systemd/systemd --user"}});
  // Runs when the test ends, however it ends.
  const std::shared_ptr<void> cleanup(nullptr, [&](void *) {
    systemctl("stop quorbel-helper quorbel-notify quorbel-helper@work quorbel-metrics");
    // SIGTERM asks the manager to stop every unit and exit.
    EXPECT_EQ(manager.endWith(SIGTERM, kDeadline), 0) << manager.standardError();
    if (madeMarker) {
      fs::remove(kBootedMarker, error);
    }
  });
  if (!eventually([&] { return fs::exists(runtime / "systemd/private"); }, kDeadline)) {
    GTEST_SKIP() << "the user manager did not start here:\n" << manager.standardError();
  }

  const auto install = testing::runCommand(std::string("cmake --install '") + QUORBEL_BUILD_DIR +
                                               "' --prefix '" + (home / ".local").string() + "'",
                                           scratch);
  ASSERT_EQ(install.exitStatus, 0) << install.err;
  // Without a journal here, each log goes to a file; a restart comes after 1 s instead of 30 s.
  // LeakSanitizer's exit check traces the process, which the units' system call filter forbids.
  for (const std::string unit : {"helper", "notify", "helper@", "metrics"}) {
    testing::writeFile(home / (".config/systemd/user/quorbel-" + unit + ".service.d/test.conf"),
                       "[Service]\nRestartSec=1\nStandardOutput=append:%h/" + unit +
                           ".log\nStandardError=append:%h/" + unit +
                           ".log\nEnvironment=ASAN_OPTIONS=detect_leaks=0\n"
                           "Environment=QUORBEL_METRICS_FILE=%h/textfile/quorbel.prom\n");
  }
  fs::create_directory(home / "textfile");
  for (const char *command : {"daemon-reload", "enable --now quorbel-helper quorbel-notify "
                                               "quorbel-helper@work quorbel-metrics"}) {
    const auto result = systemctl(command);
    ASSERT_EQ(result.exitStatus, 0) << command << result.err;
  }
  const fs::path snapshot = home / ".local/share/QuorbelHelper/plan-snapshot.json";
  const auto log = [&](const std::string &unit) { return readFile(home / (unit + ".log")); };
  ASSERT_TRUE(eventually(
      [&] { return log("helper").find("Session inactive") != std::string::npos; }, kDeadline))
      << log("helper");
  EXPECT_EQ(decodeSnapshot(readFile(snapshot)).status, PlanStatus::sessionInactive);
  const fs::path metrics = home / "textfile/quorbel.prom";
  EXPECT_TRUE(eventually(
      [&] {
        return readFile(metrics).find(
                   "quorbel_status{account=\"default\",status=\"sessionInactive\"} "
                   "1\n") != std::string::npos;
      },
      kDeadline))
      << log("metrics");
  // Without a session bus here the notifier says so and keeps watching.
  EXPECT_TRUE(eventually([&] { return !log("notify").empty(); }, kDeadline));

  // An instance keeps its own account's file, read from its own folder (none here: signed out).
  const fs::path work = home / ".local/share/QuorbelHelper/accounts/work/plan-snapshot.json";
  ASSERT_TRUE(eventually(
      [&] { return log("helper@").find("Session inactive") != std::string::npos; }, kDeadline))
      << log("helper@");
  EXPECT_EQ(decodeSnapshot(readFile(work)).status, PlanStatus::sessionInactive);
  EXPECT_NE(log("helper@").find("Credentials path: " + (home / ".claude-work").string() +
                                "/.credentials.json\n"),
            std::string::npos)
      << log("helper@");

  // A stop that waited for systemd's time-out would end in a SIGKILL, not a clean exit.
  for (const std::string unit :
       {"quorbel-helper", "quorbel-notify", "quorbel-helper@work", "quorbel-metrics"}) {
    SCOPED_TRACE(unit);
    EXPECT_EQ(property("ActiveState", unit), "active\n");
    const auto stop = systemctl("stop " + unit);
    EXPECT_EQ(stop.exitStatus, 0) << stop.err;
    EXPECT_EQ(property("ExecMainStatus", unit), "0\n")
        << log("helper") << log("notify") << log("helper@");
  }
  EXPECT_TRUE(log("helper").ends_with("[RefreshCycle] Sleep cancelled; stopping refresh cycle.\n"))
      << log("helper");

  ASSERT_EQ(systemctl("start quorbel-helper").exitStatus, 0);
  const std::string killed = property("MainPID", "quorbel-helper");
  ASSERT_EQ(::kill(std::stoi(killed), SIGKILL), 0);
  // The manager restarts it a second later; a loaded machine and a sanitizer build take longer.
  EXPECT_TRUE(eventually(
      [&] {
        const std::string now = property("MainPID", "quorbel-helper");
        return now != "0\n" && now != killed &&
               property("ActiveState", "quorbel-helper") == "active\n";
      },
      30s))
      << log("helper");
  EXPECT_EQ(property("NRestarts", "quorbel-helper"), "1\n");
}

} // namespace
} // namespace quorbel
