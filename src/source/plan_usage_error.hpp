#pragma once

#include "http/transport_error.hpp"
#include "model/plan_window.hpp"

#include <optional>
#include <stdexcept>
#include <string>

namespace quorbel {

// The error of every usage provider. The kind tells the refresh cycle what happened.
class PlanUsageError : public std::exception {
public:
  enum class Kind {
    network,
    unexpectedStatus,
    decoding,
    credentialMissing,
    credentialExpired,
    unauthorized,
    rateLimited,
  };

  static PlanUsageError network(TransportError error);
  static PlanUsageError unexpectedStatus(long httpStatus);
  // `why` a 200 answer could not become a snapshot: a body of the wrong shape, or a window whose
  // reset date could not be read.
  static PlanUsageError decoding(const std::string &why);
  // No credentials, or none with a token: the user must sign in.
  static PlanUsageError credentialMissing();
  // Credentials that exist but cannot be read or decoded; `reason` names the store and the cause,
  // never any part of the document. The same kind as credentialMissing, since neither allows a
  // request.
  static PlanUsageError credentialUnreadable(std::string reason);
  static PlanUsageError credentialExpired();
  static PlanUsageError unauthorized();
  // `retryAfter`: the seconds the server asked us to wait, when it said.
  static PlanUsageError rateLimited(std::optional<double> retryAfter = std::nullopt);

  Kind kind() const { return kind_; }
  // Meaningful only for the kinds that carry them.
  long httpStatus() const { return httpStatus_; }
  const std::optional<TransportError> &transportError() const { return transport_; }
  const std::optional<double> &retryAfter() const { return retryAfter_; }
  // For credentialMissing: why existing credentials could not be used; nothing when there are
  // none.
  const std::optional<std::string> &unreadableReason() const { return unreadableReason_; }

  // The default textual description, used after "FAILED: " and for errors of other types.
  const char *what() const noexcept override { return description_.c_str(); }

private:
  explicit PlanUsageError(Kind kind);

  Kind kind_;
  long httpStatus_ = 0;
  std::optional<TransportError> transport_;
  std::optional<double> retryAfter_;
  std::optional<std::string> unreadableReason_;
  std::string description_;
};

std::string_view kindName(PlanUsageError::Kind kind);

} // namespace quorbel
