#include "source/plan_usage_error.hpp"

#include "model/enum_names.hpp"

#include <utility>

namespace quorbel {
namespace {

constexpr EnumNames kUsageErrorKindNames{
    std::array<std::pair<PlanUsageError::Kind, std::string_view>, 7>{{
        {PlanUsageError::Kind::network, "network"},
        {PlanUsageError::Kind::unexpectedStatus, "unexpectedStatus"},
        {PlanUsageError::Kind::decoding, "decoding"},
        {PlanUsageError::Kind::credentialMissing, "credentialMissing"},
        {PlanUsageError::Kind::credentialExpired, "credentialExpired"},
        {PlanUsageError::Kind::unauthorized, "unauthorized"},
        {PlanUsageError::Kind::rateLimited, "rateLimited"},
    }}};

} // namespace

std::string_view kindName(PlanUsageError::Kind kind) { return kUsageErrorKindNames.nameOf(kind); }

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

PlanUsageError PlanUsageError::decoding(const std::string &why) {
  PlanUsageError result(Kind::decoding);
  result.description_ = "decoding failed: " + why;
  return result;
}

PlanUsageError PlanUsageError::credentialMissing() {
  return PlanUsageError(Kind::credentialMissing);
}
PlanUsageError PlanUsageError::credentialUnreadable(std::string reason) {
  PlanUsageError result(Kind::credentialMissing);
  result.description_ += ": " + reason;
  result.unreadableReason_ = std::move(reason);
  return result;
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
