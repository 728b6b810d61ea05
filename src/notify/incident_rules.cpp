#include "notify/incident_rules.hpp"

#include "model/display_text.hpp"
#include "view/service_view.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace quorbel {
namespace {

using Urgency = DesktopNotification::Urgency;

// The page's id tells one incident from the next; a file written by hand may lack it.
std::string keyOf(const ServiceIncident &incident) {
  std::string key = incident.id.empty() ? "name:" : "id:";
  key += incident.id.empty() ? incident.name : incident.id;
  return key;
}

bool isClosed(IncidentState state) {
  return state == IncidentState::resolved || state == IncidentState::postmortem;
}

bool listedOpen(const ServiceStatus &status, const std::string &key) {
  return std::any_of(
      status.incidents.begin(), status.incidents.end(),
      [&](const ServiceIncident &i) { return !isClosed(i.state) && keyOf(i) == key; });
}

bool listedClosed(const ServiceStatus &status, const std::string &key) {
  return std::any_of(
      status.incidents.begin(), status.incidents.end(),
      [&](const ServiceIncident &i) { return isClosed(i.state) && keyOf(i) == key; });
}

// Whether `status` shows that the told incident has ended.
bool showsEnded(const ServiceStatus &status, const std::string &key, const ToldIncident &told) {
  if (status.checkedAt <= told.lastListed || listedOpen(status, key)) {
    return false;
  }
  if (listedClosed(status, key)) {
    return true;
  }
  const bool anyOmitted = status.incidents.size() >= kMaxServiceIncidents;
  return !anyOmitted;
}

// The body is read as markup by most notification services: the page's words go in escaped, so a
// name is shown as written. The summary, which the protocol keeps plain, carries none of them.
DesktopNotification startNotice(const ServiceIncident &incident) {
  // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for "\n" + temporary.
  std::string body = markupText(incident.name);
  body += "\nStatus page: ";
  body += rawValue(incident.state);
  if (incident.impact != IncidentImpact::none) {
    body += ", ";
    body += rawValue(incident.impact);
    body += " impact";
  }
  if (!incident.link.empty()) {
    body += '\n';
    body += markupText(incident.link);
  }
  const bool severe =
      incident.impact == IncidentImpact::major || incident.impact == IncidentImpact::critical;
  return {"Claude service incident", body, severe ? Urgency::critical : Urgency::normal};
}

DesktopNotification endNotice(const ToldIncident &told) {
  std::string body = markupText(told.name);
  body += "\nThe status page no longer lists it as open.";
  return {"Claude service incident resolved", body, Urgency::normal};
}

// Forgets the incidents listed longest ago beyond the bound, never the one just told.
void bound(IncidentsTold &told, const std::string &keep) {
  while (told.open.size() > kMaxToldIncidents) {
    auto oldest = told.open.end();
    for (auto entry = told.open.begin(); entry != told.open.end(); ++entry) {
      if (entry->first != keep &&
          (oldest == told.open.end() || entry->second.lastListed < oldest->second.lastListed)) {
        oldest = entry;
      }
    }
    told.open.erase(oldest);
  }
}

} // namespace

IncidentsTold settledIncidents(const IncidentsTold &told, const ServiceStatus &status) {
  IncidentsTold settled = told;
  for (auto &[key, incident] : settled.open) {
    if (listedOpen(status, key) && status.checkedAt > incident.lastListed) {
      incident.lastListed = status.checkedAt;
    }
  }
  return settled;
}

std::optional<DueIncidentNotice> nextIncidentNotice(const IncidentsTold &told,
                                                    const std::optional<ServiceStatus> &status,
                                                    Instant now) {
  if (!status || !ServiceView::fresh(*status, now)) {
    return std::nullopt;
  }
  for (const ServiceIncident &incident : status->incidents) {
    const std::string key = keyOf(incident);
    if (!isClosed(incident.state) && !told.open.contains(key)) {
      IncidentsTold after = told;
      after.open[key] = ToldIncident{incident.name, status->checkedAt};
      bound(after, key);
      return DueIncidentNotice{startNotice(incident), std::move(after)};
    }
  }
  for (const auto &[key, incident] : told.open) {
    if (showsEnded(*status, key, incident)) {
      IncidentsTold after = told;
      after.open.erase(key);
      return DueIncidentNotice{endNotice(incident), std::move(after)};
    }
  }
  return std::nullopt;
}

std::string encodeIncidentsTold(const IncidentsTold &told) {
  nlohmann::json open = nlohmann::json::object();
  for (const auto &[key, incident] : told.open) {
    open[key] = {{"name", incident.name}, {"lastListed", formatInternetDate(incident.lastListed)}};
  }
  return nlohmann::json{{"open", open}}.dump(2, ' ', false,
                                             nlohmann::json::error_handler_t::replace) +
         "\n";
}

IncidentsTold decodeIncidentsTold(std::string_view text) {
  const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
  if (!object.is_object() || !object.contains("open") || !object["open"].is_object()) {
    throw IncidentsToldError("not a record of incidents told");
  }
  IncidentsTold told;
  for (const auto &entry : object["open"].items()) {
    const std::string &key = entry.key();
    const nlohmann::json &value = entry.value();
    const auto member = [&value](const char *name) {
      return value.is_object() && value.contains(name) && value[name].is_string()
                 ? std::optional(value[name].get<std::string>())
                 : std::nullopt;
    };
    const auto name = member("name");
    const auto listed = member("lastListed");
    const auto lastListed = listed ? PlanDateParser::dateFrom(*listed) : std::nullopt;
    if (!name || !lastListed) {
      throw IncidentsToldError("incident '" + displayText(key) + "' is not an incident record");
    }
    // Cleaned as the status file's names are: the record may have been edited by hand.
    told.open[key] = ToldIncident{boundedServiceText(*name), *lastListed};
  }
  return told;
}

} // namespace quorbel
