#pragma once

#include "model/clock.hpp"
#include "runtime/helper_runtime.hpp"
#include "selfcheck/dry_test_reporter.hpp"
#include "selfcheck/fake_plan_usage_provider.hpp"
#include "store/snapshot_store.hpp"

#include <filesystem>
#include <memory>

namespace quorbel {

// What the scenarios share. They run in order, each starting from the state the previous one
// left in the runtime, the scripted provider and the main file.
struct DryTestContext {
  DryTestReporter &report;
  LogSink &out;
  const Clock &clock;
  std::shared_ptr<FakePlanUsageProvider> provider;
  std::shared_ptr<SnapshotStore> mainStore;
  HelperRuntime &runtime;
  std::filesystem::path coldFile;
};

// Removing a temporary file never fails the run: a file that is not there is the goal anyway.
void removeDryTestFile(const std::filesystem::path &path);

// The fixture the harness scripts its provider with before the first scenario.
PlanSnapshot dryTestSnapshotA();

// [1] to [9]: the refresh cycle, status publication and the store.
void runRuntimeScenarios(DryTestContext &context);

// [10] to [12]: the text form, with a compact writer of its own.
void runFormatScenarios(DryTestReporter &report, const Clock &clock);

} // namespace quorbel
