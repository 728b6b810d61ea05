#pragma once

#include "model/service_status.hpp"

#include <optional>
#include <string_view>

namespace quorbel {

// Whether a component of the status page concerns a Claude Code user. The one place that names
// them: the page's own names change, so they are matched case-blind by their start.
bool concernsClaudeCode(std::string_view componentName);

// What a reader needs of the page's summary (its JSON API's summary.json): the indicator and
// description, the components that concern Claude Code and are not operational (at most
// kMaxServiceComponents, worst first), and the unresolved incidents that touch one of them or
// name none (at most kMaxServiceIncidents, worst first). Strings are cleaned and bounded.
// Nothing when the text is not such a summary.
std::optional<ServiceStatus> serviceStatusFromPage(std::string_view body, Instant checkedAt);

} // namespace quorbel
