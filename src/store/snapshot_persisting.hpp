#pragma once

#include "model/plan_snapshot.hpp"

#include <optional>

namespace quorbel {

// The sink of snapshots. save() throws on any failure; load() never fails: a missing, unreadable
// or undecodable file is nothing.
class SnapshotPersisting {
public:
  virtual ~SnapshotPersisting() = default;
  virtual void save(const PlanSnapshot &snapshot) = 0;
  virtual std::optional<PlanSnapshot> load() const = 0;
};

} // namespace quorbel
