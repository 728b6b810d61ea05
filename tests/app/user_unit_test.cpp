// The installed unit under a real systemd user manager, enabled the way the README says.
#include "app/child_process.hpp"
#include "model/snapshot_json.hpp"
#include "support/command.hpp"
#include "support/deadline.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <thread>
#include <unistd.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::eventually;
using testing::readFile;
using testing::runCommand;
using testing::ScopedTempDir;
using Clock = std::chrono::steady_clock;

constexpr const char *kManager = "/lib/systemd/systemd";
// Tells systemd tools the machine runs systemd; a user manager needs it.
const fs::path kBootedMarker = "/run/systemd/system";
// Longer than the other tests' deadline: a real manager starts units and processes of its own.
constexpr auto kDeadline = std::chrono::milliseconds(10'000);

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORBEL_HAS_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QUORBEL_HAS_ADDRESS_SANITIZER)
// LeakSanitizer's exit check traces the process, which the unit's system call filter forbids;
// the other tests look for leaks.
constexpr const char *kSanitizerSettings = "Environment=ASAN_OPTIONS=detect_leaks=0\n";
#else
constexpr const char *kSanitizerSettings = "";
#endif

// Removes the marker again, if this test made it.
class BootedMarker {
public:
  BootedMarker() {
    std::error_code error;
    created_ = fs::create_directory(kBootedMarker, error);
  }
  ~BootedMarker() {
    if (created_) {
      std::error_code ignored;
      fs::remove(kBootedMarker, ignored);
    }
  }
  BootedMarker(const BootedMarker &) = delete;
  BootedMarker &operator=(const BootedMarker &) = delete;

private:
  bool created_ = false;
};

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

class UserUnit : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "needs root: a user manager outside a login session needs the booted "
                      "marker and its own cgroup";
    }
    if (!fs::exists(kManager) || runCommand("command -v systemctl", scratch_).exitStatus != 0) {
      GTEST_SKIP() << "systemd is not installed";
    }
    // A machine booted with systemd has its own user managers; a second one for the same user
    // would fight the real one over its cgroup.
    std::error_code error;
    if (fs::read_symlink("/proc/1/exe", error).filename().string().starts_with("systemd")) {
      GTEST_SKIP() << "PID 1 is systemd: not starting a second user manager beside the real one";
    }
    fs::permissions(runtime_.path(), fs::perms::owner_all);
    marker_.emplace();
    ChildProcess::Options options;
    options.arguments = {"--user"};
    manager_.emplace(kManager, environment(), std::move(options));
    if (!eventually([&] { return fs::exists(runtime_ / "systemd/private"); }, kDeadline)) {
      const std::string said = manager_->standardError();
      manager_.reset();
      GTEST_SKIP() << "the user manager did not start here:\n" << said;
    }
  }

  void TearDown() override {
    if (manager_) {
      systemctl("stop quorbel-helper quorbel-notify");
      // SIGTERM asks the manager to stop every unit and exit; the child helper kills it otherwise.
      manager_->sendSignal(SIGTERM);
      EXPECT_EQ(manager_->waitForExit(kDeadline), 0) << manager_->standardError();
    }
  }

  std::vector<std::string> environment() const {
    return {"HOME=" + home_.path().string(), "XDG_RUNTIME_DIR=" + runtime_.path().string(),
            "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8"};
  }

  testing::CommandResult systemctl(const std::string &arguments) const {
    std::string command = "env -i";
    for (const auto &variable : environment()) {
      command += " '" + variable + "'";
    }
    return runCommand(command + " timeout 20 systemctl --user " + arguments, scratch_);
  }

  std::string property(const std::string &name, const std::string &unit = "quorbel-helper") const {
    return trimmed(systemctl("show --value -p " + name + " " + unit).out);
  }

  ScopedTempDir home_;
  ScopedTempDir runtime_;
  ScopedTempDir scratch_;
  std::optional<BootedMarker> marker_;
  std::optional<ChildProcess> manager_;
};

