#pragma once

#include "model/extra_usage.hpp"

#include <nlohmann/json.hpp>

#include <optional>

namespace quorbel {

// The money part of a usage answer: the newer "spend" object when it says whether it is enabled,
// otherwise the older "extra_usage". Nothing while extra usage is off, and nothing when the part
// does not read: it must never cost the user the two windows, and it is not worth a log line on
// every tick.
std::optional<ExtraUsage> extraUsageFromAnswer(const nlohmann::json &body);

} // namespace quorbel
