// The self-check proves the cycle's outcomes and files; here, its log, its caps and its waits.
#include "platform/atomic_file.hpp"
#include "runtime/helper_runtime.hpp"
#include "selfcheck/dry_test_scenarios.hpp"
#include "service/service_status_checking.hpp"
#include "support/capturing_log.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace quorbel {
namespace {

using Fake = FakePlanUsageProvider;
const std::string kCause = "cannot write /x/plan-snapshot.json: No space left on device";

std::string logged(const std::string &message) { return "[RefreshCycle] " + message + "\n"; }

struct FlakyStore final : SnapshotPersisting {
  explicit FlakyStore(std::filesystem::path file) : inner(std::move(file)) {}
  void save(const PlanSnapshot &snapshot) override {
    if (failing) {
      throw FileWriteError(kCause);
    }
    inner.save(snapshot);
  }
  std::optional<PlanSnapshot> load() const override { return inner.load(); }
  SnapshotStore inner;
  bool failing = false;
};

class HelperRuntimeTest : public ::testing::Test {
protected:
  testing::ScopedTempDir temp_;
  std::shared_ptr<Fake> provider_ = std::make_shared<Fake>(Fake::success(dryTestSnapshotA()));
  std::shared_ptr<FlakyStore> store_ = std::make_shared<FlakyStore>(temp_ / "plan-snapshot.json");
  testing::CapturingLog log_, hints_;
  HelperRuntime runtime_{provider_, store_, 300, log_, systemClock(), hints_};
};

TEST_F(HelperRuntimeTest, EachTickLogsWhatHappenedAndWhatFailedToBeWritten) {
  // Without a file, seeding leaves a marker that holds no data, or says it could not.
  HelperRuntime(provider_, store_, 300, log_).seed();
  const auto marker = store_->load();
  EXPECT_TRUE(marker && marker->status == PlanStatus::noData && !marker->hasData());
  std::filesystem::remove(temp_ / "plan-snapshot.json");
  log_.clear();
  store_->failing = true;
  runtime_.seed();
  EXPECT_EQ(log_.text(),
            logged("No persisted snapshot on disk; .noData marker write FAILED: " + kCause));
  PlanSnapshot oneWindow = dryTestSnapshotA();
  oneWindow.allModels.reset();
  const auto transient = [](const std::string &what) {
    return logged("Transient error (" + what +
                  "); retrying in 300 s; disk left as-is; last snapshot retained.");
  };
  const std::string inactive = "state=sessionInactive published. Retrying in 300 s; data retained.";
  const std::string noCall =
      logged("Session inactive (credential expired/missing); no call made. " + inactive);
  const std::string limited =
      logged("429: rate limited. Backing off 180 s; state=rateLimited published, data retained.");
  using E = PlanUsageError;
  const auto fail = [](const PlanUsageError &error) { return Fake::failure(error); };
  const auto unusable = [](const char *why) {
    return Fake::failure(E::credentialUnreadable(std::string("credentials file /c: ") + why));
  };
  const auto told = [](const std::string &what) { return "QuorbelHelper: " + what + "\n"; };
  using enum InactiveReason;
  const struct {
    Fake::Behavior next;
    bool failing, keepsFile;
    std::string lines;
    std::optional<InactiveReason> reason = {}; // as the file then says
    std::string hints = {};                    // what the person is told besides
  } cases[] = {
      {Fake::success(oneWindow), false, false,
       logged("200: snapshot updated and written to disk (5h=37%, 7d=\u2014%).")},
      {fail(E::unexpectedStatus(503)), false, true, transient("HTTP 503")},
      {fail(E::network({TransportError::Kind::timedOut, "slow"})), false, true,
       transient("network: timedOut: slow")},
      {Fake::failure(42), false, true, transient("unknown error")},
      {fail(E::unauthorized()), false, false,
       logged("401 unauthorized; token rejected. " + inactive), rejected},
      {fail(E::rateLimited()), true, true,
       logged("Status publish (rateLimited) disk write FAILED: " + kCause) + limited, rejected},
      {Fake::success(oneWindow), true, true,
       logged("200: snapshot updated in memory but disk write FAILED: " + kCause), rejected},
      {fail(E::credentialExpired()), true, true,
       logged("Status publish (sessionInactive) disk write FAILED: " + kCause) + noCall, rejected},
      {fail(E::credentialExpired()), false, false, noCall, expired},
      // Why the credentials cannot be used is told when it first shows and when it changes.
      {unusable("Is a directory"), false, false, noCall, unreadable,
       told("credentials file /c: Is a directory")},
      {unusable("Is a directory"), false, true, noCall, unreadable},
      {unusable("Permission denied"), false, true, noCall, unreadable,
       told("credentials file /c: Permission denied")},
      {fail(E::credentialMissing()), false, false, noCall, missing},
      {unusable("Permission denied"), false, false, noCall, unreadable,
       told("credentials file /c: Permission denied")},
      // No status inherits the reason of an earlier one.
      {fail(E::rateLimited()), false, false, limited},
      {unusable("Permission denied"), false, false, noCall, unreadable,
       told("credentials file /c: Permission denied")},
      // A token without the endpoint's scope is refused on every tick: the person is told once.
      {fail(E::unexpectedStatus(403)), false, true, transient("HTTP 403"), unreadable,
       told("the usage endpoint refused this Claude Code token (HTTP 403); tokens made by "
            "`claude setup-token` lack the scope it needs. Sign in by running `claude` to get "
            "one that works.")},
      {fail(E::unexpectedStatus(403)), false, true, transient("HTTP 403"), unreadable}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.lines);
    log_.clear();
    hints_.clear();
    provider_->next = c.next;
    store_->failing = c.failing;
    const std::string before = testing::readFile(temp_ / "plan-snapshot.json");
    runtime_.tick();
    EXPECT_EQ(log_.text(), c.lines);
    EXPECT_EQ(testing::readFile(temp_ / "plan-snapshot.json") == before, c.keepsFile);
    EXPECT_EQ(store_->load()->inactiveReason, c.reason);
    EXPECT_EQ(hints_.text(), c.hints);
  }
}

