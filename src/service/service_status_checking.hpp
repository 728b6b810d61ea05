#pragma once

#include <chrono>
#include <string>

namespace quorbel {

// What one look at the service's status came to.
struct ServiceCheckResult {
  enum class Kind {
    written,   // the page was read and the file replaced
    elsewhere, // another helper polls the page; this one only reads the file
    fresh,     // the file was written less than an interval ago: nothing to ask
    failed,    // the file is left as it was
  };
  Kind kind = Kind::failed;
  // For `failed`: a cause that stays the same while the failure does ("HTTP 503",
  // "network: timedOut"), so it can be told once; and the whole text, to tell with it.
  std::string cause{};
  std::string detail{};
  bool cancelled = false; // the helper is stopping: nothing to tell
};

// The status check the helper runs beside its ticks, on a deadline of its own. The refresh cycle
// knows it only through this seam.
class ServiceStatusChecking {
public:
  virtual ~ServiceStatusChecking() = default;

  // How long until a check is due; zero or less when it is due now. Right after check() it is
  // positive, whatever that check came to.
  virtual std::chrono::milliseconds dueIn() = 0;

  // The longest one check() may take.
  virtual std::chrono::milliseconds timeLimit() const = 0;

  // One look: poll the page when this helper may, else leave it to the one that does. Never throws.
  virtual ServiceCheckResult check() = 0;
};

} // namespace quorbel
