// What the built-in self-check does not prove already: log lines, caps, seeding and the waits.
#include "model/snapshot_json.hpp"
#include "runtime/helper_runtime.hpp"
#include "selfcheck/dry_test_scenarios.hpp"
#include "store/snapshot_store.hpp"
#include "support/capturing_log.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace quorbel {
namespace {

using Fake = FakePlanUsageProvider;
using testing::readFile;
using testing::writeFile;

const PlanSnapshot kA = dryTestSnapshotA();
const std::string kCause = "cannot write /x/plan-snapshot.json: No space left on device";

std::string logged(const std::string &message) { return "[RefreshCycle] " + message + "\n"; }

struct FlakyStore final : SnapshotPersisting {
  explicit FlakyStore(std::filesystem::path file) : inner(std::move(file)) {}
  void save(const PlanSnapshot &snapshot) override {
    if (failing) {
      throw SnapshotStoreError(kCause);
    }
    inner.save(snapshot);
  }
  std::optional<PlanSnapshot> load() const override { return inner.load(); }
  SnapshotStore inner;
  bool failing = false;
};

struct FixedClock final : Clock {
  Instant now() const override { return kA.fetchedAt + std::chrono::hours(1000); }
};

struct ScriptedTimer final : TickTimer {
  WakeUp wait(std::chrono::nanoseconds delay, std::stop_token, bool watchCredentials) override {
    return onWait(std::chrono::duration<double>(delay).count(), watchCredentials);
  }
  std::function<WakeUp(double, bool)> onWait;
};

class HelperRuntimeTest : public ::testing::Test {
protected:
  HelperRuntime makeRuntime(double interval) {
    return HelperRuntime(provider_, store_, interval, log_, clock_, hints_);
  }

  testing::ScopedTempDir temp_;
  std::filesystem::path file_ = temp_ / "plan-snapshot.json";
  std::shared_ptr<Fake> provider_ = std::make_shared<Fake>(Fake::success(kA));
  std::shared_ptr<FlakyStore> store_ = std::make_shared<FlakyStore>(file_);
  testing::CapturingLog log_;
  testing::CapturingLog hints_;
  FixedClock clock_;
};

TEST_F(HelperRuntimeTest, EachTickLogsWhatHappenedAndWhatFailedToBeWritten) {
  PlanSnapshot oneWindow = kA;
  oneWindow.allModels.reset();
  const auto transient = [](const std::string &what) {
    return logged("Transient error (" + what +
                  "); retrying in 1 s; disk left as-is; last snapshot retained.");
  };
  const std::string inactive = "state=sessionInactive published. Retrying in 1 s; data retained.";
  struct Case {
    Fake::Behavior next;
    bool failing, keepsFile;
    std::string lines;
  };
  const Case cases[] = {
      {Fake::success(oneWindow), false, false,
       logged("200: snapshot updated and written to disk (5h=37%, 7d=\u2014%).")},
      {Fake::failure(PlanUsageError::unexpectedStatus(503)), false, true, transient("HTTP 503")},
      {Fake::failure(PlanUsageError::network({TransportError::Kind::timedOut, "slow"})), false,
       true, transient("network: timedOut: slow")},
      {Fake::failure(PlanUsageError::decoding({"no object", std::nullopt})), false, true,
       transient("decoding")},
      {Fake::failure(std::runtime_error("odd")), false, true, transient("odd")},
      {Fake::failure(42), false, true, transient("unknown error")},
      {Fake::failure(PlanUsageError::unauthorized()), false, false,
       logged("401 unauthorized; token rejected. " + inactive)},
      {Fake::failure(PlanUsageError::rateLimited()), true, true,
       logged("Status publish (rateLimited) disk write FAILED: " + kCause) +
           logged("429: rate limited. Backing off 180 s; state=rateLimited published, data "
                  "retained.")},
      {Fake::success(kA), true, true,
       logged("200: snapshot updated in memory but disk write FAILED: " + kCause)},
      {Fake::failure(PlanUsageError::credentialExpired()), true, true,
       logged("Status publish (sessionInactive) disk write FAILED: " + kCause) +
           logged("Session inactive (credential expired/missing); no call made. " + inactive)}};
  HelperRuntime runtime = makeRuntime(1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.lines);
    provider_->next = c.next;
    store_->failing = c.failing;
    const std::string before = readFile(file_);
    runtime.tick();
    EXPECT_EQ(log_.text(), c.lines);
    log_.clear();
    EXPECT_EQ(readFile(file_) == before, c.keepsFile);
  }
  EXPECT_EQ(runtime.lastSnapshot(), kA);

  // A token without the endpoint's scope is refused on every tick: the person is told once.
  EXPECT_TRUE(hints_.lines().empty());
  provider_->next = Fake::failure(PlanUsageError::unexpectedStatus(403));
  runtime.tick();
  runtime.tick();
  ASSERT_EQ(hints_.lines().size(), 1u);
  EXPECT_NE(hints_.text().find("Sign in by running `claude`"), std::string::npos);
}