struct ScriptedTimer final : TickTimer {
  WakeUp wait(std::chrono::nanoseconds delay, std::stop_token, bool watchCredentials) override {
    return onWait(std::chrono::duration<double>(delay).count(), watchCredentials);
  }
  std::optional<std::string> takeLostWatch() override { return std::exchange(lostWatch, {}); }
  std::function<WakeUp(double, bool)> onWait;
  std::optional<std::string> lostWatch;
};

// Rate limits back off up to their caps and any other outcome starts over; only while signed out
// does a change of the credentials end the wait, as a token refresh must not add a request.
TEST_F(HelperRuntimeTest, EachOutcomeSetsTheNextWaitAndWhetherItWatchesTheCredentials) {
  const auto limited = [](std::optional<double> retryAfter = std::nullopt) {
    return Fake::failure(PlanUsageError::rateLimited(retryAfter));
  };
  const auto timedOut =
      Fake::failure(PlanUsageError::network({TransportError::Kind::timedOut, ""}));
  const auto missing = Fake::failure(PlanUsageError::credentialMissing());
  const auto expired = Fake::failure(PlanUsageError::credentialExpired());
  const auto unauthorized = Fake::failure(PlanUsageError::unauthorized());
  const auto success = Fake::success(dryTestSnapshotA());
  // A longer Retry-After wins, up to an hour; a shorter one does not shorten the step.
  const struct {
    Fake::Behavior next;
    double delay;
    bool watchCredentials;
  } cases[] = {{missing, 300, true},     {timedOut, 300, true},         {limited(), 180, false},
               {limited(), 360, false},  {limited(), 720, false},       {limited(), 1440, false},
               {limited(), 1440, false}, {limited(99999), 3600, false}, {limited(60), 1440, false},
               {timedOut, 300, false},   {limited(), 180, false},       {expired, 300, true},
               {limited(), 180, false},  {unauthorized, 300, true},     {limited(), 180, false},
               {limited(), 360, false},  {success, 300, false},         {limited(), 180, false}};
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
    if (at == 3) {
      timer.lostWatch = "no watch on the credentials file (cannot watch /c: gone)";
    }
    // A credentials change ticks like a due wait.
    return at == 1 ? TickTimer::WakeUp::credentialsChanged : TickTimer::WakeUp::due;
  };
  testing::finishesWithin("the refresh cycle", [&] { runtime_.run(std::stop_token(), timer); });
  EXPECT_EQ(at, std::size(cases));
  // A watch that is lost is told once, and the cycle goes on without it.
  EXPECT_EQ(hints_.text(),
            "QuorbelHelper: no watch on the credentials file (cannot watch /c: gone)\n");
}

// Scripted: each record() throws the next error, or succeeds when there is none.
struct ScriptedHistory final : HistoryRecording {
  std::optional<std::string> record(const PlanSnapshot &snapshot) override {
    recorded.push_back(snapshot);
    if (failures.empty()) {
      return std::nullopt;
    }
    const auto kind = failures.front();
    failures.erase(failures.begin());
    throw HistoryError(kind, "/x/history.sqlite3: because");
  }
  std::vector<HistoryError::Kind> failures;
  std::vector<PlanSnapshot> recorded;
};

