#pragma once

#include <chrono>
#include <cstdint>

#include <string>

namespace quorbel {

inline constexpr std::int64_t kSecondsPerMinute = 60;
inline constexpr std::int64_t kSecondsPerHour = 3600;
inline constexpr std::int64_t kSecondsPerDay = 86400;

// "2h 13m", "6d 19h", "45m", "<1m": days and hours from a day on, hours and minutes under it.
std::string formatDuration(std::chrono::seconds duration);

// How many seconds apart two durations formatDuration() shows differently are, around one of
// `shown` seconds: an hour from a day on, a minute under it, 0 in the last minute ("<1m").
std::int64_t durationStep(std::int64_t shown);

} // namespace quorbel
