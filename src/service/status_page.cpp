#include "service/status_page.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>

namespace quorbel {
namespace {

using Json = nlohmann::json;

// The products a Claude Code session depends on, as the page names them (lower case).
constexpr std::array<std::string_view, 4> kComponentPrefixes = {"claude code", "claude api",
                                                                "api.anthropic.com", "claude.ai"};

std::string lowerAscii(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return lower;
}

std::string stringMember(const Json &object, const char *key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

const Json &arrayMember(const Json &object, const char *key) {
  static const Json empty = Json::array();
  const auto found = object.find(key);
  return found != object.end() && found->is_array() ? *found : empty;
}

// Worst first: an outage before a slowdown, unknown between the two since it may be either.
int severity(ComponentState state) {
  switch (state) {
  case ComponentState::majorOutage:
    return 0;
  case ComponentState::partialOutage:
    return 1;
  case ComponentState::unknown:
    return 2;
  case ComponentState::degradedPerformance:
    return 3;
  case ComponentState::underMaintenance:
    return 4;
  case ComponentState::operational:
    break;
  }
  return 5;
}

int severity(IncidentImpact impact) {
  switch (impact) {
  case IncidentImpact::critical:
    return 0;
  case IncidentImpact::major:
    return 1;
  case IncidentImpact::unknown:
    return 2;
  case IncidentImpact::minor:
    return 3;
  case IncidentImpact::none:
    break;
  }
  return 4;
}

// An incident that names its components counts only when one of them concerns Claude Code; one
// that names none may concern anything.
bool touchesClaudeCode(const Json &incident) {
  const Json &components = arrayMember(incident, "components");
  return components.empty() || std::any_of(components.begin(), components.end(), [](const Json &c) {
           return c.is_object() && concernsClaudeCode(stringMember(c, "name"));
         });
}

std::vector<ServiceComponent> componentsOf(const Json &page) {
  std::vector<ServiceComponent> listed;
  for (const Json &entry : arrayMember(page, "components")) {
    if (!entry.is_object() || !concernsClaudeCode(stringMember(entry, "name"))) {
      continue;
    }
    const ComponentState state = componentStateFromRaw(stringMember(entry, "status"));
    if (state != ComponentState::operational) {
      listed.push_back({boundedServiceText(stringMember(entry, "name")), state});
    }
  }
  std::stable_sort(listed.begin(), listed.end(), [](const auto &a, const auto &b) {
    return severity(a.state) < severity(b.state);
  });
  listed.resize(std::min(listed.size(), kMaxServiceComponents));
  return listed;
}

std::vector<ServiceIncident> incidentsOf(const Json &page) {
  std::vector<ServiceIncident> listed;
  for (const Json &entry : arrayMember(page, "incidents")) {
    // An entry without a name is nothing a person could act on.
    if (!entry.is_object() || !touchesClaudeCode(entry) || stringMember(entry, "name").empty()) {
      continue;
    }
    const IncidentState state = incidentStateFromRaw(stringMember(entry, "status"));
    if (state == IncidentState::resolved || state == IncidentState::postmortem) {
      continue;
    }
    listed.push_back({boundedServiceText(stringMember(entry, "id")),
                      boundedServiceText(stringMember(entry, "name")),
                      incidentImpactFromRaw(stringMember(entry, "impact")), state,
                      safeServiceLink(stringMember(entry, "shortlink"))});
  }
  std::stable_sort(listed.begin(), listed.end(), [](const auto &a, const auto &b) {
    return severity(a.impact) < severity(b.impact);
  });
  listed.resize(std::min(listed.size(), kMaxServiceIncidents));
  return listed;
}

} // namespace

bool concernsClaudeCode(std::string_view componentName) {
  const std::string name = lowerAscii(componentName);
  return std::any_of(kComponentPrefixes.begin(), kComponentPrefixes.end(),
                     [&](std::string_view prefix) { return name.starts_with(prefix); });
}

std::optional<ServiceStatus> serviceStatusFromPage(std::string_view body, Instant checkedAt) {
  const Json page = Json::parse(body, nullptr, false);
  if (!page.is_object()) {
    return std::nullopt;
  }
  const auto summary = page.find("status");
  if (summary == page.end() || !summary->is_object()) {
    return std::nullopt;
  }
  ServiceStatus status;
  status.indicator = serviceIndicatorFromRaw(stringMember(*summary, "indicator"));
  status.description = boundedServiceText(stringMember(*summary, "description"));
  status.checkedAt = checkedAt;
  status.components = componentsOf(page);
  status.incidents = incidentsOf(page);
  return status;
}

} // namespace quorbel
