#include "model/snapshot_json.hpp"
#include "platform/atomic_file.hpp"
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
using namespace testing;
using Names = std::set<std::string>;

PlanSnapshot snapshot(int seconds) {
  return PlanSnapshot::dataless(PlanStatus::active, Instant{std::chrono::seconds(seconds)});
}

TEST(SnapshotStore, SavesReplaceTheFileWholeOrNotAtAllAndLoadsTakeOnlyASnapshot) {
  ScopedTempDir temp;
  const auto file = temp / "a/b/plan-snapshot.json";
  SnapshotStore store(file);
  EXPECT_EQ(store.load(), std::nullopt);
  store.save(snapshot(1));
  // A reader or a killed writer sees the old file or the new one only if the new one is renamed
  // into place: one written in place would show through this second link as well.
  fs::create_hard_link(file, temp / "reader");
  store.save(snapshot(2));
  AtomicFile(file).write("uncommitted");
  // A rename cannot replace a directory, and no directory can be made under a file.
  EXPECT_THROW(SnapshotStore(temp / "a/b").save(snapshot(3)), FileWriteError);
  EXPECT_THROW(SnapshotStore(file / "x").save(snapshot(3)), FileWriteError);
  EXPECT_EQ(readFile(temp / "reader"), encodeSnapshot(snapshot(1)));
  EXPECT_EQ(readFile(file), encodeSnapshot(snapshot(2)));
  EXPECT_EQ(entriesOf(file.parent_path()), Names{"plan-snapshot.json"});
  EXPECT_EQ(entriesOf(temp / "a"), Names{"b"});
  // Anything but a snapshot is nothing, a snapshot padded past the size limit too: it is not read.
  writeFile(file, "not json");
  EXPECT_EQ(store.load(), std::nullopt);
  std::string padded = encodeSnapshot(snapshot(1));
  writeFile(file, padded.insert(1, SnapshotStore::kMaxFileSize + 1 - padded.size(), ' '));
  EXPECT_EQ(store.load(), std::nullopt);
  // A FIFO planted at the path would block a plain open until someone writes to it.
  fs::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  EXPECT_EQ(finishesWithin("loading a FIFO", [&] { return store.load(); }), std::nullopt);
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
  EXPECT_EQ(entriesOf(dir.path()), (Names{".other.json.tmp-1-abc", "notes", prefix + "1-new"}));
}

} // namespace
} // namespace quorbel
