#include "view/money_text.hpp"

#include <array>
#include <utility>

namespace quorbel {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kSymbols{{
    {"USD", "$"},
    {"EUR", "\u20ac"},
    {"GBP", "\u00a3"},
    {"JPY", "\u00a5"},
}};

} // namespace

std::string exactDecimal(std::int64_t value, std::int64_t decimals) {
  // Through the unsigned type, so that even the most negative value has a magnitude.
  const std::uint64_t magnitude =
      value < 0 ? std::uint64_t(0) - std::uint64_t(value) : std::uint64_t(value);
  const std::size_t places = decimals > 0 ? std::size_t(decimals) : 0;
  std::string figure = std::to_string(magnitude);
  if (figure.size() <= places) {
    figure.insert(0, places + 1 - figure.size(), '0');
  }
  if (places > 0) {
    figure.insert(figure.size() - places, 1, '.');
  }
  // Appended rather than `"-" + figure`: GCC 12 at -O3 reports a false -Wrestrict for that.
  std::string text(value < 0 ? "-" : "");
  text += figure;
  return text;
}

std::string formatMoney(std::int64_t minor, std::int64_t exponent, std::string_view currency) {
  std::string figure = exactDecimal(minor, exponent);
  const std::string sign = minor < 0 ? "-" : "";
  if (minor < 0) {
    figure.erase(0, 1);
  }
  for (const auto &[code, symbol] : kSymbols) {
    if (code == currency) {
      return sign + std::string(symbol) + figure;
    }
  }
  return sign + figure + " " + std::string(currency);
}

std::string extraUsageSentence(const ExtraUsage &money) {
  const auto amount = [&](std::int64_t minor) {
    return formatMoney(minor, money.exponent, money.currency);
  };
  std::string text = "Extra usage: " + amount(money.used);
  if (!money.limit) {
    return text + " this month, no cap";
  }
  text += " of " + amount(*money.limit) + " this month";
  if (const auto percent = money.percentOfCap()) {
    text += " (" + std::to_string(*percent) + " %)";
  }
  return text;
}

} // namespace quorbel
