#pragma once

#include "model/plan_snapshot.hpp"

namespace quorbel {

// The source of snapshots. fetch() returns a complete snapshot or throws, normally a
// PlanUsageError; any other exception counts as a transient failure for the refresh cycle.
class PlanUsageProvider {
public:
  virtual ~PlanUsageProvider() = default;
  virtual PlanSnapshot fetch() = 0;

  // The fastest cadence this source tolerates, in seconds. The live endpoint must not be polled
  // more often than every 180 s; a scripted source answers 0 so checks can tick quickly.
  virtual double minimumInterval() const { return 0; }
};

} // namespace quorbel
