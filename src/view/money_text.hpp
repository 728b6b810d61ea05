#pragma once

#include "model/extra_usage.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace quorbel {

// `value × 10^-decimals` written out exactly from its digits, every decimal place kept ("-0.05",
// "300.00"): the one rendering of integers that stand for decimals (minor units, hundredths of a
// percent, milliseconds), so no float rounding ever shows. Digits only: no value overflows.
std::string exactDecimal(std::int64_t value, std::int64_t decimals);

// An amount of `minor` units with `exponent` decimal places, as a person reads it: the symbol
// before the figure for USD, EUR, GBP and JPY ("$105.87", "¥1200"), the code after it otherwise
// ("105.87 CHF"). Digits only, so it cannot overflow whatever the amount.
std::string formatMoney(std::int64_t minor, std::int64_t exponent, std::string_view currency);

// "Extra usage: $105.87 of $300.00 this month (35 %)", or "Extra usage: €2.50 this month, no cap".
std::string extraUsageSentence(const ExtraUsage &money);

} // namespace quorbel
