#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// An absolute point in time, kept to the nanosecond.
using Instant = std::chrono::system_clock::time_point;

// Reads the two internet date-time forms the usage endpoint and the snapshot file use:
// "YYYY-MM-DDTHH:MM:SS" with an optional fraction of 1 to 9 digits, then "Z" or "+HH:MM"/"-HH:MM".
class PlanDateParser {
public:
  static std::optional<Instant> dateFrom(std::string_view text);
};

// "2026-06-29T12:00:00Z": UTC, cut to the whole second.
std::string formatInternetDate(Instant instant);

// "2026-05-28 20:26:40 +0000", the form of the seeding log line.
std::string formatLogDate(Instant instant);

// Instants from whole seconds since 1970-01-01T00:00:00Z, as fixtures and expiry times need.
Instant instantFromUnixSeconds(double seconds);

} // namespace quorbel
