// The history read as it stands, without writing anything: the reader's side of the file.
#include "history/history_layout.hpp"
#include "history/history_store.hpp"
#include "history/sqlite_database.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace quorbel {
namespace {

// Room reserved for a read at most: four months at one sample per 180 s.
constexpr std::int64_t kReadReserveCap = 1 << 16;

// The history opened to read. A log-mode file is read through a shared-memory index that SQLite
// keeps beside it; where that cannot be created (a read-only folder or medium with no helper
// running there), the file is read alone, as it stands, without what only a leftover log holds.
std::unique_ptr<SqliteDatabase> openToRead(const std::filesystem::path &file) {
  const auto open = [&file](SqliteDatabase::Mode mode) {
    auto database = std::make_unique<SqliteDatabase>(file, mode);
    // One pass reads each page once: a small cache recycles its pages instead of touching new
    // memory.
    database->execute("PRAGMA busy_timeout = 1000; PRAGMA cache_size = -64");
    checkHistoryVersion(*database, file);
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

std::vector<HistorySample> readHistory(const std::filesystem::path &file, Instant since,
                                       std::optional<Instant> everyWindowSince) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) {
    if (errno == ENOENT) {
      return {};
    }
    throw historyFileError(file, errno);
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
