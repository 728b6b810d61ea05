#include "model/plan_snapshot.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorbel {
namespace {

TEST(PlanWindowMapping, ClampsAndRoundsHalfAwayFromZero) {
  struct Case {
    double utilization;
    std::int64_t percent;
  };
  const Case cases[] = {
      {41.4, 41},
      {41.5, 42},
      {0.4, 0},
      {0.5, 1},
      {99.5, 100},
      {100, 100},
      {100.4, 100},
      {250, 100},
      {0, 0},
      {-3, 0},
      {-0.6, 0},
      {41, 41},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {std::numeric_limits<double>::infinity(), 100},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.utilization);
    const auto window = PlanWindow::fromUsageWindow(
        UsageWindow{c.utilization, "2026-06-29T17:00:00Z"}, "five_hour");
    EXPECT_EQ(window.percent, c.percent);
    EXPECT_EQ(window.resetsAt, instantFromUnixSeconds(1782752400));
  }
}

TEST(PlanWindowMapping, AnUnreadableResetNamesTheEndpointWindowAndTheRawText) {
  for (const char *raw : {"", "2026-06-29", "2026-06-29 17:00:00Z", "soon"}) {
    SCOPED_TRACE(raw);
    try {
      PlanWindow::fromUsageWindow(UsageWindow{41, raw}, "seven_day");
      FAIL() << "no error";
    } catch (const PlanSnapshotError &error) {
      EXPECT_EQ(error, PlanSnapshotError("seven_day", raw));
    }
  }
}

TEST(PlanSnapshot, DataStatusAndEqualityRules) {
  const Instant t = instantFromUnixSeconds(1780000000);
  const PlanWindow window{37, t};
  PlanSnapshot full{t, window, window, "max", "tier", std::nullopt};

  EXPECT_TRUE(full.hasData());
  EXPECT_EQ(full.effectiveStatus(), PlanStatus::active);
  PlanSnapshot oneWindow = full;
  oneWindow.allModels.reset();
  EXPECT_FALSE(oneWindow.hasData());
  EXPECT_FALSE(PlanSnapshot::dataless(PlanStatus::noData, t).hasData());

  // The stored status is compared, not the effective one.
  EXPECT_NE(full, full.withStatus(PlanStatus::active));
  PlanSnapshot later = full;
  later.fetchedAt += std::chrono::milliseconds(1);
  EXPECT_NE(full, later);

  // Re-stamping keeps the data and its age.
  const PlanSnapshot limited = full.withStatus(PlanStatus::rateLimited);
  EXPECT_EQ(limited.fetchedAt, t);
  EXPECT_EQ(limited.session, full.session);
  EXPECT_EQ(limited.rateLimitTier, full.rateLimitTier);
  EXPECT_EQ(limited, limited.withStatus(PlanStatus::rateLimited));
}

TEST(PlanStatus, RawValuesMatchExactly) {
  EXPECT_EQ(planStatusFromRaw("rateLimited"), PlanStatus::rateLimited);
  EXPECT_EQ(planStatusFromRaw("noData"), PlanStatus::noData);
  for (const char *raw : {"ratelimited", "RateLimited", "", "active ", "ACTIVE"}) {
    SCOPED_TRACE(raw);
    EXPECT_FALSE(planStatusFromRaw(raw).has_value());
  }
  for (auto status : {PlanStatus::active, PlanStatus::rateLimited, PlanStatus::sessionInactive,
                      PlanStatus::noData}) {
    EXPECT_EQ(planStatusFromRaw(rawValue(status)), status);
  }
}

} // namespace
} // namespace quorbel
