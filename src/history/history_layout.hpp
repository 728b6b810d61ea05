#pragma once

#include "history/history_recording.hpp"
#include "model/plan_date.hpp"

#include <cstdint>
#include <filesystem>

namespace quorbel {

class SqliteDatabase;

// What the writer and the readers of the history file share: how a time is stored, what a failed
// system call on the file means, and the check of its layout's version.

// The layout of the file, in PRAGMA user_version; a later layout migrates from this one.
inline constexpr std::int64_t kHistorySchemaVersion = 1;

// Times are stored as milliseconds since 1970 UTC.
inline std::int64_t millis(Instant instant) { return instant.time_since_epoch().count(); }
inline Instant instantOf(std::int64_t ms) { return Instant(std::chrono::milliseconds(ms)); }

// What a failed system call on the history's file was: a full disk and a read-only medium each
// have their kind; anything else (permission denied, not a directory) is told by its errno alone.
HistoryError historyFileError(const std::filesystem::path &file, int error);

// Throws HistoryError when `database` was laid out by a newer version, which this one must not
// write into nor misread.
void checkHistoryVersion(SqliteDatabase &database, const std::filesystem::path &file);

} // namespace quorbel
