#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorbel {

// Beyond this many decimal places no currency exists; such a figure did not come from a real one.
inline constexpr std::int64_t kMaxMoneyExponent = 4;
// A quadrillion minor units is far beyond any monthly bill, and keeps `used * 100` and every
// comparison with a percent of the cap inside 64 bits.
inline constexpr std::int64_t kMaxMinorAmount = 1'000'000'000'000'000;

// Money spent beyond the plan this month ("extra usage"), in whole minor units of `currency`: the
// amount is `used × 10^-exponent`. Integers only, so cents are never read as dollars.
struct ExtraUsage {
  std::string currency = "USD"; // three uppercase ASCII letters
  std::int64_t exponent = 2;
  std::int64_t used = 0;
  std::optional<std::int64_t> limit; // the monthly cap; absent when there is none

  // Whether the record may be shown: a currency code, an exponent from 0 to kMaxMoneyExponent and
  // amounts from 0 to kMaxMinorAmount. It comes from outside; nothing else is let through.
  bool wellFormed() const;
  // The share of the cap used, in whole percent rounded down, so that 100 means the cap is
  // reached; absent without a cap (or with a cap of nothing).
  std::optional<std::int64_t> percentOfCap() const;

  bool operator==(const ExtraUsage &) const = default;
};

// Exactly three uppercase ASCII letters, as ISO 4217 codes are; the code is printed as it is.
bool isCurrencyCode(std::string_view code);

} // namespace quorbel
