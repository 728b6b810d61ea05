#include "store/atomic_file.hpp"
#include "store/snapshot_store.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quorbel {
namespace {

using testing::ScopedTempDir;
using testing::writeFile;

const Instant kT0 = instantFromUnixSeconds(1780000000);

// Snapshot number n of a family whose members can be recognised whole: both windows carry n and
// fetchedAt is n seconds after T0. A file mixing two members would not pass `isMember`.
PlanSnapshot member(std::int64_t n) {
  const Instant at = kT0 + std::chrono::seconds(n);
  return PlanSnapshot{
      at,           PlanWindow{n % 101, at}, PlanWindow{n, at}, std::string(n % 7, 'x'),
      std::nullopt, PlanStatus::active};
}

bool isMember(const PlanSnapshot &snapshot) {
  return snapshot.allModels && snapshot == member(snapshot.allModels->percent);
}

std::vector<std::string> temporaries(const std::filesystem::path &target) {
  std::vector<std::string> found;
  for (const auto &entry : std::filesystem::directory_iterator(target.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(AtomicFile::temporaryPrefix(target), 0) == 0) {
      found.push_back(name);
    }
  }
  return found;
}

// fsync costs milliseconds on a disk; on tmpfs these loops stay fast. Neither a kill nor a
// concurrent reader depends on the file system type: rename is atomic on both.
std::filesystem::path fastDirectory() {
  return std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
}

[[noreturn]] void writeForever(const std::filesystem::path &file, std::int64_t first) {
  SnapshotStore store(file);
  for (std::int64_t n = first;; ++n) {
    try {
      store.save(member(n));
    } catch (...) {
      _exit(3);
    }
  }
}

// As if written `age` ago.
void makeOlder(const std::filesystem::path &path, std::chrono::minutes age) {
  std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - age);
}

TEST(SnapshotStoreCrash, AKilledWriterLeavesAWholeSnapshotAndTheNextStartSweepsItsTemporaries) {
  ScopedTempDir dir(fastDirectory());
  const auto file = dir.path() / "plan-snapshot.json";
  SnapshotStore store(file);
  store.save(member(0));

  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pause(0, 3000); // microseconds
  constexpr int kKills = 500;
  std::int64_t next = 1;
  for (int kill = 0; kill < kKills; ++kill) {
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      writeForever(file, next);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
    ::kill(writer, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

    const auto loaded = store.load();
    ASSERT_TRUE(loaded.has_value()) << "after kill " << kill;
    ASSERT_TRUE(isMember(*loaded)) << "after kill " << kill;
    next = loaded->allModels->percent + 1'000'000;
  }
  const std::vector<std::string> leftovers = temporaries(file);
  for (const auto &name : leftovers) {
    makeOlder(dir.path() / name, AtomicFile::kStaleTemporaryAge + std::chrono::minutes(1));
  }
  store.removeStaleTemporaries();
  EXPECT_TRUE(temporaries(file).empty());
  std::cout << "[ crash    ] " << kKills << " kills survived; " << leftovers.size()
            << " leftover temporary files, none after the next start\n";
}

TEST(SnapshotStoreCrash, OnlyOldTemporariesOfTheFileAreSweptAndOnlyAtStart) {
  ScopedTempDir dir;
  const auto file = dir / "plan-snapshot.json";
  const std::string prefix = AtomicFile::temporaryPrefix(file);
  const auto old = AtomicFile::kStaleTemporaryAge + std::chrono::minutes(1);
  struct Case {
    std::string name;
    std::chrono::minutes age;
    bool swept;
  };
  const Case cases[] = {
      {prefix + "4000000-abc", old, true},
      // A pid that names a live process here says nothing about a writer on another host.
      {prefix + std::to_string(::getpid()) + "-abc", old, true},
      {prefix + "4000000-new", std::chrono::minutes(1), false},
      {".other.json.tmp-4000000-abc", old, false},
      {"notes.txt", old, false},
  };
  for (const Case &c : cases) {
    writeFile(dir / c.name, "x");
    makeOlder(dir / c.name, c.age);
  }
  SnapshotStore store(file);
  store.save(member(1));
  for (const Case &c : cases) {
    EXPECT_TRUE(std::filesystem::exists(dir / c.name)) << c.name << " swept by a save";
  }
  store.removeStaleTemporaries();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(std::filesystem::exists(dir / c.name), !c.swept);
  }
}

TEST(SnapshotStoreCrash, AReaderNeverSeesAPartialFile) {
  ScopedTempDir dir(fastDirectory());
  const auto file = dir.path() / "plan-snapshot.json";
  SnapshotStore store(file);
  store.save(member(0));

  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  const pid_t reader = ::fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    ::close(results[0]);
    long reads = 0, bad = 0;
    SnapshotStore readerStore(file);
    while (!std::filesystem::exists(dir.path() / "done")) {
      const auto loaded = readerStore.load();
      ++reads;
      if (!loaded || !isMember(*loaded)) {
        ++bad;
      }
    }
    const long report[2] = {reads, bad};
    (void)!::write(results[1], report, sizeof report);
    _exit(0);
  }
  ::close(results[1]);
  constexpr int kSaves = 10'000;
  for (int n = 1; n <= kSaves; ++n) {
    store.save(member(n));
  }
  writeFile(dir.path() / "done", "");
  long report[2] = {0, 0};
  ASSERT_EQ(::read(results[0], report, sizeof report), ssize_t(sizeof report));
  ::close(results[0]);
  ASSERT_EQ(::waitpid(reader, nullptr, 0), reader);
  EXPECT_EQ(report[1], 0) << "of " << report[0] << " reads";
  EXPECT_GT(report[0], 0);
  std::cout << "[ readers  ] " << report[0] << " reads during " << kSaves << " saves, " << report[1]
            << " not a whole snapshot\n";
}

} // namespace
} // namespace quorbel
