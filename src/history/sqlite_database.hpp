#pragma once

#include "history/history_recording.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace quorbel {

// The one way this program talks to SQLite: a connection and its statements, every failure a
// HistoryError whose kind says what a user could do about it.
class SqliteDatabase {
public:
  // `immutable` reads the file alone, as on read-only media: no lock, no write-ahead log, and no
  // shared-memory index, which SQLite otherwise needs to create beside the file to read it.
  enum class Mode { readOnly, readWrite, immutable };

  // Opens `file` (readWrite creates it). Never follows a symbolic link at the last component.
  SqliteDatabase(const std::filesystem::path &file, Mode mode);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase &) = delete;
  SqliteDatabase &operator=(const SqliteDatabase &) = delete;

  void execute(const char *sql);
  // Ends a transaction that failed part way; what failed is reported by the caller.
  void rollbackQuietly() noexcept;
  std::int64_t integer(const char *sql); // the first column of the first row, 0 when none
  std::int64_t lastInsertId() const;

  class Statement {
  public:
    Statement(SqliteDatabase &database, const char *sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    // Parameters count from 1, as SQLite's do.
    void bind(int index, std::int64_t value);
    void bind(int index, std::optional<std::int64_t> value);
    void bind(int index, std::string_view text);
    bool step(); // true while a row is ready
    void reset();
    bool isNull(int column) const;
    std::int64_t integer(int column) const;
    std::string text(int column) const;

  private:
    SqliteDatabase &database_;
    sqlite3_stmt *statement_ = nullptr;
  };

  [[noreturn]] void fail(int code, std::string_view what) const;

private:
  std::filesystem::path file_;
  sqlite3 *handle_ = nullptr;
};

// The kind a SQLite result code falls into.
HistoryError::Kind historyErrorKind(int code);

} // namespace quorbel
