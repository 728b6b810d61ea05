#pragma once

#include "model/extra_usage.hpp"
#include "model/plan_date.hpp"
#include "model/plan_snapshot.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

// Which window a recorded percent belongs to; model windows also carry the model's name.
enum class HistoryWindowKind { session, allModels, model };

struct HistoryWindow {
  HistoryWindowKind kind = HistoryWindowKind::session;
  std::string model; // empty for the two plan windows
  std::int64_t percent = 0;
  std::optional<Instant> resetsAt;

  // "session", "allModels" or the model's name, as the exports name a window.
  std::string name() const;

  bool operator==(const HistoryWindow &) const = default;
};

// One successful fetch as the history keeps it: raw, so a drop reads as a reset and a missing
// window stays missing rather than becoming 0.
struct HistorySample {
  Instant fetchedAt;
  std::vector<HistoryWindow> windows; // session, allModels, then models by name
  std::optional<ExtraUsage> extraUsage;

  // The window of `kind` (and `model`), when the sample has it.
  const HistoryWindow *window(HistoryWindowKind kind, std::string_view model = {}) const;

  static HistorySample of(const PlanSnapshot &snapshot);

  bool operator==(const HistorySample &) const = default;
};

} // namespace quorbel
