#include "model/snapshot_json.hpp"
#include "runtime/helper_runtime.hpp"
#include "source/plan_usage_error.hpp"
#include "store/snapshot_store.hpp"
#include "support/capturing_log.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <thread>
#include <unistd.h>

namespace quorbel {
namespace {

using testing::CapturingLog;
using testing::readFile;
using testing::ScopedTempDir;
using testing::writeFile;

const Instant kT0 = instantFromUnixSeconds(1780000000);

PlanSnapshot snapshotA() {
  return PlanSnapshot{kT0,
                      PlanWindow{37, kT0 + std::chrono::seconds(18000)},
                      PlanWindow{13, kT0 + std::chrono::seconds(604800)},
                      "max",
                      "default_claude_max_20x",
                      PlanStatus::active};
}

// Answers each fetch with the next scripted outcome; the last one repeats.
class ScriptedProvider final : public PlanUsageProvider {
public:
  using Outcome = std::function<PlanSnapshot()>;
  explicit ScriptedProvider(double minimum = 0) : minimum_(minimum) {}

  void then(PlanSnapshot snapshot) {
    outcomes_.push_back([snapshot] { return snapshot; });
  }
  template <typename Error> void thenThrow(Error error) {
    outcomes_.push_back([error]() -> PlanSnapshot { throw error; });
  }
  PlanSnapshot fetch() override {
    ++fetches;
    Outcome outcome = outcomes_.front();
    if (outcomes_.size() > 1) {
      outcomes_.pop_front();
    }
    return outcome();
  }
  double minimumInterval() const override { return minimum_; }

  int fetches = 0;

private:
  std::deque<Outcome> outcomes_;
  double minimum_;
};

class FixedClock final : public Clock {
public:
  Instant now() const override { return instant; }
  Instant instant = instantFromUnixSeconds(1790000000);
};

// Fails every save while `failing` is set, otherwise forwards to a real store.
class FlakyStore final : public SnapshotPersisting {
public:
  explicit FlakyStore(std::filesystem::path file) : inner_(std::move(file)) {}
  void save(const PlanSnapshot &snapshot) override {
    if (failing) {
      throw SnapshotStoreError("cannot write /x/plan-snapshot.json: No space left on device");
    }
    inner_.save(snapshot);
  }
  std::optional<PlanSnapshot> load() const override { return inner_.load(); }
  bool failing = false;

private:
  SnapshotStore inner_;
};

class HelperRuntimeTest : public ::testing::Test {
protected:
  std::filesystem::path file() const { return temp_ / "plan-snapshot.json"; }
  HelperRuntime makeRuntime(double interval = 1) {
    return HelperRuntime(provider_, store_, interval, log_, clock_);
  }
  std::vector<std::string> takeLines() {
    auto lines = log_.lines();
    std::vector<std::string> fresh(lines.begin() + std::ptrdiff_t(seen_), lines.end());
    seen_ = lines.size();
    return fresh;
  }

