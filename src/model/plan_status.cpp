#include "model/plan_status.hpp"

#include <array>
#include <utility>

namespace quorbel {
namespace {

constexpr std::array<std::pair<PlanStatus, std::string_view>, 4> kRawValues{{
    {PlanStatus::active, "active"},
    {PlanStatus::rateLimited, "rateLimited"},
    {PlanStatus::sessionInactive, "sessionInactive"},
    {PlanStatus::noData, "noData"},
}};

} // namespace

std::string_view rawValue(PlanStatus status) {
  for (const auto &[candidate, raw] : kRawValues) {
    if (candidate == status) {
      return raw;
    }
  }
  return "active";
}

std::optional<PlanStatus> planStatusFromRaw(std::string_view raw) {
  for (const auto &[status, candidate] : kRawValues) {
    if (candidate == raw) {
      return status;
    }
  }
  return std::nullopt;
}

} // namespace quorbel
