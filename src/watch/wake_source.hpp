#pragma once

#include "model/plan_date.hpp"

#include <optional>

namespace quorbel {

// What a watching reader sleeps on: changes to the snapshot file, a moment on the clock, and the
// end of the watch. A seam, so tests can drive time and count the wake-ups.
class WakeSource {
public:
  enum class Wake {
    changed, // the snapshot file may have changed
    due,     // the deadline has come (or the wall clock was set)
    stop,    // the watch must end
    input,   // a descriptor the watch was asked to wake on has something to read
  };

  virtual ~WakeSource() = default;

  // Blocks until one of the above; without a deadline, only a change or a stop wakes it.
  virtual Wake wait(std::optional<Instant> deadline) = 0;
};

} // namespace quorbel
