#include "http/transport_error.hpp"

#include "model/enum_names.hpp"

namespace quorbel {
namespace {

constexpr EnumNames kTransportKindNames{
    std::array<std::pair<TransportError::Kind, std::string_view>, 6>{{
        {TransportError::Kind::timedOut, "timedOut"},
        {TransportError::Kind::notConnectedToInternet, "notConnectedToInternet"},
        {TransportError::Kind::cannotConnectToHost, "cannotConnectToHost"},
        {TransportError::Kind::badServerResponse, "badServerResponse"},
        {TransportError::Kind::cancelled, "cancelled"},
        {TransportError::Kind::other, "other"},
    }}};

} // namespace

std::string_view kindName(TransportError::Kind kind) { return kTransportKindNames.nameOf(kind); }

std::string TransportError::describe() const {
  std::string description(kindName(kind));
  if (!text.empty()) {
    description += ": " + text;
  }
  return description;
}

} // namespace quorbel
