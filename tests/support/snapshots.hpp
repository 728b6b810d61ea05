#pragma once

#include "model/clock.hpp"
#include "model/plan_snapshot.hpp"

namespace quorbel::testing {

// A clock that reads whatever the test last set.
class SetClock final : public Clock {
public:
  explicit SetClock(Instant start) : at(start) {}
  Instant now() const override { return at; }
  Instant at;
};

// Usage of plan "max" fetched at `at`; a window without a percent is idle.
inline PlanSnapshot usageAt(Instant at, std::optional<std::int64_t> session,
                            std::optional<std::int64_t> weekly, Instant sessionReset,
                            Instant weeklyReset,
                            std::optional<PlanStatus> status = PlanStatus::active) {
  const auto window = [](std::optional<std::int64_t> percent, Instant resetsAt) {
    return percent ? std::optional(PlanWindow{*percent, resetsAt}) : std::nullopt;
  };
  return {at, window(session, sessionReset), window(weekly, weeklyReset), "max", {}, status};
}

// Fetched this moment, the five-hour window resetting in two hours and the weekly one in fifty.
inline PlanSnapshot fetchedNow(std::int64_t session, std::int64_t weekly = 14) {
  const Instant now = systemClock().now();
  return usageAt(now, session, weekly, now + std::chrono::hours(2), now + std::chrono::hours(50));
}

} // namespace quorbel::testing
