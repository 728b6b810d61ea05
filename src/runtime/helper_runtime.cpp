#include "runtime/helper_runtime.hpp"

#include "source/plan_usage_error.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace quorbel {
namespace {

// Seconds in log lines are whole numbers, truncated toward zero.
std::string wholeSeconds(double seconds) { return std::to_string(std::int64_t(seconds)); }

std::string percentOrDash(const std::optional<PlanWindow> &window) {
  return window ? std::to_string(window->percent) : std::string("\u2014");
}

std::string errorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception &caught) {
    return caught.what();
  } catch (...) {
    return "unknown error";
  }
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
                             LogSink &log, const Clock &clock)
    : provider_(std::move(provider)), store_(std::move(store)),
      baseInterval_(std::max(interval, provider_->minimumInterval())), log_(log), clock_(clock) {}

void HelperRuntime::run(std::stop_token stop, TickTimer &timer) {
  if (!stop.stop_requested()) {
    seed();
    while (!stop.stop_requested()) {
      const double delay = tick();
      const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::duration<double>(delay));
      // Signing in shows at once; in any other status a token refresh must not add a request.
      const bool signedOut = published_ == PlanStatus::sessionInactive;
      if (timer.wait(wait, stop, signedOut) == TickTimer::WakeUp::stopRequested) {
        break;
      }
    }
  }
  log("Sleep cancelled; stopping refresh cycle.");
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
        errorText(std::current_exception()));
  }
}

double HelperRuntime::tick() {
  PlanSnapshot fetched;
  try {
    fetched = provider_->fetch();
  } catch (const PlanUsageError &error) {
    switch (error.kind()) {
    case PlanUsageError::Kind::rateLimited: {
      const double backoff =
          currentBackoff_ ? std::min(*currentBackoff_ * 2, kBackoffCap) : kBackoffFirst;
      currentBackoff_ = backoff;
      lastResult_ = refresh::RateLimited{backoff};
      publish(PlanStatus::rateLimited);
      log("429: rate limited. Backing off " + wholeSeconds(backoff) +
          " s; state=rateLimited published, data retained.");
      return backoff;
    }
    case PlanUsageError::Kind::credentialMissing:
    case PlanUsageError::Kind::credentialExpired:
      currentBackoff_.reset();
      lastResult_ = refresh::SessionInactive{};
      publish(PlanStatus::sessionInactive);
      log("Session inactive (credential expired/missing); no call made. "
          "state=sessionInactive published. Retrying in " +
          wholeSeconds(baseInterval_) + " s; data retained.");
      return baseInterval_;
    case PlanUsageError::Kind::unauthorized:
      currentBackoff_.reset();
      lastResult_ = refresh::SessionInactive{};
      publish(PlanStatus::sessionInactive);
      log("401 unauthorized; token rejected. state=sessionInactive published. Retrying in " +
          wholeSeconds(baseInterval_) + " s; data retained.");
      return baseInterval_;
    case PlanUsageError::Kind::network:
    case PlanUsageError::Kind::unexpectedStatus:
    case PlanUsageError::Kind::decoding:
      break;
    }
    return transientFailure(describe(error));
  } catch (...) {
    return transientFailure(describe(std::current_exception()));
  }

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
        errorText(std::current_exception()));
  }
  return baseInterval_;
}

double HelperRuntime::transientFailure(const std::string &text) {
  currentBackoff_.reset();
  lastResult_ = refresh::TransientError{text};
  log("Transient error (" + text + "); retrying in " + wholeSeconds(baseInterval_) +
      " s; disk left as-is; last snapshot retained.");
  return baseInterval_;
}

void HelperRuntime::publish(PlanStatus status) {
  published_ = status;
  const PlanSnapshot toWrite = lastSnapshot_ ? lastSnapshot_->withStatus(status)
                                             : PlanSnapshot::dataless(status, clock_.now());
  try {
    store_->save(toWrite);
  } catch (...) {
    log("Status publish (" + std::string(rawValue(status)) +
        ") disk write FAILED: " + errorText(std::current_exception()));
  }
}

void HelperRuntime::log(const std::string &message) {
  log_.writeLine("[RefreshCycle] " + message + "\n");
}

} // namespace quorbel
