#pragma once

#include "http/http_session.hpp"
#include "model/clock.hpp"
#include "source/credentials.hpp"
#include "source/plan_usage_error.hpp"
#include "source/plan_usage_provider.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace quorbel {

inline constexpr std::string_view kUsageEndpoint = "https://api.anthropic.com/api/oauth/usage";
inline constexpr std::string_view kAnthropicBetaHeaderValue = "oauth-2025-04-20";
// The endpoint must not be polled more often than this, in seconds.
inline constexpr double kLiveMinimumInterval = 180;
// A token with no more than this many seconds left is treated as already expired.
inline constexpr double kDefaultExpiryMargin = 60;
inline constexpr std::chrono::milliseconds kUsageRequestTimeout = std::chrono::seconds(60);

// The usage source over the network: each fetch reads the credentials, checks their expiry
// locally, sends one authenticated GET and maps a good answer into an active snapshot. It keeps
// nothing between calls, never retries and never refreshes a token.
class LivePlanUsageProvider final : public PlanUsageProvider {
public:
  // `endpoint`, `timeout` and `clock` exist so tests can aim at a loopback server and fix the
  // time; the helper keeps their defaults. Constructing does no I/O.
  LivePlanUsageProvider(std::shared_ptr<const CredentialsReading> credentialsStore,
                        std::shared_ptr<HttpSession> session, std::string userAgentVersion,
                        double expiryMargin = kDefaultExpiryMargin,
                        std::string endpoint = std::string(kUsageEndpoint),
                        std::chrono::milliseconds timeout = kUsageRequestTimeout,
                        const Clock &clock = systemClock());

  // Throws PlanUsageError for every failure it classifies.
  PlanSnapshot fetch() override;
  double minimumInterval() const override { return kLiveMinimumInterval; }

private:
  ClaudeAiOauth readOAuth() const;
  void ensureValid(const ClaudeAiOauth &oauth) const;
  HttpGetRequest makeRequest(const std::string &token) const;

  std::shared_ptr<const CredentialsReading> credentialsStore_;
  std::shared_ptr<HttpSession> session_;
  std::string userAgentVersion_;
  double expiryMargin_;
  std::string endpoint_;
  std::chrono::milliseconds timeout_;
  const Clock *clock_;
};

} // namespace quorbel
