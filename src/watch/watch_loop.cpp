#include "watch/watch_loop.hpp"

namespace quorbel {

void runWatchLoop(const Clock &clock, WakeSource &wakes, const WatchStep &step) {
  for (;;) {
    const WatchNext next = step(clock.now());
    if (next.stop || wakes.wait(next.wakeAt) == WakeSource::Wake::stop) {
      return;
    }
  }
}

} // namespace quorbel
