#include "history/history_store.hpp"

#include "history/history_layout.hpp"
#include "history/sqlite_database.hpp"
#include "platform/errno_text.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace quorbel {
namespace {

using std::chrono::milliseconds;

// A reader holds its lock for a few milliseconds; waiting longer would only delay the helper.
// Samples go to a write-ahead log that is synced only when it is folded back into the file, every
// hundred or so samples: a commit costs a tick a fifth of what a rollback journal's syncs do, a
// killed helper still loses nothing it committed, and a power cut loses at most the samples since
// the last fold, never the file. The log stays under half a megabyte. Readers never wait for the
// helper, nor it for them.
constexpr const char *kWriterSetup = "PRAGMA busy_timeout = 250;"
                                     "PRAGMA foreign_keys = ON;"
                                     "PRAGMA cache_size = -256;"
                                     "PRAGMA journal_mode = WAL;"
                                     "PRAGMA synchronous = NORMAL;"
                                     "PRAGMA wal_autocheckpoint = 100;"
                                     "PRAGMA journal_size_limit = 524288;";
constexpr const char *kSchema =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS sample("
    "  id INTEGER PRIMARY KEY,"
    "  fetched_at INTEGER NOT NULL," // milliseconds since 1970 UTC
    "  extra_currency TEXT, extra_exponent INTEGER, extra_used INTEGER, extra_limit INTEGER);"
    "CREATE INDEX IF NOT EXISTS sample_by_time ON sample(fetched_at);"
    "CREATE TABLE IF NOT EXISTS usage_window("
    "  sample_id INTEGER NOT NULL REFERENCES sample(id) ON DELETE CASCADE,"
    "  kind INTEGER NOT NULL, model TEXT NOT NULL, percent INTEGER NOT NULL, resets_at INTEGER,"
    "  PRIMARY KEY(sample_id, kind, model)) WITHOUT ROWID;"
    "PRAGMA user_version = 1;"
    "COMMIT;";
constexpr milliseconds kRetentionEvery = std::chrono::hours{1};

// "2026-06-29T120000Z": the set-aside file's time, without colons that shells and file
// managers trip on.
std::string fileTime(Instant now) {
  std::string text = formatInternetDate(now);
  text.erase(std::remove(text.begin(), text.end(), ':'), text.end());
  return text;
}

} // namespace

std::filesystem::path historyPathBeside(const std::filesystem::path &snapshotFile) {
  return snapshotFile.parent_path() / "history.sqlite3";
}

struct HistoryStore::Connection {
  explicit Connection(std::unique_ptr<SqliteDatabase> opened)
      : database(std::move(opened)), begin(*database, "BEGIN IMMEDIATE"),
        commit(*database, "COMMIT"),
        insertSample(*database, "INSERT INTO sample(fetched_at, extra_currency, extra_exponent, "
                                "extra_used, extra_limit) VALUES(?1, ?2, ?3, ?4, ?5)"),
        insertWindow(*database, "INSERT INTO usage_window(sample_id, kind, model, percent, "
                                "resets_at) VALUES(?1, ?2, ?3, ?4, ?5)") {}

  std::unique_ptr<SqliteDatabase> database;
  SqliteDatabase::Statement begin;
  SqliteDatabase::Statement commit;
  SqliteDatabase::Statement insertSample;
  SqliteDatabase::Statement insertWindow;
};

HistoryStore::HistoryStore(std::filesystem::path file, const Clock &clock)
    : file_(std::move(file)), clock_(clock) {}

HistoryStore::~HistoryStore() = default;

void HistoryStore::open() {
  // The history tells when the user works; it is as private as the snapshot. SQLite gives its
  // journal the database file's mode, so creating the file first covers both.
  const int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    throw historyFileError(file_, errno);
  }
  ::close(fd);
  auto database = std::make_unique<SqliteDatabase>(file_, SqliteDatabase::Mode::readWrite);
  database->execute(kWriterSetup);
  checkHistoryVersion(*database, file_);
  if (database->integer("PRAGMA user_version") < kHistorySchemaVersion) {
    database->execute(kSchema);
  }
  connection_ = std::make_unique<Connection>(std::move(database));
}

