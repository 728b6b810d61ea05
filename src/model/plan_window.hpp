#pragma once

#include "model/plan_date.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorbel {

// One window as the usage endpoint reports it: a utilization in percent and a reset time in text.
struct UsageWindow {
  double utilization = 0;
  std::string resetsAt;
};

// Thrown when a window's reset text cannot be read; names the endpoint's window and the raw text.
class PlanSnapshotError : public std::runtime_error {
public:
  PlanSnapshotError(std::string field, std::string raw);

  const std::string &field() const { return field_; }
  const std::string &raw() const { return raw_; }

private:
  std::string field_;
  std::string raw_;
};

struct PlanWindow {
  std::int64_t percent = 0;
  Instant resetsAt;

  // Maps an endpoint window: the reset text is parsed, the utilization clamped to 0..100 and
  // rounded half away from zero. Throws PlanSnapshotError naming `field` when the date is
  // unreadable.
  static PlanWindow fromUsageWindow(const UsageWindow &window, std::string_view field);

  bool operator==(const PlanWindow &) const = default;
};

// A utilization in percent as a whole percent: clamped to 0..100, rounded half away from zero.
std::int64_t percentFromUtilization(double utilization);

} // namespace quorbel
