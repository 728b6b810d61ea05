#include "view/service_prometheus.hpp"

#include "view/prometheus_text.hpp"

#include <array>

namespace quorbel {
namespace {

constexpr std::array kIndicators{ServiceIndicator::none, ServiceIndicator::minor,
                                 ServiceIndicator::major, ServiceIndicator::critical,
                                 ServiceIndicator::unknown};
constexpr std::array kComponentStates{
    ComponentState::operational, ComponentState::degradedPerformance, ComponentState::partialOutage,
    ComponentState::majorOutage, ComponentState::underMaintenance,    ComponentState::unknown};

void header(std::string &text, std::string_view name, std::string_view help) {
  text += "# HELP ";
  text += name;
  text += ' ';
  text += help;
  text += "\n# TYPE ";
  text += name;
  text += " gauge\n";
}

// One series per state, 1 for the current one: a state set, as the text format spells it.
template <typename State, std::size_t N>
void stateSet(std::string &text, std::string_view name, std::string_view labels,
              std::string_view stateLabel, const std::array<State, N> &states, State current) {
  for (const State state : states) {
    text += name;
    text += '{';
    text += labels;
    text += stateLabel;
    text += "=\"";
    text += rawValue(state);
    text += state == current ? "\"} 1\n" : "\"} 0\n";
  }
}

} // namespace

std::string formatServicePrometheus(const ServiceStatus &status) {
  std::string text;
  header(text, "quorbel_service_checked_timestamp_seconds",
         "When the helper last read the service's status page, in seconds since 1970.");
  text += "quorbel_service_checked_timestamp_seconds " +
          std::to_string(status.checkedAt.time_since_epoch().count() / 1000) + "\n";
  header(text, "quorbel_service_indicator",
         "The status page's overall indicator: 1 for the current value, 0 for the others.");
  stateSet(text, "quorbel_service_indicator", "", "indicator", kIndicators, status.indicator);
  if (status.components.empty()) {
    return text;
  }
  header(text, "quorbel_service_component_status",
         "The status of each component that concerns Claude Code and is not operational: 1 for "
         "the current value, 0 for the others.");
  for (const ServiceComponent &component : status.components) {
    const std::string labels = "component=\"" + prometheusLabelValue(component.name) + "\",";
    stateSet(text, "quorbel_service_component_status", labels, "status", kComponentStates,
             component.state);
  }
  return text;
}

} // namespace quorbel
