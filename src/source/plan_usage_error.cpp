#include "source/plan_usage_error.hpp"

#include <array>
#include <utility>

namespace quorbel {

std::string_view kindName(TransportError::Kind kind) {
  switch (kind) {
  case TransportError::Kind::timedOut:
    return "timedOut";
  case TransportError::Kind::notConnectedToInternet:
    return "notConnectedToInternet";
  case TransportError::Kind::cannotConnectToHost:
    return "cannotConnectToHost";
  case TransportError::Kind::badServerResponse:
    return "badServerResponse";
  case TransportError::Kind::cancelled:
    return "cancelled";
  case TransportError::Kind::other:
    break;
  }
  return "other";
}

std::string TransportError::describe() const {
  std::string description(kindName(kind));
  if (!text.empty()) {
    description += ": " + text;
  }
  return description;
}

std::string_view kindName(PlanUsageError::Kind kind) {
  static constexpr std::array<std::string_view, 7> kNames{
      "network",           "unexpectedStatus", "decoding",   "credentialMissing",
      "credentialExpired", "unauthorized",     "rateLimited"};
  return kNames.at(static_cast<std::size_t>(kind));
}

PlanUsageError::PlanUsageError(Kind kind) : kind_(kind), description_(kindName(kind)) {}

PlanUsageError PlanUsageError::network(TransportError error) {
  PlanUsageError result(Kind::network);
  result.description_ = "network error: " + error.describe();
  result.transport_ = std::move(error);
  return result;
}

PlanUsageError PlanUsageError::unexpectedStatus(long httpStatus) {
  PlanUsageError result(Kind::unexpectedStatus);
  result.httpStatus_ = httpStatus;
  result.description_ = "unexpected HTTP status " + std::to_string(httpStatus);
  return result;
}

PlanUsageError PlanUsageError::decoding(DecodingFailure failure) {
  PlanUsageError result(Kind::decoding);
  result.description_ = "decoding failed: " + failure.message;
  result.decoding_ = std::move(failure);
  return result;
}

PlanUsageError PlanUsageError::credentialMissing() {
  return PlanUsageError(Kind::credentialMissing);
}
PlanUsageError PlanUsageError::credentialExpired() {
  return PlanUsageError(Kind::credentialExpired);
}
PlanUsageError PlanUsageError::unauthorized() { return PlanUsageError(Kind::unauthorized); }
PlanUsageError PlanUsageError::rateLimited(std::optional<double> retryAfter) {
  PlanUsageError result(Kind::rateLimited);
  result.retryAfter_ = retryAfter;
  return result;
}

} // namespace quorbel
