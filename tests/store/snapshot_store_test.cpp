#include "model/snapshot_json.hpp"
#include "store/atomic_file.hpp"
#include "store/snapshot_store.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <set>
#include <sys/stat.h>
#include <vector>

namespace quorbel {
namespace {

using testing::readFile;
using testing::ScopedTempDir;
using testing::writeFile;

PlanSnapshot snapshotAt(std::int64_t seconds, std::int64_t percent) {
  const Instant t = instantFromUnixSeconds(double(seconds));
  return PlanSnapshot{t,     PlanWindow{percent, t}, PlanWindow{percent / 2, t},
                      "max", std::nullopt,           PlanStatus::active};
}

// Everything in a directory besides the names given: leftovers of a write.
std::vector<std::string> otherEntries(const std::filesystem::path &directory,
                                      const std::set<std::string> &expected) {
  std::vector<std::string> others;
  for (const auto &entry : std::filesystem::directory_iterator(directory)) {
    if (!expected.count(entry.path().filename().string())) {
      others.push_back(entry.path().filename().string());
    }
  }
  return others;
}

TEST(SnapshotStore, FirstSaveCreatesDirectoriesAndLaterSavesReplace) {
  ScopedTempDir temp;
  const auto file = temp / "a/b/QuorbelHelper/plan-snapshot.json";
  SnapshotStore store(file);
  EXPECT_FALSE(store.load().has_value());
  EXPECT_FALSE(std::filesystem::exists(temp / "a")); // load creates nothing

  store.save(snapshotAt(1780000000, 37));
  EXPECT_EQ(store.load(), snapshotAt(1780000000, 37));
  store.save(snapshotAt(1780000200, 41));
  EXPECT_EQ(store.load(), snapshotAt(1780000200, 41));
  EXPECT_EQ(readFile(file), encodeSnapshot(snapshotAt(1780000200, 41)));
  EXPECT_TRUE(otherEntries(file.parent_path(), {"plan-snapshot.json"}).empty());

  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(
      info.st_mode & 0777, 0644 & ~[] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return mask;
      }());
}

TEST(SnapshotStore, LoadYieldsNothingForAnythingButASnapshot) {
  ScopedTempDir temp;
  const auto file = temp / "plan-snapshot.json";
  SnapshotStore store(file);

  writeFile(file, "not json at all");
  EXPECT_FALSE(store.load().has_value());
  writeFile(file, R"({"fetchedAt":"2026-06-29T12:00:00Z","status":"paused"})");
  EXPECT_FALSE(store.load().has_value());

  // A valid snapshot padded past the size limit is refused without being read whole.
  std::string huge = encodeSnapshot(snapshotAt(1780000000, 37));
  huge.insert(1, std::string(SnapshotStore::kMaxFileSize, ' '));
  writeFile(file, huge);
  EXPECT_FALSE(store.load().has_value());
  huge.erase(1, huge.size() - SnapshotStore::kMaxFileSize);
  writeFile(file, huge);
  EXPECT_TRUE(store.load().has_value()) << "exactly the limit is still a file";

  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  EXPECT_FALSE(store.load().has_value());
  std::filesystem::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
  EXPECT_FALSE(testing::finishesWithin("loading a FIFO", [&] { return store.load(); }).has_value())
      << "a FIFO must neither block nor count";
}

TEST(SnapshotStore, FailedSavesThrowNamingThePathAndLeaveNothingBehind) {
  ScopedTempDir temp;
  // The parent "directory" is a regular file.
  writeFile(temp / "blocker", "x");
  SnapshotStore blocked(temp / "blocker/plan-snapshot.json");
  try {
    blocked.save(snapshotAt(1780000000, 37));
    FAIL() << "save succeeded";
  } catch (const SnapshotStoreError &error) {
    EXPECT_NE(std::string(error.what()).find(temp.path().string() + "/blocker"), std::string::npos)
        << error.what();
  }
  EXPECT_EQ(readFile(temp / "blocker"), "x");

  // The target is a directory: the rename fails, the temporary file goes away.
  const auto target = temp / "plan-snapshot.json";
  std::filesystem::create_directory(target);
  SnapshotStore store(target);
  try {
    store.save(snapshotAt(1780000000, 37));
    FAIL() << "save succeeded";
  } catch (const SnapshotStoreError &error) {
    const std::string message = error.what();
    EXPECT_NE(message.find(target.string()), std::string::npos) << message;
    EXPECT_NE(message.find("rename"), std::string::npos) << message;
  }
  EXPECT_TRUE(otherEntries(temp.path(), {"blocker", "plan-snapshot.json"}).empty());
}

TEST(AtomicFile, WithoutCommitTheTargetIsUntouched) {
  ScopedTempDir temp;
  const auto target = temp / "plan-snapshot.json";
  writeFile(target, "old");
  {
    AtomicFile file(target);
    file.write("new content");
    EXPECT_EQ(otherEntries(temp.path(), {"plan-snapshot.json"}).size(), 1u);
  }
  EXPECT_EQ(readFile(target), "old");
  EXPECT_TRUE(otherEntries(temp.path(), {"plan-snapshot.json"}).empty());
}

} // namespace
} // namespace quorbel
