#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorbel {

// How full a window is, against the reader's levels. Ordered: a window rises through them.
enum class UsageLevel { none, warning, critical, full };

// The level of a window at `percent`: full at 100 %, else critical from `critical`, warning from
// `warn`.
UsageLevel usageLevelOf(std::int64_t percent, std::int64_t warn, std::int64_t critical);

// The bar's class for a level: "ok", "warning" or "critical" (a full window is critical).
std::string_view levelClass(UsageLevel level);

// The names the notifier's state file keeps: "none", "warning", "critical", "full".
std::string_view usageLevelName(UsageLevel level);
std::optional<UsageLevel> usageLevelNamed(std::string_view name);

} // namespace quorbel
