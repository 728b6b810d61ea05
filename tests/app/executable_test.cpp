#include "app/child_process.hpp"
#include "model/helper_version.hpp"
#include "model/snapshot_json.hpp"
#include "selfcheck/dry_test_scenarios.hpp"
#include "support/command.hpp"
#include "support/deadline.hpp"
#include "support/loopback_server.hpp"
#include "support/secrets.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <pwd.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::kTestDeadline;
using testing::readFile;
using testing::writeFile;

const std::string kMarkerLine =
    "[RefreshCycle] No persisted snapshot on disk; wrote a .noData marker while warming up.\n";
const std::string kInactiveLine =
    "[RefreshCycle] Session inactive (credential expired/missing); no call made. "
    "state=sessionInactive published. Retrying in 180 s; data retained.\n";
const std::string kCancelLine = "[RefreshCycle] Sleep cancelled; stopping refresh cycle.\n";

// Until the helper blocks SIGTERM and SIGINT, their default action would end it.
bool blocksTerminationSignals(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigBlk:")) {
      const unsigned long long wanted = (1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1));
      return (std::stoull(line.substr(7), nullptr, 16) & wanted) == wanted;
    }
  }
  return false;
}

// Each test has its own HOME, XDG_DATA_HOME, TMPDIR and a PATH that holds no "claude" unless the
// test puts one there, so nothing of the machine's own setup leaks in.
class Executable : public ::testing::Test {
protected:
  Executable() {
    for (const char *dir : {"home", "data", "tmp", "bin"}) {
      fs::create_directory(root_ / dir);
    }
  }

  // getenv() takes the first of equal names, so `environment` overrides the test's own.
  std::unique_ptr<ChildProcess> start(std::vector<std::string> environment = {},
                                      ChildProcess::Options options = {}) const {
    const auto dir = [this](const char *name) { return (root_ / name).string(); };
    environment.insert(environment.end(), {"HOME=" + dir("home"), "XDG_DATA_HOME=" + dir("data"),
                                           "TMPDIR=" + dir("tmp"), "PATH=" + dir("bin")});
    return std::make_unique<ChildProcess>(QUORBEL_HELPER_BINARY, environment, std::move(options));
  }
  void signIn(const std::string &expiresAtMilliseconds) const {
    writeFile(root_ / "home/.claude/.credentials.json",
              std::string(R"({"claudeAiOauth":{"accessToken":")") + testing::kTestAccessToken +
                  R"(","expiresAt":)" + expiresAtMilliseconds + "}}");
  }
  void installClaude(const std::string &script) const {
    writeFile(root_ / "bin/claude", "#!/bin/sh\n" + script + "\n");
    fs::permissions(root_ / "bin/claude", fs::perms::owner_all);
  }
  fs::path snapshot() const { return root_ / "data/QuorbelHelper/plan-snapshot.json"; }
  std::string banner(const std::string &version = "2.1.195") const {
    return "QuorbelHelper " + std::string(kHelperVersion) +
           " starting refresh cycle\nUser-Agent: claude-code/" + version +
           "\nSnapshot path: " + snapshot().string() + "\n";
  }
  // A helper asleep between ticks stops at once: its next tick is minutes away.
  static void expectCleanStop(ChildProcess &child, int signal) {
    child.sendSignal(signal);
    EXPECT_EQ(child.waitForExit(kTestDeadline), 0);
    EXPECT_TRUE(child.standardOutput().ends_with(kCancelLine)) << child.standardOutput();
  }
  bool waitForOutput(ChildProcess &child, const std::string &text) {
    return child.waitFor([&] { return child.standardOutput().find(text) != std::string::npos; },
                         kTestDeadline);
  }

  testing::ScopedTempDir root_;
};

// The report's contents are the self-check's own tests; here, what the program around it does.
TEST_F(Executable, SelfCheckReportsAloneAndExitsWithItsResult) {
  // Root ignores permissions, but no one can create a file under a regular file.
  writeFile(root_ / "file", "x");
  const std::tuple<std::string, int, std::string> cases[] = {
      {"tmp", 0, "\n\n== Result: ALL PASSED \u2705 ==\n"},
      {"file/tmp", 1, "\n\n== Result: FAILED \u274C (16) ==\n"}};
  for (const auto &[tmpdir, exitStatus, result] : cases) {
    SCOPED_TRACE(tmpdir);
    auto child = start({"QUORBEL_HELPER_DRYTEST=1", "TMPDIR=" + (root_ / tmpdir).string()});
    ASSERT_EQ(child->waitForExit(kTestDeadline), exitStatus) << child->standardOutput();
    const std::string &out = child->standardOutput();
    EXPECT_TRUE(out.starts_with("== QuorbelHelper dry tests (NO NETWORK) ==\n")) << out;
    EXPECT_NE(out.find(result), std::string::npos) << out;
    EXPECT_EQ(child->standardError(), "");
  }
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
  EXPECT_TRUE(fs::is_empty(root_ / "data"));
}

TEST_F(Executable, EveryValueButExactlyOneStartsTheLiveHelperWhichStopsOnSignal) {
  const std::pair<const char *, int> cases[] = {
      {"0", SIGTERM},  {"true", SIGTERM}, {"", SIGINT},      {" 1", SIGINT},
      {"10", SIGTERM}, {"1 ", SIGINT},    {nullptr, SIGTERM}};
  for (const auto &[value, signal] : cases) {
    SCOPED_TRACE(value ? "\"" + std::string(value) + "\"" : "unset");
    fs::remove_all(root_ / "data");
    std::vector<std::string> environment;
    if (value != nullptr) {
      environment.push_back(std::string("QUORBEL_HELPER_DRYTEST=") + value);
    }
    auto child = start(environment);
    ASSERT_TRUE(waitForOutput(*child, kInactiveLine)) << child->standardOutput();
    EXPECT_EQ(child->standardOutput(), banner() + kMarkerLine + kInactiveLine);
    // Linux has no App Group to warn about.
    EXPECT_EQ(child->standardError(), "");
    const PlanSnapshot published = decodeSnapshot(readFile(snapshot()));
    EXPECT_EQ(published.status, PlanStatus::sessionInactive);
    EXPECT_FALSE(published.hasData());
    expectCleanStop(*child, signal);
  }
}