  ScopedTempDir temp_;
  std::shared_ptr<ScriptedProvider> provider_ = std::make_shared<ScriptedProvider>();
  std::shared_ptr<FlakyStore> store_ = std::make_shared<FlakyStore>(file());
  CapturingLog log_;
  FixedClock clock_;
  std::size_t seen_ = 0;
};

using Lines = std::vector<std::string>;

TEST_F(HelperRuntimeTest, ASuccessWithoutAWindowLogsADash) {
  PlanSnapshot oneWindow = snapshotA();
  oneWindow.allModels.reset();
  provider_->then(oneWindow);
  HelperRuntime runtime = makeRuntime(1);
  EXPECT_EQ(runtime.tick(), 1);
  EXPECT_EQ(store_->load(), oneWindow);
  EXPECT_EQ(takeLines(), Lines{"[RefreshCycle] 200: snapshot updated and written to disk "
                               "(5h=37%, 7d=\u2014%).\n"});
}

TEST_F(HelperRuntimeTest, AScopeRefusalTellsThePersonOnceWhatToDo) {
  CapturingLog hints;
  HelperRuntime runtime(provider_, store_, 1, log_, clock_, hints);
  provider_->thenThrow(PlanUsageError::unexpectedStatus(500));
  provider_->thenThrow(PlanUsageError::unexpectedStatus(403));
  runtime.tick();
  EXPECT_EQ(hints.lines().size(), 0u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(runtime.tick(), 1);
  }
  ASSERT_EQ(hints.lines().size(), 1u);
  EXPECT_NE(hints.lines()[0].find("refused"), std::string::npos);
  EXPECT_NE(hints.lines()[0].find("`claude`"), std::string::npos);
  EXPECT_EQ(takeLines().back(), "[RefreshCycle] Transient error (HTTP 403); retrying in 1 s; disk "
                                "left as-is; last snapshot retained.\n");
}

TEST_F(HelperRuntimeTest, RateLimitsBackOffUpToTheCapAndAnyOtherOutcomeResetsIt) {
  provider_->then(snapshotA());
  for (int i = 0; i < 5; ++i) {
    provider_->thenThrow(PlanUsageError::rateLimited());
  }
  provider_->thenThrow(PlanUsageError::network({TransportError::Kind::timedOut, "slow"}));
  provider_->thenThrow(PlanUsageError::rateLimited());
  provider_->thenThrow(PlanUsageError::credentialExpired());
  provider_->thenThrow(PlanUsageError::rateLimited());
  provider_->then(snapshotA());
  provider_->thenThrow(PlanUsageError::rateLimited());

  HelperRuntime runtime = makeRuntime(300);
  std::vector<double> delays;
  for (int i = 0; i < 12; ++i) {
    delays.push_back(runtime.tick());
  }
  EXPECT_EQ(delays,
            (std::vector<double>{300, 180, 360, 720, 1440, 1440, 300, 180, 300, 180, 300, 180}));
  EXPECT_EQ(runtime.lastResult(), RefreshResult(refresh::RateLimited{180}));
  EXPECT_EQ(runtime.lastSnapshot(), snapshotA());
  const Lines lines = takeLines();
  EXPECT_EQ(lines[4], "[RefreshCycle] 429: rate limited. Backing off 1440 s; state=rateLimited "
                      "published, data retained.\n");
  EXPECT_EQ(lines[6], "[RefreshCycle] Transient error (network: timedOut: slow); retrying in 300 "
                      "s; disk left as-is; last snapshot retained.\n");
}

TEST_F(HelperRuntimeTest, TransientErrorsLeaveTheFileByteIdentical) {
  provider_->then(snapshotA());
  provider_->thenThrow(PlanUsageError::unauthorized());
  provider_->thenThrow(PlanUsageError::network({TransportError::Kind::notConnectedToInternet, ""}));
  provider_->thenThrow(PlanUsageError::unexpectedStatus(503));
  provider_->thenThrow(PlanUsageError::decoding({"body is not an object", std::nullopt}));
  provider_->thenThrow(std::runtime_error("something else"));
  provider_->thenThrow(42);
  HelperRuntime runtime = makeRuntime(1);
  runtime.tick();
  takeLines();
  runtime.tick();
  EXPECT_EQ(takeLines(),
            Lines{"[RefreshCycle] 401 unauthorized; token rejected. "
                  "state=sessionInactive published. Retrying in 1 s; data retained.\n"});
  const std::string before = readFile(file());

  const char *texts[] = {"network: notConnectedToInternet", "HTTP 503", "decoding",
                         "something else", "unknown error"};
  for (const char *text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(runtime.tick(), 1);
    EXPECT_EQ(runtime.lastResult(), RefreshResult(refresh::TransientError{text}));
    EXPECT_EQ(readFile(file()), before);
    EXPECT_EQ(runtime.lastSnapshot(), snapshotA());
  }
  EXPECT_EQ(takeLines()[1], "[RefreshCycle] Transient error (HTTP 503); retrying in 1 s; disk "
                            "left as-is; last snapshot retained.\n");
}

TEST_F(HelperRuntimeTest, SeedingAdoptsAStoredSnapshotAndReplacesACorruptOne) {
  PlanSnapshot legacy = snapshotA();
  legacy.status.reset();
  writeFile(file(), encodeSnapshot(legacy));
  {
    HelperRuntime runtime = makeRuntime(1);
    runtime.seed();
    EXPECT_EQ(runtime.lastSnapshot(), legacy);
    EXPECT_EQ(readFile(file()), encodeSnapshot(legacy)) << "seeding from a file writes nothing";
    EXPECT_EQ(takeLines(), Lines{"[RefreshCycle] Loaded persisted snapshot from disk "
                                 "(fetchedAt=2026-05-28 20:26:40 +0000, status=active).\n"});
  }
  writeFile(file(), "{\"fetchedAt\": garbage");
  HelperRuntime runtime = makeRuntime(1);
  runtime.seed();
  EXPECT_FALSE(runtime.lastSnapshot().has_value());
  EXPECT_EQ(store_->load(), PlanSnapshot::dataless(PlanStatus::noData, clock_.instant));
}

TEST_F(HelperRuntimeTest, FailedWritesAreLoggedAndKeepTheDelays) {
  store_->failing = true;
  provider_->thenThrow(PlanUsageError::rateLimited());
  provider_->thenThrow(PlanUsageError::rateLimited());
  provider_->then(snapshotA());
  provider_->thenThrow(PlanUsageError::credentialExpired());
  HelperRuntime runtime = makeRuntime(1);
  runtime.seed();
  EXPECT_EQ(runtime.tick(), 180);
  EXPECT_EQ(runtime.tick(), 360);
  EXPECT_EQ(runtime.tick(), 1);
  EXPECT_EQ(runtime.lastSnapshot(), snapshotA());
  EXPECT_EQ(runtime.tick(), 1);
  const std::string cause = "cannot write /x/plan-snapshot.json: No space left on device";
  EXPECT_EQ(
      takeLines(),
      (Lines{"[RefreshCycle] No persisted snapshot on disk; .noData marker write FAILED: " + cause +
                 "\n",
             "[RefreshCycle] Status publish (rateLimited) disk write FAILED: " + cause + "\n",
             "[RefreshCycle] 429: rate limited. Backing off 180 s; state=rateLimited published, "
             "data retained.\n",
             "[RefreshCycle] Status publish (rateLimited) disk write FAILED: " + cause + "\n",
             "[RefreshCycle] 429: rate limited. Backing off 360 s; state=rateLimited published, "
             "data retained.\n",
             "[RefreshCycle] 200: snapshot updated in memory but disk write FAILED: " + cause +
                 "\n",
             "[RefreshCycle] Status publish (sessionInactive) disk write FAILED: " + cause + "\n",
             "[RefreshCycle] Session inactive (credential expired/missing); no call made. "
             "state=sessionInactive published. Retrying in 1 s; data retained.\n"}));
}

// Answers each wait with the next scripted wake-up and a stop once they run out, keeping what it
// was asked.
class ScriptedTimer final : public TickTimer {
public:
  using Wait = std::pair<double, bool>; // seconds, watchCredentials
  WakeUp wait(std::chrono::nanoseconds delay, std::stop_token, bool watchCredentials) override {
    waits.emplace_back(std::chrono::duration<double>(delay).count(), watchCredentials);
    if (wakeUps.empty()) {
      return WakeUp::stopRequested;
    }
    const WakeUp next = wakeUps.front();
    wakeUps.pop_front();
    return next;
  }
  std::deque<WakeUp> wakeUps;
  std::vector<Wait> waits;
};

TEST_F(HelperRuntimeTest, OnlyASignedOutStatusWaitsForTheCredentialsToChange) {
  writeFile(file(), encodeSnapshot(snapshotA().withStatus(PlanStatus::sessionInactive)));
  provider_->thenThrow(PlanUsageError::network({TransportError::Kind::timedOut, "slow"}));
  provider_->thenThrow(PlanUsageError::credentialMissing());
  provider_->then(snapshotA());
  provider_->thenThrow(PlanUsageError::network({TransportError::Kind::timedOut, "slow"}));
  provider_->thenThrow(PlanUsageError::rateLimited());
  provider_->thenThrow(PlanUsageError::unauthorized());
  ScriptedTimer timer;
  timer.wakeUps.assign(4, TickTimer::WakeUp::due);
  timer.wakeUps.push_front(TickTimer::WakeUp::credentialsChanged);
  HelperRuntime runtime = makeRuntime(300);
  testing::finishesWithin("the refresh cycle", [&] { runtime.run(std::stop_token(), timer); });

  using Wait = ScriptedTimer::Wait;
  EXPECT_EQ(timer.waits, (std::vector<Wait>{
                             {300, true},  // a transient error keeps the stored status
                             {300, true},  // credentials missing
                             {300, false}, // 200
                             {300, false}, // transient error after a 200
                             {180, false}, // rate limited
                             {300, true},  // 401
                         }));
  EXPECT_EQ(provider_->fetches, 6) << "a credentials change ticks like a due wait";
  EXPECT_EQ(log_.lines().back(), "[RefreshCycle] Sleep cancelled; stopping refresh cycle.\n");
}

TEST_F(HelperRuntimeTest, AStopBeforeTheFirstTickLeavesTheFileAndTheSourceAlone) {
  provider_->then(snapshotA());
  std::stop_source stop;
  stop.request_stop();
  ScriptedTimer timer;
  HelperRuntime runtime = makeRuntime(1);
  testing::finishesWithin("the stopped refresh cycle",
                          [&] { runtime.run(stop.get_token(), timer); });
  EXPECT_EQ(provider_->fetches, 0);
  EXPECT_TRUE(timer.waits.empty());
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_EQ(log_.lines(), Lines{"[RefreshCycle] Sleep cancelled; stopping refresh cycle.\n"});
}

// A file system that is really full: a small tmpfs, which only root may mount.
class FullFileSystem {
public:
  explicit FullFileSystem(const std::filesystem::path &mountPoint) : mountPoint_(mountPoint) {
    std::filesystem::create_directories(mountPoint_);
    const std::string command =
        "mount -t tmpfs -o size=64k tmpfs '" + mountPoint_.string() + "' 2>/dev/null";
    mounted_ = ::geteuid() == 0 && std::system(command.c_str()) == 0;
  }
  ~FullFileSystem() {
    if (mounted_) {
      (void)!std::system(("umount '" + mountPoint_.string() + "'").c_str());
    }
  }
  bool mounted() const { return mounted_; }
  void fill() const {
    std::ofstream filler(mountPoint_ / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    for (int i = 0; i < 64 && filler.write(block.data(), block.size()); ++i) {
      filler.flush();
    }
  }

private:
  std::filesystem::path mountPoint_;
  bool mounted_ = false;
};

TEST_F(HelperRuntimeTest, AFullDiskIsLoggedAndLeavesTheOldFileAndNoTemporary) {
  FullFileSystem disk(temp_ / "full");
  if (!disk.mounted()) {
    GTEST_SKIP() << "cannot mount a small tmpfs (needs root): full-disk case not run";
  }
  const auto target = temp_ / "full/QuorbelHelper/plan-snapshot.json";
  auto store = std::make_shared<SnapshotStore>(target);
  provider_->then(snapshotA());
  provider_->thenThrow(PlanUsageError::rateLimited());
  provider_->thenThrow(PlanUsageError::rateLimited());
  HelperRuntime runtime(provider_, store, 1, log_, clock_);
  runtime.tick();
  const std::string before = readFile(target);
  takeLines();
  disk.fill();

  EXPECT_EQ(runtime.tick(), 180);
  EXPECT_EQ(runtime.tick(), 360);
  EXPECT_EQ(readFile(target), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(target.parent_path()),
                          std::filesystem::directory_iterator()),
            1);
  const Lines lines = takeLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0],
            "[RefreshCycle] Status publish (rateLimited) disk write FAILED: cannot write " +
                target.string() + ": write failed: No space left on device\n");
  EXPECT_EQ(lines[3], "[RefreshCycle] 429: rate limited. Backing off 360 s; state=rateLimited "
                      "published, data retained.\n");
}

TEST(Describe, FollowsTheErrorKind) {
  EXPECT_EQ(describe(PlanUsageError::unexpectedStatus(503)), "HTTP 503");
  EXPECT_EQ(describe(PlanUsageError::decoding({"x", PlanSnapshotError("five_hour", "")})),
            "decoding");
  EXPECT_EQ(describe(PlanUsageError::unauthorized()), "401 unauthorized");
  EXPECT_EQ(describe(PlanUsageError::credentialExpired()), "credentialExpired");
  EXPECT_EQ(describe(PlanUsageError::rateLimited()), "rateLimited");
  EXPECT_EQ(describe(PlanUsageError::network(
                {TransportError::Kind::cannotConnectToHost, "Connection refused"})),
            "network: cannotConnectToHost: Connection refused");
}

} // namespace
} // namespace quorbel
