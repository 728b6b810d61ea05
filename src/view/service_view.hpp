#pragma once

#include "model/service_status.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

// An answer older than this no longer says how the service is: it reads as unknown and shows
// nothing, whatever it said.
inline constexpr std::chrono::minutes kServiceStatusFreshFor{30};

// The service status file as written by the helper; nothing when it is missing, unreadable or not
// such a file.
std::optional<ServiceStatus> readServiceStatus(const std::filesystem::path &file);

// What the readers show of the service's own status, only while it is fresh (checked within
// kServiceStatusFreshFor, and not in the future) and something that concerns Claude Code is wrong:
// a listed component that is not operational, or an unresolved incident.
struct ServiceView {
  enum class Level { degraded, outage };

  Level level = Level::degraded;
  std::string mark;                 // short, for one line: "Claude Code outage"
  std::vector<std::string> details; // one line each: each component, then each incident and link
  ServiceStatus status;             // as read, for the formats that carry it whole

  // Whether `status` is fresh at `now`: every format, the metrics included, shows only that.
  static bool fresh(const ServiceStatus &status, Instant now);
  static std::optional<ServiceView> of(const std::optional<ServiceStatus> &status, Instant now);
};

std::string_view levelName(ServiceView::Level level); // the waybar class: "degraded" or "outage"

} // namespace quorbel
