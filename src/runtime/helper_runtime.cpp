#include "runtime/helper_runtime.hpp"

#include "source/plan_usage_error.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace quorbel {
namespace {

// Seconds in log lines are whole numbers, truncated toward zero.
constexpr long kForbidden = 403;

std::string wholeSeconds(double seconds) { return std::to_string(std::int64_t(seconds)); }

std::string percentOrDash(const std::optional<PlanWindow> &window) {
  return window ? std::to_string(window->percent) : std::string("\u2014");
}

} // namespace

std::string describe(const std::exception &error) {
  const auto *usageError = dynamic_cast<const PlanUsageError *>(&error);
  if (usageError == nullptr) {
    return error.what();
  }
  switch (usageError->kind()) {
  case PlanUsageError::Kind::network:
    return "network: " + (usageError->transportError() ? usageError->transportError()->describe()
                                                       : std::string(usageError->what()));
  case PlanUsageError::Kind::unexpectedStatus:
    return "HTTP " + std::to_string(usageError->httpStatus());
  case PlanUsageError::Kind::decoding:
    return "decoding";
  case PlanUsageError::Kind::unauthorized:
    return "401 unauthorized";
  case PlanUsageError::Kind::credentialMissing:
  case PlanUsageError::Kind::credentialExpired:
  case PlanUsageError::Kind::rateLimited:
    break;
  }
  return std::string(kindName(usageError->kind()));
}

std::string describe(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception &caught) {
    return describe(caught);
  } catch (...) {
    return "unknown error";
  }
}

HelperRuntime::HelperRuntime(std::shared_ptr<PlanUsageProvider> provider,
                             std::shared_ptr<SnapshotPersisting> store, double interval,
                             LogSink &log, const Clock &clock, LogSink &hints)
    : provider_(std::move(provider)), store_(std::move(store)),
      baseInterval_(std::max(interval, provider_->minimumInterval())), log_(log), clock_(clock),
      hints_(hints) {}

void HelperRuntime::run(std::stop_token stop, TickTimer &timer) {
  if (!stop.stop_requested()) {
    seed();
    while (!stop.stop_requested()) {
      const double delay = tick();
      const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::duration<double>(delay));
      if (waitForNextTick(wait, stop, timer) == TickTimer::WakeUp::stopRequested) {
        break;
      }
    }
  }
  log("Sleep cancelled; stopping refresh cycle.");
}

TickTimer::WakeUp HelperRuntime::waitForNextTick(std::chrono::nanoseconds untilTick,
                                                 std::stop_token stop, TickTimer &timer) {
  for (;;) {
    // Signing in shows at once; in any other status a token refresh must not add a request.
    const bool signedOut = published_ == PlanStatus::sessionInactive;
    if (const auto lost = timer.takeLostWatch()) {
      hint(*lost);
    }
    if (!serviceStatus_) {
      return timer.wait(untilTick, stop, signedOut);
    }
    const std::chrono::nanoseconds dueIn = std::max(
        std::chrono::nanoseconds::zero(), std::chrono::nanoseconds(serviceStatus_->dueIn()));
    // A check that might still run when the tick is due waits for the tick to pass first.
    if (dueIn + serviceStatus_->timeLimit() > untilTick) {
      return timer.wait(untilTick, stop, signedOut);
    }
    if (dueIn > std::chrono::nanoseconds::zero()) {
      if (const auto woke = timer.wait(dueIn, stop, signedOut); woke != TickTimer::WakeUp::due) {
        return woke;
      }
      untilTick -= dueIn;
    }
    const auto started = std::chrono::steady_clock::now();
    checkServiceStatus();
    untilTick = std::max(std::chrono::nanoseconds::zero(),
                         untilTick - (std::chrono::steady_clock::now() - started));
    if (stop.stop_requested()) {
      return TickTimer::WakeUp::stopRequested;
    }
  }
}

