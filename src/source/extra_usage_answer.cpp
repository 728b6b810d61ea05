#include "source/extra_usage_answer.hpp"

#include <cmath>
#include <string>

namespace quorbel {
namespace {

using nlohmann::json;

constexpr const char *kDefaultCurrency = "USD";
constexpr std::int64_t kDefaultExponent = 2;

const json *memberOf(const json &object, const char *key) {
  const auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

// Minor units, an amount with a fraction rounded to the nearest one; nothing when the value is not
// a number or lies outside what ExtraUsage accepts, checked before any conversion can overflow.
std::optional<std::int64_t> minorUnits(const json *value) {
  if (value == nullptr || !value->is_number()) {
    return std::nullopt;
  }
  if (value->is_number_unsigned()) {
    const auto amount = value->get<std::uint64_t>();
    return amount <= std::uint64_t(kMaxMinorAmount) ? std::optional(std::int64_t(amount))
                                                    : std::nullopt;
  }
  if (value->is_number_integer()) {
    return value->get<std::int64_t>();
  }
  const double amount = value->get<double>();
  if (!std::isfinite(amount) || amount < 0 || amount > double(kMaxMinorAmount)) {
    return std::nullopt;
  }
  return std::llround(amount);
}

// A missing or null code is the endpoint's default; anything else must be a code.
std::optional<std::string> currencyOf(const json &object) {
  const json *currency = memberOf(object, "currency");
  if (currency == nullptr) {
    return kDefaultCurrency;
  }
  if (!currency->is_string()) {
    return std::nullopt;
  }
  return currency->get<std::string>();
}

std::optional<std::int64_t> exponentOf(const json &object, const char *key) {
  const json *exponent = memberOf(object, key);
  if (exponent == nullptr) {
    return kDefaultExponent;
  }
  // The range is ExtraUsage's to judge; a value beyond 64 bits turns negative and fails it.
  if (!exponent->is_number_integer()) {
    return std::nullopt;
  }
  return exponent->get<std::int64_t>();
}

std::optional<ExtraUsage> checked(ExtraUsage money) {
  return money.wellFormed() ? std::optional(std::move(money)) : std::nullopt;
}

// {"amount_minor": 4321, "currency": "GBP", "exponent": 2}
struct Amount {
  std::int64_t minor = 0;
  std::string currency;
  std::int64_t exponent = 0;
};

std::optional<Amount> amountOf(const json &value) {
  if (!value.is_object()) {
    return std::nullopt;
  }
  const auto minor = minorUnits(memberOf(value, "amount_minor"));
  const auto currency = currencyOf(value);
  const auto exponent = exponentOf(value, "exponent");
  if (!minor || !currency || !exponent) {
    return std::nullopt;
  }
  return Amount{*minor, *currency, *exponent};
}

std::optional<ExtraUsage> fromSpend(const json &spend) {
  if (!spend.at("enabled").get<bool>()) {
    return std::nullopt;
  }
  const json *usedValue = memberOf(spend, "used");
  const auto used = usedValue != nullptr ? amountOf(*usedValue) : std::nullopt;
  if (!used) {
    return std::nullopt;
  }
  ExtraUsage money{used->currency, used->exponent, used->minor, std::nullopt};
  if (const json *limitValue = memberOf(spend, "limit")) {
    const auto limit = amountOf(*limitValue);
    // A cap in other units than the spend cannot be compared with it.
    if (!limit || limit->currency != used->currency || limit->exponent != used->exponent) {
      return std::nullopt;
    }
    money.limit = limit->minor;
  }
  return checked(std::move(money));
}

std::optional<ExtraUsage> fromExtraUsage(const json &extra) {
  const json *enabled = memberOf(extra, "is_enabled");
  if (enabled == nullptr || !enabled->is_boolean() || !enabled->get<bool>()) {
    return std::nullopt;
  }
  const auto used = minorUnits(memberOf(extra, "used_credits"));
  const auto currency = currencyOf(extra);
  const auto exponent = exponentOf(extra, "decimal_places");
  if (!used || !currency || !exponent) {
    return std::nullopt;
  }
  ExtraUsage money{*currency, *exponent, *used, std::nullopt};
  if (const json *limitValue = memberOf(extra, "monthly_limit")) {
    money.limit = minorUnits(limitValue);
    if (!money.limit) {
      return std::nullopt;
    }
  }
  return checked(std::move(money));
}

} // namespace

std::optional<ExtraUsage> extraUsageFromAnswer(const json &body) {
  const json *spend = memberOf(body, "spend");
  if (spend != nullptr && spend->is_object()) {
    const json *enabled = memberOf(*spend, "enabled");
    if (enabled != nullptr && enabled->is_boolean()) {
      return fromSpend(*spend);
    }
  }
  const json *extra = memberOf(body, "extra_usage");
  return extra != nullptr && extra->is_object() ? fromExtraUsage(*extra) : std::nullopt;
}

} // namespace quorbel
