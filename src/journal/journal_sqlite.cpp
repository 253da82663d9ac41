#include "error.h"
#include "fileidentity.h"
#include "journal.h"
#include "journalclaim.h"
#include "plainfile.h"
#include "text.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <utility>

namespace orvendal::journal {
namespace {

constexpr std::string_view kSchema = R"sql(
CREATE TABLE IF NOT EXISTS watches (
    id           INTEGER PRIMARY KEY,
    station_file TEXT    NOT NULL,
    pid          INTEGER NOT NULL,
    started_ms   INTEGER NOT NULL,
    heartbeat_ms INTEGER NOT NULL,
    ended_ms     INTEGER,
    ended        TEXT CHECK (ended IN ('stopped', 'unknown')),
    interval_ms  INTEGER
);
CREATE TABLE IF NOT EXISTS sessions (
    id         INTEGER PRIMARY KEY,
    watch      INTEGER NOT NULL REFERENCES watches (id),
    rec        INTEGER NOT NULL,
    lc         TEXT,
    station    INTEGER,
    connection TEXT,
    name       TEXT,
    tally      INTEGER,
    start_ms   INTEGER,
    seen_ms    INTEGER NOT NULL,
    end_ms     INTEGER,
    ended      TEXT CHECK (ended IN ('disconnected', 'stopped', 'unknown')),
    seconds    REAL,
    ended_after_ms INTEGER,
    started_after_ms INTEGER
);
CREATE INDEX IF NOT EXISTS sessions_by_time ON sessions (seen_ms, end_ms);
CREATE INDEX IF NOT EXISTS sessions_by_rec ON sessions (rec, id);
CREATE TABLE IF NOT EXISTS outages (
    id       INTEGER PRIMARY KEY,
    watch    INTEGER NOT NULL REFERENCES watches (id),
    start_ms INTEGER NOT NULL,
    end_ms   INTEGER,
    error    TEXT    NOT NULL,
    ended    TEXT CHECK (ended IN ('recovered', 'stopped', 'unknown'))
);
PRAGMA user_version = 2;
)sql";

// Columns that journals of user_version 1 lack: added in place, and read as NULL there.
struct AddedColumn {
    const char* table;
    const char* name;
};
constexpr std::array<AddedColumn, 3> kAddedColumns = {
    {{"watches", "interval_ms"}, {"sessions", "ended_after_ms"}, {"sessions", "started_after_ms"}}};

// Where a session a killed watcher left open ends: its watcher's last heartbeat, but never
// before one refresh interval after the refresh that saw it, which stood for the station's state
// until the next one (as a disconnection is stamped up to one interval late). Never at the
// restart, which would invent hours of connection. `interval` is NULL in old journals.
std::string leftoverEnd(std::string_view interval) {
    return "max(sessions.seen_ms + coalesce(" + std::string(interval) +
           ", 0), watches.heartbeat_ms)";
}

const std::array<std::string, 3> kCloseLeftovers = {
    "UPDATE sessions SET ended = 'unknown', end_ms = (SELECT " +
        leftoverEnd("watches.interval_ms") +
        " FROM watches WHERE watches.id = sessions.watch) WHERE end_ms IS NULL",
    "UPDATE outages SET ended = 'unknown', end_ms = max(start_ms, "
    "(SELECT heartbeat_ms FROM watches WHERE watches.id = outages.watch)) WHERE end_ms IS NULL",
    "UPDATE watches SET ended = 'unknown', ended_ms = heartbeat_ms WHERE ended IS NULL"};

class SqliteCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "sqlite"; }
    std::string message(int code) const override { return sqlite3_errstr(code); }
};

// An extended result code's primary code: SQLITE_IOERR_WRITE is SQLITE_IOERR.
std::error_code sqliteCode(int code) {
    return {code & 0xFF, sqliteCategory()};
}

Error sqliteError(sqlite3* db, int code, const std::string& context) {
    const char* message = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    return Error(sqliteCode(code), context + ": " + message);
}

