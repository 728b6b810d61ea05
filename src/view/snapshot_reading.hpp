#pragma once

#include "model/plan_snapshot.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace quorbel {

// The snapshot at a path as a reader finds it: the snapshot, or what to tell the user instead.
struct SnapshotReading {
  std::optional<PlanSnapshot> snapshot;
  bool missing = false; // no file at all, as opposed to one that is not a snapshot
  std::string problem;  // empty when there is a snapshot

  static SnapshotReading of(const std::filesystem::path &file);
};

} // namespace quorbel
