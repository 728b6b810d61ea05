#include "selfcheck/fake_plan_usage_provider.hpp"

#include <stdexcept>

namespace quorbel {

PlanSnapshot FakePlanUsageProvider::fetch() {
  if (const auto *success = std::get_if<Success>(&next)) {
    return success->snapshot;
  }
  const auto &error = std::get<Failure>(next).error;
  if (!error) {
    // A default-constructed Failure holds nothing to throw; still a failure, never a success.
    throw std::logic_error("scripted failure without an error");
  }
  std::rethrow_exception(error);
}

} // namespace quorbel
