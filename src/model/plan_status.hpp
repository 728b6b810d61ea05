#pragma once

#include <optional>
#include <string_view>

namespace quorbel {

// The helper's state as published beside the numbers. The raw values are what the file carries.
enum class PlanStatus { active, rateLimited, sessionInactive, noData };

std::string_view rawValue(PlanStatus status);

// Exact, case-sensitive match of one of the four raw values; anything else is no status.
std::optional<PlanStatus> planStatusFromRaw(std::string_view raw);

} // namespace quorbel
