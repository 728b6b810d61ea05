#pragma once

#include "view/usage_formats.hpp"

#include <optional>

namespace quorbel {

// The first moment after `view.now` at which formatView(view at that moment, format) may read
// differently, the snapshot staying as it is: a countdown's or the data age's next step in the
// long formats, a pace change there, the stale deadline, a reset passing, local midnight where a
// reset's day name depends on it. Nothing when the output will stay as it is.
//
// The json format's running counters (ageSeconds, secondsToReset, pace) change every second; they
// are not moments of change here, since a watcher printing each of them would print every second.
std::optional<Instant> nextOutputChange(const UsageView &view, OutputFormat format,
                                        const ViewOptions &options);

} // namespace quorbel
