#include "model/plan_date.hpp"
#include "model/plan_window.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace quorbel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const Instant kFive{seconds(1782752400)}; // 2026-06-29T17:00:00Z

TEST(PlanDateParser, ReadsTheInternetDateFormsAndNothingElse) {
  // What the live endpoint sends, kept to the millisecond, and the ends of four-digit years,
  // which no instant arithmetic may overflow on.
  const std::pair<const char *, Instant> cases[] = {
      {"2026-06-29T17:00:00.5Z", kFive + milliseconds(500)},
      {"2026-06-29T12:30:00-04:30", kFive},
      {"2026-06-29T17:00:00.528743+00:00", kFive + milliseconds(528)},
      {"9999-12-31T23:59:59.999999999Z", kLatestInstant},
      {"0000-01-01T00:00:00Z", kEarliestInstant},
      {"1678-01-01T00:00:00+01:00", Instant{seconds(-9214563600)}}};
  for (const auto &[text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(PlanDateParser::dateFrom(text), expected);
  }
  for (const char *text :
       {"2026-06-29T17:00:00", "2026-06-29 17:00:00Z", "2026-06-29T17:00Z", "2026-6-29T17:00:00Z",
        "2026-06-29T17:00:00+0000", "2026-06-29T17:00:00.Z", "2026-06-29T17:00:00.1234567890Z",
        "2026-06-29T17:00:00z", "2025-02-29T00:00:00Z", "2026-06-29T24:00:00Z",
        "2026-06-29T17:60:00Z", "2026-06-29T17:00:60Z", "2026-06-29T17:00:00+24:00",
        "2026-06-29T17:00:00Z ", "-001-12-31T23:59:59Z", "10000-01-01T00:00:00Z",
        // Offsets that carry an end of the range out of four-digit years.
        "0000-01-01T00:00:00+00:01", "9999-12-31T23:59:59.5-00:01"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(PlanDateParser::dateFrom(text), std::nullopt);
  }
}

// The log's form of a date is checked in the helper's log lines.
TEST(PlanDateFormatting, CutsToTheWholeSecondInUtcAndSaturates) {
  EXPECT_EQ(formatInternetDate(Instant{} - milliseconds(1)), "1969-12-31T23:59:59Z");
  EXPECT_EQ(formatInternetDate(kLatestInstant), "9999-12-31T23:59:59Z");
  EXPECT_EQ(formatInternetDate(kEarliestInstant), "0000-01-01T00:00:00Z");
  // A far-off expiry must stay far off, not wrap around.
  EXPECT_EQ(instantFromUnixSeconds(1e300), kLatestInstant);
  EXPECT_EQ(instantFromUnixSeconds(-1e300), kEarliestInstant);
  EXPECT_EQ(instantFromUnixSeconds(std::nan("")), kEarliestInstant);
}

// An unreadable reset is checked with the endpoint's replies, where it is reported.
TEST(PlanWindowMapping, ClampsAndRoundsHalfAwayFromZero) {
  const std::pair<double, std::int64_t> cases[] = {{41.4, 41},  {41.5, 42},     {0.5, 1},
                                                   {99.5, 100}, {250, 100},     {-3, 0},
                                                   {NAN, 0},    {INFINITY, 100}};
  for (const auto &[utilization, percent] : cases) {
    SCOPED_TRACE(utilization);
    EXPECT_EQ(PlanWindow::fromUsageWindow({utilization, "2026-06-29T17:00:00Z"}, "five_hour"),
              (PlanWindow{percent, kFive}));
  }
}

} // namespace
} // namespace quorbel
