#include "model/duration_text.hpp"

#include <algorithm>

namespace quorbel {

std::string formatDuration(std::chrono::seconds duration) {
  const auto total = std::max<std::int64_t>(0, duration.count());
  const auto days = total / kSecondsPerDay;
  const auto hours = total % kSecondsPerDay / kSecondsPerHour;
  const auto minutes = total % kSecondsPerHour / kSecondsPerMinute;
  if (days > 0) {
    return std::to_string(days) + "d " + std::to_string(hours) + "h";
  }
  if (hours > 0) {
    return std::to_string(hours) + "h " + std::to_string(minutes) + "m";
  }
  if (minutes > 0) {
    return std::to_string(minutes) + "m";
  }
  return "<1m";
}

std::int64_t durationStep(std::int64_t shown) {
  if (shown >= kSecondsPerDay) {
    return kSecondsPerHour;
  }
  return shown >= kSecondsPerMinute ? kSecondsPerMinute : 0;
}

} // namespace quorbel