TEST_F(UserUnit, RunsAsInstalledStopsPromptlyAndComesBackAfterAKill) {
  const auto install = runCommand(std::string("cmake --install '") + QUORBEL_BUILD_DIR +
                                      "' --prefix '" + (home_ / ".local").string() + "'",
                                  scratch_);
  ASSERT_EQ(install.exitStatus, 0) << install.err;
  // Without a journal here, the log goes to a file; a restart comes after 1 s instead of 30 s.
  const fs::path dropIn = home_ / ".config/systemd/user/quorbel-helper.service.d";
  fs::create_directories(dropIn);
  testing::writeFile(dropIn / "test.conf", std::string("[Service]\nRestartSec=1\n"
                                                       "StandardOutput=append:%h/helper.log\n"
                                                       "StandardError=append:%h/helper.log\n") +
                                               kSanitizerSettings);

  // The README's commands.
  for (const char *command : {"daemon-reload", "enable --now quorbel-helper"}) {
    SCOPED_TRACE(command);
    const auto result = systemctl(command);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
  }
  const fs::path snapshot = home_ / ".local/share/QuorbelHelper/plan-snapshot.json";
  const fs::path log = home_ / "helper.log";
  // Without credentials the helper publishes that the session is inactive.
  ASSERT_TRUE(eventually(
      [&] { return readFile(log).find("Session inactive") != std::string::npos; }, kDeadline))
      << readFile(log);
  EXPECT_EQ(property("ActiveState"), "active");
  EXPECT_EQ(decodeSnapshot(readFile(snapshot)).status, PlanStatus::sessionInactive);
  EXPECT_EQ(fs::status(snapshot).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write)
      << "UMask=0077 applies";

  const auto stopStarted = Clock::now();
  const auto stop = systemctl("stop quorbel-helper");
  const auto stopTook = Clock::now() - stopStarted;
  std::cout << "[ unit     ] systemctl --user stop took "
            << std::chrono::duration_cast<std::chrono::milliseconds>(stopTook).count() << " ms\n";
  EXPECT_EQ(stop.exitStatus, 0) << stop.err;
  EXPECT_LT(stopTook, 2s);
  EXPECT_EQ(property("ActiveState"), "inactive");
  EXPECT_EQ(property("ExecMainStatus"), "0");
  EXPECT_TRUE(readFile(log).ends_with("[RefreshCycle] Sleep cancelled; stopping refresh cycle.\n"))
      << readFile(log);

  ASSERT_EQ(systemctl("start quorbel-helper").exitStatus, 0);
  const std::string killed = property("MainPID");
  ASSERT_NE(killed, "0");
  ASSERT_EQ(::kill(std::stoi(killed), SIGKILL), 0);
  // The manager restarts it a second later; a loaded machine and a sanitizer build can take far
  // longer to get it going again.
  EXPECT_TRUE(eventually(
      [&] {
        const std::string now = property("MainPID");
        return now != "0" && now != killed && property("ActiveState") == "active";
      },
      30s))
      << readFile(log) << systemctl("status quorbel-helper").out;
  EXPECT_EQ(property("NRestarts"), "1");

  // The optional notifier runs under the same hardening; without a session bus here it says so
  // and keeps watching.
  const fs::path notifyDropIn = home_ / ".config/systemd/user/quorbel-notify.service.d";
  fs::create_directories(notifyDropIn);
  testing::writeFile(notifyDropIn / "test.conf",
                     std::string("[Service]\n"
                                 "StandardOutput=append:%h/notify.log\n"
                                 "StandardError=append:%h/notify.log\n") +
                         kSanitizerSettings);
  ASSERT_EQ(systemctl("daemon-reload").exitStatus, 0);
  const auto enableNotify = systemctl("enable --now quorbel-notify");
  ASSERT_EQ(enableNotify.exitStatus, 0) << enableNotify.err;
  EXPECT_TRUE(eventually([&] { return !readFile(home_ / "notify.log").empty(); }, kDeadline));
  EXPECT_EQ(property("ActiveState", "quorbel-notify"), "active") << readFile(home_ / "notify.log");
  const auto notifyStopStarted = Clock::now();
  EXPECT_EQ(systemctl("stop quorbel-notify").exitStatus, 0);
  EXPECT_LT(Clock::now() - notifyStopStarted, 2s);
  EXPECT_EQ(property("ExecMainStatus", "quorbel-notify"), "0") << readFile(home_ / "notify.log");
}

} // namespace
} // namespace quorbel
