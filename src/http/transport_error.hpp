#pragma once

#include <string>
#include <string_view>

namespace quorbel {

// A failure of the HTTP transport, before any status code was read.
struct TransportError {
  enum class Kind {
    timedOut,
    notConnectedToInternet,
    cannotConnectToHost,
    badServerResponse,
    cancelled, // the helper is stopping
    other
  };

  Kind kind = Kind::other;
  std::string text; // what the transport said, e.g. libcurl's error buffer

  std::string describe() const;
  bool operator==(const TransportError &) const = default;
};

std::string_view kindName(TransportError::Kind kind);

} // namespace quorbel
