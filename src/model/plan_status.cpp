#include "model/plan_status.hpp"

#include "model/enum_names.hpp"

namespace quorbel {
namespace {

constexpr EnumNames kRawValues{std::array<std::pair<PlanStatus, std::string_view>, 4>{{
    {PlanStatus::active, "active"},
    {PlanStatus::rateLimited, "rateLimited"},
    {PlanStatus::sessionInactive, "sessionInactive"},
    {PlanStatus::noData, "noData"},
}}};

} // namespace

std::string_view rawValue(PlanStatus status) { return kRawValues.nameOf(status); }

std::optional<PlanStatus> planStatusFromRaw(std::string_view raw) { return kRawValues.named(raw); }

} // namespace quorbel
