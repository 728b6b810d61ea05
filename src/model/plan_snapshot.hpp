#pragma once

#include "model/extra_usage.hpp"
#include "model/inactive_reason.hpp"
#include "model/model_window.hpp"
#include "model/plan_date.hpp"
#include "model/plan_status.hpp"
#include "model/plan_window.hpp"

#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// The published record: one moment's usage of both windows, the plan, and the helper's state.
// A window the endpoint reports as not running (nothing sent for its whole length) is absent.
struct PlanSnapshot {
  Instant fetchedAt;
  std::optional<PlanWindow> session;   // the five-hour window ("5h")
  std::optional<PlanWindow> allModels; // the seven-day window ("7d")
  std::optional<std::string> subscriptionType;
  std::optional<std::string> rateLimitTier;
  std::optional<PlanStatus> status;        // absent in files written before the status existed
  std::vector<ModelWindow> modelWindows{}; // sorted by model name; empty when none are reported
  std::optional<ExtraUsage> extraUsage{};  // present only while extra usage is enabled
  // With status sessionInactive only, and only from helpers that tell why.
  std::optional<InactiveReason> inactiveReason{};

  // Only a snapshot with both windows has numbers to show.
  bool hasData() const { return session.has_value() && allModels.has_value(); }
  PlanStatus effectiveStatus() const { return status.value_or(PlanStatus::active); }
  // The reason as readers take it: none beside any other status.
  std::optional<InactiveReason> effectiveInactiveReason() const {
    return effectiveStatus() == PlanStatus::sessionInactive ? inactiveReason : std::nullopt;
  }

  // A copy under another status; the data and its fetchedAt stay as they were. The reason is
  // kept only under sessionInactive, so no status inherits the reason of an earlier one.
  PlanSnapshot withStatus(PlanStatus newStatus,
                          std::optional<InactiveReason> reason = std::nullopt) const;

  // A snapshot without windows or plan strings, stamped `now`; the reason as in withStatus().
  static PlanSnapshot dataless(PlanStatus status, Instant now,
                               std::optional<InactiveReason> reason = std::nullopt);

  // Field by field; the stored status is compared, not the effective one.
  bool operator==(const PlanSnapshot &) const = default;
};

} // namespace quorbel
