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
      {"\xEF\xBF\xBD 3.4.5 \xEF\xBF\xBD", "3.4.5"},
      // Only ASCII digits count; these are Arabic-Indic digits.
      {"\xD9\xA1.\xD9\xA2.\xD9\xA3", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ClaudeCodeVersion::parseVersion(c.text), c.expected);
  }
}

TEST(ClaudeCodeVersionDecode, ReplacesInvalidBytesAndTrimsUnicodeWhitespace) {
  const std::string replacement = "\xEF\xBF\xBD";
  struct Case {
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      {" \t2.1.3 (Claude Code)\r\n", "2.1.3 (Claude Code)"},
      {"\xE2\x80\x83\xC2\xA0"
       "1.2.3\xE3\x80\x80\xC2\x85",
       "1.2.3"}, // em, no-break, ideographic
      {"\xFF"
       "1.2.3",
       replacement + "1.2.3"},
      {"1.2.3 \xE2\x82", "1.2.3 " + replacement}, // truncated sequence: one replacement
      {"\xED\xA0\x80", replacement + replacement + replacement}, // encoded surrogate
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
      {" \n ", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(ClaudeCodeVersion::decodeAndTrim(c.bytes), c.expected);
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
    std::optional<std::string> output;
    std::string version; // as start-up chooses it
  };
  const std::string fallback(kFallbackClaudeCodeVersion);
  const Case cases[] = {
      {"version and name", "printf '2.1.3 (Claude Code)\\n'", "2.1.3 (Claude Code)", "2.1.3"},
      {"four numbers", "echo 1.2.3.4", "1.2.3.4", "1.2.3"},
      {"prefixed and suffixed", "echo v-1.2.3-beta", "v-1.2.3-beta", "1.2.3"},
      {"two numbers", "echo 1.2", "1.2", fallback},
      {"only whitespace", "printf '  \\n\\t\\n'", std::nullopt, fallback},
      {"invalid UTF-8 around a triple", "printf '\\377\\376 4.5.6 \\303'",
       "\xEF\xBF\xBD\xEF\xBF\xBD 4.5.6 \xEF\xBF\xBD", "4.5.6"},
      {"version then failure", "echo 3.3.3; exit 1", std::nullopt, fallback},
      {"standard error ignored", "echo noise >&2; echo 7.8.9", "7.8.9", "7.8.9"},
      {"sees the inherited environment", "echo \"$QUORBEL_PROBE_MARK\"", "5.5.5", "5.5.5"},
  };
  setenv("QUORBEL_PROBE_MARK", "5.5.5", 1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    installClaude(c.script);
    const std::optional<std::string> output = ClaudeCodeVersion::runClaudeVersion(5s);
    EXPECT_EQ(output, c.output);
    const std::optional<std::string> version =
        output ? ClaudeCodeVersion::parseVersion(*output) : std::nullopt;
    EXPECT_EQ(version.value_or(fallback), c.version);
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
