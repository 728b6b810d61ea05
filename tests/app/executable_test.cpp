// The built helper run as a user or a unit runs it: the self-check, the live cycle and its stops,
// one helper per account, and the refusals.
#include "app/child_process.hpp"
#include "model/helper_version.hpp"
#include "model/snapshot_json.hpp"
#include "selfcheck/dry_test_scenarios.hpp"
#include "support/loopback_server.hpp"
#include "support/secrets.hpp"
#include "support/temp_dir.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <pwd.h>
#include <sched.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::kTestDeadline;
using testing::readFile;
using testing::writeFile;

const std::string kMarker =
    "[RefreshCycle] No persisted snapshot on disk; wrote a .noData marker while warming up.\n";
const std::string kInactive = "[RefreshCycle] Session inactive (credential expired/missing); no "
                              "call made. state=sessionInactive published. Retrying in 180 s; "
                              "data retained.\n";
const std::string kCancel = "[RefreshCycle] Sleep cancelled; stopping refresh cycle.\n";

class Executable : public ::testing::Test {
protected:
  std::unique_ptr<ChildProcess> start(std::vector<std::string> environment = {},
                                      ChildProcess::Options options = {},
                                      bool asksServicePage = false) const {
    return testing::startHelper(root_.path(), std::move(environment), std::move(options),
                                asksServicePage);
  }
  void signIn(const std::string &expiresAtMilliseconds, const std::string &claude) const {
    writeFile(root_ / "home/.claude/.credentials.json",
              std::string(R"({"claudeAiOauth":{"accessToken":")") + testing::kTestAccessToken +
                  R"(","expiresAt":)" + expiresAtMilliseconds + "}}");
    writeFile(root_ / "bin/claude", "#!/bin/sh\n" + claude + "\n");
    fs::permissions(root_ / "bin/claude", fs::perms::owner_all);
  }
  fs::path snapshot() const { return root_ / "data/QuorbelHelper/plan-snapshot.json"; }
  std::string banner(const std::string &version = "2.1.195") const {
    return "QuorbelHelper " + std::string(kHelperVersion) + " starting refresh cycle\n" +
           "User-Agent: claude-code/" + version + "\nSnapshot path: " + snapshot().string() + "\n";
  }
  fs::path folder(const std::string &account) const {
    return account.empty() ? root_ / "data/QuorbelHelper"
                           : root_ / "data/QuorbelHelper/accounts" / account;
  }
  static std::vector<std::string> accountArguments(const std::string &account) {
    return account.empty() ? std::vector<std::string>{}
                           : std::vector<std::string>{"--account", account};
  }

  // Its next tick minutes away, the helper must stop at once.
  static void stopAfter(ChildProcess &child, const std::string &line, int signal = SIGTERM) {
    ASSERT_TRUE(child.waitForOutput(line)) << child.standardOutput() << child.standardError();
    EXPECT_EQ(child.endWith(signal), 0);
    EXPECT_EQ(child.standardError(), "");
  }

  testing::ScopedTempDir root_;
};

TEST_F(Executable, SelfCheckReportsAloneAndExitsWithItsResult) {
  // Root ignores permissions, but no one can create a file under a regular file.
  writeFile(root_ / "file", "x");
  // Exactly the checks that read a file fail, named in the summary.
  std::string failed = "== Result: FAILED \u274C (16) ==\n";
  for (const char *label :
       {"snapshot written to disk and reloads identically",
        "OBS-1: disk now carries status=rateLimited", "429 disk retains the last data (session)",
        "429 disk retains the last data (weekly)",
        "429 does NOT age the data (fetchedAt preserved)", "disk updated to snapshot B",
        "OBS-1: disk carries status=sessionInactive", "sessionInactive disk retains last data",
        "OBS-1: 401 disk carries status=sessionInactive",
        "transient error does NOT flip the on-disk status",
        "load() reproduces the last DATA (seeds run())", "load() reproduces the last STATUS",
        ".noData marker written on cold start", ".noData marker carries no windows",
        "cold + signed-out first tick publishes data-less sessionInactive",
        "signed-out cold start has no bars to show"}) {
    failed += std::string("   - ") + label + "\n";
  }
  const std::tuple<std::string, int, std::string> cases[] = {
      {"tmp", 0, "== Result: ALL PASSED \u2705 ==\n"}, {"file/tmp", 1, failed}};
  for (const auto &[tmpdir, exitStatus, result] : cases) {
    SCOPED_TRACE(tmpdir);
    auto child = start({"QUORBEL_HELPER_DRYTEST=1", "TMPDIR=" + (root_ / tmpdir).string()});
    ASSERT_EQ(child->waitForExit(kTestDeadline), exitStatus) << child->standardOutput();
    const std::string &out = child->standardOutput();
    EXPECT_TRUE(out.starts_with("== QuorbelHelper dry tests (NO NETWORK) ==\n")) << out;
    EXPECT_TRUE(out.ends_with("\n\n" + result)) << out;
    EXPECT_EQ(child->standardError(), "");
  }
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
  EXPECT_FALSE(fs::exists(root_ / "data"));
}

