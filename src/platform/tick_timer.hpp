#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>

namespace quorbel {

// The wait between two ticks, behind a seam so tests need not wait real time.
class TickTimer {
public:
  enum class WakeUp { due, stopRequested, credentialsChanged };

  virtual ~TickTimer() = default;

  // Waits `delay`, counted on a clock that runs on while the machine is suspended, so the first
  // tick after a long suspend comes at once. Ends at once when `stop` is requested, and early when
  // `watchCredentials` is set and the credentials file has been written since the last wait.
  virtual WakeUp wait(std::chrono::nanoseconds delay, std::stop_token stop,
                      bool watchCredentials) = 0;

  // Why the credentials cannot be watched, once, when a watch could not be set up or was lost;
  // nothing otherwise. Waits go on without the watch.
  virtual std::optional<std::string> takeLostWatch() { return std::nullopt; }
};

} // namespace quorbel
