#include "model/extra_usage.hpp"

#include <algorithm>

namespace quorbel {

bool isCurrencyCode(std::string_view code) {
  return code.size() == 3 &&
         std::all_of(code.begin(), code.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

bool ExtraUsage::wellFormed() const {
  const auto inRange = [](std::int64_t amount) { return amount >= 0 && amount <= kMaxMinorAmount; };
  return isCurrencyCode(currency) && exponent >= 0 && exponent <= kMaxMoneyExponent &&
         inRange(used) && (!limit || inRange(*limit));
}

std::optional<std::int64_t> ExtraUsage::percentOfCap() const {
  if (!limit || *limit <= 0) {
    return std::nullopt;
  }
  return used * 100 / *limit;
}

} // namespace quorbel
