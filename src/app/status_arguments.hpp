#pragma once

#include <chrono>
#include <cstdint>

namespace quorbel {

// "80": a whole percent from 0 to 100, as --warn and --critical take it; false for anything else.
bool parsePercent(const char *text, std::int64_t &value);

enum class DurationParse { ok, malformed, tooLong };

// "900", "900s", "15m", "1h" or "2d", as --stale-after and --since take it, up to
// kLongestDurationOption.
DurationParse parseDuration(const char *text, std::chrono::seconds &value);

} // namespace quorbel
