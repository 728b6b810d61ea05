#include "view/service_view.hpp"

#include "platform/small_file.hpp"

#include <algorithm>

namespace quorbel {
namespace {

constexpr std::size_t kMaxFileBytes = 64 * 1024;

std::string_view stateWords(ComponentState state) {
  switch (state) {
  case ComponentState::majorOutage:
    return "outage";
  case ComponentState::partialOutage:
    return "partial outage";
  case ComponentState::degradedPerformance:
    return "degraded";
  case ComponentState::underMaintenance:
    return "maintenance";
  case ComponentState::operational:
    return "operational";
  case ComponentState::unknown:
    break;
  }
  return "status unknown";
}

// A major outage of a component, or an incident the page calls major or critical, is an outage;
// anything else wrong, an unknown state included, is degraded service.
bool isOutage(const ServiceStatus &status) {
  return std::any_of(
             status.components.begin(), status.components.end(),
             [](const ServiceComponent &c) { return c.state == ComponentState::majorOutage; }) ||
         std::any_of(
             status.incidents.begin(), status.incidents.end(), [](const ServiceIncident &i) {
               return i.impact == IncidentImpact::major || i.impact == IncidentImpact::critical;
             });
}

std::string incidentLine(const ServiceIncident &incident) {
  std::string line = "Incident: " + incident.name + " (" + std::string(rawValue(incident.state));
  if (incident.impact != IncidentImpact::none) {
    line += ", " + std::string(rawValue(incident.impact)) + " impact";
  }
  line += ")";
  if (!incident.link.empty()) {
    line += " " + incident.link;
  }
  return line;
}

} // namespace

std::optional<ServiceStatus> readServiceStatus(const std::filesystem::path &file) {
  const SmallFile read = readSmallFile(file, kMaxFileBytes);
  return read.found() ? decodeServiceStatus(read.content) : std::nullopt;
}

bool ServiceView::fresh(const ServiceStatus &status, Instant now) {
  return status.checkedAt <= now && now - status.checkedAt <= kServiceStatusFreshFor;
}

std::optional<ServiceView> ServiceView::of(const std::optional<ServiceStatus> &status,
                                           Instant now) {
  if (!status || !fresh(*status, now) ||
      (status->components.empty() && status->incidents.empty())) {
    return std::nullopt;
  }
  ServiceView view;
  view.status = *status;
  view.level = isOutage(*status) ? Level::outage : Level::degraded;
  // The file lists the components worst first, so the first names the mark.
  if (!status->components.empty()) {
    const ServiceComponent &worst = status->components.front();
    view.mark = worst.name + " " + std::string(stateWords(worst.state));
  } else {
    view.mark = view.level == Level::outage ? "Claude outage" : "Claude incident";
  }
  for (const ServiceComponent &component : status->components) {
    view.details.push_back("Service: " + component.name + " " +
                           std::string(stateWords(component.state)));
  }
  for (const ServiceIncident &incident : status->incidents) {
    view.details.push_back(incidentLine(incident));
  }
  return view;
}

std::string_view levelName(ServiceView::Level level) {
  return level == ServiceView::Level::outage ? "outage" : "degraded";
}

} // namespace quorbel
