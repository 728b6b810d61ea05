#pragma once

#include "model/plan_snapshot.hpp"
#include "source/plan_usage_provider.hpp"

#include <exception>
#include <variant>

namespace quorbel {

// A scripted usage source: every fetch answers with `next` until a holder assigns another
// behaviour. It is told apart from the live client by its minimum interval of 0, so a runtime
// over it keeps the cadence it was given.
class FakePlanUsageProvider final : public PlanUsageProvider {
public:
  struct Success {
    PlanSnapshot snapshot;
  };
  struct Failure {
    std::exception_ptr error;
  };
  using Behavior = std::variant<Success, Failure>;

  static Behavior success(PlanSnapshot snapshot) { return Success{std::move(snapshot)}; }
  template <typename Error> static Behavior failure(Error error) {
    return Failure{std::make_exception_ptr(std::move(error))};
  }

  explicit FakePlanUsageProvider(Behavior first) : next(std::move(first)) {}

  PlanSnapshot fetch() override;
  double minimumInterval() const override { return 0; }

  // Assigned by the self-check between ticks only, so it needs no lock.
  Behavior next;
};

} // namespace quorbel