TEST_F(Executable, ExpiredCredentialsRepublishTheStoredDataUnderTheCliVersion) {
  const PlanSnapshot stored = dryTestSnapshotA();
  writeFile(snapshot(), encodeSnapshot(stored));
  // Expired long ago: the helper gives up before sending anything.
  signIn("1000000000000");
  installClaude("echo 'v2.3.41-beta (Claude Code)'");
  auto child = start();
  ASSERT_TRUE(waitForOutput(*child, kInactiveLine)) << child->standardOutput();
  EXPECT_EQ(child->standardOutput(),
            banner("2.3.41") +
                "[RefreshCycle] Loaded persisted snapshot from disk (fetchedAt=2026-05-28 "
                "20:26:40 +0000, status=active).\n" +
                kInactiveLine);
  EXPECT_EQ(decodeSnapshot(readFile(snapshot())), stored.withStatus(PlanStatus::sessionInactive));
  EXPECT_FALSE(testing::holdsSecret(child->standardOutput() + child->standardError()));
  expectCleanStop(*child, SIGTERM);
}

TEST_F(Executable, AStopDuringStartUpLeavesBeforeTheFirstTick) {
  // A CLI that hangs keeps the helper in its version probe, which would last 10 s.
  installClaude("exec /bin/sleep 30");
  auto child = start();
  ASSERT_TRUE(waitForOutput(*child, "starting refresh cycle\n"));
  child->sendSignal(SIGINT);
  EXPECT_EQ(child->waitForExit(kTestDeadline), 0);
  EXPECT_EQ(child->standardOutput(), banner() + kCancelLine);
  EXPECT_FALSE(fs::exists(snapshot())) << "no marker without a tick";
}

TEST_F(Executable, AStopEndsARequestUnderWayLikeATransientError) {
  // The request goes out through a proxy on loopback that never answers.
  const testing::LoopbackServer proxy(testing::LoopbackServer::silent());
  signIn("4102444800000");
  auto child = start({"https_proxy=" + proxy.url("")});
  ASSERT_TRUE(child->waitFor([&] { return proxy.requests() == 1; }, kTestDeadline))
      << child->standardOutput() << child->standardError();
  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->waitForExit(kTestDeadline), 0);
  EXPECT_EQ(child->standardOutput(),
            banner() + kMarkerLine +
                "[RefreshCycle] Transient error (network: cancelled: request abandoned: the "
                "helper is stopping); retrying in 180 s; disk left as-is; last snapshot "
                "retained.\n" +
                kCancelLine);
}

TEST_F(Executable, ASecondSignalEndsTheProcessWhereverItIsStuck) {
  const std::pair<int, int> cases[] = {{SIGTERM, SIGTERM}, {SIGINT, SIGINT}, {SIGINT, SIGTERM}};
  for (const auto &[first, second] : cases) {
    SCOPED_TRACE(std::to_string(first) + " then " + std::to_string(second));
    // A full pipe blocks the helper in its first write, where no stop request can reach it.
    auto child = start({}, {.stdoutRoom = 0});
    ASSERT_TRUE(
        child->waitFor([&] { return blocksTerminationSignals(child->pid()); }, kTestDeadline));
    child->sendSignal(first);
    EXPECT_FALSE(child->waitFor([&] { return child->exited(); }, 300ms));
    child->sendSignal(second);
    EXPECT_TRUE(child->waitFor([&] { return child->exited(); }, kTestDeadline));
    child->releaseStandardOutput();
    EXPECT_EQ(child->waitForExit(kTestDeadline), 0);
  }
}

// Without a home the file could only go to a shared directory, where another local user could
// plant or read it; both programs refuse instead, with the same message.
TEST(NoHome, BothProgramsRefuseWithOneMessageAndWriteNothing) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to run as a user the password database does not know";
  }
  uid_t stranger = 4000123;
  while (::getpwuid(stranger) != nullptr) {
    ++stranger;
  }
  const std::string id = std::to_string(stranger);
  testing::ScopedTempDir scratch, cwd;
  fs::permissions(cwd.path(), fs::perms::all);
  const bool sharedDirectoryExisted = fs::exists("/tmp/QuorbelHelper");
  const std::tuple<std::string, std::string, int> cases[] = {
      {"QuorbelHelper", QUORBEL_HELPER_BINARY, 1}, {"quorbel-status", QUORBEL_STATUS_BINARY, 2}};
  for (const auto &[name, program, exitStatus] : cases) {
    SCOPED_TRACE(name);
    const auto result = testing::runCommand(
        "cd '" + cwd.path().string() + "' && env -i HOME=relative/home XDG_DATA_HOME=relative " +
            "timeout 5 setpriv --reuid " + id + " --regid " + id + " --clear-groups " + program,
        scratch);
    EXPECT_EQ(result.exitStatus, exitStatus);
    EXPECT_EQ(result.err, name + ": no home directory to keep plan-snapshot.json in: set HOME (or "
                                 "XDG_DATA_HOME) to an absolute path\n");
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(fs::is_empty(cwd.path()));
  }
  EXPECT_EQ(fs::exists("/tmp/QuorbelHelper"), sharedDirectoryExisted);
}

} // namespace
} // namespace quorbel
