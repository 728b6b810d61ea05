#pragma once

#include "model/plan_date.hpp"

#include <string>

namespace quorbel {

// `instant` on the local clock as a person reads it near `now`: "16:40" on the same day, else with
// the day's name, "Fri 09:00".
std::string localClock(Instant instant, Instant now);

} // namespace quorbel