TEST_F(Executable, EveryValueButExactlyOneStartsTheLiveHelperWhichStopsOnSignal) {
  // The last one leaves the variable unset.
  const std::pair<const char *, int> cases[] = {
      {"=0", SIGTERM},  {"=true", SIGINT}, {"=", SIGTERM},       {"= 1", SIGINT},
      {"=10", SIGTERM}, {"=1 ", SIGINT},   {"_UNSET=1", SIGTERM}};
  for (const auto &[value, signal] : cases) {
    SCOPED_TRACE(value);
    fs::remove_all(root_ / "data");
    auto child = start({std::string("QUORBEL_HELPER_DRYTEST") + value});
    stopAfter(*child, kInactive, signal);
    EXPECT_EQ(child->standardOutput(), banner() + kMarker + kInactive + kCancel);
  }
}

TEST_F(Executable, ExpiredCredentialsRepublishTheStoredDataUnderTheCliVersion) {
  writeFile(snapshot(), encodeSnapshot(dryTestSnapshotA()));
  // Expired long ago: the helper gives up before sending anything.
  signIn("1000000000000", "echo 'v2.3.41-beta (Claude Code)'");
  auto child = start();
  stopAfter(*child, kInactive);
  EXPECT_EQ(child->standardOutput(),
            banner("2.3.41") +
                "[RefreshCycle] Loaded persisted snapshot from disk (fetchedAt=2026-05-28 "
                "20:26:40 +0000, status=active).\n" +
                kInactive + kCancel);
  EXPECT_EQ(decodeSnapshot(readFile(snapshot())),
            dryTestSnapshotA().withStatus(PlanStatus::sessionInactive, InactiveReason::expired));
  EXPECT_FALSE(testing::holdsSecret(child->standardOutput()));
}

TEST_F(Executable, AStopLeavesAtOnceFromTheVersionProbeOrFromARequestUnderWay) {
  // A CLI that hangs holds the helper in its version probe, which would last 10 s.
  signIn("4102444800000", "exec /bin/sleep 30");
  auto probing = start();
  stopAfter(*probing, "starting refresh cycle\n", SIGINT);
  EXPECT_EQ(probing->standardOutput(), banner() + kCancel);
  EXPECT_FALSE(fs::exists(snapshot())) << "no marker without a tick";

  // The request goes out through a proxy on loopback that never answers.
  signIn("4102444800000", "exit 1");
  const testing::LoopbackServer proxy(testing::LoopbackServer::silent());
  auto requesting = start({"https_proxy=" + proxy.url("")});
  ASSERT_TRUE(requesting->waitFor([&] { return proxy.requests() == 1; }, kTestDeadline));
  stopAfter(*requesting, ""); // already under way
  EXPECT_EQ(requesting->standardOutput(),
            banner() + kMarker +
                "[RefreshCycle] Transient error (network: cancelled: request abandoned: the "
                "helper is stopping); retrying in 180 s; disk left as-is; last snapshot "
                "retained.\n" +
                kCancel);
}

// Signed out, the helper sends nothing for the usage, but still asks the status page once it has
// ticked, through the proxy like any request; a stop ends that request at once, untold.
TEST_F(Executable, TheStatusPageIsAskedAfterTheFirstTickAndAStopEndsItAtOnce) {
  const testing::LoopbackServer proxy(testing::LoopbackServer::silent());
  auto helper = start({"https_proxy=" + proxy.url("")}, {}, true);
  ASSERT_TRUE(helper->waitFor([&] { return proxy.requests() == 1; }, kTestDeadline));
  EXPECT_TRUE(proxy.firstHead().starts_with("CONNECT status.claude.com:443 HTTP/1.1\r\n"))
      << proxy.firstHead();
  stopAfter(*helper, "");
  EXPECT_EQ(helper->standardOutput(), banner() + kMarker + kInactive + kCancel);
}

