#include "model/plan_snapshot.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace quorbel {
namespace {

const Instant kFive{std::chrono::seconds(1782752400)}; // 2026-06-29T17:00:00Z

TEST(PlanWindowMapping, ClampsAndRoundsHalfAwayFromZero) {
  struct Case {
    double utilization;
    std::int64_t percent;
  };
  const Case cases[] = {{41.4, 41}, {41.5, 42}, {0.5, 1}, {99.5, 100},
                        {250, 100}, {-3, 0},    {NAN, 0}, {INFINITY, 100}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.utilization);
    EXPECT_EQ(PlanWindow::fromUsageWindow({c.utilization, "2026-06-29T17:00:00Z"}, "five_hour"),
              (PlanWindow{c.percent, kFive}));
  }
  try {
    PlanWindow::fromUsageWindow({41, "soon"}, "seven_day");
    ADD_FAILURE() << "an unreadable reset was accepted";
  } catch (const PlanSnapshotError &error) {
    EXPECT_EQ(error, PlanSnapshotError("seven_day", "soon"));
  }
}

TEST(PlanSnapshot, OnlyBothWindowsAreDataAndAStatusChangeKeepsThem) {
  const PlanSnapshot full{kFive, PlanWindow{37, kFive}, PlanWindow{5, kFive}, "max", "tier", {}};
  EXPECT_TRUE(full.hasData());
  EXPECT_FALSE((PlanSnapshot{kFive, PlanWindow{37, kFive}, {}, "max", "tier", {}}.hasData()));
  PlanSnapshot limited = full.withStatus(PlanStatus::rateLimited);
  EXPECT_EQ(limited.status, PlanStatus::rateLimited);
  limited.status.reset();
  EXPECT_EQ(limited, full);
}

} // namespace
} // namespace quorbel
