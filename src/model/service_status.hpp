#pragma once

#include "model/plan_date.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel {

// What the service's status page said, as the helper keeps it for readers: cleaned of controls,
// bounded, and only what a Claude Code user needs. A value the page sends that we do not know
// reads as `unknown`, never as the good one.
enum class ServiceIndicator { none, minor, major, critical, unknown };
enum class ComponentState {
  operational,
  degradedPerformance,
  partialOutage,
  majorOutage,
  underMaintenance,
  unknown
};
enum class IncidentImpact { none, minor, major, critical, unknown };
enum class IncidentState { investigating, identified, monitoring, resolved, postmortem, unknown };

struct ServiceComponent {
  std::string name;
  ComponentState state = ComponentState::unknown;
  bool operator==(const ServiceComponent &) const = default;
};

struct ServiceIncident {
  std::string id; // the page's own, so a notifier can tell one incident from the next
  std::string name;
  IncidentImpact impact = IncidentImpact::unknown;
  IncidentState state = IncidentState::unknown;
  std::string link; // an https address, or empty
  bool operator==(const ServiceIncident &) const = default;
};

struct ServiceStatus {
  ServiceIndicator indicator = ServiceIndicator::unknown;
  std::string description;
  Instant checkedAt{};
  std::vector<ServiceComponent> components; // the ones that matter and are not operational
  std::vector<ServiceIncident> incidents;   // unresolved
  bool operator==(const ServiceStatus &) const = default;
};

// The page's words for each value, which the file keeps as they are.
std::string_view rawValue(ServiceIndicator value);
std::string_view rawValue(ComponentState value);
std::string_view rawValue(IncidentImpact value);
std::string_view rawValue(IncidentState value);
ServiceIndicator serviceIndicatorFromRaw(std::string_view raw);
ComponentState componentStateFromRaw(std::string_view raw);
IncidentImpact incidentImpactFromRaw(std::string_view raw);
IncidentState incidentStateFromRaw(std::string_view raw);

// The file's form: one JSON object, pretty, keys sorted. Strings in and out, never paths.
std::string encodeServiceStatus(const ServiceStatus &status);
// Nothing when the text is not such a document; the strings read pass through the same cleaning
// and bounds as the page's, so a file written by hand cannot carry more than the helper writes.
std::optional<ServiceStatus> decodeServiceStatus(std::string_view text);

// The bounds the helper keeps to, and the reader holds a file to.
inline constexpr std::size_t kMaxServiceComponents = 5;
inline constexpr std::size_t kMaxServiceIncidents = 3;
inline constexpr std::size_t kMaxServiceTextBytes = 160;
inline constexpr std::size_t kMaxServiceLinkBytes = 200;

// `text` cleaned for display and cut to at most `limit` bytes on a character boundary.
std::string boundedServiceText(std::string_view text, std::size_t limit = kMaxServiceTextBytes);
// `link` when it is a plain https address of at most kMaxServiceLinkBytes with nothing a format
// could read as markup or a second argument; empty otherwise.
std::string safeServiceLink(std::string_view link);

} // namespace quorbel
