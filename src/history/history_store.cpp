#include "history/history_store.hpp"

#include "history/sqlite_database.hpp"
#include "platform/errno_text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
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
// Room reserved for a read at most: four months at one sample per 180 s.
constexpr std::int64_t kReadReserveCap = 1 << 16;

// What a failed system call on the history's file was: a full disk and a read-only medium each
// have their kind; anything else (permission denied, not a directory) is told by its errno alone.
HistoryError systemError(const std::filesystem::path &file, int error) {
  const HistoryError::Kind kind = error == ENOSPC || error == EDQUOT ? HistoryError::Kind::diskFull
                                  : error == EROFS                   ? HistoryError::Kind::readOnly
                                                                     : HistoryError::Kind::other;
  return HistoryError(kind, failureText(file.string(), error));
}

std::int64_t millis(Instant instant) { return instant.time_since_epoch().count(); }
Instant instantOf(std::int64_t ms) { return Instant(milliseconds(ms)); }

// "2026-06-29T120000Z": the set-aside file's time, without colons that shells and file
// managers trip on.
std::string fileTime(Instant now) {
  std::string text = formatInternetDate(now);
  text.erase(std::remove(text.begin(), text.end(), ':'), text.end());
  return text;
}

void checkVersion(SqliteDatabase &database, const std::filesystem::path &file) {
  const std::int64_t version = database.integer("PRAGMA user_version");
  if (version > kHistorySchemaVersion) {
    throw HistoryError(HistoryError::Kind::other, file.string() +
                                                      ": written by a newer version (layout " +
                                                      std::to_string(version) + ")");
  }
}

// The history opened to read. A log-mode file is read through a shared-memory index that SQLite
// keeps beside it; where that cannot be created (a read-only folder or medium with no helper
// running there), the file is read alone, as it stands, without what only a leftover log holds.
std::unique_ptr<SqliteDatabase> openToRead(const std::filesystem::path &file) {
  const auto open = [&file](SqliteDatabase::Mode mode) {
    auto database = std::make_unique<SqliteDatabase>(file, mode);
    // One pass reads each page once: a small cache recycles its pages instead of touching new
    // memory.
    database->execute("PRAGMA busy_timeout = 1000; PRAGMA cache_size = -64");
    checkVersion(*database, file);
    return database;
  };
  try {
    return open(SqliteDatabase::Mode::readOnly);
  } catch (const HistoryError &error) {
    if (error.kind() != HistoryError::Kind::readOnly) {
      throw;
    }
  }
  return open(SqliteDatabase::Mode::immutable);
}

// The samples at or after `since` in id order, and their ids, from the first such id on.
std::vector<HistorySample> samplesFrom(SqliteDatabase &database, std::int64_t firstId,
                                       Instant since, std::vector<std::int64_t> &ids) {
  // A short-lived reader pays for each page of memory it first touches more than for the rows, so
  // the samples get their room at once rather than by doubling: ids leave few holes in the span.
  const std::int64_t idSpan = database.integer("SELECT max(id) FROM sample") - firstId + 1;
  std::vector<HistorySample> samples;
  samples.reserve(std::size_t(std::clamp<std::int64_t>(idSpan, 0, kReadReserveCap)));
  ids.reserve(samples.capacity());
  SqliteDatabase::Statement query(
      database, "SELECT id, fetched_at, extra_currency, extra_exponent, extra_used, extra_limit "
                "FROM sample WHERE id >= ?1 AND fetched_at >= ?2 ORDER BY id");
  query.bind(1, firstId);
  query.bind(2, millis(since));
  while (query.step()) {
    ids.push_back(query.integer(0));
    HistorySample &sample = samples.emplace_back();
    sample.fetchedAt = instantOf(query.integer(1));
    if (!query.isNull(4)) {
      ExtraUsage money{query.text(2), query.integer(3), query.integer(4), std::nullopt};
      if (!query.isNull(5)) {
        money.limit = query.integer(5);
      }
      sample.extraUsage = money;
    }
  }
  return samples;
}

