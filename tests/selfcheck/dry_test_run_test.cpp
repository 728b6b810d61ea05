#include "selfcheck/dry_test_run.hpp"
#include "support/capturing_log.hpp"
#include "support/temp_dir.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using testing::CapturingLog;
using testing::linesOf;
using testing::ScopedTempDir;

bool startsWith(const std::string &text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

constexpr std::string_view kPass = "  \u2705 ";
constexpr std::string_view kFail = "  \u274C ";

TEST(PerUserTemporaryDirectory, FallsBackOnlyWhenTmpdirIsUnsetOrEmpty) {
  struct Case {
    std::optional<std::string> tmpdir;
    fs::path expected;
  };
  const Case cases[] = {
      {std::nullopt, "/tmp"},
      {"", "/tmp"},
      {"/var/tmp/user", "/var/tmp/user"},
      {"/no/such/directory", "/no/such/directory"},
      {" ", " "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.tmpdir.value_or("(unset)"));
    EXPECT_EQ(perUserTemporaryDirectory(c.tmpdir), c.expected);
  }
  const auto files = DryTestFiles::in("/some/dir", 4012);
  EXPECT_EQ(files.main, fs::path("/some/dir/quorbel-drytest-4012.json"));
  EXPECT_EQ(files.cold, fs::path("/some/dir/quorbel-drytest-cold-4012.json"));
}

class DryTestRun : public ::testing::Test {
protected:
  bool run(const fs::path &directory) {
    return runDryTests(DryTestFiles::in(directory, kPid), sink_);
  }
  std::vector<std::string> lines() const { return linesOf(sink_.text()); }
  std::string text() const { return sink_.text(); }

  static constexpr long kPid = 31337;
  ScopedTempDir temp_;
  CapturingLog sink_;
};

TEST_F(DryTestRun, AllFortyThreeChecksPassAndNothingIsLeftBehind) {
  EXPECT_TRUE(run(temp_.path())) << text();

  const auto all = lines();
  const std::vector<std::string> opening{
      "== QuorbelHelper dry tests (NO NETWORK) ==",
      "",
      "[1] 200 \u2192 memory + disk",
      "[RefreshCycle] 200: snapshot updated and written to disk (5h=37%, 7d=13%).",
      "  \u2705 result is .updated",
      "  \u2705 lastSnapshot retained in memory",
  };
  ASSERT_GE(all.size(), opening.size());
  EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + long(opening.size())), opening);
  EXPECT_TRUE(text().ends_with("\n\n== Result: ALL PASSED \u2705 ==\n")) << text();

  // Checks per scenario, in the documented order; a title is the line after an empty one.
  std::vector<std::pair<std::string, int>> scenarios;
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (all[i - 1].empty() && startsWith(all[i], "[")) {
      scenarios.emplace_back(all[i].substr(0, all[i].find(' ')), 0);
    } else if (startsWith(all[i], kPass) || startsWith(all[i], kFail)) {
      ASSERT_FALSE(scenarios.empty()) << all[i];
      ++scenarios.back().second;
    }
  }
  const std::vector<std::pair<std::string, int>> expected{
      {"[1]", 4},  {"[2]", 7}, {"[3]", 1}, {"[4]", 2}, {"[5]", 3},  {"[6]", 5},  {"[6b]", 3},
      {"[6c]", 1}, {"[7]", 1}, {"[8]", 2}, {"[9]", 6}, {"[10]", 2}, {"[11]", 4}, {"[12]", 2}};
  EXPECT_EQ(scenarios, expected);
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](auto &l) { return startsWith(l, kPass); }),
            43);
  EXPECT_EQ(text().find(kFail), std::string::npos);
  EXPECT_TRUE(fs::is_empty(temp_.path()));
}

TEST_F(DryTestRun, FilesLeftByAnEarlierRunWithTheSamePidAreRemovedFirst) {
  // A leftover cold file would fail "no file before run()"; neither file may outlive the run.
  const auto files = DryTestFiles::in(temp_.path(), kPid);
  for (const auto &path : {files.main, files.cold}) {
    std::ofstream(path) << "{\"fetchedAt\":\"2020-01-01T00:00:00Z\",\"status\":\"noData\"}";
  }
  EXPECT_TRUE(run(temp_.path())) << text();
  EXPECT_TRUE(fs::is_empty(temp_.path()));
}

TEST_F(DryTestRun, UnusableTemporaryDirectoryFailsExactlyTheChecksThatReadAFile) {
  // Running as root, permissions stop nothing; a regular file as parent does.
  const fs::path blocker = temp_.path() / "not-a-directory";
  std::ofstream(blocker) << "x";
  EXPECT_FALSE(run(blocker / "tmp"));

  const std::vector<std::string> expectedFailures{
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
  std::vector<std::string> failedLines;
  std::vector<std::string> listed;
  int passed = 0;
  for (const auto &line : lines()) {
    if (startsWith(line, kFail)) {
      failedLines.push_back(line.substr(kFail.size()));
    } else if (startsWith(line, kPass)) {
      ++passed;
    } else if (startsWith(line, "   - ")) {
      listed.push_back(line.substr(5));
    }
  }
  EXPECT_EQ(failedLines, expectedFailures);
  EXPECT_EQ(listed, expectedFailures);
  EXPECT_EQ(passed, 43 - int(expectedFailures.size()));
  EXPECT_NE(text().find("\n\n== Result: FAILED \u274C (16) ==\n   - snapshot written"),
            std::string::npos)
      << text();
  // The runtime's own failure lines stay in the report, between titles and checks.
  EXPECT_NE(text().find("[RefreshCycle] 200: snapshot updated in memory but disk write FAILED: "),
            std::string::npos);
}

} // namespace
} // namespace quorbel