TEST_F(HelperRuntimeTest, SeedingAdoptsAStoredSnapshotOrElseWritesTheMarker) {
  PlanSnapshot legacy = kA;
  legacy.status.reset();
  const PlanSnapshot marker = PlanSnapshot::dataless(PlanStatus::noData, clock_.now());
  struct Case {
    std::optional<std::string> file;
    bool failing;
    std::optional<PlanSnapshot> adopted, stored;
    std::string line;
  };
  const Case cases[] = {
      {encodeSnapshot(legacy), false, legacy, legacy,
       "Loaded persisted snapshot from disk (fetchedAt=2026-05-28 20:26:40 +0000, "
       "status=active)."},
      {"{\"fetchedAt\": garbage", false, std::nullopt, marker,
       "No persisted snapshot on disk; wrote a .noData marker while warming up."},
      {std::nullopt, true, std::nullopt, std::nullopt,
       "No persisted snapshot on disk; .noData marker write FAILED: " + kCause},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.line);
    std::filesystem::remove(file_);
    if (c.file) {
      writeFile(file_, *c.file);
    }
    store_->failing = c.failing;
    HelperRuntime runtime = makeRuntime(1);
    runtime.seed();
    EXPECT_EQ(runtime.lastSnapshot(), c.adopted);
    EXPECT_EQ(store_->load(), c.stored);
    EXPECT_EQ(log_.text(), logged(c.line));
    log_.clear();
  }
}

TEST_F(HelperRuntimeTest, RateLimitsBackOffUpToTheCapsAndAnyOtherOutcomeStartsOver) {
  const auto limited = [](std::optional<double> retryAfter = std::nullopt) {
    return Fake::failure(PlanUsageError::rateLimited(retryAfter));
  };
  const auto timedOut =
      Fake::failure(PlanUsageError::network({TransportError::Kind::timedOut, ""}));
  const auto expired = Fake::failure(PlanUsageError::credentialExpired());
  const auto unauthorized = Fake::failure(PlanUsageError::unauthorized());
  // A longer Retry-After wins, up to an hour; a shorter one does not shorten the step.
  const std::pair<Fake::Behavior, double> cases[] = {
      {limited(), 180},  {limited(), 360},         {limited(), 720},    {limited(), 1440},
      {limited(), 1440}, {limited(99999), 3600},   {limited(60), 1440}, {timedOut, 300},
      {limited(), 180},  {expired, 300},           {limited(), 180},    {unauthorized, 300},
      {limited(), 180},  {Fake::success(kA), 300}, {limited(), 180}};
  HelperRuntime runtime = makeRuntime(300);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    provider_->next = cases[i].first;
    EXPECT_EQ(runtime.tick(), cases[i].second);
  }
}

TEST_F(HelperRuntimeTest, OnlyASignedOutStatusWaitsForTheCredentialsToChange) {
  writeFile(file_, encodeSnapshot(kA.withStatus(PlanStatus::sessionInactive)));
  const auto timedOut =
      Fake::failure(PlanUsageError::network({TransportError::Kind::timedOut, ""}));
  struct Case {
    Fake::Behavior next;
    double delay;
    bool watchCredentials;
  };
  const Case cases[] = {
      {timedOut, 300, true}, // keeps the stored status
      {Fake::failure(PlanUsageError::credentialMissing()), 300, true},
      {Fake::success(kA), 300, false},
      {timedOut, 300, false},
      {Fake::failure(PlanUsageError::rateLimited()), 180, false},
      {Fake::failure(PlanUsageError::unauthorized()), 300, true},
  };
  std::size_t at = 0;
  provider_->next = cases[0].next;
  ScriptedTimer timer;
  timer.onWait = [&](double delay, bool watchCredentials) {
    SCOPED_TRACE(at);
    EXPECT_EQ(delay, cases[at].delay);
    EXPECT_EQ(watchCredentials, cases[at].watchCredentials);
    if (++at == std::size(cases)) {
      return TickTimer::WakeUp::stopRequested;
    }
    provider_->next = cases[at].next;
    // A credentials change ticks like a due wait.
    return at == 1 ? TickTimer::WakeUp::credentialsChanged : TickTimer::WakeUp::due;
  };
  HelperRuntime runtime = makeRuntime(300);
  testing::finishesWithin("the refresh cycle", [&] { runtime.run(std::stop_token(), timer); });
  EXPECT_EQ(at, std::size(cases));
}

// A really full file system: a small tmpfs, which only root may mount.
TEST_F(HelperRuntimeTest, AFullDiskIsLoggedAndLeavesTheOldFileAndNoTemporary) {
  const auto disk = temp_ / "full";
  std::filesystem::create_directory(disk);
  if (::geteuid() != 0 ||
      std::system(("mount -t tmpfs -o size=64k tmpfs '" + disk.string() + "'").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs (needs root)";
  }
  struct Unmount {
    std::string command;
    ~Unmount() { (void)!std::system(command.c_str()); }
  } const unmount{"umount '" + disk.string() + "'"};
  const auto target = disk / "QuorbelHelper/plan-snapshot.json";
  HelperRuntime runtime(provider_, std::make_shared<SnapshotStore>(target), 1, log_, clock_);
  runtime.tick();
  const std::string before = readFile(target);
  writeFile(disk / "filler", std::string(64 * 1024, 'f'));
  log_.clear();

  provider_->next = Fake::failure(PlanUsageError::rateLimited());
  EXPECT_EQ(runtime.tick(), 180);
  EXPECT_EQ(readFile(target), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(target.parent_path()), {}), 1);
  EXPECT_TRUE(log_.text().starts_with(
      logged("Status publish (rateLimited) disk write FAILED: cannot write " + target.string() +
             ": write failed: No space left on device")))
      << log_.text();
}

} // namespace
} // namespace quorbel