// Gives each of `samples` (ids in `ids`, ascending) its windows, in one scan of the windows table.
void attachWindows(SqliteDatabase &database, const std::vector<std::int64_t> &ids,
                   std::int64_t everyWindowFromId, std::vector<HistorySample> &samples) {
  if (ids.empty()) {
    return;
  }
  SqliteDatabase::Statement query(
      database, "SELECT sample_id, kind, model, percent, resets_at FROM usage_window "
                "WHERE sample_id >= ?1 AND (sample_id >= ?2 OR kind = ?3) "
                "ORDER BY sample_id, kind, model");
  query.bind(1, ids.front());
  query.bind(2, everyWindowFromId);
  query.bind(3, std::int64_t(HistoryWindowKind::allModels));
  // Each sample's windows gathered first, so its vector is allocated once at its size.
  std::vector<HistoryWindow> gathered;
  std::size_t at = 0;
  const auto flush = [&] {
    if (!gathered.empty()) {
      samples[at].windows.assign(std::make_move_iterator(gathered.begin()),
                                 std::make_move_iterator(gathered.end()));
      gathered.clear();
    }
  };
  while (at < ids.size() && query.step()) {
    const std::int64_t id = query.integer(0);
    if (ids[at] < id) {
      flush();
      while (at < ids.size() && ids[at] < id) {
        ++at;
      }
    }
    const std::int64_t kind = query.integer(1);
    // A sample from before `since` that a clock set back filed after it, or a kind that a later
    // version added.
    if (at == ids.size() || ids[at] != id || kind < 0 ||
        kind > std::int64_t(HistoryWindowKind::model)) {
      continue;
    }
    HistoryWindow &window = gathered.emplace_back(
        HistoryWindow{HistoryWindowKind(kind), query.text(2), query.integer(3), std::nullopt});
    if (!query.isNull(4)) {
      window.resetsAt = instantOf(query.integer(4));
    }
  }
  if (at < ids.size()) {
    flush();
  }
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
    throw systemError(file_, errno);
  }
  ::close(fd);
  auto database = std::make_unique<SqliteDatabase>(file_, SqliteDatabase::Mode::readWrite);
  database->execute(kWriterSetup);
  checkVersion(*database, file_);
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

std::vector<HistorySample> readHistory(const std::filesystem::path &file, Instant since,
                                       std::optional<Instant> everyWindowSince) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) {
    if (errno == ENOENT) {
      return {};
    }
    throw systemError(file, errno);
  }
  // SQLite would block on a FIFO; nothing but a regular file is a history.
  if (!S_ISREG(status.st_mode)) {
    throw HistoryError(HistoryError::Kind::other, file.string() + ": not a regular file");
  }
  const std::unique_ptr<SqliteDatabase> opened = openToRead(file);
  SqliteDatabase &database = *opened;
  if (database.integer("PRAGMA user_version") < kHistorySchemaVersion) {
    return {};
  }
  // Two scans in id order, merged here, rather than a join that seeks each sample's windows: ids
  // grow with each append, so everything at or after `since` lies at or after the first such id.
  // That id comes from the span's part of the time index; left to itself, SQLite walks the table
  // from its oldest sample up to the first one in the span.
  SqliteDatabase::Statement first(
      database, "SELECT min(id) FROM sample INDEXED BY sample_by_time WHERE fetched_at >= ?1");
  const auto firstIdFrom = [&first](Instant at) -> std::optional<std::int64_t> {
    first.reset();
    first.bind(1, millis(at));
    if (!first.step() || first.isNull(0)) {
      return std::nullopt;
    }
    return first.integer(0);
  };
  const std::optional<std::int64_t> firstId = firstIdFrom(since);
  if (!firstId) {
    return {};
  }
  // Past the last id when no sample is that recent: the weekly window alone throughout.
  const std::int64_t everyWindowFromId =
      everyWindowSince && *everyWindowSince > since
          ? firstIdFrom(*everyWindowSince).value_or(std::numeric_limits<std::int64_t>::max())
          : *firstId;
  std::vector<std::int64_t> ids;
  std::vector<HistorySample> samples = samplesFrom(database, *firstId, since, ids);
  attachWindows(database, ids, everyWindowFromId, samples);
  // A clock set back files later samples under earlier times; readers want time order.
  const auto earlier = [](const HistorySample &a, const HistorySample &b) {
    return a.fetchedAt < b.fetchedAt;
  };
  if (!std::is_sorted(samples.begin(), samples.end(), earlier)) {
    std::stable_sort(samples.begin(), samples.end(), earlier);
  }
  return samples;
}

} // namespace quorbel
