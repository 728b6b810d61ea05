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

std::string withSession(const std::string &percent) {
  return kHead + R"("session":{"percent":)" + percent + R"(,"resetsAt":"2026-06-29T17:00:00Z"}})";
}

TEST(SnapshotJson, WritesTheFileLayoutByteForByte) {
  EXPECT_EQ(encodeSnapshot(kFull), kFullText);
  for (const std::string raw : {"active", "rateLimited", "sessionInactive", "noData"}) {
    const std::string text = kHead + R"("status":")" + raw + "\"}";
    EXPECT_EQ(encodeSnapshot(decodeSnapshot(text), JsonLayout::compact), text);
  }
  PlanSnapshot models = PlanSnapshot::dataless(PlanStatus::noData, at("2026-06-29T12:00:00Z"));
  models.modelWindows = {{"Sonnet", 3, std::nullopt}};
  EXPECT_EQ(encodeSnapshot(models),
            "{\n  \"fetchedAt\" : \"2026-06-29T12:00:00Z\",\n  \"modelWindows\" : [\n"
            "    {\n      \"model\" : \"Sonnet\",\n      \"percent\" : 3\n    }\n"
            "  ],\n  \"status\" : \"noData\"\n}");
}

TEST(SnapshotJson, ReadsBackWhatItWritesButCutsFractions) {
  PlanSnapshot snapshot = kFull;
  snapshot.modelWindows = {{"Opus", 100, at("2026-07-01T07:00:00Z")}, {"Sonnet", 3, std::nullopt}};
  snapshot.subscriptionType = "a\"b\\c\n\x01/é";
  for (const auto layout : {JsonLayout::pretty, JsonLayout::compact}) {
    EXPECT_EQ(decodeSnapshot(encodeSnapshot(snapshot, layout)), snapshot);
  }
  EXPECT_NE(encodeSnapshot(snapshot).find(R"("a\"b\\c\n\u0001/é")"), std::string::npos);
  snapshot = kFull;
  snapshot.fetchedAt += std::chrono::milliseconds(250);
  snapshot.session->resetsAt += std::chrono::microseconds(1);
  EXPECT_EQ(decodeSnapshot(encodeSnapshot(snapshot)), kFull);
}

TEST(SnapshotJson, AcceptsOlderFilesNullsAndUnknownMembers) {
  // Written before the status, the tier and the model windows existed.
  EXPECT_EQ(decodeSnapshot(withSession("41")),
            (PlanSnapshot{kFull.fetchedAt, kFull.session, {}, {}, {}, {}}));
  // Readers must also accept an escaped slash, and offsets and fractions we never write.
  EXPECT_EQ(decodeSnapshot(R"({"fetchedAt":"2026-06-29T14:00:00.5+02:00","status":null,)"
                           R"("session":null,"allModels":null,"subscriptionType":"a\/b",)"
                           R"("rateLimitTier":null,"modelWindows":null,"future":{"x":[1]}})"),
            (PlanSnapshot{at("2026-06-29T12:00:00.5Z"), {}, {}, "a/b", {}, {}}));
}

TEST(SnapshotJson, RejectsTheWholeFileOnAnyBrokenRule) {
  const std::string models = kHead + R"("modelWindows":)";
  const std::string cases[] = {
      "[]", R"({"fetchedAt":"2026-06-29T12:00:00Z"} x)", R"({"fetchedAt":"2026-06-29"})",
      R"({"fetchedAt":1782734400})",
      R"({"session":{"percent":1,"resetsAt":"2026-06-29T12:00:00Z"}})",
      kHead + R"("status":"ratelimited"})", kHead + R"("status":1})",
      kHead + R"("session":{"percent":41}})",
      kHead + R"("allModels":{"resetsAt":"2026-06-29T12:00:00Z"}})",
      kHead + R"("session":{"percent":41,"resetsAt":"tomorrow"}})", kHead + R"("session":[41]})",
      kHead + R"("subscriptionType":5})", kHead + R"("rateLimitTier":["x"]})",
      // Our writer never writes the last two, so they are not integers here.
      withSession("\"41\""), withSession("9223372036854775808"), withSession("41.0"),
      models + "{}}", models + "[1]}", models + R"([{"percent":1}]})",
      models + R"([{"model":"O"}]})", models + R"([{"model":1,"percent":1}]})",
      models + R"([{"model":"O","percent":1.5}]})",
      models + R"([{"model":"O","percent":1,"resetsAt":"soon"}]})"};
  for (const auto &text : cases) {
    SCOPED_TRACE(text);
    EXPECT_THROW(decodeSnapshot(text), SnapshotFormatError);
  }
}

} // namespace
} // namespace quorbel
