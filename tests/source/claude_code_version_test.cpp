#include "source/claude_code_version.hpp"
#include "support/deadline.hpp"
#include "support/scoped_environment.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace ClaudeCodeVersion;

TEST(ClaudeCodeVersionParse, FindsTheLeftmostTriple) {
  // Bytes that are not ASCII neither match nor stop the search.
  EXPECT_EQ(parseVersion("\xFF\xFE 1.2.x then x13.40.5.6y \xC3 7.8.9"), "13.40.5");
  // Two numbers are no version, and Arabic-Indic digits are not digits here.
  EXPECT_EQ(parseVersion("1..2.3 or 4.5 or \xD9\xA1.\xD9\xA2.\xD9\xA3"), std::nullopt);
}

TEST(ClaudeVersionProbeTest, RunsTheInstalledCliWithinItsTimeLimit) {
  const testing::ScopedTempDir temp;
  const testing::ScopedEnvironment path("PATH", (temp.path().string() + ":/usr/bin:/bin").c_str());
  const testing::ScopedEnvironment mark("QUORBEL_PROBE_MARK", "2.1.3");
  const std::string pids = (temp / "pids").string();
  const struct {
    const char *name;
    std::string script;
    std::optional<std::string> version;
  } cases[] = {
      // Standard error is not read, and the CLI sees the helper's environment.
      {"version", "echo 1.1.1 >&2; echo \"$QUORBEL_PROBE_MARK (Claude Code)\"", "2.1.3"},
      {"version then failure", "echo 3.3.3; exit 1", std::nullopt},
      // With a background helper that keeps the output open too.
      {"hung", "sleep 60 & echo $! $$ >'" + pids + "'; echo 9.9.9; exec sleep 60", std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    testing::writeFile(temp / "claude", "#!/bin/sh\n" + c.script + "\n");
    fs::permissions(temp / "claude", fs::perms::owner_all);
    EXPECT_EQ(testing::finishesWithin("the probe", [] { return runClaudeVersion(2s); }), c.version);
  }
  pid_t helper = 0, cli = 0;
  std::ifstream(pids) >> helper >> cli;
  ASSERT_GT(helper, 0);
  // Reaped, not merely signalled: the pid no longer names any process, not even a zombie.
  EXPECT_TRUE(::kill(cli, 0) == -1 && errno == ESRCH);
  // The helper is not ours to reap: dead is enough, gone or a zombie.
  EXPECT_TRUE(testing::eventually([&] {
    std::string state;
    std::ifstream(fs::path("/proc") / std::to_string(helper) / "stat") >> state >> state >> state;
    return state.empty() || state == "Z";
  }));
}

} // namespace
} // namespace quorbel
