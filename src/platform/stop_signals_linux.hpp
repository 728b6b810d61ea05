#pragma once

#include <signal.h>

namespace quorbel {

// SIGTERM and SIGINT end the process at once with status 0, wherever it waits: in poll(), or in a
// write to a reader that has stopped reading. Whatever must not be cut short holds them back with
// StopSignalsHeld. SIGPIPE is ignored, so a reader that has gone shows as EPIPE rather than killing
// the process.
void endOnStopSignals();

// Holds SIGTERM and SIGINT back while it lives, for work that must finish whole once begun (a file
// replaced, a notification shown and recorded). They are delivered when it ends.
class StopSignalsHeld {
public:
  StopSignalsHeld();
  ~StopSignalsHeld();
  StopSignalsHeld(const StopSignalsHeld &) = delete;
  StopSignalsHeld &operator=(const StopSignalsHeld &) = delete;

private:
  sigset_t previous_{};
};

} // namespace quorbel
