#pragma once

#include "model/plan_date.hpp"
#include "model/plan_snapshot.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// What Claude Code hands its status-line command on standard input; it sends one small document.
inline constexpr std::size_t kMaxSessionInputBytes = 1024 * 1024;
inline constexpr std::chrono::milliseconds kSessionInputWait{200};

// A plan window as the session last saw it, fresh as its last message.
struct SessionWindow {
  double usedPercent = 0;
  Instant resetsAt;
};

// The parts of the session's document a status line uses; each is absent unless it arrived whole
// and in range.
struct SessionInput {
  std::optional<std::string> model;         // display name, cleaned for a terminal
  std::optional<double> contextUsedPercent; // of the context window, 0..100
  std::optional<SessionWindow> fiveHour;
  std::optional<SessionWindow> sevenDay;
};

// Reads what it can of `document`; anything else (not JSON, wrong types, out of range) is left
// out, never an error: the line must come whatever arrives.
SessionInput sessionInputOf(std::string_view document);

// The snapshot with the session's windows in place of its own where the session's are newer news
// about the same period: the snapshot has no running window then (none, or its reset passed), or
// both reset within a few minutes of each other. A window the session lacks keeps the snapshot's.
PlanSnapshot withSessionWindows(PlanSnapshot snapshot, const SessionInput &session, Instant now);

} // namespace quorbel
