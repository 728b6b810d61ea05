#include "source/live_plan_usage_provider.hpp"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <utility>

namespace quorbel {

namespace {

using nlohmann::json;

constexpr long kStatusOk = 200;
constexpr long kStatusUnauthorized = 401;
constexpr long kStatusTooManyRequests = 429;
constexpr double kMillisecondsPerSecond = 1000.0;

[[noreturn]] void failDecoding(std::string message) {
  throw PlanUsageError::decoding(DecodingFailure{std::move(message), std::nullopt});
}

UsageWindow decodeWindow(const json &body, const char *key) {
  const auto window = body.find(key);
  if (window == body.end()) {
    failDecoding(std::string("missing \"") + key + "\"");
  }
  if (!window->is_object()) {
    failDecoding(std::string("\"") + key + "\" is not an object");
  }
  const auto utilization = window->find("utilization");
  if (utilization == window->end() || !utilization->is_number()) {
    failDecoding(std::string("\"") + key + "\".\"utilization\" is missing or not a number");
  }
  const auto resetsAt = window->find("resets_at");
  if (resetsAt == window->end() || !resetsAt->is_string()) {
    failDecoding(std::string("\"") + key + "\".\"resets_at\" is missing or not a string");
  }
  return UsageWindow{utilization->get<double>(), resetsAt->get<std::string>()};
}

PlanWindow mapWindow(const UsageWindow &window, const char *field) {
  try {
    return PlanWindow::fromUsageWindow(window, field);
  } catch (const PlanSnapshotError &error) {
    throw PlanUsageError::decoding(DecodingFailure{
        "unreadable reset date for \"" + error.field() + "\": \"" + error.raw() + "\"", error});
  }
}

double secondsSinceEpoch(Instant instant) {
  return std::chrono::duration<double>(instant.time_since_epoch()).count();
}

} // namespace

LivePlanUsageProvider::LivePlanUsageProvider(
    std::shared_ptr<const CredentialsReading> credentialsStore,
    std::shared_ptr<HttpSession> session, std::string userAgentVersion, double expiryMargin,
    std::string endpoint, std::chrono::milliseconds timeout, const Clock &clock)
    : credentialsStore_(std::move(credentialsStore)), session_(std::move(session)),
      userAgentVersion_(std::move(userAgentVersion)), expiryMargin_(expiryMargin),
      endpoint_(std::move(endpoint)), timeout_(timeout), clock_(&clock) {
  if (credentialsStore_ == nullptr || session_ == nullptr) {
    throw std::invalid_argument("LivePlanUsageProvider needs a credentials store and a session");
  }
}

ClaudeAiOauth LivePlanUsageProvider::readOAuth() const {
  try {
    return credentialsStore_->readCredentials().claudeAiOauth;
  } catch (const CredentialsError &) {
    throw PlanUsageError::credentialMissing();
  }
}

void LivePlanUsageProvider::ensureValid(const ClaudeAiOauth &oauth) const {
  if (!oauth.expiresAt) {
    throw PlanUsageError::credentialExpired();
  }
  const double remaining =
      *oauth.expiresAt / kMillisecondsPerSecond - secondsSinceEpoch(clock_->now());
  // Written so that a NaN lifetime also counts as expired.
  if (!(remaining > expiryMargin_)) {
    throw PlanUsageError::credentialExpired();
  }
}

HttpGetRequest LivePlanUsageProvider::makeRequest(const std::string &token) const {
  return HttpGetRequest{endpoint_,
                        {{"Authorization", "Bearer " + token},
                         {"anthropic-beta", std::string(kAnthropicBetaHeaderValue)},
                         {"User-Agent", "claude-code/" + userAgentVersion_}},
                        timeout_};
}

PlanSnapshot LivePlanUsageProvider::fetch() {
  const ClaudeAiOauth oauth = readOAuth();
  ensureValid(oauth);

  HttpResponse response;
  try {
    response = session_->get(makeRequest(oauth.accessToken));
  } catch (const HttpTransportFailure &failure) {
    throw PlanUsageError::network(failure.error());
  }

  switch (response.status) {
  case kStatusOk:
    break;
  case kStatusTooManyRequests:
    throw PlanUsageError::rateLimited();
  case kStatusUnauthorized:
    throw PlanUsageError::unauthorized();
  default:
    throw PlanUsageError::unexpectedStatus(response.status);
  }

  const json body = json::parse(response.body, nullptr, /*allow_exceptions=*/false);
  if (body.is_discarded()) {
    failDecoding("body is not JSON");
  }
  if (!body.is_object()) {
    failDecoding("body is not a JSON object");
  }
  const UsageWindow fiveHour = decodeWindow(body, "five_hour");
  const UsageWindow sevenDay = decodeWindow(body, "seven_day");

  PlanSnapshot snapshot;
  snapshot.fetchedAt = clock_->now();
  snapshot.session = mapWindow(fiveHour, "five_hour");
  snapshot.allModels = mapWindow(sevenDay, "seven_day");
  snapshot.subscriptionType = oauth.subscriptionType;
  snapshot.rateLimitTier = oauth.rateLimitTier;
  snapshot.status = PlanStatus::active;
  return snapshot;
}

} // namespace quorbel
