#pragma once

#include "model/clock.hpp"
#include "watch/wake_source.hpp"

#include <functional>
#include <optional>

namespace quorbel {

// What one look at the snapshot asks of the loop.
struct WatchNext {
  bool stop = false;             // the reader has gone: end quietly
  std::optional<Instant> wakeAt; // when to look again if the file does not change first
};

using WatchStep = std::function<WatchNext(Instant now)>;

// Looks once at start and again after every wake-up, until the step or the wake source ends it.
void runWatchLoop(const Clock &clock, WakeSource &wakes, const WatchStep &step);

} // namespace quorbel
