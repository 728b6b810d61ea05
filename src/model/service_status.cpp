#include "model/service_status.hpp"

#include "model/display_text.hpp"
#include "model/enum_names.hpp"

#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

using Json = nlohmann::json;

constexpr EnumNames kIndicators{std::array<std::pair<ServiceIndicator, std::string_view>, 5>{{
    {ServiceIndicator::none, "none"},
    {ServiceIndicator::minor, "minor"},
    {ServiceIndicator::major, "major"},
    {ServiceIndicator::critical, "critical"},
    {ServiceIndicator::unknown, "unknown"},
}}};
constexpr EnumNames kComponentStates{std::array<std::pair<ComponentState, std::string_view>, 6>{{
    {ComponentState::operational, "operational"},
    {ComponentState::degradedPerformance, "degraded_performance"},
    {ComponentState::partialOutage, "partial_outage"},
    {ComponentState::majorOutage, "major_outage"},
    {ComponentState::underMaintenance, "under_maintenance"},
    {ComponentState::unknown, "unknown"},
}}};
constexpr EnumNames kImpacts{std::array<std::pair<IncidentImpact, std::string_view>, 5>{{
    {IncidentImpact::none, "none"},
    {IncidentImpact::minor, "minor"},
    {IncidentImpact::major, "major"},
    {IncidentImpact::critical, "critical"},
    {IncidentImpact::unknown, "unknown"},
}}};
constexpr EnumNames kIncidentStates{std::array<std::pair<IncidentState, std::string_view>, 6>{{
    {IncidentState::investigating, "investigating"},
    {IncidentState::identified, "identified"},
    {IncidentState::monitoring, "monitoring"},
    {IncidentState::resolved, "resolved"},
    {IncidentState::postmortem, "postmortem"},
    {IncidentState::unknown, "unknown"},
}}};

template <typename Enum, std::size_t N>
Enum fromRaw(const EnumNames<Enum, N> &names, std::string_view raw) {
  return names.named(raw).value_or(Enum::unknown);
}

std::string stringMember(const Json &object, const char *key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

} // namespace

std::string_view rawValue(ServiceIndicator value) { return kIndicators.nameOf(value); }
std::string_view rawValue(ComponentState value) { return kComponentStates.nameOf(value); }
std::string_view rawValue(IncidentImpact value) { return kImpacts.nameOf(value); }
std::string_view rawValue(IncidentState value) { return kIncidentStates.nameOf(value); }
ServiceIndicator serviceIndicatorFromRaw(std::string_view raw) { return fromRaw(kIndicators, raw); }
ComponentState componentStateFromRaw(std::string_view raw) {
  return fromRaw(kComponentStates, raw);
}
IncidentImpact incidentImpactFromRaw(std::string_view raw) { return fromRaw(kImpacts, raw); }
IncidentState incidentStateFromRaw(std::string_view raw) { return fromRaw(kIncidentStates, raw); }

std::string boundedServiceText(std::string_view text, std::size_t limit) {
  std::string clean = displayText(text);
  if (clean.size() > limit) {
    std::size_t cut = limit;
    while (cut > 0 && isContinuationByte(clean[cut])) {
      --cut;
    }
    clean.resize(cut);
  }
  return clean;
}

std::string safeServiceLink(std::string_view link) {
  constexpr std::string_view kScheme = "https://";
  if (link.size() > kMaxServiceLinkBytes || !link.starts_with(kScheme) ||
      link.size() == kScheme.size()) {
    return {};
  }
  // Printable ASCII without the characters that end an attribute, a markup tag or a shell word.
  for (const char c : link) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F ||
        std::string_view("\"'<>\\`").find(c) != std::string_view::npos) {
      return {};
    }
  }
  return std::string(link);
}

std::string encodeServiceStatus(const ServiceStatus &status) {
  Json components = Json::array();
  for (const ServiceComponent &component : status.components) {
    components.push_back({{"name", component.name}, {"status", rawValue(component.state)}});
  }
  Json incidents = Json::array();
  for (const ServiceIncident &incident : status.incidents) {
    incidents.push_back({{"id", incident.id},
                         {"name", incident.name},
                         {"impact", rawValue(incident.impact)},
                         {"status", rawValue(incident.state)},
                         {"link", incident.link}});
  }
  const Json document = {{"indicator", rawValue(status.indicator)},
                         {"description", status.description},
                         {"checkedAt", formatInternetDate(status.checkedAt)},
                         {"components", components},
                         {"incidents", incidents}};
  return document.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::optional<ServiceStatus> decodeServiceStatus(std::string_view text) {
  const Json document = Json::parse(text, nullptr, false);
  if (!document.is_object()) {
    return std::nullopt;
  }
  const auto checkedAt = PlanDateParser::dateFrom(stringMember(document, "checkedAt"));
  if (!checkedAt) {
    return std::nullopt;
  }
  ServiceStatus status;
  status.checkedAt = *checkedAt;
  status.indicator = serviceIndicatorFromRaw(stringMember(document, "indicator"));
  status.description = boundedServiceText(stringMember(document, "description"));
  if (const auto found = document.find("components");
      found != document.end() && found->is_array()) {
    for (const Json &entry : *found) {
      if (entry.is_object() && status.components.size() < kMaxServiceComponents) {
        status.components.push_back({boundedServiceText(stringMember(entry, "name")),
                                     componentStateFromRaw(stringMember(entry, "status"))});
      }
    }
  }
  if (const auto found = document.find("incidents"); found != document.end() && found->is_array()) {
    for (const Json &entry : *found) {
      if (entry.is_object() && status.incidents.size() < kMaxServiceIncidents) {
        status.incidents.push_back({boundedServiceText(stringMember(entry, "id")),
                                    boundedServiceText(stringMember(entry, "name")),
                                    incidentImpactFromRaw(stringMember(entry, "impact")),
                                    incidentStateFromRaw(stringMember(entry, "status")),
                                    safeServiceLink(stringMember(entry, "link"))});
      }
    }
  }
  return status;
}

} // namespace quorbel