// The page is an aside to the usage: its failures change nothing else, and a lasting one is told
// once, again only when its cause changes.
void HelperRuntime::checkServiceStatus() {
  const ServiceCheckResult result = serviceStatus_->check();
  if (result.kind != ServiceCheckResult::Kind::failed) {
    if (serviceTrouble_ && result.kind == ServiceCheckResult::Kind::written) {
      log("Service status check works again.");
      serviceTrouble_.reset();
    }
    return;
  }
  if (!result.cancelled && result.cause != serviceTrouble_) {
    log("Service status check FAILED (" + result.cause + "): " + result.detail +
        "; the file is left as it was; retrying at each look, told once.");
    serviceTrouble_ = result.cause;
  }
}

void HelperRuntime::seed() {
  if (auto stored = store_->load()) {
    log("Loaded persisted snapshot from disk (fetchedAt=" + formatLogDate(stored->fetchedAt) +
        ", status=" + std::string(rawValue(stored->effectiveStatus())) + ").");
    published_ = stored->effectiveStatus();
    lastSnapshot_ = std::move(stored);
    return;
  }
  // The marker tells the base app the helper is present; it is not data, so lastSnapshot stays
  // empty until the first successful fetch.
  published_ = PlanStatus::noData;
  try {
    store_->save(PlanSnapshot::dataless(PlanStatus::noData, clock_.now()));
    log("No persisted snapshot on disk; wrote a .noData marker while warming up.");
  } catch (...) {
    log("No persisted snapshot on disk; .noData marker write FAILED: " +
        describe(std::current_exception()));
  }
}

double HelperRuntime::tick() {
  PlanSnapshot fetched;
  try {
    fetched = provider_->fetch();
  } catch (const PlanUsageError &error) {
    tellCredentialsTrouble(error.unreadableReason());
    switch (error.kind()) {
    case PlanUsageError::Kind::rateLimited:
      return rateLimited(error);
    case PlanUsageError::Kind::credentialMissing:
    case PlanUsageError::Kind::credentialExpired:
    case PlanUsageError::Kind::unauthorized:
      return sessionInactive(error);
    case PlanUsageError::Kind::network:
    case PlanUsageError::Kind::unexpectedStatus:
    case PlanUsageError::Kind::decoding:
      break;
    }
    return transientFailure(error);
  } catch (...) {
    return transientFailure(describe(std::current_exception()));
  }

  tellCredentialsTrouble(std::nullopt);
  lastSnapshot_ = fetched;
  published_ = PlanStatus::active;
  currentBackoff_.reset();
  lastResult_ = refresh::Updated{fetched};
  try {
    store_->save(fetched);
    log("200: snapshot updated and written to disk (5h=" + percentOrDash(fetched.session) +
        "%, 7d=" + percentOrDash(fetched.allModels) + "%).");
  } catch (...) {
    log("200: snapshot updated in memory but disk write FAILED: " +
        describe(std::current_exception()));
  }
  recordHistory(fetched);
  return baseInterval_;
}

double HelperRuntime::sessionInactive(const PlanUsageError &error) {
  currentBackoff_.reset();
  lastResult_ = refresh::SessionInactive{};
  if (error.kind() == PlanUsageError::Kind::unauthorized) {
    publish(PlanStatus::sessionInactive, InactiveReason::rejected);
    log("401 unauthorized; token rejected. state=sessionInactive published. Retrying in " +
        wholeSeconds(baseInterval_) + " s; data retained.");
    return baseInterval_;
  }
  // Only a token that is gone or unusable needs the user; an expired one the CLI renews itself.
  InactiveReason reason = InactiveReason::expired;
  if (error.kind() == PlanUsageError::Kind::credentialMissing) {
    reason = error.unreadableReason() ? InactiveReason::unreadable : InactiveReason::missing;
  }
  publish(PlanStatus::sessionInactive, reason);
  log("Session inactive (credential expired/missing); no call made. "
      "state=sessionInactive published. Retrying in " +
      wholeSeconds(baseInterval_) + " s; data retained.");
  return baseInterval_;
}

