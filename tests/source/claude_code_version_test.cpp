#include "source/claude_code_version.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(ClaudeCodeVersionParse, FindsTheLeftmostTriple) {
  struct Case {
    std::string text;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"2.1.3 (Claude Code)", "2.1.3"},
      {"1.2.3.4", "1.2.3"},
      {"v-1.2.3-beta", "1.2.3"},
      {"12.345.6789", "12.345.6789"},
      {"version 1.2.x then 3.4.5 and 6.7.8", "3.4.5"},
      {"1.2", std::nullopt},
      {"1..2.3", std::nullopt},
      {"1.2.3.", "1.2.3"},
      {".1.2.3", "1.2.3"},
      {"x10.20.30y", "10.20.30"},
      {"Claude Code\n2.1.3\n9.9.9\n", "2.1.3"},
      // Bytes that are not ASCII neither match nor stop the search.
      {"\xFF\xFE 4.5.6 \xC3", "4.5.6"},
      {"1\xC2\xB7"
       "2.3.4",
       "2.3.4"},
      // Only ASCII digits count; these are Arabic-Indic digits.
      {"\xD9\xA1.\xD9\xA2.\xD9\xA3", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ClaudeCodeVersion::parseVersion(c.text), c.expected);
  }
}

class ClaudeVersionProbeTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quorbel-probe-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    if (const char *path = std::getenv("PATH")) {
      oldPath_ = path;
    }
  }
  void TearDown() override {
    restorePath();
    fs::remove_all(dir_);
  }

  // Installs `body` as the "claude" program first on PATH.
  void installClaude(const std::string &body) {
    const fs::path bin = dir_ / "bin";
    fs::create_directories(bin);
    const fs::path script = bin / "claude";
    std::ofstream(script) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(script, fs::perms::owner_all);
    setPath(bin.string() + ":" + oldPath_.value_or("/usr/bin:/bin"));
  }

  void setPath(const std::string &value) { setenv("PATH", value.c_str(), 1); }
  void restorePath() {
    if (oldPath_) {
      setenv("PATH", oldPath_->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

  fs::path dir_;
  std::optional<std::string> oldPath_;
};

TEST_F(ClaudeVersionProbeTest, RunsTheInstalledCli) {
  struct Case {
    const char *name;
    std::string script;
    std::string version; // as start-up chooses it
  };
  const std::string fallback(kFallbackClaudeCodeVersion);
  const Case cases[] = {
      {"version and name", "printf '2.1.3 (Claude Code)\\n'", "2.1.3"},
      {"two numbers", "echo 1.2", fallback},
      {"only whitespace", "printf '  \\n\\t\\n'", fallback},
      {"invalid UTF-8 around a triple", "printf '\\377\\376 4.5.6 \\303'", "4.5.6"},
      {"version then failure", "echo 3.3.3; exit 1", fallback},
      {"standard error ignored", "echo 1.1.1 >&2; echo 7.8.9", "7.8.9"},
      {"sees the inherited environment", "echo \"$QUORBEL_PROBE_MARK\"", "5.5.5"},
  };
  setenv("QUORBEL_PROBE_MARK", "5.5.5", 1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    installClaude(c.script);
    EXPECT_EQ(ClaudeCodeVersion::runClaudeVersion(5s).value_or(fallback), c.version);
  }
  unsetenv("QUORBEL_PROBE_MARK");
}

TEST_F(ClaudeVersionProbeTest, MissingCliYieldsNothing) {
  fs::create_directories(dir_ / "empty");
  setPath((dir_ / "empty").string());
  EXPECT_EQ(ClaudeCodeVersion::runClaudeVersion(5s), std::nullopt);
}

TEST_F(ClaudeVersionProbeTest, HungCliIsKilledAndReaped) {
  const fs::path pidFile = dir_ / "pid";
  installClaude("echo $$ > '" + pidFile.string() + "'; echo 9.9.9; exec sleep 60");
  EXPECT_EQ(ClaudeCodeVersion::runClaudeVersion(300ms), std::nullopt);

  pid_t pid = 0;
  std::ifstream(pidFile) >> pid;
  ASSERT_GT(pid, 0);
  // Reaped, not merely signalled: the pid no longer names any process, not even a zombie.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST_F(ClaudeVersionProbeTest, CliLeavingItsOutputOpenIsBounded) {
  // A background helper keeps the pipe open after the CLI itself has exited.
  installClaude("echo 1.2.3; sleep 60 &");
  EXPECT_EQ(ClaudeCodeVersion::runClaudeVersion(300ms), std::nullopt);
}

} // namespace
} // namespace quorbel
