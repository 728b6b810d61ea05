#include "history/history_layout.hpp"
#include "history/history_store.hpp"
#include "history/sqlite_database.hpp"
#include "support/snapshots.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

namespace quorbel {
namespace {

namespace fs = std::filesystem;
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

const Instant kNow = instantFromUnixSeconds(1'782'734'400); // 2026-06-29T12:00:00Z

PlanSnapshot snapshotAt(Instant at, std::int64_t session = 37) {
  return testing::usageAt(at, session, 13, at + hours{2}, at + hours{90});
}

std::vector<Instant> timesIn(const fs::path &file) {
  std::vector<Instant> times;
  for (const HistorySample &sample : readHistory(file, kEarliestInstant)) {
    times.push_back(sample.fetchedAt);
  }
  return times;
}

class HistoryStoreTest : public ::testing::Test {
protected:
  testing::ScopedTempDir temp_;
  fs::path file_ = historyPathBeside(temp_ / "plan-snapshot.json");
  testing::SetClock clock_{kNow};
};

TEST_F(HistoryStoreTest, KeepsEveryWindowOfEachFetchAndReadsThemBackInTimeOrder) {
  PlanSnapshot full = snapshotAt(kNow - hours{1});
  full.modelWindows = {{"Opus", 64, kNow + hours{30}}, {"Sonnet, \"new\"", 5, std::nullopt}};
  full.extraUsage = ExtraUsage{"EUR", 2, 10587, 30000};
  PlanSnapshot sessionOnly = snapshotAt(kNow);
  sessionOnly.allModels.reset();
  sessionOnly.extraUsage = ExtraUsage{"USD", 2, 0, std::nullopt};
  // Recorded between the two, after the clock was set back.
  const PlanSnapshot setBack = snapshotAt(kNow - hours{2}, 90);
  HistoryStore store(file_, clock_);
  EXPECT_FALSE(store.record(full));
  EXPECT_FALSE(store.record(setBack));
  EXPECT_FALSE(store.record(sessionOnly));

  const auto samples = readHistory(file_, kEarliestInstant);
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0], HistorySample::of(setBack));
  EXPECT_EQ(samples[1], HistorySample::of(full));
  EXPECT_EQ(samples[2], HistorySample::of(sessionOnly));
  // A window that was not reported stays absent: unknown is never 0.
  EXPECT_EQ(samples[2].window(HistoryWindowKind::allModels), nullptr);
  EXPECT_EQ(readHistory(file_, kNow - hours{1}),
            (std::vector{HistorySample::of(full), HistorySample::of(sessionOnly)}));
  // A week's trend reads only the weekly window of what came before its last stretch.
  const auto trend = readHistory(file_, kEarliestInstant, kNow - std::chrono::minutes{30});
  ASSERT_EQ(trend.size(), 3u);
  ASSERT_EQ(trend[1].windows.size(), 1u);
  EXPECT_EQ(trend[1].windows[0], *HistorySample::of(full).window(HistoryWindowKind::allModels));
  EXPECT_EQ(trend[2], HistorySample::of(sessionOnly));
  EXPECT_EQ(fs::status(file_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  SqliteDatabase database(file_, SqliteDatabase::Mode::readOnly);
  EXPECT_EQ(database.integer("PRAGMA user_version"), kHistorySchemaVersion);
  // No file, or one whose tables are not made yet, is an empty history.
  SqliteDatabase(temp_ / "blank", SqliteDatabase::Mode::readWrite).execute("CREATE TABLE a(x)");
  for (const char *empty : {"none", "blank"}) {
    EXPECT_TRUE(readHistory(temp_ / empty, kEarliestInstant).empty()) << empty;
  }
  // A folder that is a file is no read-only medium, and the failure says so.
  try {
    HistoryStore(temp_ / "blank" / "history.sqlite3", clock_).record(snapshotAt(kNow));
    ADD_FAILURE();
  } catch (const HistoryError &error) {
    EXPECT_EQ(error.kind(), HistoryError::Kind::other) << error.what();
  }
}

TEST_F(HistoryStoreTest, DeletesWhatIsOlderThan400DaysAndThinsPast35DaysToOnePerHour) {
  const Instant oldHour = std::chrono::floor<hours>(kNow - hours{24 * 100});
  const Instant recentHour = std::chrono::floor<hours>(kNow - hours{24 * 34});
  const struct {
    const char *what;
    Instant at;
    bool kept;
  } cases[] = {
      {"beyond 400 days", kNow - hours{24 * 401}, false},
      {"just within 400 days", kNow - hours{24 * 400} + minutes{5}, true},
      {"first of an old hour", oldHour + minutes{1}, true},
      {"second of that hour", oldHour + minutes{4}, false},
      {"last of that hour", oldHour + minutes{59}, false},
      {"first of the next hour", oldHour + minutes{61}, true},
      {"within 35 days", recentHour + minutes{1}, true},
      {"same hour, within 35 days", recentHour + minutes{4}, true},
      {"now", kNow, true},
  };
  {
    HistoryStore store(file_, clock_);
    for (const auto &c : cases) {
      store.record(snapshotAt(c.at));
    }
  }
  HistoryStore store(file_, clock_);
  store.applyRetention(kNow);
  const auto times = timesIn(file_);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(std::count(times.begin(), times.end(), c.at), c.kept ? 1 : 0);
  }
  // Thinning again keeps the same sample of each hour.
  store.applyRetention(kNow + minutes{1});
  EXPECT_EQ(timesIn(file_), times);

  // A later pass thins the rest of the hour the last one ended in, and the hours aged since.
  const Instant aging = kNow - hours{24 * 35};
  {
    HistoryStore writer(file_, clock_);
    for (const int minute : {10, 20, 40, 50}) {
      writer.record(snapshotAt(aging + minutes{minute}));
    }
  }
  HistoryStore later(file_, clock_);
  later.applyRetention(kNow + minutes{30});
  later.applyRetention(kNow + hours{1});
  const auto left = timesIn(file_);
  for (const int minute : {10, 20, 40, 50}) {
    SCOPED_TRACE(minute);
    EXPECT_EQ(std::count(left.begin(), left.end(), aging + minutes{minute}), minute == 10 ? 1 : 0);
  }
}

// Retention goes by the clock, and only once two readings agree: a sample dated far ahead, or a
// clock wrong for one fetch, costs no other sample.
TEST_F(HistoryStoreTest, AClockWrongForOneFetchNeitherDeletesNorThins) {
  constexpr std::int64_t kMonth = 30 * 24 * 3600 / 180 + 1; // 14,401 samples, one every 180 s
  HistoryStore store(file_, clock_);
  for (std::int64_t i = 0; i < kMonth; ++i) {
    clock_.at = kNow - hours{24 * 30} + seconds{180 * i};
    store.record(snapshotAt(clock_.at));
  }
  const auto count = [this] { return std::int64_t(timesIn(file_).size()); };
  ASSERT_EQ(count(), kMonth);
  const struct {
    const char *what;
    Instant clock;
    Instant fetchedAt;
    std::int64_t left;
  } steps[] = {
      {"a sample dated 420 days ahead", kNow, kNow + hours{24 * 420}, kMonth + 1},
      {"the next fetch", kNow + seconds{180}, kNow + seconds{180}, kMonth + 2},
      {"a clock 36 days ahead for one fetch", kNow + hours{24 * 36}, kNow + hours{24 * 36},
       kMonth + 3},
      {"the clock right again", kNow + seconds{360}, kNow + seconds{360}, kMonth + 4},
      {"a clock 36 days behind for one fetch", kNow - hours{24 * 36}, kNow - hours{24 * 36},
       kMonth + 5},
      {"right again", kNow + seconds{540}, kNow + seconds{540}, kMonth + 6},
      // Six days on for two fetches: the month's first day, 480 samples, is thinned to 24.
      {"six days on", kNow + hours{24 * 6}, kNow + hours{24 * 6}, kMonth + 7},
      {"six days on, confirmed", kNow + hours{24 * 6} + seconds{180},
       kNow + hours{24 * 6} + seconds{180}, kMonth + 8 - 456},
  };
  for (const auto &step : steps) {
    SCOPED_TRACE(step.what);
    clock_.at = step.clock;
    store.record(snapshotAt(step.fetchedAt));
    EXPECT_EQ(count(), step.left);
  }
}

// The damaged file goes aside with its log, which holds its latest samples; beside the new file,
// SQLite would replay the log into it.
TEST_F(HistoryStoreTest, SetsACorruptFileAsideWithItsLogAndStartsANewOne) {
  for (const bool withLog : {false, true}) {
    SCOPED_TRACE(withLog);
    fs::remove_all(temp_.path());
    fs::create_directory(temp_.path());
    // A reader that stays open keeps the writer's log from being folded back into the file.
    std::optional<SqliteDatabase> reader;
    std::string damaged(8192, 'x');
    if (withLog) {
      HistoryStore(file_, clock_).record(snapshotAt(kNow - hours{2}));
      reader.emplace(file_, SqliteDatabase::Mode::readOnly);
      reader->integer("SELECT count(*) FROM sample");
      HistoryStore(file_, clock_).record(snapshotAt(kNow - hours{1}));
      damaged = testing::readFile(file_).replace(0, 16, 16, 'x');
    }
    testing::writeFile(file_, damaged);
    HistoryStore store(file_, clock_);
    const auto note = store.record(snapshotAt(kNow));
    ASSERT_TRUE(note);
    const fs::path aside = file_.string() + ".corrupt-2026-06-29T120000Z";
    EXPECT_NE(note->find(aside.string()), std::string::npos) << *note;
    EXPECT_EQ(testing::readFile(aside), damaged);
    EXPECT_EQ(fs::exists(aside.string() + "-wal"), withLog);
    EXPECT_EQ(timesIn(file_), std::vector<Instant>{kNow});
    EXPECT_FALSE(store.record(snapshotAt(kNow + minutes{3})));
  }
}

TEST_F(HistoryStoreTest, AReadOnlyFolderFailsAsReadOnlyAndLeavesTheHistoryReadable) {
  // Characters that SQLite's file names given as URIs would otherwise take for their own.
  const fs::path folder = temp_ / "a ?#%2F b";
  fs::create_directory(folder);
  const fs::path file = folder / "history.sqlite3";
  HistoryStore(file, clock_).record(snapshotAt(kNow));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A read-only mount refuses writes even to root, who ignores permission bits.
    const char *dir = folder.c_str();
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(dir, dir, nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, dir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      ::_exit(77);
    }
    int status = 0;
    for (const fs::path &target : {file, folder / "new.sqlite3"}) {
      try {
        HistoryStore(target, clock_).record(snapshotAt(kNow + minutes{3}));
        status = 1;
      } catch (const HistoryError &error) {
        status = status == 0 && error.kind() == HistoryError::Kind::readOnly ? 0 : 2;
      }
    }
    ::_exit(status == 0 && readHistory(file, kEarliestInstant).size() == 1 ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) {
    GTEST_SKIP() << "needs a private mount namespace";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A crash mid-append must never cost a committed sample nor damage the file.
TEST_F(HistoryStoreTest, SurvivesBeingKilledWhileAppending) {
  std::vector<Instant> committed;
  for (int round = 0; round < 8; ++round) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      HistoryStore store(file_, clock_);
      for (std::int64_t i = round * 100'000;; ++i) {
        store.record(snapshotAt(kNow + seconds{i}, i % 100));
        // Told only once the commit returned: each number read is a sample that must survive.
        if (::write(pipeFds[1], &i, sizeof i) != sizeof i) {
          ::_exit(1);
        }
      }
    }
    ::close(pipeFds[1]);
    // Killed at a point that moves from round to round; what it told before dying counts too.
    std::int64_t last = 0;
    for (int read = 0; ::read(pipeFds[0], &last, sizeof last) == sizeof last; ++read) {
      committed.push_back(kNow + seconds{last});
      if (read == 5 + 7 * round) {
        ::kill(child, SIGKILL);
      }
    }
    ::waitpid(child, nullptr, 0);
    ::close(pipeFds[0]);
  }
  SqliteDatabase database(file_, SqliteDatabase::Mode::readWrite);
  SqliteDatabase::Statement check(database, "PRAGMA integrity_check");
  ASSERT_TRUE(check.step());
  EXPECT_EQ(check.text(0), "ok");
  const auto times = timesIn(file_);
  for (const Instant at : committed) {
    EXPECT_EQ(std::count(times.begin(), times.end(), at), 1) << formatInternetDate(at);
  }
}

} // namespace
} // namespace quorbel
