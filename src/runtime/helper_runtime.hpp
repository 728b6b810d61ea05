#pragma once

#include "history/history_recording.hpp"
#include "model/clock.hpp"
#include "platform/tick_timer.hpp"
#include "runtime/log_sink.hpp"
#include "runtime/refresh_result.hpp"
#include "service/service_status_checking.hpp"
#include "source/plan_usage_error.hpp"
#include "source/plan_usage_provider.hpp"
#include "store/snapshot_persisting.hpp"

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>

namespace quorbel {

// The refresh cycle: fetch on a cadence, keep the last good snapshot, publish what the base app
// must see, back off on rate limits. A failure changes the published status and the delay, never
// the last good numbers.
//
// Not thread-safe by design: all state is touched only by the thread that calls run() or tick().
class HelperRuntime {
public:
  static constexpr double kBackoffFirst = 180;
  static constexpr double kBackoffCap = 1440;
  // A server's Retry-After lengthens a back-off step up to this, never further.
  static constexpr double kRetryAfterCap = 3600;

  // `interval` must be finite and positive; it is raised to the provider's minimum interval.
  // `hints` receives the few lines meant for a person rather than for the log.
  HelperRuntime(std::shared_ptr<PlanUsageProvider> provider,
                std::shared_ptr<SnapshotPersisting> store, double interval,
                LogSink &log = stdoutLogSink(), const Clock &clock = systemClock(),
                LogSink &hints = stderrLogSink());

  const std::optional<PlanSnapshot> &lastSnapshot() const { return lastSnapshot_; }
  const std::optional<RefreshResult> &lastResult() const { return lastResult_; }
  double effectiveInterval() const { return baseInterval_; }

  // Seeds from the store, then ticks and waits on `timer` until `stop` is requested; a stop
  // requested before it starts leaves before seeding. A stop during a wait ends it at once; a tick
  // under way completes, its request ending early if the HTTP session cancels on the same stop.
  // While the published status is sessionInactive, a credentials change ends the wait.
  void run(std::stop_token stop, TickTimer &timer);

  // Each successful fetch is also recorded here, after the snapshot is written. Optional: without
  // it the cycle keeps no history.
  void recordHistoryIn(std::shared_ptr<HistoryRecording> history) { history_ = std::move(history); }

  // The service's status is looked at between ticks, when due and only when the whole of its time
  // limit fits before the next tick: a page that hangs never delays the usage. Optional.
  void checkServiceStatusWith(std::shared_ptr<ServiceStatusChecking> checker) {
    serviceStatus_ = std::move(checker);
  }

  // Seeding alone: adopt the stored snapshot, or write the noData marker when there is none.
  void seed();

  // One refresh; returns the delay in seconds before the next one. Never throws.
  double tick();

private:
  double rateLimited(const PlanUsageError &error);
  double sessionInactive(const PlanUsageError &error);
  double transientFailure(const PlanUsageError &error);
  double transientFailure(const std::string &text);
  void tellCredentialsTrouble(const std::optional<std::string> &reason);
  TickTimer::WakeUp waitForNextTick(std::chrono::nanoseconds untilTick, std::stop_token stop,
                                    TickTimer &timer);
  void checkServiceStatus();
  void publish(PlanStatus status, std::optional<InactiveReason> reason = std::nullopt);
  void recordHistory(const PlanSnapshot &snapshot);
  void log(const std::string &message);
  void hint(const std::string &message);

  std::shared_ptr<PlanUsageProvider> provider_;
  std::shared_ptr<SnapshotPersisting> store_;
  double baseInterval_;
  LogSink &log_;
  const Clock &clock_;
  LogSink &hints_;
  bool scopeHintGiven_ = false;
  // Why the credentials could not be used, as last told on `hints`; nothing while they can be.
  std::optional<std::string> credentialsTrouble_;

  std::optional<PlanSnapshot> lastSnapshot_;
  std::optional<RefreshResult> lastResult_;
  std::optional<double> currentBackoff_;
  std::optional<PlanStatus> published_; // what readers of the file are told now
  std::shared_ptr<HistoryRecording> history_;
  std::set<HistoryError::Kind> historyFailuresLogged_; // since the history last worked
  std::shared_ptr<ServiceStatusChecking> serviceStatus_;
  std::optional<std::string> serviceTrouble_; // the cause last told, while checks fail
};

// The short text of an error, as logged and kept in RefreshResult. Errors other than
// PlanUsageError, such as a failed save's FileWriteError, are their what() unchanged.
std::string describe(const std::exception &error);
std::string describe(std::exception_ptr error);

} // namespace quorbel
