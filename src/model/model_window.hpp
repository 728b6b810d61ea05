#pragma once

#include "model/plan_date.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace quorbel {

// A weekly limit that applies to one model only (e.g. "Opus"). A user can be blocked by it at
// 100 % while both plan windows look fine.
struct ModelWindow {
  std::string model; // the endpoint's display name
  std::int64_t percent = 0;
  std::optional<Instant> resetsAt; // absent while the endpoint reports no reset time

  bool operator==(const ModelWindow &) const = default;
};

} // namespace quorbel
