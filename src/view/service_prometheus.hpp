#pragma once

#include "model/service_status.hpp"

#include <string>

namespace quorbel {

// The service's status in the Prometheus text format: when it was checked, the page's indicator
// and each listed component's status, as state sets (one series per value, 1 for the current
// one). Each line ends in a newline.
std::string formatServicePrometheus(const ServiceStatus &status);

} // namespace quorbel
