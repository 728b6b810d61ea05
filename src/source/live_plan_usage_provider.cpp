#include "source/live_plan_usage_provider.hpp"

#include "model/display_text.hpp"
#include "source/extra_usage_answer.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace quorbel {

namespace {

using nlohmann::json;

constexpr long kStatusOk = 200;
constexpr long kStatusUnauthorized = 401;
constexpr long kStatusTooManyRequests = 429;
constexpr double kMillisecondsPerSecond = 1000.0;

[[noreturn]] void failDecoding(std::string message) { throw PlanUsageError::decoding(message); }

// A window the endpoint reports without a reset time has not started: nothing was sent for its
// whole length. It comes as null, without "resets_at", or with "resets_at": null, and is not an
// error; only a window that does run must be complete.
std::optional<PlanWindow> decodeWindow(const json &body, const char *key) {
  const auto window = body.find(key);
  if (window == body.end() || window->is_null()) {
    return std::nullopt;
  }
  if (!window->is_object()) {
    failDecoding(std::string("\"") + key + "\" is neither an object nor null");
  }
  const auto utilization = window->find("utilization");
  const bool hasUtilization = utilization != window->end() && !utilization->is_null();
  if (hasUtilization && !utilization->is_number()) {
    failDecoding(std::string("\"") + key + "\".\"utilization\" is not a number");
  }
  const auto resetsAt = window->find("resets_at");
  if (resetsAt == window->end() || resetsAt->is_null()) {
    return std::nullopt;
  }
  if (!resetsAt->is_string()) {
    failDecoding(std::string("\"") + key + "\".\"resets_at\" is not a string");
  }
  if (!hasUtilization) {
    failDecoding(std::string("\"") + key + "\" has a reset time but no \"utilization\"");
  }
  try {
    return PlanWindow::fromUsageWindow(
        UsageWindow{utilization->get<double>(), resetsAt->get<std::string>()}, key);
  } catch (const PlanSnapshotError &error) {
    throw PlanUsageError::decoding("unreadable reset date for \"" + error.field() + "\": \"" +
                                   displayText(error.raw()) + "\"");
  }
}

// The per-model part of the answer is young and changes shape, so whatever does not read as a
// model window is skipped, quietly: it must never cost the user the two plan windows. The name is
// display text from outside, cleaned here so that no snapshot ever carries a control character.
std::optional<ModelWindow> modelWindowFrom(std::string_view name, const json &percent,
                                           const json *resetsAt) {
  std::string model = displayText(name);
  if (model.empty() || !percent.is_number()) {
    return std::nullopt;
  }
  ModelWindow window{std::move(model), percentFromUtilization(percent.get<double>()), std::nullopt};
  if (resetsAt != nullptr && !resetsAt->is_null()) {
    if (!resetsAt->is_string()) {
      return std::nullopt;
    }
    window.resetsAt = PlanDateParser::dateFrom(resetsAt->get_ref<const std::string &>());
    if (!window.resetsAt) {
      return std::nullopt;
    }
  }
  return window;
}

const json *objectMember(const json &object, const char *key) {
  if (!object.is_object()) {
    return nullptr;
  }
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<ModelWindow> scopedLimit(const json &entry) {
  const json *kind = objectMember(entry, "kind");
  if (kind == nullptr || *kind != "weekly_scoped") {
    return std::nullopt;
  }
  const json *scope = objectMember(entry, "scope");
  const json *model = scope != nullptr ? objectMember(*scope, "model") : nullptr;
  const json *name = model != nullptr ? objectMember(*model, "display_name") : nullptr;
  const json *percent = objectMember(entry, "percent");
  if (name == nullptr || !name->is_string() || percent == nullptr) {
    return std::nullopt;
  }
  return modelWindowFrom(name->get_ref<const std::string &>(), *percent,
                         objectMember(entry, "resets_at"));
}

std::optional<ModelWindow> legacyModelWindow(const json &body, const char *key, const char *model) {
  const json *window = objectMember(body, key);
  const json *utilization = window != nullptr ? objectMember(*window, "utilization") : nullptr;
  if (utilization == nullptr) {
    return std::nullopt;
  }
  return modelWindowFrom(model, *utilization, objectMember(*window, "resets_at"));
}

std::vector<ModelWindow> decodeModelWindows(const json &body) {
  std::vector<ModelWindow> windows;
  const json *limits = objectMember(body, "limits");
  if (limits != nullptr && limits->is_array()) {
    for (const json &entry : *limits) {
      if (auto window = scopedLimit(entry)) {
        windows.push_back(std::move(*window));
      }
    }
  } else {
    // Answers from before the "limits" array carried the two model windows as objects.
    for (const auto &[key, model] :
         {std::pair{"seven_day_opus", "Opus"}, std::pair{"seven_day_sonnet", "Sonnet"}}) {
      if (auto window = legacyModelWindow(body, key, model)) {
        windows.push_back(std::move(*window));
      }
    }
  }
  // One window per model, the fullest: that is the one that blocks the user.
  std::stable_sort(windows.begin(), windows.end(), [](const auto &a, const auto &b) {
    return a.model != b.model ? a.model < b.model : a.percent > b.percent;
  });
  windows.erase(std::unique(windows.begin(), windows.end(),
                            [](const auto &a, const auto &b) { return a.model == b.model; }),
                windows.end());
  return windows;
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
  } catch (const CredentialsError &error) {
    if (error.kind() == CredentialsError::Kind::noToken) {
      throw PlanUsageError::credentialMissing();
    }
    throw PlanUsageError::credentialUnreadable(credentialsStore_->location() + ": " +
                                               error.reason());
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
    throw PlanUsageError::rateLimited(response.retryAfter);
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
  if (!body.contains("five_hour") && !body.contains("seven_day")) {
    failDecoding("neither \"five_hour\" nor \"seven_day\" is in the answer");
  }

  PlanSnapshot snapshot;
  snapshot.fetchedAt = clock_->now();
  snapshot.session = decodeWindow(body, "five_hour");
  snapshot.allModels = decodeWindow(body, "seven_day");
  snapshot.modelWindows = decodeModelWindows(body);
  snapshot.extraUsage = extraUsageFromAnswer(body);
  snapshot.subscriptionType = oauth.subscriptionType;
  snapshot.rateLimitTier = oauth.rateLimitTier;
  snapshot.status = PlanStatus::active;
  return snapshot;
}

} // namespace quorbel
