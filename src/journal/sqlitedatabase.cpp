#include "sqlitedatabase.h"

#include "fileidentity.h"
#include "journal.h"
#include "journalclaim.h"

#include <algorithm>
#include <utility>

namespace orvendal::journal {

namespace {

class SqliteCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "sqlite"; }
    std::string message(int code) const override { return sqlite3_errstr(code); }
};

// An extended result code's primary code: SQLITE_IOERR_WRITE is SQLITE_IOERR.
std::error_code sqliteCode(int code) {
    return {code & 0xFF, sqliteCategory()};
}

} // namespace

const std::error_category& sqliteCategory() noexcept {
    static const SqliteCategory category;
    return category;
}

bool corruptJournal(const std::error_code& code) {
    return code == sqliteCode(SQLITE_CORRUPT) || code == sqliteCode(SQLITE_NOTADB);
}

bool fullJournal(const std::error_code& code) {
    return code == sqliteCode(SQLITE_FULL);
}

Error sqliteFailure(int code, const std::string& description) {
    return Error(sqliteCode(code), description);
}

Error sqliteError(sqlite3* db, int code, const std::string& context) {
    const char* message = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    return sqliteFailure(code, context + ": " + message);
}

Database::Database(const std::string& path, int flags, const char* vfs) {
    const int code = sqlite3_open_v2(path.c_str(), &db_,
                                     flags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, vfs);
    if (code != SQLITE_OK) {
        const Error error = sqliteError(db_, code, "no se puede abrir el diario " + path);
        sqlite3_close(db_);
        throw error;
    }
    // A reader may meet the watcher's commit or checkpoint; wait a little instead of failing.
    sqlite3_busy_timeout(db_, 2000);
}

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Database& Database::operator=(Database&& other) noexcept {
    std::swap(db_, other.db_);
    return *this;
}

Database::~Database() {
    sqlite3_close(db_);
}

void Database::exec(std::string_view sql) {
    const std::string text(sql);
    const int code = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        throw sqliteError(db_, code, "diario");
    }
}

long long Database::changes() const {
    return sqlite3_changes(db_);
}

long long Database::lastInsertId() const {
    return sqlite3_last_insert_rowid(db_);
}

std::optional<Error> Database::checkpoint() {
    // Unlike PRAGMA wal_checkpoint, which answers a row with busy = 1, this says SQLITE_BUSY when
    // a reader kept it from emptying the log.
    const int code =
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if (code != SQLITE_OK) {
        return sqliteError(db_, code, "diario");
    }
    return std::nullopt;
}

Transaction::Transaction(Database& database) : db_(database.handle()) {
    database.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    // A failed COMMIT may have ended the transaction already; ROLLBACK's own failure is moot.
    if (!committed_ && sqlite3_get_autocommit(db_) == 0) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Transaction::commit() {
    const int code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        throw sqliteError(db_, code, "diario");
    }
    committed_ = true;
}

Statement::Statement(const Database& database, std::string_view sql) : db_(database.handle()) {
    const int code =
        sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (code != SQLITE_OK) {
        throw sqliteError(db_, code, "diario");
    }
    for (int i = 0; i < sqlite3_column_count(stmt_); ++i) {
        columns_.emplace_back(sqlite3_column_name(stmt_, i));
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement& Statement::bind(int index, long long value) {
    check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
}

Statement& Statement::bind(int index, double value) {
    check(sqlite3_bind_double(stmt_, index, value));
    return *this;
}

Statement& Statement::bind(int index, const std::string& value) {
    check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
    return *this;
}

Statement& Statement::bind(int index, std::nullptr_t) {
    check(sqlite3_bind_null(stmt_, index));
    return *this;
}

bool Statement::step() {
    const int code = sqlite3_step(stmt_);
    if (code == SQLITE_ROW) {
        return true;
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    if (code != SQLITE_DONE) {
        throw sqliteError(db_, code, "diario");
    }
    return false;
}

void Statement::run() {
    while (step()) {
    }
}

bool Statement::isNull(std::string_view column) const {
    return sqlite3_column_type(stmt_, index(column)) == SQLITE_NULL;
}

long long Statement::integer(std::string_view column) const {
    return sqlite3_column_int64(stmt_, index(column));
}

std::optional<long long> Statement::optionalInteger(std::string_view column) const {
    return isNull(column) ? std::nullopt : std::optional(integer(column));
}

std::optional<double> Statement::optionalReal(std::string_view column) const {
    return isNull(column) ? std::nullopt
                          : std::optional(sqlite3_column_double(stmt_, index(column)));
}

std::string Statement::text(std::string_view column) const {
    const int i = index(column);
    const auto* data = sqlite3_column_text(stmt_, i);
    return data ? std::string(reinterpret_cast<const char*>(data),
                              static_cast<std::size_t>(sqlite3_column_bytes(stmt_, i)))
                : std::string();
}

int Statement::index(std::string_view column) const {
    const auto found = std::find(columns_.begin(), columns_.end(), column);
    if (found == columns_.end()) {
        throw sqliteFailure(SQLITE_RANGE,
                            "diario: la consulta no tiene la columna " + std::string(column));
    }
    return static_cast<int>(found - columns_.begin());
}

void Statement::check(int code) {
    if (code != SQLITE_OK) {
        throw sqliteError(db_, code, "diario");
    }
}

// SQLite opens the files itself, without following a link at the last step (O_NOFOLLOW); the
// check keeps it from opening a FIFO, which would hang it, or another user's file. With
// SQLITE_OPEN_NOFOLLOW SQLite refuses a link anywhere in the path, so the folder is resolved
// first: a folder reached through a link stays usable.
std::string checkedJournal(const std::string& path, files::Owner owner) {
    const std::string resolved = files::withResolvedFolder(path);
    for (const std::string& file : journalFiles(resolved)) {
        if (file != lockPath(resolved)) {
            files::requirePlainFileOrNothing(file, owner);
        }
    }
    return resolved;
}

std::vector<std::string> journalFiles(const std::string& path) {
    return {path, path + "-wal", path + "-shm", path + "-journal", lockPath(path)};
}

} // namespace orvendal::journal
