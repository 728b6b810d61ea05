#include "history/history_layout.hpp"

#include "history/sqlite_database.hpp"
#include "platform/errno_text.hpp"

#include <cerrno>
#include <string>

namespace quorbel {

HistoryError historyFileError(const std::filesystem::path &file, int error) {
  const HistoryError::Kind kind = error == ENOSPC || error == EDQUOT ? HistoryError::Kind::diskFull
                                  : error == EROFS                   ? HistoryError::Kind::readOnly
                                                                     : HistoryError::Kind::other;
  return HistoryError(kind, failureText(file.string(), error));
}

void checkHistoryVersion(SqliteDatabase &database, const std::filesystem::path &file) {
  const std::int64_t version = database.integer("PRAGMA user_version");
  if (version > kHistorySchemaVersion) {
    throw HistoryError(HistoryError::Kind::other, file.string() +
                                                      ": written by a newer version (layout " +
                                                      std::to_string(version) + ")");
  }
}

} // namespace quorbel
