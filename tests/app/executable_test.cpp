#include "app/child_process.hpp"
#include "model/snapshot_json.hpp"
#include "support/command.hpp"
#include "support/deadline.hpp"
#include "support/loopback_namespace.hpp"
#include "support/loopback_server.hpp"
#include "support/secrets.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <pwd.h>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::readFile;
using testing::writeFile;

constexpr auto kDeadline = testing::kTestDeadline;

const std::string kBanner = "QuorbelHelper 0.1.0 starting refresh cycle\n";
const std::string kMarkerLine =
    "[RefreshCycle] No persisted snapshot on disk; wrote a .noData marker while warming up.\n";
const std::string kInactiveLine =
    "[RefreshCycle] Session inactive (credential expired/missing); no call made. "
    "state=sessionInactive published. Retrying in 180 s; data retained.\n";
const std::string kCancelLine = "[RefreshCycle] Sleep cancelled; stopping refresh cycle.\n";

std::size_t occurrences(const std::string &text, std::string_view needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Until the helper blocks SIGTERM and SIGINT, their default action would end it: a test must not
// signal it earlier.
bool blocksTerminationSignals(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigBlk:")) {
      const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      const unsigned long long wanted = (1ULL << (SIGTERM - 1)) | (1ULL << (SIGINT - 1));
      return (mask & wanted) == wanted;
    }
  }
  return false;
}

// Each test gets its own HOME, XDG_DATA_HOME, TMPDIR and a PATH that holds no "claude" unless
// the test puts one there, so nothing of the machine's own setup leaks in.
class Executable : public ::testing::Test {
protected:
  Executable() {
    std::random_device seed;
    root_ = fs::temp_directory_path() / ("quorbel-exe-test-" + std::to_string(seed()));
    for (const auto &dir : {home(), dataHome(), tmp(), bin()}) {
      fs::create_directories(dir);
    }
  }
  ~Executable() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path home() const { return root_ / "home"; }
  fs::path dataHome() const { return root_ / "data"; }
  fs::path tmp() const { return root_ / "tmp"; }
  fs::path bin() const { return root_ / "bin"; }
  fs::path snapshotFile() const { return dataHome() / "QuorbelHelper" / "plan-snapshot.json"; }

  std::vector<std::string> environment(const char *drytest, const fs::path &tmpdir) const {
    std::vector<std::string> env{"HOME=" + home().string(), "XDG_DATA_HOME=" + dataHome().string(),
                                 "TMPDIR=" + tmpdir.string(), "PATH=" + bin().string()};
    if (drytest != nullptr) {
      env.push_back(std::string("QUORBEL_HELPER_DRYTEST=") + drytest);
    }
    return env;
  }

  std::unique_ptr<ChildProcess> start(const char *drytest, const fs::path &tmpdir,
                                      std::optional<std::size_t> stdoutRoom = std::nullopt) {
    ChildProcess::Options options;
    options.stdoutRoom = stdoutRoom;
    return std::make_unique<ChildProcess>(QUORBEL_HELPER_BINARY, environment(drytest, tmpdir),
                                          std::move(options));
  }
  std::unique_ptr<ChildProcess> startLive(std::optional<std::size_t> stdoutRoom = std::nullopt) {
    return start(nullptr, tmp(), stdoutRoom);
  }

  std::string expectedBanner(const std::string &version) const {
    return kBanner + "User-Agent: claude-code/" + version + "\n" +
           "Snapshot path: " + snapshotFile().string() + "\n";
  }

  static bool outputHas(const ChildProcess &child, const std::string &text) {
    return child.standardOutput().find(text) != std::string::npos;
  }

  // Stops a helper that is sleeping between ticks and expects the clean exit.
  static void expectCleanStop(ChildProcess &child, int signal) {
    child.sendSignal(signal);
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(child.waitForExit(kDeadline), 0) << child.standardOutput();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
    EXPECT_TRUE(child.standardOutput().ends_with(kCancelLine)) << child.standardOutput();
  }

  fs::path root_;
};

// The report's contents are the self-check's own tests; here, what the program around it does.
TEST_F(Executable, SelfCheckReportsWithoutBannerOrLeftoversAndExitsWithItsResult) {
  // Root ignores permissions, but no one can create a file under a regular file.
  writeFile(root_ / "blocker", "x");
  struct Case {
    fs::path tmpdir;
    int exitStatus;
    std::string lastLines;
  };
  const Case cases[] = {{tmp(), 0, "\n\n== Result: ALL PASSED \u2705 ==\n"},
                        {root_ / "blocker/tmp", 1, "\n\n== Result: FAILED \u274C (16) ==\n"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.tmpdir.string());
    auto child = start("1", c.tmpdir);
    ASSERT_EQ(child->waitForExit(kDeadline), c.exitStatus) << child->standardOutput();
    const auto &out = child->standardOutput();
    EXPECT_TRUE(out.starts_with("== QuorbelHelper dry tests (NO NETWORK) ==\n")) << out;
    EXPECT_NE(out.find(c.lastLines), std::string::npos) << out;
    EXPECT_EQ(occurrences(out, "  \u2705 ") + occurrences(out, "  \u274C "), 43u);
    EXPECT_EQ(out.find("Snapshot path:"), std::string::npos);
    EXPECT_EQ(child->standardError(), "");
    EXPECT_FALSE(fs::exists(dataHome() / "QuorbelHelper"));
  }
  EXPECT_TRUE(fs::is_empty(tmp()));
}

