#pragma once

#include "history/history_recording.hpp"
#include "history/history_sample.hpp"
#include "model/clock.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorbel {

class SqliteDatabase;

// Samples older than this are deleted; those older than kFullDetailAge are thinned to one per
// hour. A year stays a few megabytes, and a month in full detail is what the charts look at.
inline constexpr std::chrono::hours kHistoryKeepAge{400 * 24};
inline constexpr std::chrono::hours kHistoryFullDetailAge{35 * 24};
inline constexpr std::chrono::hours kHistoryThinnedStep{1};

// "history.sqlite3" in the folder of `snapshotFile`: each account's history beside its snapshot.
std::filesystem::path historyPathBeside(const std::filesystem::path &snapshotFile);

// The helper's history: one SQLite file, kept open between fetches.
class HistoryStore final : public HistoryRecording {
public:
  explicit HistoryStore(std::filesystem::path file, const Clock &clock = systemClock());
  ~HistoryStore() override;

  // Appends, then applies retention at most once an hour. Retention goes by the clock, never by
  // the sample's own time, and by the earlier of this reading and the last one: a clock that is
  // wrong for a single fetch neither deletes nor thins anything. A corrupt file is moved aside as
  // "<file>.corrupt-<time>" and a new one started; any other failure closes the file, so the next
  // fetch opens it afresh.
  std::optional<std::string> record(const PlanSnapshot &snapshot) override;

  // Deletes and thins by age as of `now`.
  void applyRetention(Instant now);

  const std::filesystem::path &file() const { return file_; }

private:
  void open();
  void append(const HistorySample &sample);
  std::string setAsideCorrupt(Instant now);

  struct Connection;

  std::filesystem::path file_;
  const Clock &clock_;
  // The open file and the statements each sample runs, prepared once: a tick's caches are cold
  // after its TLS handshake, and compiling the same SQL again would cost it more than running it.
  std::unique_ptr<Connection> connection_;
  std::optional<Instant> lastReading_; // the clock at the previous record()
  std::optional<Instant> lastRetention_;
  std::optional<std::int64_t> thinnedBefore_; // in ms: every hour before it holds one sample
};

// The samples fetched at or after `since`, in time order, read without writing anything. No file
// is an empty history; a file that cannot be read throws HistoryError. With `everyWindowSince`,
// samples before it carry their weekly window only: what a week's trend needs, read for a fraction
// of the cost.
std::vector<HistorySample> readHistory(const std::filesystem::path &file, Instant since,
                                       std::optional<Instant> everyWindowSince = std::nullopt);

} // namespace quorbel
