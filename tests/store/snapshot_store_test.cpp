#include "model/snapshot_json.hpp"
#include "store/atomic_file.hpp"
#include "store/snapshot_store.hpp"
#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScopedTempDir;
using testing::writeFile;
using Names = std::set<std::string>;

PlanSnapshot snapshot(std::int64_t percent) {
  const Instant at{std::chrono::seconds(1780000000 + percent)};
  return {at, PlanWindow{percent, at}, PlanWindow{percent, at}, "max", {}, PlanStatus::active};
}

Names entries(const fs::path &directory) {
  Names names;
  for (const auto &entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename());
  }
  return names;
}

TEST(SnapshotStore, FirstSaveCreatesDirectoriesAndLaterSavesReplaceTheFileWhole) {
  ScopedTempDir temp;
  const auto file = temp / "a/b/plan-snapshot.json";
  SnapshotStore store(file);
  EXPECT_EQ(store.load(), std::nullopt);
  EXPECT_FALSE(fs::exists(temp / "a")) << "loading created a directory";
  const mode_t umask = ::umask(022);
  store.save(snapshot(1));
  // A reader or a killed writer sees the old file or the new one only if the new one is renamed
  // into place: one written in place would show through this second link as well.
  fs::create_hard_link(file, temp / "reader");
  store.save(snapshot(2));
  ::umask(umask);
  EXPECT_EQ(readFile(temp / "reader"), encodeSnapshot(snapshot(1)));
  EXPECT_EQ(readFile(file), encodeSnapshot(snapshot(2)));
  EXPECT_EQ(store.load(), snapshot(2));
  EXPECT_EQ(entries(file.parent_path()), Names{"plan-snapshot.json"});
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0644));
}

TEST(SnapshotStore, LoadYieldsNothingForAnythingButASnapshot) {
  ScopedTempDir temp;
  const auto file = temp / "plan-snapshot.json";
  SnapshotStore store(file);
  writeFile(file, "not json");
  EXPECT_EQ(store.load(), std::nullopt);
  // A snapshot padded to the size limit is still one; a byte more and it is refused unread.
  std::string padded = encodeSnapshot(snapshot(1));
  padded.insert(1, SnapshotStore::kMaxFileSize - padded.size(), ' ');
  writeFile(file, padded);
  EXPECT_EQ(store.load(), snapshot(1));
  writeFile(file, padded + " ");
  EXPECT_EQ(store.load(), std::nullopt);
  EXPECT_EQ(SnapshotStore(temp.path()).load(), std::nullopt);
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0644), 0);
  EXPECT_EQ(testing::finishesWithin("loading a FIFO",
                                    [&] { return SnapshotStore(temp / "fifo").load(); }),
            std::nullopt);
}

TEST(SnapshotStore, FailedOrUncommittedWritesLeaveNothingBehind) {
  ScopedTempDir temp;
  writeFile(temp / "blocker", "x");
  fs::create_directory(temp / "plan-snapshot.json");
  // No directory can be made under a file, and no rename can replace a directory.
  for (const fs::path &file : {temp / "blocker/plan-snapshot.json", temp / "plan-snapshot.json"}) {
    SCOPED_TRACE(file);
    try {
      SnapshotStore(file).save(snapshot(1));
      ADD_FAILURE() << "saved";
    } catch (const SnapshotStoreError &error) {
      EXPECT_NE(std::string(error.what()).find(file.string()), std::string::npos) << error.what();
    }
  }
  AtomicFile(temp / "blocker").write("new");
  EXPECT_EQ(readFile(temp / "blocker"), "x");
  EXPECT_EQ(entries(temp.path()), (Names{"blocker", "plan-snapshot.json"}));
}

// Temporaries are left by writers killed mid-save. Only old ones of this file go at start-up, even
// one named after a live pid: it may be a writer's on another host sharing the home.
TEST(SnapshotStoreCrash, TheNextStartSweepsOnlyOldTemporariesOfTheFile) {
  ScopedTempDir dir;
  const std::string prefix = AtomicFile::temporaryPrefix(dir / "plan-snapshot.json");
  const auto old = fs::file_time_type::clock::now() - 2 * AtomicFile::kStaleTemporaryAge;
  for (const std::string &name : {prefix + std::to_string(::getpid()) + "-abc",
                                  std::string(".other.json.tmp-1-abc"), std::string("notes")}) {
    writeFile(dir / name, "x");
    fs::last_write_time(dir / name, old);
  }
  writeFile(dir / (prefix + "1-new"), "x");
  SnapshotStore(dir / "plan-snapshot.json").removeStaleTemporaries();
  EXPECT_EQ(entries(dir.path()), (Names{".other.json.tmp-1-abc", "notes", prefix + "1-new"}));
}

} // namespace
} // namespace quorbel
