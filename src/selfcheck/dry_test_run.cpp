#include "selfcheck/dry_test_run.hpp"

#include "platform/environment.hpp"

#include "selfcheck/dry_test_scenarios.hpp"

#include <string>
#include <system_error>
#include <unistd.h>

namespace quorbel {

namespace {

// The scripted provider is not the live client, so this cadence stands and ticks return it.
constexpr double kDryTestInterval = 1;

} // namespace

void removeDryTestFile(const std::filesystem::path &path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

DryTestFiles DryTestFiles::in(const std::filesystem::path &directory, long processId) {
  const std::string pid = std::to_string(processId);
  return {directory / ("quorbel-drytest-" + pid + ".json"),
          directory / ("quorbel-drytest-cold-" + pid + ".json")};
}

std::filesystem::path perUserTemporaryDirectory(const std::optional<std::string> &tmpdir) {
  if (tmpdir && !tmpdir->empty()) {
    return *tmpdir;
  }
  return "/tmp";
}

bool runDryTests(const DryTestFiles &files, LogSink &out, const Clock &clock) {
  DryTestReporter report(out);
  report.line("== QuorbelHelper dry tests (NO NETWORK) ==");

  // A file left by an earlier run with the same pid must not pass for this run's output.
  removeDryTestFile(files.main);
  {
    auto mainStore = std::make_shared<SnapshotStore>(files.main);
    auto provider =
        std::make_shared<FakePlanUsageProvider>(FakePlanUsageProvider::success(dryTestSnapshotA()));
    HelperRuntime runtime(provider, mainStore, kDryTestInterval, out, clock);

    DryTestContext context{report, out, clock, provider, mainStore, runtime, files.cold};
    runRuntimeScenarios(context);
    runFormatScenarios(report, clock);
  }
  removeDryTestFile(files.main);

  const auto &failures = report.failures();
  report.title(failures.empty()
                   ? "== Result: ALL PASSED \u2705 =="
                   : "== Result: FAILED \u274C (" + std::to_string(failures.size()) + ") ==");
  for (const auto &label : failures) {
    report.line("   - " + label);
  }
  return failures.empty();
}

bool runDryTests() {
  const auto directory = perUserTemporaryDirectory(environmentValue("TMPDIR"));
  return runDryTests(DryTestFiles::in(directory, static_cast<long>(::getpid())));
}

} // namespace quorbel
