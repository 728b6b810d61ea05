#include "model/clock.hpp"

namespace quorbel {

const Clock &systemClock() {
  static const SystemClock clock;
  return clock;
}

} // namespace quorbel
