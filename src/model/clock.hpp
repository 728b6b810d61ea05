#pragma once

#include "model/plan_date.hpp"

namespace quorbel {

// The current time, behind a seam so tests can fix it.
class Clock {
public:
  virtual ~Clock() = default;
  virtual Instant now() const = 0;
};

class SystemClock final : public Clock {
public:
  Instant now() const override {
    return std::chrono::time_point_cast<Instant::duration>(std::chrono::system_clock::now());
  }
};

// The process-wide system clock, for callers that are not given one.
const Clock &systemClock();

} // namespace quorbel