TEST_F(HelperRuntimeTest, AFailingHistoryIsToldOncePerKindAndNeverTouchesTheSnapshot) {
  auto history = std::make_shared<ScriptedHistory>();
  using K = HistoryError::Kind;
  history->failures = {K::locked, K::locked, K::diskFull, K::locked};
  runtime_.recordHistoryIn(history);
  const std::string saved = "200: snapshot updated and written to disk (5h=37%, 7d=13%).";
  const auto failed = [](const std::string &kind) {
    return logged("History write FAILED (" + kind +
                  "): /x/history.sqlite3: because; retrying at each fetch, told once.");
  };
  const std::string expected[] = {
      logged(saved) + failed("locked"),
      logged(saved),
      logged(saved) + failed("disk full"),
      logged(saved),
      logged(saved) + logged("History recording works again."),
      logged(saved),
  };
  for (const std::string &lines : expected) {
    log_.clear();
    EXPECT_EQ(runtime_.tick(), 300);
    EXPECT_EQ(log_.text(), lines);
    EXPECT_EQ(store_->load(), dryTestSnapshotA());
  }
  // Failures add no sample.
  provider_->next = Fake::failure(PlanUsageError::unexpectedStatus(503));
  runtime_.tick();
  EXPECT_EQ(history->recorded, std::vector<PlanSnapshot>(6, dryTestSnapshotA()));
}

// A status check on a virtual clock that the scripted waits move: due every `interval` seconds,
// each check answering the next scripted result, then a success.
struct ScriptedCheck final : ServiceStatusChecking {
  std::chrono::milliseconds dueIn() override {
    return std::chrono::milliseconds(std::lround((nextDue - now) * 1000));
  }
  std::chrono::milliseconds timeLimit() const override { return std::chrono::seconds(10); }
  ServiceCheckResult check() override {
    events += "check@" + std::to_string(std::lround(now)) + " ";
    nextDue = now + interval;
    const ServiceCheckResult result =
        results.empty() ? ServiceCheckResult{ServiceCheckResult::Kind::written} : results.front();
    results.erase(results.begin(), results.begin() + (results.empty() ? 0 : 1));
    return result;
  }
  double interval = 0;
  double now = 0;
  double nextDue = 0;
  std::string events;
  std::vector<ServiceCheckResult> results;
};

// A check starts only when its whole time limit ends before the next tick is due; one that could
// not waits for the tick to pass, so a page that hangs never delays the usage. Its failures are
// told once per cause, a recovery once, a stop not at all.
TEST_F(HelperRuntimeTest, TheStatusCheckRunsBetweenTicksAndNeverIntoOne) {
  using R = ServiceCheckResult;
  const R down{R::Kind::failed, "HTTP 503", "HTTP 503"};
  const R ok{R::Kind::written};
  const struct {
    double interval;
    const char *events; // over three ticks, 300 s apart
    std::vector<R> results = {};
  } cases[] = {
      {300, "check@0 check@300 check@600 "},
      {280, "check@0 check@280 check@560 check@840 "},
      {295, "check@0 check@300 check@600 "},
      {100,
       "check@0 check@100 check@200 check@300 check@400 check@500 check@600 check@700 check@800 ",
       {down,
        down,
        {R::Kind::elsewhere},
        {R::Kind::failed, "network: timedOut", "t"},
        ok,
        ok,
        {R::Kind::failed, "x", "y", true}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.interval);
    auto check = std::make_shared<ScriptedCheck>();
    check->interval = c.interval;
    check->results = c.results;
    log_.clear();
    HelperRuntime runtime(provider_, store_, 300, log_, systemClock(), hints_);
    runtime.checkServiceStatusWith(check);
    int ticks = 0;
    double sinceTick = 0;
    ScriptedTimer timer;
    timer.onWait = [&](double delay, bool) {
      check->now += delay;
      sinceTick += delay;
      if (std::lround(sinceTick) < 300) {
        return TickTimer::WakeUp::due;
      }
      EXPECT_EQ(std::lround(sinceTick), 300) << "a tick came late";
      sinceTick = 0;
      return ++ticks == 3 ? TickTimer::WakeUp::stopRequested : TickTimer::WakeUp::due;
    };
    runtime.run(std::stop_token(), timer);
    EXPECT_EQ(check->events, c.events);
    std::string told;
    for (const std::string &line : log_.lines()) {
      told += line.find("Service status") != std::string::npos ? line : "";
    }
    const auto failed = [](const std::string &cause, const std::string &detail) {
      return logged("Service status check FAILED (" + cause + "): " + detail +
                    "; the file is left as it was; retrying at each look, told once.");
    };
    EXPECT_EQ(told, c.results.empty()
                        ? ""
                        : failed("HTTP 503", "HTTP 503") + failed("network: timedOut", "t") +
                              logged("Service status check works again."));
  }
}

} // namespace
} // namespace quorbel