void HelperRuntime::recordHistory(const PlanSnapshot &snapshot) {
  if (!history_) {
    return;
  }
  try {
    if (const auto note = history_->record(snapshot)) {
      log(*note);
    }
    if (!historyFailuresLogged_.empty()) {
      historyFailuresLogged_.clear();
      log("History recording works again.");
    }
  } catch (const HistoryError &error) {
    // The history is an aside: it never changes the snapshot, and a lasting failure is told once.
    if (historyFailuresLogged_.insert(error.kind()).second) {
      log("History write FAILED (" + std::string(kindName(error.kind())) + "): " + error.what() +
          "; retrying at each fetch, told once.");
    }
  } catch (...) {
    if (historyFailuresLogged_.insert(HistoryError::Kind::other).second) {
      log("History write FAILED: " + describe(std::current_exception()));
    }
  }
}

double HelperRuntime::rateLimited(const PlanUsageError &error) {
  const double step = currentBackoff_ ? std::min(*currentBackoff_ * 2, kBackoffCap) : kBackoffFirst;
  currentBackoff_ = step;
  // Asking before the server's stated time only earns another 429, so its wait wins when longer.
  double delay = step;
  if (error.retryAfter() && *error.retryAfter() > delay) {
    delay = std::min(*error.retryAfter(), kRetryAfterCap);
  }
  lastResult_ = refresh::RateLimited{delay};
  publish(PlanStatus::rateLimited);
  log("429: rate limited. Backing off " + wholeSeconds(delay) +
      " s; state=rateLimited published, data retained.");
  return delay;
}

double HelperRuntime::transientFailure(const PlanUsageError &error) {
  // A token made for other uses (`claude setup-token`) lacks the scope this endpoint needs and is
  // refused on every tick; the log line alone would not tell the user what to do about it.
  if (error.kind() == PlanUsageError::Kind::unexpectedStatus && error.httpStatus() == kForbidden &&
      !scopeHintGiven_) {
    scopeHintGiven_ = true;
    hint("the usage endpoint refused this Claude Code token (HTTP 403); tokens made by "
         "`claude setup-token` lack the scope it needs. Sign in by running `claude` to get one "
         "that works.");
  }
  return transientFailure(describe(error));
}

double HelperRuntime::transientFailure(const std::string &text) {
  currentBackoff_.reset();
  lastResult_ = refresh::TransientError{text};
  log("Transient error (" + text + "); retrying in " + wholeSeconds(baseInterval_) +
      " s; disk left as-is; last snapshot retained.");
  return baseInterval_;
}

// The log says "Session inactive" on every tick, which cannot tell a permissions problem from a
// sign-out; the cause is told once, and again only when it changes.
void HelperRuntime::tellCredentialsTrouble(const std::optional<std::string> &reason) {
  if (reason && reason != credentialsTrouble_) {
    hint(*reason);
  }
  credentialsTrouble_ = reason;
}

void HelperRuntime::publish(PlanStatus status, std::optional<InactiveReason> reason) {
  published_ = status;
  const PlanSnapshot toWrite = lastSnapshot_ ? lastSnapshot_->withStatus(status, reason)
                                             : PlanSnapshot::dataless(status, clock_.now(), reason);
  try {
    store_->save(toWrite);
  } catch (...) {
    log("Status publish (" + std::string(rawValue(status)) +
        ") disk write FAILED: " + describe(std::current_exception()));
  }
}

void HelperRuntime::log(const std::string &message) {
  log_.writeLine("[RefreshCycle] " + message + "\n");
}

void HelperRuntime::hint(const std::string &message) {
  hints_.writeLine("QuorbelHelper: " + message + "\n");
}

} // namespace quorbel
