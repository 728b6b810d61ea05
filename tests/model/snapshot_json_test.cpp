#include "model/snapshot_json.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

Instant at(const char *text) { return *PlanDateParser::dateFrom(text); }

PlanSnapshot fullSnapshot() {
  return PlanSnapshot{at("2026-06-29T12:00:00Z"),
                      PlanWindow{41, at("2026-06-29T17:00:00Z")},
                      PlanWindow{14, at("2026-06-30T12:00:00Z")},
                      "max",
                      "default_claude_max_20x",
                      PlanStatus::rateLimited};
}

constexpr const char *kFullText = R"({
  "allModels" : {
    "percent" : 14,
    "resetsAt" : "2026-06-30T12:00:00Z"
  },
  "fetchedAt" : "2026-06-29T12:00:00Z",
  "rateLimitTier" : "default_claude_max_20x",
  "session" : {
    "percent" : 41,
    "resetsAt" : "2026-06-29T17:00:00Z"
  },
  "status" : "rateLimited",
  "subscriptionType" : "max"
})";

// Written before the status existed; must keep decoding.
constexpr const char *kLegacyText = R"({
  "allModels" : { "percent" : 14, "resetsAt" : "2026-06-30T12:00:00Z" },
  "fetchedAt" : "2026-06-29T12:00:00Z",
  "session" : { "percent" : 41, "resetsAt" : "2026-06-29T17:00:00Z" },
  "subscriptionType" : "max"
})";

TEST(SnapshotJson, WritesTheFileLayoutByteForByte) {
  EXPECT_EQ(encodeSnapshot(fullSnapshot()), kFullText);
  EXPECT_EQ(encodeSnapshot(PlanSnapshot::dataless(PlanStatus::noData, at("2026-06-29T12:00:00Z"))),
            "{\n  \"fetchedAt\" : \"2026-06-29T12:00:00Z\",\n  \"status\" : \"noData\"\n}");
  EXPECT_EQ(encodeSnapshot(PlanSnapshot::dataless(PlanStatus::noData, at("2026-06-29T12:00:00Z")),
                           JsonLayout::compact),
            R"({"fetchedAt":"2026-06-29T12:00:00Z","status":"noData"})");
}

TEST(SnapshotJson, ModelWindowsAreOptionalAndLaidOutLikeTheRest) {
  PlanSnapshot snapshot = fullSnapshot();
  snapshot.modelWindows = {{"Opus", 100, at("2026-07-01T07:00:00Z")}, {"Sonnet", 3, std::nullopt}};
  const std::string text = encodeSnapshot(snapshot);
  EXPECT_NE(text.find(R"(
  "fetchedAt" : "2026-06-29T12:00:00Z",
  "modelWindows" : [
    {
      "model" : "Opus",
      "percent" : 100,
      "resetsAt" : "2026-07-01T07:00:00Z"
    },
    {
      "model" : "Sonnet",
      "percent" : 3
    }
  ],
  "rateLimitTier" : )"),
            std::string::npos)
      << text;
  EXPECT_EQ(decodeSnapshot(text), snapshot);
  EXPECT_EQ(decodeSnapshot(encodeSnapshot(snapshot, JsonLayout::compact)), snapshot);
  EXPECT_NE(encodeSnapshot(snapshot, JsonLayout::compact)
                .find(R"("modelWindows":[{"model":"Opus","percent":100,"resetsAt":"2026-07-01T)"
                      R"(07:00:00Z"},{"model":"Sonnet","percent":3}],)"),
            std::string::npos);

  // A file without them, or with null, has none; one that holds something else is not ours.
  EXPECT_TRUE(decodeSnapshot(kLegacyText).modelWindows.empty());
  const std::string head = R"({"fetchedAt":"2026-06-29T12:00:00Z","modelWindows":)";
  EXPECT_TRUE(decodeSnapshot(head + "null}").modelWindows.empty());
  for (const char *bad : {R"({})", R"([1])", R"([{"percent":1}])", R"([{"model":"O"}])",
                          R"([{"model":1,"percent":1}])", R"([{"model":"O","percent":1.5}])",
                          R"([{"model":"O","percent":1,"resetsAt":"soon"}])"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(decodeSnapshot(head + bad + "}"), SnapshotFormatError);
  }
}