TEST_F(Executable, EveryValueButExactlyOneStartsTheLiveHelperWhichStopsOnSignal) {
  struct Case {
    const char *drytest; // nullptr: not set
    int stopSignal;
  };
  const Case cases[] = {{"0", SIGTERM},  {"true", SIGTERM}, {"", SIGINT},      {" 1", SIGINT},
                        {"10", SIGTERM}, {"1 ", SIGINT},    {nullptr, SIGTERM}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.drytest ? "\"" + std::string(c.drytest) + "\"" : std::string("unset"));
    fs::remove_all(dataHome() / "QuorbelHelper");
    auto child = start(c.drytest, tmp());
    ASSERT_TRUE(child->waitFor([&] { return outputHas(*child, kInactiveLine); }, kDeadline))
        << child->standardOutput();

    EXPECT_EQ(child->standardOutput(), expectedBanner("2.1.195") + kMarkerLine + kInactiveLine);
    // Linux has no App Group to warn about.
    EXPECT_EQ(child->standardError(), "");
    expectCleanStop(*child, c.stopSignal);
  }
}

TEST_F(Executable, ColdStartWithoutCredentialsWritesNoDataMarkerThenSessionInactive) {
  // Room for the three banner lines only: the helper then blocks writing the log line that
  // follows the marker, before its first tick, and the marker can be read undisturbed.
  auto child = startLive(expectedBanner("2.1.195").size());
  ASSERT_TRUE(child->waitFor([&] { return fs::exists(snapshotFile()); }, kDeadline));
  const PlanSnapshot marker = decodeSnapshot(readFile(snapshotFile()));
  EXPECT_EQ(marker.status, PlanStatus::noData);
  EXPECT_FALSE(marker.session || marker.allModels || marker.subscriptionType ||
               marker.rateLimitTier);

  child->releaseStandardOutput();
  ASSERT_TRUE(child->waitFor([&] { return outputHas(*child, kInactiveLine); }, kDeadline))
      << child->standardOutput();
  EXPECT_EQ(child->standardOutput(), expectedBanner("2.1.195") + kMarkerLine + kInactiveLine);
  const PlanSnapshot published = decodeSnapshot(readFile(snapshotFile()));
  EXPECT_EQ(published.status, PlanStatus::sessionInactive);
  EXPECT_FALSE(published.hasData());
  EXPECT_GE(published.fetchedAt, marker.fetchedAt);
  expectCleanStop(*child, SIGTERM);
}

TEST_F(Executable, ExpiredCredentialsRepublishSeededDataUnderTheCliVersion) {
  PlanSnapshot seeded;
  seeded.fetchedAt = instantFromUnixSeconds(1780000000);
  seeded.session = PlanWindow{37, instantFromUnixSeconds(1780018000)};
  seeded.allModels = PlanWindow{13, instantFromUnixSeconds(1780604800)};
  seeded.subscriptionType = "max";
  seeded.status = PlanStatus::active;
  writeFile(snapshotFile(), encodeSnapshot(seeded));
  // Expired an hour ago: the helper must give up before sending anything.
  const auto expiredMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             (std::chrono::system_clock::now() - 1h).time_since_epoch())
                             .count();
  writeFile(home() / ".claude" / ".credentials.json",
            R"({"claudeAiOauth":{"accessToken":"test-token-not-real","expiresAt":)" +
                std::to_string(expiredMs) + "}}");

  // The User-Agent carries the version the installed CLI prints.
  writeFile(bin() / "claude", "#!/bin/sh\necho 'v2.3.41-beta (Claude Code)'\n");
  fs::permissions(bin() / "claude", fs::perms::owner_all);
  auto child = startLive();
  ASSERT_TRUE(child->waitFor([&] { return outputHas(*child, kInactiveLine); }, kDeadline))
      << child->standardOutput();
  EXPECT_EQ(child->standardOutput(),
            expectedBanner("2.3.41") +
                "[RefreshCycle] Loaded persisted snapshot from disk (fetchedAt=2026-05-28 "
                "20:26:40 +0000, status=active).\n" +
                kInactiveLine);
  EXPECT_EQ(decodeSnapshot(readFile(snapshotFile())),
            seeded.withStatus(PlanStatus::sessionInactive));
  EXPECT_EQ(child->standardOutput().find("test-token-not-real"), std::string::npos);
  expectCleanStop(*child, SIGTERM);
}

