#include "model/inactive_reason.hpp"

#include "model/enum_names.hpp"

namespace quorbel {
namespace {

constexpr EnumNames kRawValues{std::array<std::pair<InactiveReason, std::string_view>, 4>{{
    {InactiveReason::expired, "expired"},
    {InactiveReason::missing, "missing"},
    {InactiveReason::rejected, "rejected"},
    {InactiveReason::unreadable, "unreadable"},
}}};

} // namespace

std::string_view rawValue(InactiveReason reason) { return kRawValues.nameOf(reason); }

std::optional<InactiveReason> inactiveReasonFromRaw(std::string_view raw) {
  return kRawValues.named(raw);
}

} // namespace quorbel
