#pragma once

#include "http/http_session.hpp"
#include "model/clock.hpp"
#include "model/service_status.hpp"
#include "platform/instance_lock_linux.hpp"
#include "service/service_status_checking.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace quorbel {

inline constexpr std::string_view kServiceStatusUrl =
    "https://status.claude.com/api/v2/summary.json";
// The page publishes no rate limit; a look every five minutes is polite and soon enough.
inline constexpr std::chrono::minutes kServiceStatusInterval{5};
inline constexpr std::chrono::seconds kServiceStatusTimeLimit{10};

// Polls the status page into its file, for every helper on the machine at once: only the helper
// that holds the file's lock polls, and the lock is tried without waiting, so the others go on
// with their ticks and leave the page to it. The file is replaced whole; a failure leaves it as it
// was, and readers judge its age.
class ServiceStatusPoller final : public ServiceStatusChecking {
public:
  struct Options {
    std::string url = std::string(kServiceStatusUrl);
    std::chrono::milliseconds timeLimit = kServiceStatusTimeLimit;
  };

  ServiceStatusPoller(std::shared_ptr<HttpSession> session, std::filesystem::path file,
                      const Clock &clock = systemClock());
  ServiceStatusPoller(std::shared_ptr<HttpSession> session, std::filesystem::path file,
                      const Clock &clock, Options options);

  std::chrono::milliseconds dueIn() override;
  std::chrono::milliseconds timeLimit() const override { return options_.timeLimit; }
  ServiceCheckResult check() override;

private:
  ServiceCheckResult poll();
  bool holdsLock(ServiceCheckResult &refused);

  std::shared_ptr<HttpSession> session_;
  std::filesystem::path file_;
  const Clock &clock_;
  Options options_;
  std::optional<InstanceLock> lock_;
  std::optional<Instant> lastLook_;
};

} // namespace quorbel
