#include "model/snapshot_json.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

Instant at(const char *text) { return *PlanDateParser::dateFrom(text); }

const PlanSnapshot kFull{at("2026-06-29T12:00:00Z"),
                         PlanWindow{41, at("2026-06-29T17:00:00Z")},
                         PlanWindow{14, at("2026-06-30T12:00:00Z")},
                         "max",
                         "default_claude_max_20x",
                         PlanStatus::rateLimited};

// The file as the README shows it.
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

const std::string kHead = R"({"fetchedAt":"2026-06-29T12:00:00Z",)";

TEST(SnapshotJson, WritesTheFileLayoutByteForByte) {
  EXPECT_EQ(encodeSnapshot(kFull), kFullText);
  PlanSnapshot models = PlanSnapshot::dataless(PlanStatus::sessionInactive,
                                               at("2026-06-29T12:00:00Z"), InactiveReason::expired);
  models.modelWindows = {{"Sonnet", 3, std::nullopt}};
  EXPECT_EQ(encodeSnapshot(models),
            "{\n  \"fetchedAt\" : \"2026-06-29T12:00:00Z\",\n  \"inactiveReason\" : \"expired\",\n"
            "  \"modelWindows\" : [\n"
            "    {\n      \"model\" : \"Sonnet\",\n      \"percent\" : 3\n    }\n"
            "  ],\n  \"status\" : \"sessionInactive\"\n}");
  // A reason belongs to sessionInactive alone: no other status inherits one.
  EXPECT_EQ(encodeSnapshot(models.withStatus(PlanStatus::rateLimited), JsonLayout::compact),
            kHead + R"("modelWindows":[{"model":"Sonnet","percent":3}],"status":"rateLimited"})");
}

TEST(SnapshotJson, ReadsWhatItWritesAndWhatOlderOrOtherWritersMay) {
  PlanSnapshot snapshot = kFull;
  snapshot.modelWindows = {{"Opus", 100, at("2026-07-01T07:00:00Z")}, {"Sonnet", 3, std::nullopt}};
  snapshot.subscriptionType = "a\"b\\c\n\x01/é";
  snapshot.status.reset(); // as in files written before the status existed
  snapshot.extraUsage = ExtraUsage{"JPY", 0, 1200, std::nullopt};
  for (const auto layout : {JsonLayout::pretty, JsonLayout::compact}) {
    EXPECT_EQ(decodeSnapshot(encodeSnapshot(snapshot, layout)), snapshot);
  }
  for (const auto reason : {InactiveReason::expired, InactiveReason::missing,
                            InactiveReason::rejected, InactiveReason::unreadable}) {
    const auto inactive = snapshot.withStatus(PlanStatus::sessionInactive, reason);
    EXPECT_EQ(decodeSnapshot(encodeSnapshot(inactive)), inactive);
  }
  // A newer helper may give a reason this one does not know: the file still reads, without it.
  EXPECT_EQ(decodeSnapshot(kHead + R"("status":"sessionInactive","inactiveReason":"napping"})"),
            PlanSnapshot::dataless(PlanStatus::sessionInactive, at("2026-06-29T12:00:00Z")));
  // Null is absent, as in files written before a member existed. Readers must also accept an
  // escaped slash, and offsets and fractions we never write.
  EXPECT_EQ(decodeSnapshot(R"({"fetchedAt":"2026-06-29T14:00:00.5+02:00","status":null,)"
                           R"("session":null,"allModels":null,"subscriptionType":"a\/b",)"
                           R"("rateLimitTier":null,"modelWindows":null,"inactiveReason":null,)"
                           R"("future":{"x":[1]}})"),
            (PlanSnapshot{at("2026-06-29T12:00:00.5Z"), {}, {}, "a/b", {}, {}}));
}

// The money is an aside: a member this reader cannot take is dropped and the windows still show.
TEST(SnapshotJson, DropsExtraUsageThatDoesNotReadAndKeepsTheRest) {
  const std::string tail = R"(},"session":{"percent":41,"resetsAt":"2026-06-29T17:00:00Z"}})";
  EXPECT_EQ(decodeSnapshot(kHead + R"("extraUsage":{"currency":"EUR","exponent":3,"used":0)" + tail)
                .extraUsage,
            (ExtraUsage{"EUR", 3, 0, std::nullopt}));
  for (const std::string money :
       {R"("currency":"eur","exponent":2,"used":1)", R"("currency":"EURO","exponent":2,"used":1)",
        R"("exponent":2,"used":1)", R"("currency":"EUR","used":1)",
        R"("currency":"EUR","exponent":2)", R"("currency":"EUR","exponent":5,"used":1)",
        R"("currency":"EUR","exponent":-1,"used":1)", R"("currency":"EUR","exponent":2,"used":-1)",
        R"("currency":"EUR","exponent":2,"used":1.5)",
        R"("currency":"EUR","exponent":2,"used":1000000000000000001)",
        R"("currency":"EUR","exponent":2,"used":1,"limit":"9")",
        R"("currency":"EUR","exponent":2,"used":1,"limit":-9)"}) {
    SCOPED_TRACE(money);
    const PlanSnapshot snapshot = decodeSnapshot(kHead + R"("extraUsage":{)" + money + tail);
    EXPECT_EQ(snapshot.extraUsage, std::nullopt);
    EXPECT_EQ(snapshot.session, (PlanWindow{41, at("2026-06-29T17:00:00Z")}));
  }
}

TEST(SnapshotJson, RejectsTheWholeFileOnAnyBrokenRule) {
  for (const char *text : {"[]", R"({"fetchedAt":"2026-06-29T12:00:00Z"} x)", R"({"fetchedAt":1})",
                           R"({"fetchedAt":"2026-06-29"})", R"({"session":null})"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(decodeSnapshot(text), SnapshotFormatError);
  }
  // Our writer never writes 41.0 or a number beyond 64 bits, so they are not integers here.
  for (const std::string member :
       {R"("status":"ratelimited")", R"("status":1)", R"("inactiveReason":["expired"])",
        R"("session":{"percent":41})", R"("allModels":{"resetsAt":"2026-06-29T12:00:00Z"})",
        R"("session":[41])", R"("session":{"percent":41,"resetsAt":"soon"})",
        R"("subscriptionType":5)", R"("rateLimitTier":["x"])",
        R"("session":{"percent":"41","resetsAt":"2026-06-29T12:00:00Z"})",
        R"("session":{"percent":41.0,"resetsAt":"2026-06-29T12:00:00Z"})",
        R"("session":{"percent":9223372036854775808,"resetsAt":"2026-06-29T12:00:00Z"})",
        R"("modelWindows":{})", R"("modelWindows":[1])", R"("modelWindows":[{"percent":1}])",
        R"("modelWindows":[{"model":"O"}])", R"("modelWindows":[{"model":1,"percent":1}])",
        R"("modelWindows":[{"model":"O","percent":1.5}])",
        R"("modelWindows":[{"model":"O","percent":1,"resetsAt":"soon"}])"}) {
    SCOPED_TRACE(member);
    EXPECT_THROW(decodeSnapshot(kHead + member + "}"), SnapshotFormatError);
  }
}

} // namespace
} // namespace quorbel
