#pragma once

#include <optional>
#include <string_view>

namespace quorbel {

// Why the session is inactive. Only a missing, rejected or unreadable token asks the user to act:
// an expired one is renewed by the Claude Code CLI the next time it runs. The raw values are what
// the file carries.
enum class InactiveReason { expired, missing, rejected, unreadable };

std::string_view rawValue(InactiveReason reason);

// Exact, case-sensitive match of one of the raw values; anything else is no reason.
std::optional<InactiveReason> inactiveReasonFromRaw(std::string_view raw);

} // namespace quorbel
