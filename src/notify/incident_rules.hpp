#pragma once

#include "model/service_status.hpp"
#include "notify/notification_rules.hpp"

#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorbel {

// One incident the user was told had started, kept until they are told it has ended.
struct ToldIncident {
  std::string name;   // as told, for the notice that it is resolved
  Instant lastListed; // the newest check that listed it open
  bool operator==(const ToldIncident &) const = default;
};

// What the user has been told of the service's incidents, by the page's id (the name for an entry
// without one). One for the machine, however many accounts are followed.
struct IncidentsTold {
  std::map<std::string, ToldIncident> open;
  bool operator==(const IncidentsTold &) const = default;
};

// A page that opens incident after incident while its list stays full would otherwise grow the
// record without end; the ones listed longest ago are forgotten first.
inline constexpr std::size_t kMaxToldIncidents = 20;

struct DueIncidentNotice {
  DesktopNotification notification;
  IncidentsTold toldAfter; // once it has been shown
};

// `told` with the time each incident still listed open by `status` was last seen so.
IncidentsTold settledIncidents(const IncidentsTold &told, const ServiceStatus &status);

// The first notice `status` calls for at `now`: an incident listed open that was not told yet
// (urgency critical for a major or critical impact, normal otherwise), or a told one that a check
// newer than the last to list it open lists resolved or leaves out. Only a fresh check counts,
// and one whose list is full proves nothing by leaving an incident out: the cap may have pushed it
// off. Nothing without a fresh status or when all has been told.
std::optional<DueIncidentNotice> nextIncidentNotice(const IncidentsTold &told,
                                                    const std::optional<ServiceStatus> &status,
                                                    Instant now);

// Raised by decodeIncidentsTold(); the message says what was wrong.
class IncidentsToldError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

std::string encodeIncidentsTold(const IncidentsTold &told);
IncidentsTold decodeIncidentsTold(std::string_view text);

} // namespace quorbel