// One helper per account: the name rule, the lock, and which credentials each one reads.
const std::string kInactiveLine = "state=sessionInactive published";

using AccountHelpers = Executable;

TEST_F(AccountHelpers, ANameOutsideTheRuleExitsTwoWithTheRuleAndWritesNothing) {
  const std::string rule = "an account name is 1 to 64 letters, digits, '.', '_' or '-', "
                           "starting with a letter or a digit\n";
  // The rule itself is the account location's; here, that the helper keeps to it. "default" is
  // the plain helper's, which readers would show twice.
  for (const std::string name : {"../x", "", "x\n", "default"}) {
    SCOPED_TRACE(name);
    auto child =
        start({}, {.arguments = {"--account", name, "--config-dir", (root_ / "cfg").string()}});
    EXPECT_EQ(child->waitForExit(kTestDeadline), 2);
    EXPECT_EQ(child->standardError(),
              name == "default" ? "QuorbelHelper: 'default' is the account of the helper run "
                                  "without --account; run it without --account\n"
                                : "QuorbelHelper: bad account name '" + name + "': " + rule);
    EXPECT_EQ(child->standardOutput(), "");
  }
  EXPECT_FALSE(fs::exists(root_ / "data"));
}

TEST_F(AccountHelpers, ASecondHelperForOneAccountLeavesAtOnceUntilTheFirstIsKilled) {
  for (const std::string account : {"", "work"}) {
    SCOPED_TRACE(account.empty() ? "default" : account);
    const fs::path snapshot = folder(account) / "plan-snapshot.json";
    // Signed out: each change of the file wakes the helper for one more tick.
    const fs::path credentials = root_ /
                                 (account.empty() ? "home/.claude" : "home/.claude-" + account) /
                                 ".credentials.json";
    writeFile(credentials, R"({"claudeAiOauth":null})");
    auto first = start({}, {.arguments = accountArguments(account)});
    ASSERT_TRUE(first->waitForOutput(kInactiveLine)) << first->standardError();
    const std::string written = readFile(snapshot);
    const auto before = testing::entriesOf(folder(account));

    const std::string refusal = "QuorbelHelper: another helper (pid " +
                                std::to_string(first->pid()) + ") already keeps " +
                                snapshot.string() + "\n";
    auto second = start({}, {.arguments = accountArguments(account)});
    EXPECT_EQ(second->waitForExit(kTestDeadline), 1);
    EXPECT_EQ(second->standardError(), refusal);
    EXPECT_EQ(second->standardOutput(), "");
    EXPECT_EQ(readFile(snapshot), written);
    EXPECT_EQ(testing::entriesOf(folder(account)), before);
    // Refused too: in a network namespace of its own (a unit with PrivateNetwork=), by the file's
    // lock; and once the data folder is deleted, lock file and all, by the lock's socket. The first
    // helper makes its folder, lock file and snapshot again at its next tick.
    for (const bool isolated : {true, false}) {
      if (isolated && ::geteuid() != 0) {
        continue; // only root may make a network namespace
      }
      fs::remove_all(isolated ? root_ / "none" : root_ / "data");
      auto refused = start({}, {.arguments = accountArguments(account), .prepare = [isolated] {
                                  return !isolated || ::unshare(CLONE_NEWNET) == 0;
                                }});
      EXPECT_EQ(refused->waitForExit(kTestDeadline), 1);
      EXPECT_EQ(refused->standardError(), refusal);
    }
    writeFile(credentials, R"({"claudeAiOauth":{}})");
    ASSERT_TRUE(first->waitFor([&] { return fs::exists(snapshot); }, kTestDeadline));
    EXPECT_EQ(readFile(folder(account) / ".plan-snapshot.lock"),
              std::to_string(first->pid()) + "\n");

    const auto lock = fs::status(folder(account) / ".plan-snapshot.lock");
    EXPECT_EQ(lock.permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(folder(account)).permissions(), fs::perms::owner_all);

    // No clean-up runs on SIGKILL: only the kernel can have released the lock.
    first->endWith(SIGKILL);
    auto third = start({}, {.arguments = accountArguments(account)});
    ASSERT_TRUE(third->waitForOutput(kInactiveLine)) << third->standardError();
    EXPECT_EQ(third->endWith(SIGTERM), 0);
    EXPECT_EQ(third->standardError(), "");
  }
}

