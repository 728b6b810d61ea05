#pragma once

#include "model/extra_usage.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace quorbel {

// An amount of `minor` units with `exponent` decimal places, as a person reads it: the symbol
// before the figure for USD, EUR, GBP and JPY ("$105.87", "¥1200"), the code after it otherwise
// ("105.87 CHF"). Digits only, so it cannot overflow whatever the amount.
std::string formatMoney(std::int64_t minor, std::int64_t exponent, std::string_view currency);

// "Extra usage: $105.87 of $300.00 this month (35 %)", or "Extra usage: €2.50 this month, no cap".
std::string extraUsageSentence(const ExtraUsage &money);

} // namespace quorbel
