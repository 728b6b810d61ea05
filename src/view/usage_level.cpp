#include "view/usage_level.hpp"

#include "model/enum_names.hpp"

namespace quorbel {
namespace {

constexpr std::int64_t kFullPercent = 100;

constexpr EnumNames kLevelNames{std::array<std::pair<UsageLevel, std::string_view>, 4>{{
    {UsageLevel::none, "none"},
    {UsageLevel::warning, "warning"},
    {UsageLevel::critical, "critical"},
    {UsageLevel::full, "full"},
}}};

} // namespace

UsageLevel usageLevelOf(std::int64_t percent, std::int64_t warn, std::int64_t critical) {
  if (percent >= kFullPercent) {
    return UsageLevel::full;
  }
  if (percent >= critical) {
    return UsageLevel::critical;
  }
  return percent >= warn ? UsageLevel::warning : UsageLevel::none;
}

std::string_view levelClass(UsageLevel level) {
  switch (level) {
  case UsageLevel::none:
    return "ok";
  case UsageLevel::warning:
    return "warning";
  case UsageLevel::critical:
  case UsageLevel::full:
    break;
  }
  return "critical";
}

std::string_view usageLevelName(UsageLevel level) { return kLevelNames.nameOf(level); }

std::optional<UsageLevel> usageLevelNamed(std::string_view name) { return kLevelNames.named(name); }

} // namespace quorbel
