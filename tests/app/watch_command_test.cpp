#include "app/child_process.hpp"
#include "store/snapshot_store.hpp"
#include "support/temp_dir.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstring>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

// Run as the README has waybar run it, the watch prints a line before the helper has made its
// directory, follows the file as the directory appears, goes and comes back, and ends quietly with
// status 0 on a stop signal or when the bar stops reading.
TEST(WatchCommand, FollowsTheFileThroughItsDirectoryUntilStopped) {
  const std::string readme = testing::readFile(std::string(QUORBEL_SOURCE_DIR) + "/README.md");
  ASSERT_NE(readme.find(R"("exec": "~/.local/bin/quorbel-status --watch --format waybar",)"),
            std::string::npos);
  testing::ScopedTempDir temp;
  const auto file = temp / "data/QuorbelHelper/plan-snapshot.json";
  const auto save = [&](std::int64_t percent) {
    const Instant now = std::chrono::system_clock::now();
    SnapshotStore(file).save(PlanSnapshot{now, PlanWindow{percent, now + 2h},
                                          PlanWindow{14, now + 50h}, "max", std::nullopt,
                                          PlanStatus::active});
  };
  const std::string missing =
      "quorbel-status: no snapshot at " + file.string() + " yet; is QuorbelHelper running?\n";
  for (const int stop : {SIGTERM, SIGINT, 0}) {
    SCOPED_TRACE(stop == 0 ? "the reader goes" : strsignal(stop));
    std::filesystem::remove_all(temp / "data");
    ChildProcess child(
        QUORBEL_STATUS_BINARY,
        {"HOME=" + (temp / "home").string(), "XDG_DATA_HOME=" + (temp / "data").string()},
        {.arguments = {"--watch", "--format", "waybar"}});
    std::size_t shown = 0;
    for (const std::int64_t percent : {0, 41, 0, 60}) {
      percent == 0 ? (void)std::filesystem::remove_all(temp / "data") : save(percent);
      ASSERT_TRUE(child.waitFor(
          [&] { return testing::linesOf(child.standardOutput()).size() > shown; }, 5s));
      ++shown;
    }
    stop != 0 ? child.sendSignal(stop) : child.closeStandardOutput();
    EXPECT_EQ(child.waitForExit(5s), 0);
    std::vector<std::int64_t> percentages;
    for (const auto &line : testing::linesOf(child.standardOutput())) {
      percentages.push_back(nlohmann::json::parse(line).at("percentage"));
    }
    EXPECT_EQ(percentages, (std::vector<std::int64_t>{0, 41, 0, 60}));
    EXPECT_EQ(child.standardError(), missing + missing);
  }
}

} // namespace
} // namespace quorbel
