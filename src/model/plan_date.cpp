#include "model/plan_date.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace quorbel {
namespace {

using namespace std::chrono;

// Reads exactly `count` ASCII digits at `pos`; fails on anything else, signs included.
bool readDigits(std::string_view text, std::size_t &pos, std::size_t count, int &value) {
  if (pos + count > text.size()) {
    return false;
  }
  int result = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') {
      return false;
    }
    result = result * 10 + (c - '0');
  }
  pos += count;
  value = result;
  return true;
}

bool expect(std::string_view text, std::size_t &pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

constexpr std::size_t kMaxFractionDigits = 9;

} // namespace

std::optional<Instant> PlanDateParser::dateFrom(std::string_view text) {
  std::size_t pos = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') ||
      !readDigits(text, pos, 2, month) || !expect(text, pos, '-') ||
      !readDigits(text, pos, 2, day) || !expect(text, pos, 'T') ||
      !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') ||
      !readDigits(text, pos, 2, minute) || !expect(text, pos, ':') ||
      !readDigits(text, pos, 2, second)) {
    return std::nullopt;
  }
  const year_month_day ymd{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                           std::chrono::day{unsigned(day)}};
  if (!ymd.ok() || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }

  // The fraction is read to the nanosecond and kept to the millisecond; the endpoint sends
  // microseconds, the file writes whole seconds.
  std::int64_t fractionNanos = 0;
  if (expect(text, pos, '.')) {
    std::size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (++digits > kMaxFractionDigits) {
        return std::nullopt;
      }
      fractionNanos = fractionNanos * 10 + (text[pos] - '0');
      ++pos;
    }
    if (digits == 0) {
      return std::nullopt;
    }
    for (std::size_t i = digits; i < kMaxFractionDigits; ++i) {
      fractionNanos *= 10;
    }
  }

  seconds offset{0};
  if (expect(text, pos, 'Z')) {
    // UTC
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const bool negative = text[pos] == '-';
    ++pos;
    int offsetHours = 0, offsetMinutes = 0;
    if (!readDigits(text, pos, 2, offsetHours) || !expect(text, pos, ':') ||
        !readDigits(text, pos, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59) {
      return std::nullopt;
    }
    offset = hours{offsetHours} + minutes{offsetMinutes};
    if (negative) {
      offset = -offset;
    }
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) {
    return std::nullopt;
  }

  // Every four-digit year fits an Instant, offsets included; the sum cannot overflow.
  const auto utc = sys_days{ymd} + hours{hour} + minutes{minute} + seconds{second} - offset;
  const Instant instant = Instant{utc} + duration_cast<milliseconds>(nanoseconds{fractionNanos});
  // An offset can carry the first or last day of the range into year -1 or 10000, which the
  // four-digit form cannot write back.
  if (instant < kEarliestInstant || instant > kLatestInstant) {
    return std::nullopt;
  }
  return instant;
}

std::string formatInternetDate(Instant instant) {
  const auto whole = floor<seconds>(instant);
  const auto dayPoint = floor<days>(whole);
  const year_month_day ymd{dayPoint};
  const hh_mm_ss time{whole - dayPoint};
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(ymd.year()),
                unsigned(ymd.month()), unsigned(ymd.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()));
  return buffer;
}

std::string formatLogDate(Instant instant) {
  std::string text = formatInternetDate(instant);
  text[10] = ' ';
  text.pop_back();
  return text + " +0000";
}

Instant instantFromUnixSeconds(double secondsSinceEpoch) {
  // Saturate instead of overflowing: a far-off expiry must stay far off, not wrap around.
  const double earliest = duration<double>(kEarliestInstant.time_since_epoch()).count();
  const double latest = duration<double>(kLatestInstant.time_since_epoch()).count();
  if (std::isnan(secondsSinceEpoch) || secondsSinceEpoch <= earliest) {
    return kEarliestInstant;
  }
  if (secondsSinceEpoch >= latest) {
    return kLatestInstant;
  }
  return Instant{duration_cast<milliseconds>(duration<double>(secondsSinceEpoch))};
}

std::time_t toTimeT(Instant instant) {
  return std::time_t(floor<seconds>(instant).time_since_epoch().count());
}

Instant instantFromTimeT(std::time_t secondsSinceEpoch) {
  return Instant{seconds{secondsSinceEpoch}};
}

} // namespace quorbel