TEST(SnapshotJson, EscapesStringsSoTheyReadBack) {
  PlanSnapshot snapshot = fullSnapshot();
  snapshot.subscriptionType = "a\"b\\c\n\x01/é";
  const std::string text = encodeSnapshot(snapshot);
  EXPECT_NE(text.find(R"("a\"b\\c\n\u0001/é")"), std::string::npos);
  EXPECT_EQ(decodeSnapshot(text), snapshot);
}

TEST(SnapshotJson, RoundTripsWholeSecondsAndCutsFractions) {
  EXPECT_EQ(decodeSnapshot(encodeSnapshot(fullSnapshot())), fullSnapshot());
  EXPECT_EQ(decodeSnapshot(encodeSnapshot(fullSnapshot(), JsonLayout::compact)), fullSnapshot());

  const auto inactive =
      PlanSnapshot::dataless(PlanStatus::sessionInactive, at("2026-06-29T12:00:00Z"));
  EXPECT_EQ(decodeSnapshot(encodeSnapshot(inactive)), inactive);

  PlanSnapshot fractional = fullSnapshot();
  fractional.fetchedAt += std::chrono::milliseconds(250);
  EXPECT_NE(decodeSnapshot(encodeSnapshot(fractional)), fractional);
  EXPECT_EQ(decodeSnapshot(encodeSnapshot(fractional)).fetchedAt, fullSnapshot().fetchedAt);
  fractional = fullSnapshot();
  fractional.session->resetsAt += std::chrono::microseconds(1);
  EXPECT_NE(decodeSnapshot(encodeSnapshot(fractional)), fractional);
}

TEST(SnapshotJson, AcceptsLegacyNullAndUnknownMembers) {
  const PlanSnapshot legacy = decodeSnapshot(kLegacyText);
  EXPECT_FALSE(legacy.status.has_value());
  EXPECT_EQ(legacy.effectiveStatus(), PlanStatus::active);
  EXPECT_TRUE(legacy.hasData());
  EXPECT_EQ(legacy.session->percent, 41);
  EXPECT_FALSE(legacy.rateLimitTier.has_value());

  const PlanSnapshot nulls = decodeSnapshot(
      R"({"fetchedAt":"2026-06-29T12:00:00Z","status":null,"session":null,"allModels":null,
          "subscriptionType":null,"rateLimitTier":null,"futureKey":{"x":[1,2]}})");
  EXPECT_EQ(nulls, (PlanSnapshot{at("2026-06-29T12:00:00Z"), {}, {}, {}, {}, {}}));

  // Readers must accept an escaped slash and the offsets and fractions we never write.
  const PlanSnapshot escaped = decodeSnapshot(
      R"({"fetchedAt":"2026-06-29T14:00:00.5+02:00","subscriptionType":"a\/b","percent":1})");
  EXPECT_EQ(escaped.subscriptionType, "a/b");
  EXPECT_EQ(escaped.fetchedAt, at("2026-06-29T12:00:00Z") + std::chrono::milliseconds(500));
}

TEST(SnapshotJson, RejectsTheWholeFileOnAnyBrokenRule) {
  const char *cases[] = {
      "",
      "[]",
      "null",
      "\"2026-06-29T12:00:00Z\"",
      R"({"fetchedAt":"2026-06-29T12:00:00Z"} trailing)",
      R"({"session":{"percent":1,"resetsAt":"2026-06-29T12:00:00Z"}})", // no fetchedAt
      R"({"fetchedAt":null})",
      R"({"fetchedAt":"2026-06-29"})",
      R"({"fetchedAt":1782734400})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","status":"ratelimited"})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","status":"RateLimited"})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","status":"paused"})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","status":1})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":{"percent":41}})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","allModels":{"resetsAt":"2026-06-29T12:00:00Z"}})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":{"percent":"41","resetsAt":"2026-06-29T12:00:00Z"}})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":{"percent":null,"resetsAt":"2026-06-29T12:00:00Z"}})",
      // Our writer never produces these, so they are not integers here.
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":{"percent":41.0,"resetsAt":"2026-06-29T12:00:00Z"}})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":{"percent":4.1e1,"resetsAt":"2026-06-29T12:00:00Z"}})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":{"percent":9223372036854775808,"resetsAt":"2026-06-29T12:00:00Z"}})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":[41,"2026-06-29T12:00:00Z"]})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":{"percent":41,"resetsAt":"tomorrow"}})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","subscriptionType":5})",
      R"({"fetchedAt":"2026-06-29T12:00:00Z","rateLimitTier":["x"]})",
  };
  for (const char *text : cases) {
    SCOPED_TRACE(text);
    EXPECT_THROW(decodeSnapshot(text), SnapshotFormatError);
  }
}

TEST(SnapshotJson, KeepsTheFullSixtyFourBitPercentRange) {
  const auto low = decodeSnapshot(
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":{"percent":-9223372036854775808,"resetsAt":"2026-06-29T12:00:00Z"}})");
  EXPECT_EQ(low.session->percent, std::numeric_limits<std::int64_t>::min());
  const auto high = decodeSnapshot(
      R"({"fetchedAt":"2026-06-29T12:00:00Z","session":{"percent":9223372036854775807,"resetsAt":"2026-06-29T12:00:00Z"}})");
  EXPECT_EQ(decodeSnapshot(encodeSnapshot(high)), high);
}

} // namespace
} // namespace quorbel
