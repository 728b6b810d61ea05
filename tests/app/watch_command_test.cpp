#include "app/child_process.hpp"
#include "store/snapshot_store.hpp"
#include "support/temp_dir.hpp"
#include "support/text.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::linesOf;
using testing::ScopedTempDir;

constexpr auto kDeadline = 5s;

class WatchCommand : public ::testing::Test {
protected:
  std::filesystem::path snapshotFile() const {
    return temp_ / "data/QuorbelHelper/plan-snapshot.json";
  }
  std::unique_ptr<ChildProcess> start(const std::vector<std::string> &arguments) const {
    return std::make_unique<ChildProcess>(
        QUORBEL_STATUS_BINARY,
        std::vector<std::string>{"HOME=" + (temp_ / "home").string(),
                                 "XDG_DATA_HOME=" + (temp_ / "data").string(), "TZ=UTC"},
        ChildProcess::Options{.arguments = arguments});
  }
  // Replaces the file by rename, as the helper does.
  void save(std::int64_t percent) const {
    const Instant now = std::chrono::system_clock::now();
    SnapshotStore(snapshotFile())
        .save(PlanSnapshot{now, PlanWindow{percent, now + 2h}, PlanWindow{14, now + 50h}, "max",
                           std::nullopt, PlanStatus::active});
  }
  static bool hasLines(const ChildProcess &child, std::size_t count) {
    return linesOf(child.standardOutput()).size() >= count;
  }

  ScopedTempDir temp_;
};

TEST_F(WatchCommand, FollowsTheFileFromBeforeItsDirectoryExistsAsTheReadmeRunsIt) {
  const std::string readme = testing::readFile(std::string(QUORBEL_SOURCE_DIR) + "/README.md");
  ASSERT_NE(readme.find(R"("exec": "~/.local/bin/quorbel-status --watch --format waybar",)"),
            std::string::npos);
  auto child = start({"--watch", "--format", "waybar"});
  ASSERT_TRUE(child->waitFor([&] { return hasLines(*child, 1); }, kDeadline));

  save(41); // creates data/QuorbelHelper
  ASSERT_TRUE(child->waitFor([&] { return hasLines(*child, 2); }, kDeadline));
  const auto saving = std::chrono::steady_clock::now();
  save(77);
  ASSERT_TRUE(child->waitFor([&] { return hasLines(*child, 3); }, kDeadline));
  // Only recorded: bench/watch_latency.cpp measures the delay; here it includes the fsyncs.
  RecordProperty("saveToLineMicroseconds",
                 int(std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::steady_clock::now() - saving)
                         .count()));

  child->sendSignal(SIGTERM);
  EXPECT_EQ(child->waitForExit(kDeadline), 0);
  const auto lines = linesOf(child->standardOutput());
  ASSERT_EQ(lines.size(), 3u) << child->standardOutput();
  EXPECT_EQ(nlohmann::json::parse(lines[0]).at("class"), nlohmann::json::array({"unavailable"}));
  EXPECT_EQ(nlohmann::json::parse(lines[1]).at("percentage"), 41);
  EXPECT_EQ(nlohmann::json::parse(lines[2]).at("percentage"), 77);
  EXPECT_EQ(child->standardError(), "quorbel-status: no snapshot at " + snapshotFile().string() +
                                        " yet; is QuorbelHelper running?\n");
}

TEST_F(WatchCommand, EndsQuietlyWithStatusZeroOnStopSignalsAndWhenItsReaderGoes) {
  save(41);
  struct Case {
    const char *name;
    int signal; // 0: the reader closes its end of the pipe
  };
  for (const Case c : {Case{"SIGTERM", SIGTERM}, Case{"SIGINT", SIGINT}, Case{"closed pipe", 0}}) {
    SCOPED_TRACE(c.name);
    auto child = start({"--watch", "--format", "long"});
    ASSERT_TRUE(child->waitFor([&] { return hasLines(*child, 1); }, kDeadline));
    if (c.signal != 0) {
      child->sendSignal(c.signal);
    } else {
      child->closeStandardOutput();
    }
    EXPECT_EQ(child->waitForExit(kDeadline), 0);
    EXPECT_EQ(child->standardError(), "");
  }
}

} // namespace
} // namespace quorbel
