#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// An absolute point in time, kept to the millisecond in 64 bits: that spans some 290 million years
// either side of 1970, so no difference of two instants a file can hold, nor an instant plus any
// duration an option accepts, can overflow. (Nanoseconds would reach only from 1677 to 2262.)
using Instant = std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;

// The earliest and latest instants the date forms can write: years 0000 and 9999.
inline constexpr Instant kEarliestInstant{
    std::chrono::sys_days{std::chrono::year{0} / std::chrono::January / 1}};
inline constexpr Instant kLatestInstant{
    std::chrono::sys_days{std::chrono::year{9999} / std::chrono::December / 31} +
    std::chrono::hours{24} - std::chrono::milliseconds{1}};

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

// Instants from seconds since 1970-01-01T00:00:00Z, as fixtures and expiry times need; saturated
// at kEarliestInstant and kLatestInstant.
Instant instantFromUnixSeconds(double seconds);

// The instant in whole seconds, as the C library's local time functions take it, and back.
std::time_t toTimeT(Instant instant);
Instant instantFromTimeT(std::time_t seconds);

} // namespace quorbel
