#pragma once

#include "model/plan_snapshot.hpp"

#include <string>
#include <variant>

namespace quorbel {

// The outcome of one tick.
namespace refresh {
struct Updated {
  PlanSnapshot snapshot;
  bool operator==(const Updated &) const = default;
};
struct RateLimited {
  double backoff = 0; // seconds
  bool operator==(const RateLimited &) const = default;
};
struct TransientError {
  std::string text;
  bool operator==(const TransientError &) const = default;
};
struct SessionInactive {
  bool operator==(const SessionInactive &) const = default;
};
} // namespace refresh

using RefreshResult = std::variant<refresh::Updated, refresh::RateLimited, refresh::TransientError,
                                   refresh::SessionInactive>;

} // namespace quorbel
