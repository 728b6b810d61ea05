#include "selfcheck/dry_test_run.hpp"
#include "support/capturing_log.hpp"
#include "support/temp_dir.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;

TEST(PerUserTemporaryDirectory, FallsBackOnlyWhenTmpdirIsUnsetOrEmpty) {
  const std::pair<std::optional<std::string>, fs::path> cases[] = {
      {std::nullopt, "/tmp"}, {"", "/tmp"}, {"/no/such/dir", "/no/such/dir"}, {" ", " "}};
  for (const auto &[tmpdir, expected] : cases) {
    SCOPED_TRACE(tmpdir.value_or("(unset)"));
    EXPECT_EQ(perUserTemporaryDirectory(tmpdir), expected);
  }
}

// The executable's tests see the report's frame; here, which checks it runs and names.
TEST(DryTestRun, PassesOverLeftoversAndFailsExactlyTheChecksThatReadAFile) {
  testing::ScopedTempDir temp;
  const auto files = DryTestFiles::in(temp.path(), 31337);
  // A leftover cold file would fail "no file before run()".
  for (const auto &path : {files.main, files.cold}) {
    testing::writeFile(path, R"({"fetchedAt":"2020-01-01T00:00:00Z","status":"noData"})");
  }
  testing::CapturingLog passing;
  EXPECT_TRUE(runDryTests(files, passing)) << passing.text();
  EXPECT_TRUE(passing.text().starts_with("== QuorbelHelper dry tests (NO NETWORK) ==\n\n[1] 200 "
                                         "\u2192 memory + disk\n[RefreshCycle] 200: snapshot "
                                         "updated and written to disk (5h=37%, 7d=13%).\n"));
  EXPECT_TRUE(fs::is_empty(temp.path()));

  // Root ignores permissions, but no one can create a file under a regular file.
  testing::writeFile(temp / "file", "x");
  testing::CapturingLog failing;
  EXPECT_FALSE(runDryTests(DryTestFiles::in(temp / "file", 31337), failing));
  const std::vector<std::string> expected{
      "snapshot written to disk and reloads identically",
      "OBS-1: disk now carries status=rateLimited",
      "429 disk retains the last data (session)",
      "429 disk retains the last data (weekly)",
      "429 does NOT age the data (fetchedAt preserved)",
      "disk updated to snapshot B",
      "OBS-1: disk carries status=sessionInactive",
      "sessionInactive disk retains last data",
      "OBS-1: 401 disk carries status=sessionInactive",
      "transient error does NOT flip the on-disk status",
      "load() reproduces the last DATA (seeds run())",
      "load() reproduces the last STATUS",
      ".noData marker written on cold start",
      ".noData marker carries no windows",
      "cold + signed-out first tick publishes data-less sessionInactive",
      "signed-out cold start has no bars to show",
  };
  std::vector<std::string> failed, listed;
  std::size_t passed = 0;
  for (const auto &line : testing::linesOf(failing.text())) {
    if (line.starts_with("  \u274C ")) {
      failed.push_back(line.substr(std::string_view("  \u274C ").size()));
    } else if (line.starts_with("   - ")) {
      listed.push_back(line.substr(5));
    }
    passed += line.starts_with("  \u2705 ");
  }
  EXPECT_EQ(failed, expected);
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(passed + expected.size(), 43u);
  // The runtime's own failure lines stay in the report, between titles and checks.
  EXPECT_NE(failing.text().find("[RefreshCycle] 200: snapshot updated in memory but disk write "
                                "FAILED: "),
            std::string::npos);
}

} // namespace
} // namespace quorbel
