#include "model/plan_status.hpp"

#include <array>
#include <cstddef>
#include <utility>

namespace quorbel {
namespace {

constexpr std::array<std::pair<PlanStatus, std::string_view>, 4> kRawValues{{
    {PlanStatus::active, "active"},
    {PlanStatus::rateLimited, "rateLimited"},
    {PlanStatus::sessionInactive, "sessionInactive"},
    {PlanStatus::noData, "noData"},
}};

constexpr bool listedInDeclarationOrder() {
  for (std::size_t i = 0; i < kRawValues.size(); ++i) {
    if (kRawValues[i].first != PlanStatus(i)) {
      return false;
    }
  }
  return true;
}
static_assert(listedInDeclarationOrder(), "rawValue() indexes kRawValues by the status");

} // namespace

std::string_view rawValue(PlanStatus status) { return kRawValues.at(std::size_t(status)).second; }

std::optional<PlanStatus> planStatusFromRaw(std::string_view raw) {
  for (const auto &[status, candidate] : kRawValues) {
    if (candidate == raw) {
      return status;
    }
  }
  return std::nullopt;
}

} // namespace quorbel