TEST_F(Executable, AStopDuringStartUpLeavesBeforeTheFirstTick) {
  // A CLI that hangs keeps the helper in its version probe, which would last 10 s.
  const fs::path claude = bin() / "claude";
  writeFile(claude, "#!/bin/sh\nexec /bin/sleep 30\n");
  fs::permissions(claude, fs::perms::owner_all);
  auto child = startLive();
  ASSERT_TRUE(child->waitFor([&] { return outputHas(*child, kBanner); }, kDeadline));
  child->sendSignal(SIGINT);
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(child->waitForExit(kDeadline), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2s);
  EXPECT_EQ(child->standardOutput(), expectedBanner("2.1.195") + kCancelLine);
  EXPECT_FALSE(fs::exists(snapshotFile())) << "no marker without a tick";
}

TEST_F(Executable, AStopEndsARequestUnderWayLikeATransientError) {
  // The endpoint's name leads to a listener in a namespace of the test's own that never answers.
  testing::LoopbackNamespace loopback("api.anthropic.com", 443);
  if (!loopback.available()) {
    GTEST_SKIP() << "cannot make a network and mount namespace here (needs root)";
  }
  const testing::LoopbackServer silent(testing::LoopbackServer::silent(),
                                       {.listener = loopback.takeListener()});
  writeFile(home() / ".claude/.credentials.json",
            std::string(R"({"claudeAiOauth":{"accessToken":")") + testing::kTestAccessToken +
                R"(","expiresAt":4102444800000}})");
  ChildProcess::Options options;
  options.prepare = [&loopback] { return loopback.enter(); };
  ChildProcess child(QUORBEL_HELPER_BINARY, environment(nullptr, tmp()), std::move(options));
  ASSERT_TRUE(child.waitFor([&] { return silent.connections() == 1; }, kDeadline))
      << child.standardOutput() << child.standardError();
  // Into the TLS handshake, which the listener leaves hanging.
  std::this_thread::sleep_for(200ms);
  child.sendSignal(SIGTERM);
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(child.waitForExit(kDeadline), 0);
  const auto latency = std::chrono::steady_clock::now() - sent;
  std::cout << "[ stop     ] request abandoned "
            << std::chrono::duration_cast<std::chrono::milliseconds>(latency).count()
            << " ms after SIGTERM\n";
  EXPECT_LT(latency, 2s);
  EXPECT_EQ(child.standardOutput(),
            expectedBanner("2.1.195") + kMarkerLine +
                "[RefreshCycle] Transient error (network: cancelled: request abandoned: the "
                "helper is stopping); retrying in 180 s; disk left as-is; last snapshot "
                "retained.\n" +
                kCancelLine);
}

TEST_F(Executable, ASecondSignalEndsTheProcessWhereverItIsStuck) {
  struct Case {
    int first, second;
  };
  for (const Case c : {Case{SIGTERM, SIGTERM}, Case{SIGINT, SIGINT}, Case{SIGINT, SIGTERM}}) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
    // A full pipe blocks the helper in its first write, where no stop request can reach it.
    auto child = startLive(0);
    ASSERT_TRUE(child->waitFor([&] { return blocksTerminationSignals(child->pid()); }, kDeadline));
    child->sendSignal(c.first);
    EXPECT_FALSE(child->waitFor([&] { return child->exited(); }, 300ms));
    child->sendSignal(c.second);
    EXPECT_TRUE(child->waitFor([&] { return child->exited(); }, kDeadline));
    child->releaseStandardOutput();
    EXPECT_EQ(child->waitForExit(kDeadline), 0);
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
  testing::ScopedTempDir scratch;
  testing::ScopedTempDir cwd;
  fs::permissions(cwd.path(), fs::perms::all);
  const bool sharedDirectoryExisted = fs::exists("/tmp/QuorbelHelper");
  const std::string message = ": no home directory to keep plan-snapshot.json in: set HOME (or "
                              "XDG_DATA_HOME) to an absolute path\n";
  struct Case {
    const char *name;
    std::string program;
    int exitStatus;
  };
  const Case cases[] = {{"QuorbelHelper", QUORBEL_HELPER_BINARY, 1},
                        {"quorbel-status", QUORBEL_STATUS_BINARY, 2}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = std::to_string(stranger);
    const auto result = testing::runCommand(
        "cd '" + cwd.path().string() + "' && env -i HOME=relative/home XDG_DATA_HOME=relative " +
            "timeout 10 setpriv --reuid " + id + " --regid " + id + " --clear-groups " + c.program,
        scratch);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.err, c.name + message);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(fs::is_empty(cwd.path()));
  }
  EXPECT_EQ(fs::exists("/tmp/QuorbelHelper"), sharedDirectoryExisted);
}

} // namespace
} // namespace quorbel