// However its folder is named, an account's helper reads the credentials there: the command line
// wins over an imported CLAUDE_CONFIG_DIR, which wins over the home's .claude-NAME. A file there
// that cannot be read is told with its path.
TEST_F(AccountHelpers, EachAccountReadsTheCredentialsOfItsOwnConfigFolder) {
  const std::string imported = "CLAUDE_CONFIG_DIR=" + (root_ / "imported").string();
  const struct {
    std::string account;
    std::vector<std::string> arguments;
    std::string environment;
    fs::path folder;
  } cases[] = {
      {"personal", {"--config-dir", (root_ / "given").string()}, imported, root_ / "given"},
      {"work", {}, imported, root_ / "imported"},
      {"side", {}, "CLAUDE_CONFIG_DIR=", root_ / "home/.claude-side"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.account);
    testing::writeFile(c.folder / ".credentials.json", "{");
    std::vector<std::string> arguments{"--account", c.account};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    auto helper = start({c.environment}, {.arguments = arguments});
    ASSERT_TRUE(helper->waitForOutput(kInactiveLine)) << helper->standardError();
    EXPECT_EQ(helper->endWith(SIGTERM), 0);
    EXPECT_EQ(helper->standardError(), "QuorbelHelper: credentials file " +
                                           (c.folder / ".credentials.json").string() +
                                           ": not JSON\n");
    EXPECT_TRUE(fs::exists(folder(c.account) / "plan-snapshot.json"));
  }
  EXPECT_FALSE(fs::exists(folder("") / "plan-snapshot.json"));
}

// Until the helper blocks SIGTERM and SIGINT, their default action would end it.
bool blocksTerminationSignals(pid_t pid) {
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
  const unsigned long long wanted = (1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1));
  const auto at = status.find("SigBlk:");
  return at != std::string::npos &&
         (std::stoull(status.substr(at + 7), nullptr, 16) & wanted) == wanted;
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
    EXPECT_FALSE(child->waitFor([&] { return child->exited(); }, std::chrono::milliseconds(300)));
    child->sendSignal(second);
    EXPECT_TRUE(child->waitFor([&] { return child->exited(); }, kTestDeadline));
    child->releaseStandardOutput();
    EXPECT_EQ(child->waitForExit(kTestDeadline), 0);
  }
}

// Without a home the file could only go to a shared directory, where another local user could
// plant or read it; both programs refuse instead, with the same message.
TEST(NoHome, BothProgramsRefuseWithOneMessageAndWriteNothing) {
  const std::string id = "4000123";
  if (::geteuid() != 0 || ::getpwuid(std::stoi(id)) != nullptr) {
    GTEST_SKIP() << "needs root, to run as a user the password database does not know";
  }
  testing::ScopedTempDir cwd;
  fs::permissions(cwd.path(), fs::perms::all);
  const bool sharedDirectoryExisted = fs::exists("/tmp/QuorbelHelper");
  const std::tuple<std::string, std::string, int> cases[] = {
      {"QuorbelHelper", QUORBEL_HELPER_BINARY, 1}, {"quorbel-status", QUORBEL_STATUS_BINARY, 2}};
  for (const auto &[name, program, exitStatus] : cases) {
    SCOPED_TRACE(name);
    // Unlike a bare setuid() before exec, setpriv reaches a build tree that only root may enter.
    ChildProcess child("/usr/bin/setpriv", {"HOME=relative/home", "XDG_DATA_HOME=relative"},
                       {.arguments = {"--reuid", id, "--regid", id, "--clear-groups", program},
                        .prepare = [&] { return ::chdir(cwd.path().c_str()) == 0; }});
    EXPECT_EQ(child.waitForExit(kTestDeadline), exitStatus);
    EXPECT_EQ(child.standardError() + child.standardOutput(),
              name + ": no home directory to keep plan-snapshot.json in: set HOME (or "
                     "XDG_DATA_HOME) to an absolute path\n");
    EXPECT_TRUE(fs::is_empty(cwd.path()));
  }
  EXPECT_EQ(fs::exists("/tmp/QuorbelHelper"), sharedDirectoryExisted);
}

} // namespace
} // namespace quorbel
