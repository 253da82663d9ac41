#pragma once

#include "error.h"
#include "plainfile.h"

#include <sqlite3.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvendal::journal {

// Every failure of SQLite becomes an Error here, so that its numbering is decided in one place:
// `code` is SQLite's result code, and `description` says what failed.
Error sqliteFailure(int code, const std::string& description);
// `context` and the message SQLite holds for `db` (or the one of `code` when there is no `db`).
Error sqliteError(sqlite3* db, int code, const std::string& context);

// One connection to a journal, closed with its owner, through SQLite's own files or, with `vfs`,
// through that registered VFS. Throws Error.
class Database {
public:
    Database(const std::string& path, int flags, const char* vfs = nullptr);
    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    ~Database();

    void exec(std::string_view sql);
    // Rows the last INSERT, UPDATE or DELETE changed, and the row id of the last INSERT.
    long long changes() const;
    long long lastInsertId() const;
    // Folds the write-ahead log into the database file and empties it. What it would fold in is
    // committed already, so its failure (a reader still in the log) is returned, never thrown.
    std::optional<Error> checkpoint();

    sqlite3* handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

// A transaction that takes the write lock at once (BEGIN IMMEDIATE) and is rolled back when it
// ends without commit(), by an exception or a return.
class Transaction {
public:
    explicit Transaction(Database& database);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();

    void commit();

private:
    // The connection rather than its owner, which may move while the transaction is open.
    sqlite3* db_;
    bool committed_ = false;
};

// A prepared statement. Its result's columns are read by their names in the SELECT.
class Statement {
public:
    Statement(const Database& database, std::string_view sql);
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    Statement& bind(int index, long long value);
    Statement& bind(int index, double value);
    Statement& bind(int index, const std::string& value);
    Statement& bind(int index, std::nullptr_t);
    template <typename T> Statement& bind(int index, const std::optional<T>& value) {
        return value ? bind(index, *value) : bind(index, nullptr);
    }

    // True while a row is there to read.
    bool step();
    void run();

    bool isNull(std::string_view column) const;
    long long integer(std::string_view column) const;
    std::optional<long long> optionalInteger(std::string_view column) const;
    std::optional<double> optionalReal(std::string_view column) const;
    // NULL reads as empty.
    std::string text(std::string_view column) const;

private:
    int index(std::string_view column) const;
    void check(int code);

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    std::vector<std::string> columns_;
};

// The journal's path with its folder resolved, once its database and SQLite's files beside it
// are found to be regular files (of this user when `owner` is Owner::Us) or missing. Throws Error.
std::string checkedJournal(const std::string& path, files::Owner owner);

} // namespace orvendal::journal
