#include "model/snapshot_json.hpp"
#include "support/command.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

using testing::runCommand;
using testing::ScopedTempDir;
using testing::writeFile;

class StatusCommandTest : public ::testing::Test {
protected:
  // A clean environment: only what the command may look at.
  std::string command(const std::string &arguments) const {
    return "env -i HOME='" + (temp_ / "home").string() + "' XDG_DATA_HOME='" +
           (temp_ / "data").string() + "' TZ=UTC " + QUORBEL_STATUS_BINARY + " " + arguments;
  }
  std::filesystem::path defaultFile() const {
    return temp_ / "data/QuorbelHelper/plan-snapshot.json";
  }
  void writeSnapshot(const std::filesystem::path &path, std::int64_t session) {
    std::filesystem::create_directories(path.parent_path());
    const Instant now = std::chrono::system_clock::now();
    writeFile(path,
              encodeSnapshot(PlanSnapshot{now, PlanWindow{session, now + std::chrono::hours(2)},
                                          PlanWindow{14, now + std::chrono::hours(50)}, "max",
                                          std::nullopt, PlanStatus::active}));
  }

  ScopedTempDir temp_;
  ScopedTempDir scratch_;
};

TEST_F(StatusCommandTest, ReadsTheHelpersDefaultLocationOrTheGivenFile) {
  writeSnapshot(defaultFile(), 41);
  writeSnapshot(temp_ / "other.json", 77);

  auto result = runCommand(command(""), scratch_);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out, "5h 41% \u00b7 7d 14%\n");
  EXPECT_EQ(result.err, "") << "a bar must not collect warnings";

  result = runCommand(command("--file '" + (temp_ / "other.json").string() + "' --format waybar"),
                      scratch_);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  const auto waybar = nlohmann::json::parse(result.out);
  EXPECT_EQ(waybar.at("percentage"), 77);
  EXPECT_EQ(waybar.at("class"), nlohmann::json::array({"ok"}));

  result = runCommand(command("--format=json --warn 70 --critical 76 --file '" +
                              (temp_ / "other.json").string() + "'"),
                      scratch_);
  EXPECT_EQ(nlohmann::json::parse(result.out).at("class"), "critical");
}

TEST_F(StatusCommandTest, MissingAndCorruptFilesFailClearlyButKeepTheBarWellFormed) {
  struct Case {
    const char *name;
    const char *content; // nullptr: no file
    int exitStatus;
  };
  for (const Case c : {Case{"missing", nullptr, 3}, Case{"corrupt", "{\"fetchedAt\": 1", 4}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(temp_ / "data");
    if (c.content != nullptr) {
      std::filesystem::create_directories(defaultFile().parent_path());
      writeFile(defaultFile(), c.content);
    }
    // waybar hides a module whose command fails, so its format succeeds whenever it printed.
    auto result = runCommand(command("--format waybar"), scratch_);
    EXPECT_EQ(result.exitStatus, 0);
    ASSERT_TRUE(nlohmann::json::accept(result.out)) << result.out;
    EXPECT_EQ(nlohmann::json::parse(result.out).at("class"),
              nlohmann::json::array({"unavailable"}));
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1);
    EXPECT_NE(result.err.find(defaultFile().string()), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;

    result = runCommand(command(""), scratch_);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.out, "Claude ?\n");
    EXPECT_EQ(runCommand(command("--format json"), scratch_).exitStatus, c.exitStatus);
  }
}

// Bars started by the user manager have no ~/.local/bin on their PATH; the snippets must not
// need it. Each runs as the bar runs it, through sh -c.
TEST_F(StatusCommandTest, TheReadmeSnippetsRunAsWrittenWithoutLocalBinOnThePath) {
  writeSnapshot(defaultFile(), 41);
  const auto installed = temp_ / "home/.local/bin/quorbel-status";
  std::filesystem::create_directories(installed.parent_path());
  std::filesystem::create_symlink(QUORBEL_STATUS_BINARY, installed);
  const std::string readme = testing::readFile(std::string(QUORBEL_SOURCE_DIR) + "/README.md");
  struct Snippet {
    const char *text;    // as it stands in the README
    const char *command; // what the bar hands to sh -c
    bool json;
  };
  const Snippet snippets[] = {
      {R"("exec": "~/.local/bin/quorbel-status --format waybar")",
       "~/.local/bin/quorbel-status --format waybar", true},
      {"exec = ~/.local/bin/quorbel-status\n", "~/.local/bin/quorbel-status", false},
      {"command=~/.local/bin/quorbel-status\n", "~/.local/bin/quorbel-status", false},
      {"'#(~/.local/bin/quorbel-status) %H:%M'", "~/.local/bin/quorbel-status", false},
      {R"("command": "~/.local/bin/quorbel-status")", "~/.local/bin/quorbel-status", false},
  };
  for (const auto &snippet : snippets) {
    SCOPED_TRACE(snippet.text);
    EXPECT_NE(readme.find(snippet.text), std::string::npos);
    const auto result = runCommand("env -i HOME='" + (temp_ / "home").string() +
                                       "' XDG_DATA_HOME='" + (temp_ / "data").string() +
                                       "' PATH=/usr/bin:/bin sh -c '" + snippet.command + "'",
                                   scratch_);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;
    if (snippet.json) {
      EXPECT_TRUE(nlohmann::json::accept(result.out)) << result.out;
    } else {
      EXPECT_EQ(result.out, "5h 41% \u00b7 7d 14%\n");
    }
  }
}

TEST_F(StatusCommandTest, ArgumentErrorsPrintUsageAndExitTwo) {
  for (const char *arguments :
       {"--format yaml", "--warn 101", "--critical 101", "--warn 90 --critical 80",
        "--stale-after soon", "--bogus", "extra", "--file ''", "--critical", "--watch --notify"}) {
    SCOPED_TRACE(arguments);
    const auto result = runCommand(command(arguments), scratch_);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.err.find("Usage: quorbel-status"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

} // namespace
} // namespace quorbel
