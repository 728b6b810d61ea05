#include "model/plan_window.hpp"

#include <algorithm>
#include <cmath>

namespace quorbel {
namespace {

constexpr double kPercentFloor = 0;
constexpr double kPercentCeiling = 100;

} // namespace

PlanSnapshotError::PlanSnapshotError(std::string field, std::string raw)
    : std::runtime_error("unparseable reset date for " + field + ": \"" + raw + "\""),
      field_(std::move(field)), raw_(std::move(raw)) {}

PlanWindow PlanWindow::fromUsageWindow(const UsageWindow &window, std::string_view field) {
  const auto resetsAt = PlanDateParser::dateFrom(window.resetsAt);
  if (!resetsAt) {
    throw PlanSnapshotError(std::string(field), window.resetsAt);
  }
  return PlanWindow{percentFromUtilization(window.utilization), *resetsAt};
}

std::int64_t percentFromUtilization(double utilization) {
  // `!(u > 0)` also sends a NaN to zero rather than into an undefined conversion.
  return !(utilization > kPercentFloor)
             ? 0
             : std::int64_t(std::round(std::min(utilization, kPercentCeiling)));
}

} // namespace quorbel