struct Database {
    sqlite3* db = nullptr;
    Database() = default;
    Database(const std::string& path, int flags) {
        const int code = sqlite3_open_v2(
            path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
        if (code != SQLITE_OK) {
            const Error error = sqliteError(db, code, "no se puede abrir el diario " + path);
            sqlite3_close(db);
            throw error;
        }
        // A reader may meet the watcher's commit or checkpoint; wait a little instead of failing.
        sqlite3_busy_timeout(db, 2000);
    }
    Database(Database&& other) noexcept : db(std::exchange(other.db, nullptr)) {}
    Database& operator=(Database&& other) noexcept {
        std::swap(db, other.db);
        return *this;
    }
    ~Database() { sqlite3_close(db); }

    void exec(std::string_view sql) {
        const std::string text(sql);
        const int code = sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr);
        if (code != SQLITE_OK) {
            throw sqliteError(db, code, "diario");
        }
    }
};

class Statement {
public:
    Statement(sqlite3* db, std::string_view sql) : db_(db) {
        const int code =
            sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
        if (code != SQLITE_OK) {
            throw sqliteError(db, code, "diario");
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    Statement& bind(int index, long long value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    Statement& bind(int index, double value) {
        check(sqlite3_bind_double(stmt_, index, value));
        return *this;
    }
    Statement& bind(int index, const std::string& value) {
        check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, std::nullptr_t) {
        check(sqlite3_bind_null(stmt_, index));
        return *this;
    }
    template <typename T> Statement& bind(int index, const std::optional<T>& value) {
        return value ? bind(index, *value) : bind(index, nullptr);
    }

    // True while a row is there to read.
    bool step() {
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
    void run() {
        while (step()) {
        }
    }

    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    long long integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    double real(int column) const { return sqlite3_column_double(stmt_, column); }
    std::string text(int column) const {
        const auto* data = sqlite3_column_text(stmt_, column);
        return data ? std::string(reinterpret_cast<const char*>(data),
                                  static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                    : std::string();
    }

private:
    void check(int code) {
        if (code != SQLITE_OK) {
            throw sqliteError(db_, code, "diario");
        }
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// The journal's path with its folder resolved, once its database and SQLite's files beside it
// are found to be regular files (of this user when `owner` is Owner::Us) or missing. SQLite opens
// them itself, without following a link at the last step (O_NOFOLLOW); the check keeps it from
// opening a FIFO, which would hang it, or another user's file. With SQLITE_OPEN_NOFOLLOW SQLite
// refuses a link anywhere in the path, so the folder is resolved first: a folder reached through
// a link stays usable.
std::string checkedJournal(const std::string& path, files::Owner owner) {
    const std::string resolved = files::withResolvedFolder(path);
    for (const std::string& file : journalFiles(resolved)) {
        if (file != lockPath(resolved)) {
            files::requirePlainFileOrNothing(file, owner);
        }
    }
    return resolved;
}

bool hasColumn(sqlite3* db, const char* table, const char* column) {
    Statement query(db, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
    query.bind(1, std::string(table)).bind(2, std::string(column));
    const bool found = query.step();
    if (found) {
        query.run();
    }
    return found;
}

std::optional<long long> afterMs(const Event& e) {
    return e.changedAfter ? std::optional(epochMilliseconds(*e.changedAfter)) : std::nullopt;
}

std::optional<std::string> utf8(const std::optional<StationFields>& f,
                                std::u16string StationFields::*m) {
    if (!f) {
        return std::nullopt;
    }
    return toUtf8((*f).*m);
}

} // namespace

const std::error_category& sqliteCategory() noexcept {
    static const SqliteCategory category;
    return category;
}

bool corruptJournal(const std::error_code& code) {
    return code == sqliteCode(SQLITE_CORRUPT) || code == sqliteCode(SQLITE_NOTADB);
}

std::vector<std::string> journalFiles(const std::string& path) {
    return {path, path + "-wal", path + "-shm", path + "-journal", lockPath(path)};
}

struct Journal::Handle {
    WatcherClaim lock;
    Database database;
    std::string path;
    std::optional<std::string> movedAside;
    long long watch = 0;
    int closedAsUnknown = 0;
    std::map<std::int64_t, long long> openSessions; // by rec
    std::optional<long long> openOutage;
    Statement beat;
    Statement insertSession;
    Statement endSession;
    Statement insertOutage;
    Statement endOutage;

    Handle(WatcherClaim l, Database d)
        : lock(std::move(l)), database(std::move(d)),
          beat(database.db,
               "UPDATE watches SET heartbeat_ms = max(heartbeat_ms, ?2) WHERE id = ?1"),
          insertSession(database.db,
                        "INSERT INTO sessions (watch, rec, lc, station, connection, name, tally, "
                        "start_ms, seen_ms, started_after_ms) "
                        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"),
          endSession(database.db, "UPDATE sessions SET end_ms = ?2, ended = ?3, seconds = ?4, "
                                  "ended_after_ms = ?5 WHERE id = ?1"),
          insertOutage(database.db,
                       "INSERT INTO outages (watch, start_ms, error) VALUES (?1, ?2, ?3)"),
          endOutage(database.db, "UPDATE outages SET end_ms = ?2, ended = ?3 WHERE id = ?1") {}

    void closeSession(const Event& e, const char* how) {
        const auto found = openSessions.find(e.rec);
        if (found == openSessions.end()) {
            return;
        }
        endSession.bind(1, found->second).bind(2, epochMilliseconds(e.time));
        endSession.bind(3, std::string(how)).bind(4, e.seconds);
        endSession.bind(5, afterMs(e));
        endSession.run();
        openSessions.erase(found);
    }
    void closeOutage(long long endMs, const char* how) {
        if (openOutage) {
            endOutage.bind(1, *openOutage).bind(2, endMs).bind(3, std::string(how)).run();
            openOutage.reset();
        }
    }
};

namespace {

// Moves a corrupt journal and SQLite's files beside it to "DB.corrupt-YYYYMMDDTHHMMSS" (and its
// "-wal" and "-shm"), never over a file already there; returns the database's new name.
std::string moveAside(const std::string& db, WallClock::time_point now) {
    const std::tm t = localTime(WallClock::to_time_t(now));
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &t);
    const std::string aside = db + ".corrupt-" + stamp;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string from = db + suffix, to = aside + suffix;
        moveCorruptFile(from, to);
    }
    return aside;
}

// Sets the journal up for this watcher under `lock`, which it takes only once all is committed.
std::unique_ptr<Journal::Handle> begin(WatcherClaim& lock, const std::string& db,
                                       const std::string& stationFile, WallClock::time_point now,
                                       Milliseconds interval) {
    Database database(db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    database.exec(
        "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON;");
    database.exec("BEGIN IMMEDIATE");
    database.exec(kSchema);
    for (const AddedColumn& column : kAddedColumns) {
        if (!hasColumn(database.db, column.table, column.name)) {
            database.exec(std::string("ALTER TABLE ") + column.table + " ADD COLUMN " +
                          column.name + " INTEGER");
        }
    }
    int closed = 0;
    for (std::size_t i = 0; i < kCloseLeftovers.size(); ++i) {
        database.exec(kCloseLeftovers[i]);
        closed += i < 2 ? sqlite3_changes(database.db) : 0;
    }
    auto handle = std::make_unique<Journal::Handle>(std::move(lock), std::move(database));
    {
        Statement insert(handle->database.db,
                         "INSERT INTO watches (station_file, pid, started_ms, heartbeat_ms, "
                         "interval_ms) VALUES (?1, ?2, ?3, ?3, ?4)");
        insert.bind(1, stationFile).bind(2, processId());
        insert.bind(3, epochMilliseconds(now));
        insert.bind(4, static_cast<long long>(interval.count())).run();
    }
    handle->watch = sqlite3_last_insert_rowid(handle->database.db);
    handle->database.exec("COMMIT");
    handle->closedAsUnknown = closed;
    handle->path = db;
    return handle;
}

} // namespace

Journal Journal::open(const std::string& path, const std::string& stationFile,
                      WallClock::time_point now, Milliseconds interval) {
    const std::string db = checkedJournal(path, files::Owner::Us);
    std::optional<WatcherClaim> lock(std::in_place, db);
    try {
        return Journal(begin(*lock, db, stationFile, now, interval));
    } catch (const Error& error) {
        if (!corruptJournal(error.code())) {
            throw;
        }
    }
    // Moved while this watcher still holds it; the new file gets a claim of its own.
    const std::string aside = moveAside(db, now);
    lock.reset();
    lock.emplace(db);
    Journal journal(begin(*lock, db, stationFile, now, interval));
    journal.handle_->movedAside = aside;
    return journal;
}

Journal::Journal(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
Journal::Journal(Journal&&) noexcept = default;
Journal& Journal::operator=(Journal&&) noexcept = default;
Journal::~Journal() = default;

int Journal::closedAsUnknown() const {
    return handle_->closedAsUnknown;
}

std::optional<std::string> Journal::movedAside() const {
    return handle_->movedAside;
}

bool Journal::replaced() const {
    return files::identityOf(handle_->path) != handle_->lock.identity();
}

void Journal::record(std::span<const Event> events, WallClock::time_point now) {
    Handle& h = *handle_;
    // What the rows rolled back would leave wrong: a session's row id that was never committed.
    const auto sessionsBefore = h.openSessions;
    const auto outageBefore = h.openOutage;
    h.database.exec("BEGIN IMMEDIATE");
    try {
        for (const Event& e : events) {
            const long long at = epochMilliseconds(e.time);
            switch (e.kind) {
            case EventKind::Connected: {
                const auto& f = e.fields;
                h.insertSession.bind(1, h.watch).bind(2, static_cast<long long>(e.rec));
                h.insertSession.bind(3, utf8(f, &StationFields::lc));
                h.insertSession.bind(4, f ? std::optional<long long>(f->station) : std::nullopt);
                h.insertSession.bind(5, utf8(f, &StationFields::connection));
                h.insertSession.bind(6, utf8(f, &StationFields::name));
                h.insertSession.bind(7, f ? std::optional<long long>(f->tally) : std::nullopt);
                h.insertSession.bind(8, e.atStart ? std::nullopt : std::optional<long long>(at));
                h.insertSession.bind(9, at).bind(10, afterMs(e)).run();
                h.openSessions[e.rec] = sqlite3_last_insert_rowid(h.database.db);
                break;
            }
            case EventKind::Disconnected:
                h.closeSession(e, "disconnected");
                break;
            case EventKind::Stopped:
                h.closeSession(e, "stopped");
                break;
            case EventKind::Outage:
                h.closeOutage(at, "recovered");
                h.insertOutage.bind(1, h.watch).bind(2, at).bind(3, e.error).run();
                h.openOutage = sqlite3_last_insert_rowid(h.database.db);
                break;
            case EventKind::Recovered:
                h.closeOutage(at, "recovered");
                break;
            }
        }
        h.beat.bind(1, h.watch).bind(2, epochMilliseconds(now)).run();
        h.database.exec("COMMIT");
    } catch (...) {
        sqlite3_exec(h.database.db, "ROLLBACK", nullptr, nullptr, nullptr);
        h.openSessions = sessionsBefore;
        h.openOutage = outageBefore;
        throw;
    }
}

void Journal::heartbeat(WallClock::time_point now) {
    handle_->beat.bind(1, handle_->watch).bind(2, epochMilliseconds(now)).run();
}

void Journal::stop(WallClock::time_point now) {
    Handle& h = *handle_;
    const long long at = epochMilliseconds(now);
    h.database.exec("BEGIN IMMEDIATE");
    const auto outageBefore = h.openOutage;
    try {
        h.closeOutage(at, "stopped");
        Statement ended(h.database.db, "UPDATE watches SET heartbeat_ms = max(heartbeat_ms, ?2), "
                                       "ended_ms = ?2, ended = 'stopped' WHERE id = ?1");
        ended.bind(1, h.watch).bind(2, at).run();
        h.database.exec("COMMIT");
        // Into the database file itself: SQLite does not at its close once the file was renamed
        // or deleted, and a journal begun at the path would take the WAL left there as its own.
        h.database.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    } catch (...) {
        sqlite3_exec(h.database.db, "ROLLBACK", nullptr, nullptr, nullptr);
        h.openOutage = outageBefore;
        throw;
    }
}

Journal::Pruned Journal::prune(WallClock::time_point before) {
    Handle& h = *handle_;
    // Ended before `before` implies seen before it: the time index finds them.
    constexpr std::string_view kBatches[] = {
        "DELETE FROM sessions WHERE id IN (SELECT id FROM sessions WHERE seen_ms < ?1 AND "
        "end_ms < ?1 LIMIT 10000)",
        "DELETE FROM outages WHERE id IN (SELECT id FROM outages WHERE end_ms < ?1 LIMIT 10000)",
    };
    long long deleted[2] = {0, 0};
    for (std::size_t i = 0; i < std::size(kBatches); ++i) {
        Statement batch(h.database.db, kBatches[i]);
        for (int changed = 1; changed > 0; deleted[i] += changed) {
            h.database.exec("BEGIN IMMEDIATE");
            try {
                batch.bind(1, epochMilliseconds(before)).run();
                changed = sqlite3_changes(h.database.db);
                h.database.exec("COMMIT");
            } catch (...) {
                sqlite3_exec(h.database.db, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        }
    }
    Statement watches(h.database.db,
                      "DELETE FROM watches WHERE ended_ms < ?1 AND id <> ?2 AND id NOT IN "
                      "(SELECT watch FROM sessions) AND id NOT IN (SELECT watch FROM outages)");
    watches.bind(1, epochMilliseconds(before)).bind(2, h.watch).run();
    return {deleted[0], deleted[1]};
}

struct JournalReader::Handle {
    Database database;
    bool watcherAlive = false;
    // The columns of this journal's version, or NULL where it predates them.
    std::string interval = "watches.interval_ms";
    std::string endedAfter = "sessions.ended_after_ms";
    std::string startedAfter = "sessions.started_after_ms";
};

namespace {

int probeJournal(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    int code =
        sqlite3_prepare_v2(db, "SELECT 1 FROM sessions, watches LIMIT 0", -1, &stmt, nullptr);
    if (code == SQLITE_OK) {
        code = sqlite3_step(stmt) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db);
    }
    sqlite3_finalize(stmt);
    return code;
}

// `path` as an SQLite URI's path: every byte but letters, digits, "/", "-", "." and "_" as %HH,
// so that no "?", "#" or "%" of a file name is read as URI syntax.
std::string uriPath(const std::string& path) {
    std::string out = "file:";
    for (const unsigned char c : path) {
        if (std::isalnum(c) != 0 || c == '/' || c == '-' || c == '.' || c == '_') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// SQLite reads a WAL journal through its "-shm" index, which a reader that cannot write the
// folder can neither create nor rebuild. When there is no "-wal" to index (a watcher that stops
// folds it into the database and removes both) and no watcher runs, the database is all there is
// and nobody changes it, so it is read as immutable; with a "-wal" that would silently miss its
// changes, so the reader refuses.
Database openForReading(const std::string& db, bool watcherAlive) {
    Database database(db, SQLITE_OPEN_READONLY);
    const int code = probeJournal(database.db);
    if (code == SQLITE_OK) {
        return database;
    }
    const int primary = code & 0xFF;
    if (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN) {
        throw sqliteError(database.db, code, "diario");
    }
    std::error_code missing;
    const std::string wal = db + "-wal";
    const bool walEmpty =
        std::filesystem::file_size(std::u8string(wal.begin(), wal.end()), missing) == 0 || missing;
    if (watcherAlive || !walEmpty) {
        throw Error(sqliteCode(primary),
                    "no se puede leer el diario " + db +
                        " sin escribir en su carpeta: tiene cambios en " + db +
                        "-wal y falta su índice " + db +
                        "-shm, o un vigilante lo está escribiendo; léalo con permiso de escritura "
                        "en la carpeta o copie el diario con su -wal a una carpeta suya");
    }
    Database immutable(uriPath(db) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    if (const int again = probeJournal(immutable.db); again != SQLITE_OK) {
        throw sqliteError(immutable.db, again, "diario");
    }
    return immutable;
}

} // namespace

JournalReader::JournalReader(const std::string& path) {
    const std::string db = checkedJournal(path, files::Owner::Anyone);
    const bool alive = watcherRunning(db);
    handle_ = std::make_unique<Handle>(Handle{openForReading(db, alive), alive});
    if (!hasColumn(handle_->database.db, "watches", "interval_ms")) {
        handle_->interval = "NULL";
    }
    if (!hasColumn(handle_->database.db, "sessions", "ended_after_ms")) {
        handle_->endedAfter = "NULL";
    }
    if (!hasColumn(handle_->database.db, "sessions", "started_after_ms")) {
        handle_->startedAfter = "NULL";
    }
}
JournalReader::JournalReader(JournalReader&&) noexcept = default;
JournalReader::~JournalReader() = default;

namespace {

// Sessions with their effective end: one left open by a watcher that is no longer running ends
// where the next watcher will close it. A session first seen connected, whose record read blank,
// takes the fields of the last earlier session of its record that had them.
std::string sessionsQuery(const JournalReader::Handle& h) {
    return R"sql(
WITH s AS (
    SELECT sessions.id, sessions.rec, sessions.start_ms, sessions.seen_ms, sessions.seconds,
        )sql" +
           h.endedAfter + R"sql( AS after_ms, )sql" + h.startedAfter + R"sql( AS began_after_ms,
        CASE WHEN sessions.end_ms IS NULL AND NOT ?1 THEN )sql" +
           leftoverEnd(h.interval) + R"sql( ELSE sessions.end_ms END AS fin,
        CASE WHEN sessions.end_ms IS NULL AND NOT ?1 THEN 'unknown' ELSE sessions.ended END AS how,
        CASE WHEN sessions.station IS NOT NULL THEN sessions.id
             ELSE (SELECT p.id FROM sessions AS p WHERE p.rec = sessions.rec
                   AND p.station IS NOT NULL AND p.id < sessions.id ORDER BY p.id DESC LIMIT 1)
        END AS known
    FROM sessions JOIN watches ON watches.id = sessions.watch),
k AS (
    SELECT s.*, f.lc, f.station, f.connection, f.name, f.tally
    FROM s LEFT JOIN sessions AS f ON f.id = s.known)
SELECT rec, lc, station, connection, name, tally, start_ms, seen_ms, fin, how, seconds, after_ms,
    began_after_ms
FROM k
)sql";
}

std::vector<Session> readSessions(Statement& query) {
    std::vector<Session> sessions;
    while (query.step()) {
        Session s;
        s.rec = query.integer(0);
        if (!query.isNull(2)) {
            s.fields =
                StationFields{fromUtf8(query.text(1)), static_cast<std::int32_t>(query.integer(2)),
                              fromUtf8(query.text(3)), fromUtf8(query.text(4)),
                              static_cast<int>(query.integer(5))};
        }
        if (!query.isNull(6)) {
            s.start = fromEpochMilliseconds(query.integer(6));
        }
        s.atStart = !s.start;
        s.seen = fromEpochMilliseconds(query.integer(7));
        if (!query.isNull(8)) {
            s.end = fromEpochMilliseconds(query.integer(8));
        }
        s.ended = query.text(9);
        if (!query.isNull(10)) {
            s.seconds = query.real(10);
        }
        if (!query.isNull(11)) {
            s.endedAfter = fromEpochMilliseconds(query.integer(11));
        }
        if (!query.isNull(12)) {
            s.startedAfter = fromEpochMilliseconds(query.integer(12));
        }
        sessions.push_back(std::move(s));
    }
    return sessions;
}

std::optional<long long> station64(std::optional<std::int32_t> station) {
    return station ? std::optional<long long>(*station) : std::nullopt;
}

std::optional<long long> ms(std::optional<WallClock::time_point> t) {
    return t ? std::optional<long long>(epochMilliseconds(*t)) : std::nullopt;
}

std::optional<WallClock::time_point> instant(std::optional<long long> ms) {
    return ms ? std::optional(fromEpochMilliseconds(*ms)) : std::nullopt;
}

// Whether [from, to) meets [since, until], a missing end being open.
bool overlaps(const Blind& b, std::optional<WallClock::time_point> since,
              std::optional<WallClock::time_point> until) {
    return (!since || !b.to || *b.to > *since) && (!until || !b.from || *b.from <= *until);
}

} // namespace

std::vector<Session> JournalReader::openAt(WallClock::time_point at,
                                           std::optional<std::int32_t> station) {
    Statement query(handle_->database.db,
                    sessionsQuery(*handle_) +
                        "WHERE seen_ms <= ?2 AND (fin IS NULL OR fin > ?2) "
                        "AND (?3 IS NULL OR station = ?3) ORDER BY seen_ms, rec");
    query.bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, epochMilliseconds(at));
    query.bind(3, station64(station));
    return readSessions(query);
}

std::vector<Session> JournalReader::overlapping(std::optional<WallClock::time_point> since,
                                                std::optional<WallClock::time_point> until,
                                                std::optional<std::int32_t> station) {
    Statement query(handle_->database.db,
                    sessionsQuery(*handle_) +
                        "WHERE (?2 IS NULL OR fin IS NULL OR fin >= ?2) "
                        "AND (?3 IS NULL OR seen_ms <= ?3) "
                        "AND (?4 IS NULL OR station = ?4) ORDER BY seen_ms, rec");
    query.bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, ms(since));
    query.bind(3, ms(until)).bind(4, station64(station));
    return readSessions(query);
}

std::vector<Blind> JournalReader::gaps(std::optional<WallClock::time_point> since,
                                       std::optional<WallClock::time_point> until) {
    // A watch covers from its start to its stop, or to its last heartbeat when it was killed;
    // the running one covers until now.
    Statement query(handle_->database.db,
                    "SELECT started_ms, CASE WHEN ended_ms IS NOT NULL THEN ended_ms "
                    "WHEN ?1 AND id = (SELECT max(id) FROM watches) THEN NULL "
                    "ELSE heartbeat_ms END FROM watches ORDER BY started_ms, id");
    query.bind(1, static_cast<long long>(handle_->watcherAlive));
    std::vector<Blind> all;
    std::optional<long long> covered;
    bool first = true;
    bool open = false;
    while (query.step()) {
        const long long start = query.integer(0);
        if (first && since) {
            all.push_back({std::nullopt, fromEpochMilliseconds(start), {}});
        } else if (!first && !open && start > *covered) {
            all.push_back({fromEpochMilliseconds(*covered), fromEpochMilliseconds(start), {}});
        }
        first = false;
        if (query.isNull(1)) {
            open = true;
        } else {
            covered = std::max(covered.value_or(query.integer(1)), query.integer(1));
        }
    }
    if (first) {
        all.push_back({});
    } else if (!open) {
        all.push_back({fromEpochMilliseconds(*covered), std::nullopt, {}});
    }
    std::erase_if(all, [&](const Blind& b) { return !overlaps(b, since, until); });
    return all;
}

std::vector<Blind> JournalReader::outages(std::optional<WallClock::time_point> since,
                                          std::optional<WallClock::time_point> until) {
    // One a killed watcher left open ends, as the next watcher will close it, at its heartbeat.
    Statement query(
        handle_->database.db,
        "WITH o AS (SELECT outages.start_ms, outages.error, "
        "CASE WHEN outages.end_ms IS NOT NULL THEN outages.end_ms WHEN ?1 THEN NULL "
        "ELSE max(outages.start_ms, watches.heartbeat_ms) END AS fin "
        "FROM outages JOIN watches ON watches.id = outages.watch) "
        "SELECT start_ms, fin, error FROM o WHERE (?2 IS NULL OR fin IS NULL OR fin > ?2) "
        "AND (?3 IS NULL OR start_ms <= ?3) ORDER BY start_ms");
    query.bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, ms(since));
    query.bind(3, ms(until));
    std::vector<Blind> found;
    while (query.step()) {
        found.push_back({fromEpochMilliseconds(query.integer(0)),
                         instant(query.isNull(1) ? std::nullopt : std::optional(query.integer(1))),
                         query.text(2)});
    }
    return found;
}

} // namespace orvendal::journal
