#include "history/sqlite_database.hpp"

#include "model/enum_names.hpp"

#include <sqlite3.h>

namespace quorbel {
namespace {

constexpr EnumNames kKindNames{std::array<std::pair<HistoryError::Kind, std::string_view>, 5>{{
    {HistoryError::Kind::locked, "locked"},
    {HistoryError::Kind::corrupt, "corrupt"},
    {HistoryError::Kind::diskFull, "disk full"},
    {HistoryError::Kind::readOnly, "read-only"},
    {HistoryError::Kind::other, "other"},
}}};

// "file:" and the path with everything but unreserved characters and slashes percent-encoded, so
// that a '?', '#' or '%' in a folder name stays part of the name.
std::string fileUri(const std::filesystem::path &file, std::string_view parameters) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  constexpr auto npos = std::string_view::npos;
  std::string uri = "file:";
  for (const char c : file.string()) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || std::string_view("/-._~").find(c) != npos;
    if (unreserved) {
      uri += c;
    } else {
      uri += '%';
      uri += kHex[byte >> 4];
      uri += kHex[byte & 0xf];
    }
  }
  uri += '?';
  uri += parameters;
  return uri;
}

} // namespace

std::string_view kindName(HistoryError::Kind kind) { return kKindNames.nameOf(kind); }

HistoryError::Kind historyErrorKind(int code) {
  switch (code & 0xff) {
  case SQLITE_BUSY:
  case SQLITE_LOCKED:
    return HistoryError::Kind::locked;
  case SQLITE_CORRUPT:
  case SQLITE_NOTADB:
    return HistoryError::Kind::corrupt;
  case SQLITE_FULL:
    return HistoryError::Kind::diskFull;
  case SQLITE_READONLY:
  case SQLITE_CANTOPEN:
  case SQLITE_PERM:
  case SQLITE_AUTH:
    return HistoryError::Kind::readOnly;
  default:
    return HistoryError::Kind::other;
  }
}

SqliteDatabase::SqliteDatabase(const std::filesystem::path &file, Mode mode) : file_(file) {
  int flags = SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
  std::string name = file.string();
  switch (mode) {
  case Mode::readWrite:
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    break;
  case Mode::readOnly:
    flags |= SQLITE_OPEN_READONLY;
    break;
  case Mode::immutable:
    flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
    name = fileUri(file, "immutable=1");
    break;
  }
  const int code = sqlite3_open_v2(name.c_str(), &handle_, flags, nullptr);
  if (code != SQLITE_OK) {
    const std::string message = handle_ ? sqlite3_errmsg(handle_) : sqlite3_errstr(code);
    sqlite3_close(handle_);
    handle_ = nullptr;
    throw HistoryError(historyErrorKind(code), file.string() + ": " + message);
  }
  sqlite3_extended_result_codes(handle_, 1);
}

SqliteDatabase::~SqliteDatabase() { sqlite3_close_v2(handle_); }

void SqliteDatabase::fail(int code, std::string_view what) const {
  throw HistoryError(historyErrorKind(code),
                     file_.string() + ": " + std::string(what) + ": " + sqlite3_errmsg(handle_));
}

void SqliteDatabase::execute(const char *sql) {
  const int code = sqlite3_exec(handle_, sql, nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) {
    fail(code, sql);
  }
}

void SqliteDatabase::rollbackQuietly() noexcept {
  sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr);
}

std::int64_t SqliteDatabase::integer(const char *sql) {
  Statement statement(*this, sql);
  return statement.step() ? statement.integer(0) : 0;
}

std::int64_t SqliteDatabase::lastInsertId() const { return sqlite3_last_insert_rowid(handle_); }

SqliteDatabase::Statement::Statement(SqliteDatabase &database, const char *sql)
    : database_(database) {
  const int code = sqlite3_prepare_v2(database.handle_, sql, -1, &statement_, nullptr);
  if (code != SQLITE_OK) {
    database.fail(code, sql);
  }
}

SqliteDatabase::Statement::~Statement() { sqlite3_finalize(statement_); }

void SqliteDatabase::Statement::bind(int index, std::int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
}

void SqliteDatabase::Statement::bind(int index, std::optional<std::int64_t> value) {
  if (value) {
    sqlite3_bind_int64(statement_, index, *value);
  } else {
    sqlite3_bind_null(statement_, index);
  }
}

void SqliteDatabase::Statement::bind(int index, std::string_view text) {
  sqlite3_bind_text(statement_, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

bool SqliteDatabase::Statement::step() {
  const int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) {
    return true;
  }
  if (code != SQLITE_DONE) {
    database_.fail(code, sqlite3_sql(statement_));
  }
  return false;
}

void SqliteDatabase::Statement::reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

bool SqliteDatabase::Statement::isNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::int64_t SqliteDatabase::Statement::integer(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string SqliteDatabase::Statement::text(int column) const {
  const auto *bytes = sqlite3_column_text(statement_, column);
  return bytes ? std::string(reinterpret_cast<const char *>(bytes),
                             std::size_t(sqlite3_column_bytes(statement_, column)))
               : std::string();
}

} // namespace quorbel