void HistoryStore::append(const HistorySample &sample) {
  Connection &connection = *connection_;
  // Run and reset at once, so that none holds the file between samples.
  const auto run = [](SqliteDatabase::Statement &statement) {
    try {
      statement.step();
    } catch (...) {
      statement.reset();
      throw;
    }
    statement.reset();
  };
  run(connection.begin);
  try {
    SqliteDatabase::Statement &insertSample = connection.insertSample;
    insertSample.bind(1, millis(sample.fetchedAt));
    if (sample.extraUsage) {
      insertSample.bind(2, sample.extraUsage->currency);
      insertSample.bind(3, sample.extraUsage->exponent);
      insertSample.bind(4, sample.extraUsage->used);
      insertSample.bind(5, sample.extraUsage->limit);
    }
    run(insertSample);
    const std::int64_t id = connection.database->lastInsertId();
    SqliteDatabase::Statement &insertWindow = connection.insertWindow;
    for (const HistoryWindow &window : sample.windows) {
      insertWindow.bind(1, id);
      insertWindow.bind(2, std::int64_t(window.kind));
      insertWindow.bind(3, window.model);
      insertWindow.bind(4, window.percent);
      insertWindow.bind(5,
                        window.resetsAt ? std::optional(millis(*window.resetsAt)) : std::nullopt);
      run(insertWindow);
    }
    run(connection.commit);
  } catch (...) {
    connection.database->rollbackQuietly();
    throw;
  }
}

void HistoryStore::applyRetention(Instant now) {
  if (!connection_) {
    open();
  }
  SqliteDatabase &database = *connection_->database;
  database.execute("BEGIN IMMEDIATE");
  try {
    SqliteDatabase::Statement deleteOld(database, "DELETE FROM sample WHERE fetched_at < ?1");
    deleteOld.bind(1, millis(now - kHistoryKeepAge));
    deleteOld.step();
    // The first sample of each hour stays: thinning the same hour twice keeps the same one. An
    // hour thinned by an earlier pass holds one sample, so a later pass starts at the hour the
    // last one ended in rather than going over a year of them again.
    const std::int64_t step = milliseconds(kHistoryThinnedStep).count();
    const std::int64_t before = millis(now - kHistoryFullDetailAge);
    std::int64_t from = std::numeric_limits<std::int64_t>::min();
    if (thinnedBefore_) {
      const std::int64_t last = std::min(*thinnedBefore_, before);
      from = last - ((last % step) + step) % step;
    }
    SqliteDatabase::Statement thin(
        database, "DELETE FROM sample WHERE fetched_at >= ?3 AND fetched_at < ?1 AND id NOT IN ("
                  "SELECT min(id) FROM sample WHERE fetched_at >= ?3 AND fetched_at < ?1 "
                  "GROUP BY fetched_at / ?2)");
    thin.bind(1, before);
    thin.bind(2, step);
    thin.bind(3, from);
    thin.step();
    database.execute("COMMIT");
    thinnedBefore_ = before;
  } catch (...) {
    database.rollbackQuietly();
    throw;
  }
  lastRetention_ = now;
}

std::string HistoryStore::setAsideCorrupt(Instant now) {
  connection_.reset();
  const std::filesystem::path aside = file_.string() + ".corrupt-" + fileTime(now);
  if (::rename(file_.c_str(), aside.c_str()) != 0) {
    throw HistoryError(HistoryError::Kind::other,
                       failureText("moving " + file_.string() + " aside", errno));
  }
  // A log or journal left beside the damaged file belongs to it: beside the new one, SQLite would
  // replay the old pages into it. The log's shared-memory index is rebuilt from the log.
  for (const char *suffix : {"-wal", "-journal"}) {
    const std::string companion = file_.string() + suffix;
    ::rename(companion.c_str(), (aside.string() + suffix).c_str());
  }
  ::unlink((file_.string() + "-shm").c_str());
  return "History " + file_.string() + " was corrupt; moved it to " + aside.string() +
         " and started a new one.";
}

std::optional<std::string> HistoryStore::record(const PlanSnapshot &snapshot) {
  const HistorySample sample = HistorySample::of(snapshot);
  const Instant reading = clock_.now();
  // Two readings in a row must agree before retention moves on: the earlier one stands.
  const std::optional<Instant> agreed =
      lastReading_ ? std::optional(std::min(*lastReading_, reading)) : std::nullopt;
  lastReading_ = reading;
  std::optional<std::string> note;
  for (int attempt = 0;; ++attempt) {
    try {
      if (!connection_) {
        open();
      }
      append(sample);
      break;
    } catch (const HistoryError &error) {
      if (error.kind() != HistoryError::Kind::corrupt || attempt > 0) {
        connection_.reset();
        throw;
      }
      note = setAsideCorrupt(reading);
    }
  }
  if (agreed && (!lastRetention_ || *agreed - *lastRetention_ >= kRetentionEvery ||
                 *agreed < *lastRetention_)) {
    // A failure here keeps the sample; retention is tried again at the next fetch.
    try {
      applyRetention(*agreed);
    } catch (const HistoryError &) {
      connection_.reset();
      throw;
    }
  }
  return note;
}

} // namespace quorbel
