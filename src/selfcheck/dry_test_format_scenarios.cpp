#include "model/snapshot_json.hpp"
#include "selfcheck/dry_test_scenarios.hpp"

#include <string_view>

namespace quorbel {

namespace {

// A file as written before the status existed, byte for byte.
constexpr std::string_view kLegacyDocument =
    "{\n"
    "  \"allModels\" : { \"percent\" : 14, \"resetsAt\" : \"2026-06-30T12:00:00Z\" },\n"
    "  \"fetchedAt\" : \"2026-06-29T12:00:00Z\",\n"
    "  \"session\" : { \"percent\" : 41, \"resetsAt\" : \"2026-06-29T17:00:00Z\" },\n"
    "  \"subscriptionType\" : \"max\"\n"
    "}";
static_assert(kLegacyDocument.size() == 216);

constexpr std::int64_t kLegacySessionPercent = 41;

// The text-form scenarios use their own compact writer, apart from the store's pretty one.
PlanSnapshot roundTrip(const PlanSnapshot &value) {
  return decodeSnapshot(encodeSnapshot(value, JsonLayout::compact));
}

} // namespace

void runFormatScenarios(DryTestReporter &report, const Clock &clock) {
  report.title("[10] JSON round-trip carrying `status`");
  try {
    const PlanSnapshot written = dryTestSnapshotA().withStatus(PlanStatus::rateLimited);
    const PlanSnapshot read = roundTrip(written);
    report.check(read == written, "snapshot with status survives encode\u2192decode unchanged");
    report.check(read.status == PlanStatus::rateLimited, "decoded status preserved");
  } catch (const std::exception &) {
    report.check(false, "encode/decode of a status-bearing snapshot must not fail");
  }

  report.title("[11] pre-OBS-1 JSON (no `status` key) \u2192 effectiveStatus == .active");
  try {
    const PlanSnapshot legacy = decodeSnapshot(kLegacyDocument);
    report.check(!legacy.status.has_value(), "old file has no wire status");
    report.check(legacy.effectiveStatus() == PlanStatus::active,
                 "missing status defaults to .active");
    report.check(legacy.hasData(), "old file still exposes its two windows");
    report.check(legacy.session && legacy.session->percent == kLegacySessionPercent,
                 "old file's data decodes correctly");
  } catch (const std::exception &) {
    report.check(false, "a pre-OBS-1 file (no `status`) MUST still decode");
  }

  report.title("[12] data-less status file (no windows) decodes");
  try {
    const PlanSnapshot read =
        roundTrip(PlanSnapshot::dataless(PlanStatus::sessionInactive, clock.now()));
    report.check(read.status == PlanStatus::sessionInactive, "data-less sessionInactive decodes");
    report.check(!read.hasData(), "data-less snapshot has no windows");
  } catch (const std::exception &) {
    report.check(false, "a data-less status snapshot must round-trip");
  }
}

} // namespace quorbel
