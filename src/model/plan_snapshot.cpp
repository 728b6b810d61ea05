#include "model/plan_snapshot.hpp"

namespace quorbel {

namespace {

std::optional<InactiveReason> reasonUnder(PlanStatus status, std::optional<InactiveReason> reason) {
  return status == PlanStatus::sessionInactive ? reason : std::nullopt;
}

} // namespace

PlanSnapshot PlanSnapshot::withStatus(PlanStatus newStatus,
                                      std::optional<InactiveReason> reason) const {
  PlanSnapshot copy = *this;
  copy.status = newStatus;
  copy.inactiveReason = reasonUnder(newStatus, reason);
  return copy;
}

PlanSnapshot PlanSnapshot::dataless(PlanStatus status, Instant now,
                                    std::optional<InactiveReason> reason) {
  PlanSnapshot snapshot;
  snapshot.fetchedAt = now;
  snapshot.status = status;
  snapshot.inactiveReason = reasonUnder(status, reason);
  return snapshot;
}

} // namespace quorbel
