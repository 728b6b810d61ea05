#include "model/plan_snapshot.hpp"

namespace quorbel {

PlanSnapshot PlanSnapshot::withStatus(PlanStatus newStatus) const {
  PlanSnapshot copy = *this;
  copy.status = newStatus;
  return copy;
}

PlanSnapshot PlanSnapshot::dataless(PlanStatus status, Instant now) {
  PlanSnapshot snapshot;
  snapshot.fetchedAt = now;
  snapshot.status = status;
  return snapshot;
}

} // namespace quorbel
