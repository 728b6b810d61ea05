#include "model/plan_date.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using std::chrono::nanoseconds;

const Instant kFiveOClock = instantFromUnixSeconds(1782752400); // 2026-06-29T17:00:00Z

TEST(PlanDateParser, ReadsTheInternetDateForms) {
  struct Case {
    const char *text;
    Instant expected;
  };
  const Case cases[] = {
      {"2026-06-29T17:00:00Z", kFiveOClock},
      {"2026-06-29T17:00:00.250Z", kFiveOClock + nanoseconds(250'000'000)},
      {"2026-06-29T17:00:00.5Z", kFiveOClock + nanoseconds(500'000'000)},
      {"2026-06-29T17:00:00.123456789Z", kFiveOClock + nanoseconds(123'456'789)},
      {"2026-06-29T17:00:00+00:00", kFiveOClock},
      {"2026-06-29T17:00:00-00:00", kFiveOClock},
      {"2026-06-29T19:30:00+02:30", kFiveOClock},
      {"2026-06-29T12:00:00-05:00", kFiveOClock},
      // What the live endpoint sends: six digits and a numeric zero offset.
      {"2026-06-29T17:00:00.528743+00:00", kFiveOClock + nanoseconds(528'743'000)},
      {"2024-02-29T00:00:00Z", instantFromUnixSeconds(1709164800)},
      {"1970-01-01T00:00:00Z", instantFromUnixSeconds(0)},
      {"2261-12-31T23:59:59.999999999Z",
       Instant{} + std::chrono::seconds(9214646399) + nanoseconds(999'999'999)},
      {"1678-01-01T00:00:00Z", Instant{} + std::chrono::seconds(-9214560000)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = PlanDateParser::dateFrom(c.text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, c.expected);
  }
}

TEST(PlanDateParser, RejectsEverythingElse) {
  const char *cases[] = {
      "",
      "2026-06-29",
      "2026-06-29T17:00:00",             // no zone
      "2026-06-29 17:00:00Z",            // space instead of T
      "2026-06-29T17:00Z",               // no seconds
      "2026-06-29T17:00:00+0000",        // offset without a colon
      "2026-06-29T17:00:00+00",          // offset without minutes
      "2026-06-29T17:00:00.Z",           // point without digits
      "2026-06-29T17:00:00.1234567890Z", // ten fraction digits
      "2026-06-29t17:00:00Z",
      "2026-06-29T17:00:00z",
      "2026-02-30T17:00:00Z", // no such day
      "2025-02-29T00:00:00Z", // not a leap year
      "2026-13-01T00:00:00Z",
      "2026-06-29T24:00:00Z",
      "2026-06-29T17:60:00Z",
      "2026-06-29T17:00:60Z",
      "2026-06-29T17:00:00+24:00",
      "26-06-29T17:00:00Z",
      "+2026-06-29T17:00:00Z",
      "2026-6-29T17:00:00Z",
      "2026-06-29T17:00:00Z ",
      " 2026-06-29T17:00:00Z",
      "2026-06-29T17:00:00ZZ",
      "2026-06-2\xd9T17:00:00Z",
      // Beyond what a nanosecond instant can hold.
      "0000-01-01T00:00:00Z",
      "9999-12-31T23:59:59Z",
      "1677-12-31T23:59:59Z",
      "2262-01-01T00:00:00Z",
      "2261-12-31T23:59:59-01:00",
  };
  for (const char *text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(PlanDateParser::dateFrom(text).has_value());
  }
}

TEST(PlanDateFormatting, CutsToTheWholeSecondInUtc) {
  const Instant withFraction = kFiveOClock + nanoseconds(999'999'999);
  EXPECT_EQ(formatInternetDate(withFraction), "2026-06-29T17:00:00Z");
  EXPECT_EQ(formatInternetDate(instantFromUnixSeconds(0) - nanoseconds(1)), "1969-12-31T23:59:59Z");
  EXPECT_EQ(formatLogDate(instantFromUnixSeconds(1780000000)), "2026-05-28 20:26:40 +0000");
}

TEST(PlanDateFormatting, FarExpiryTimesSaturateInsteadOfWrapping) {
  EXPECT_EQ(instantFromUnixSeconds(1e300), Instant::max());
  EXPECT_EQ(instantFromUnixSeconds(-1e300), Instant::min());
  EXPECT_EQ(instantFromUnixSeconds(1782752400.5), kFiveOClock + nanoseconds(500'000'000));
}

} // namespace
} // namespace quorbel
