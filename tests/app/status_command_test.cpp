#include "model/snapshot_json.hpp"
#include "support/command.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

std::string snapshotAt(std::int64_t session) {
  const Instant now = std::chrono::system_clock::now();
  return encodeSnapshot(PlanSnapshot{now, PlanWindow{session, now + std::chrono::hours(2)},
                                     PlanWindow{14, now + std::chrono::hours(50)}, "max",
                                     std::nullopt, PlanStatus::active});
}

TEST(StatusCommandTest, ServesBarsAsTheReadmeRunsItAndFailsClearly) {
  const std::string readme = testing::readFile(std::string(QUORBEL_SOURCE_DIR) + "/README.md");
  for (const char *snippet :
       {R"("exec": "~/.local/bin/quorbel-status --format waybar")",
        "exec = ~/.local/bin/quorbel-status\n", "command=~/.local/bin/quorbel-status\n",
        "'#(~/.local/bin/quorbel-status) %H:%M'", R"("command": "~/.local/bin/quorbel-status")"}) {
    EXPECT_NE(readme.find(snippet), std::string::npos) << snippet;
  }
  testing::ScopedTempDir temp;
  const auto installed = temp / "home/.local/bin/quorbel-status";
  std::filesystem::create_directories(installed.parent_path());
  std::filesystem::create_symlink(QUORBEL_STATUS_BINARY, installed);
  // As a bar runs it: through sh -c, in a bare environment without ~/.local/bin on the PATH.
  const auto run = [&](const std::string &arguments) {
    return testing::runCommand("env -i HOME='" + (temp / "home").string() +
                                   "' PATH=/usr/bin:/bin sh -c '~/.local/bin/quorbel-status " +
                                   arguments + "'",
                               temp);
  };
  const auto file = temp / "home/.local/share/QuorbelHelper/plan-snapshot.json";
  const std::string other = (temp / "other.json").string();
  testing::writeFile(other, snapshotAt(77));
  const std::string missing =
      "quorbel-status: no snapshot at " + file.string() + " yet; is QuorbelHelper running?\n";
  const std::string unreadable =
      "quorbel-status: cannot read a snapshot from " + file.string() + "\n";
  const std::string corrupt = "{\"fetchedAt\": 1";
  const struct {
    std::string file; // the default file's content; none when empty
    std::string arguments;
    int exitStatus;
    std::string out; // all of it, or a part of a JSON line
    std::string err;
  } cases[] = {
      {snapshotAt(41), "", 0, "5h 41% · 7d 14%\n", ""},
      {"", "--format waybar --file=" + other, 0, R"("class":["ok"],"percentage":77)", ""},
      {"", "--format=json --warn 70 --critical 77 --file=" + other, 0, R"("class":"critical")", ""},
      {"", "", 3, "Claude ?\n", missing},
      // waybar hides a module whose command fails, so its format succeeds whenever it printed.
      {"", "--format waybar", 0, R"("class":["unavailable"])", missing},
      {corrupt, "", 4, "Claude ?\n", unreadable},
      {corrupt, "--format json", 4, R"({"error":"cannot read)", unreadable},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.arguments);
    std::filesystem::remove(file);
    if (!c.file.empty()) {
      testing::writeFile(file, c.file);
    }
    const auto result = run(c.arguments);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_TRUE(result.out == c.out || (nlohmann::json::accept(result.out) &&
                                        result.out.find(c.out) != std::string::npos &&
                                        result.out.find('\n') == result.out.size() - 1))
        << result.out;
    EXPECT_EQ(result.err, c.err);
  }
  for (const char *arguments :
       {"--format yaml", "--warn 101", "--critical 101", "--warn 90 --critical 80",
        "--stale-after soon", "--bogus", "extra", "--file=", "--critical", "--watch --notify"}) {
    SCOPED_TRACE(arguments);
    const auto result = run(arguments);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.err.find("Usage: quorbel-status"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

} // namespace
} // namespace quorbel
