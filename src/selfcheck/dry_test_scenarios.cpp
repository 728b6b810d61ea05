#include "selfcheck/dry_test_scenarios.hpp"

#include "source/credentials_file_linux.hpp"
#include "source/live_plan_usage_provider.hpp"
#include "source/plan_usage_error.hpp"

#include <chrono>
#include <optional>
#include <variant>

namespace quorbel {

namespace {

// The fixture instants are whole seconds so they survive the text form unchanged.
constexpr double kT0 = 1780000000;
constexpr double kSnapshotBOffset = 200;
constexpr double kSessionLength = 18000;
constexpr double kWeekLength = 604800;
constexpr double kFakeInterval = 1;
constexpr double kLiveRequestedInterval = 5;
constexpr double kLiveFloor = 180;
constexpr double kFirstBackoff = 180;
constexpr double kDoubledBackoff = 360;

PlanSnapshot fixture(double fetchedAtSeconds, std::int64_t sessionPercent,
                     std::int64_t weeklyPercent) {
  const auto at = [&](double offset) { return instantFromUnixSeconds(fetchedAtSeconds + offset); };
  PlanSnapshot snapshot;
  snapshot.fetchedAt = at(0);
  snapshot.session = PlanWindow{sessionPercent, at(kSessionLength)};
  snapshot.allModels = PlanWindow{weeklyPercent, at(kWeekLength)};
  snapshot.subscriptionType = "max";
  snapshot.rateLimitTier = "default_claude_max_20x";
  snapshot.status = PlanStatus::active;
  return snapshot;
}

PlanSnapshot snapshotB() { return fixture(kT0 + kSnapshotBOffset, 41, 14); }

PlanUsageError transportFailure(TransportError::Kind kind) {
  return PlanUsageError::network(TransportError{kind, {}});
}

bool statusIs(const std::optional<PlanSnapshot> &file, PlanStatus status) {
  return file && file->status == status;
}

// The live client is built as the entry builds it, but never asked to fetch: nothing reads the
// credentials and nothing goes out on the network.
double liveIntervalFor(std::shared_ptr<SnapshotPersisting> store, LogSink &out,
                       const Clock &clock) {
  auto live = std::make_shared<LivePlanUsageProvider>(
      std::make_shared<CredentialsFile>(CredentialsFile::atDefaultLocation()), sharedHttpSession(),
      "0.0.0-test", kDefaultExpiryMargin);
  const HelperRuntime runtime(live, std::move(store), kLiveRequestedInterval, out, clock);
  return runtime.effectiveInterval();
}

} // namespace

PlanSnapshot dryTestSnapshotA() { return fixture(kT0, 37, 13); }

namespace {

// A good fetch, rate limits and their back-off, and a network error: the data kept, the cadence.
void runCadenceScenarios(DryTestContext &c, const PlanSnapshot &a, const PlanSnapshot &b) {
  DryTestReporter &report = c.report;
  HelperRuntime &runtime = c.runtime;
  FakePlanUsageProvider &provider = *c.provider;
  report.title("[1] 200 \u2192 memory + disk");
  {
    const double delay = runtime.tick();
    report.check(runtime.lastResult() == RefreshResult{refresh::Updated{a}}, "result is .updated");
    report.check(runtime.lastSnapshot() == a, "lastSnapshot retained in memory");
    report.check(delay == kFakeInterval, "next delay is the normal cadence (fake interval = 1 s)");
    report.check(c.mainStore->load() == a, "snapshot written to disk and reloads identically");
  }

  report.title("[2] 429 \u2192 backoff 180 s, retain data, publish status=rateLimited");
  {
    provider.next = FakePlanUsageProvider::failure(PlanUsageError::rateLimited());
    const double delay = runtime.tick();
    const auto file = c.mainStore->load();
    report.check(delay == kFirstBackoff, "backoff starts at the 180 s floor");
    report.check(runtime.lastResult() == RefreshResult{refresh::RateLimited{kFirstBackoff}},
                 "result is .rateLimited(180)");
    report.check(runtime.lastSnapshot() == a,
                 "lastSnapshot stays the last-GOOD data (not re-stamped)");
    report.check(statusIs(file, PlanStatus::rateLimited),
                 "OBS-1: disk now carries status=rateLimited");
    report.check(file && file->session == a.session, "429 disk retains the last data (session)");
    report.check(file && file->allModels == a.allModels, "429 disk retains the last data (weekly)");
    report.check(file && file->fetchedAt == a.fetchedAt,
                 "429 does NOT age the data (fetchedAt preserved)");
  }

  report.title("[3] 429 again \u2192 backoff doubles to 360 s");
  report.check(runtime.tick() == kDoubledBackoff, "backoff doubled 180 \u2192 360");

  report.title("[4] 200 \u2192 backoff resets to normal cadence");
  {
    provider.next = FakePlanUsageProvider::success(b);
    const double delay = runtime.tick();
    report.check(delay == kFakeInterval, "cadence back to normal after success");
    report.check(c.mainStore->load() == b, "disk updated to snapshot B");
  }

  report.title("[5] network error \u2192 retain, normal cadence");
  {
    provider.next = FakePlanUsageProvider::failure(
        transportFailure(TransportError::Kind::notConnectedToInternet));
    const double delay = runtime.tick();
    report.check(delay == kFakeInterval, "transient error retries on normal cadence");
    report.check(runtime.lastSnapshot() == b, "last snapshot retained on network error");
    const auto &result = runtime.lastResult();
    report.check(result && std::holds_alternative<refresh::TransientError>(*result),
                 "result is .transientError");
  }
}

// An expired or rejected token: the status published, the last good data kept.
void runSignOutScenarios(DryTestContext &c, const PlanSnapshot &b) {
  DryTestReporter &report = c.report;
  HelperRuntime &runtime = c.runtime;
  FakePlanUsageProvider &provider = *c.provider;
  report.title("[6] credential expired \u2192 sessionInactive, retain data, publish status");
  {
    provider.next = FakePlanUsageProvider::failure(PlanUsageError::credentialExpired());
    const double delay = runtime.tick();
    const auto file = c.mainStore->load();
    report.check(delay == kFakeInterval, "sessionInactive retries on normal cadence");
    report.check(runtime.lastResult() == RefreshResult{refresh::SessionInactive{}},
                 "result is .sessionInactive");
    report.check(runtime.lastSnapshot() == b, "lastSnapshot stays the last-GOOD data");
    report.check(statusIs(file, PlanStatus::sessionInactive),
                 "OBS-1: disk carries status=sessionInactive");
    report.check(file && file->session == b.session, "sessionInactive disk retains last data");
  }

  report.title("[6b] 401 \u2192 sessionInactive, publish status");
  {
    provider.next = FakePlanUsageProvider::failure(PlanUsageError::unauthorized());
    const double delay = runtime.tick();
    report.check(delay == kFakeInterval, "401 retries on normal cadence");
    report.check(runtime.lastResult() == RefreshResult{refresh::SessionInactive{}},
                 "401 result is .sessionInactive");
    report.check(statusIs(c.mainStore->load(), PlanStatus::sessionInactive),
                 "OBS-1: 401 disk carries status=sessionInactive");
  }

  report.title("[6c] network error after sessionInactive \u2192 disk unchanged");
  {
    provider.next =
        FakePlanUsageProvider::failure(transportFailure(TransportError::Kind::timedOut));
    runtime.tick();
    report.check(statusIs(c.mainStore->load(), PlanStatus::sessionInactive),
                 "transient error does NOT flip the on-disk status");
  }
}

// The live interval, the file as a seed for the next run, and a first start with no file.
void runStartScenarios(DryTestContext &c, const PlanSnapshot &b) {
  DryTestReporter &report = c.report;
  report.title("[7] live provider \u2192 interval clamped to 180 s (no network)");
  report.check(liveIntervalFor(c.mainStore, c.out, c.clock) == kLiveFloor,
               "live provider interval clamped UP to 180 s");

  report.title("[8] disk round-trip (seeding source)");
  {
    const auto file = c.mainStore->load();
    report.check(file && file->session == b.session,
                 "load() reproduces the last DATA (seeds run())");
    report.check(statusIs(file, PlanStatus::sessionInactive), "load() reproduces the last STATUS");
  }

  report.title("[9] cold start \u2192 .noData marker so base app knows 'helper present'");
  {
    removeDryTestFile(c.coldFile);
    auto coldStore = std::make_shared<SnapshotStore>(c.coldFile);
    report.check(!coldStore->load().has_value(), "precondition: no file before run()");

    auto signedOut = std::make_shared<FakePlanUsageProvider>(
        FakePlanUsageProvider::failure(PlanUsageError::credentialMissing()));
    HelperRuntime cold(signedOut, coldStore, kFakeInterval, c.out, c.clock);
    report.check(!coldStore->load().has_value(), "still no file");

    // The seeding step of run(), which the self-check never calls because its loop only ends
    // when stopped. A failed save is ignored: the checks below then fail on their own.
    try {
      coldStore->save(PlanSnapshot::dataless(PlanStatus::noData, c.clock.now()));
    } catch (const std::exception &) {
    }
    const auto marker = coldStore->load();
    report.check(statusIs(marker, PlanStatus::noData), ".noData marker written on cold start");
    report.check(marker && !marker->hasData(), ".noData marker carries no windows");

    cold.tick();
    const auto published = coldStore->load();
    report.check(statusIs(published, PlanStatus::sessionInactive),
                 "cold + signed-out first tick publishes data-less sessionInactive");
    report.check(published && !published->hasData(), "signed-out cold start has no bars to show");
    removeDryTestFile(c.coldFile);
  }
}

} // namespace

void runRuntimeScenarios(DryTestContext &c) {
  const PlanSnapshot a = dryTestSnapshotA();
  const PlanSnapshot b = snapshotB();
  runCadenceScenarios(c, a, b);
  runSignOutScenarios(c, b);
  runStartScenarios(c, b);
}

} // namespace quorbel
