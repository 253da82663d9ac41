#include "journal.h"
#include "journalclaim.h"
#include "journalschema.h"
#include "sqlitedatabase.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <span>
#include <system_error>

namespace orvendal::journal {

struct JournalReader::Handle {
    Database database;
    bool watcherAlive = false;
    // The columns of this journal's version, or NULL where it predates them.
    std::string interval = "watches.interval_ms";
    std::string endedAfter = "sessions.ended_after_ms";
    std::string startedAfter = "sessions.started_after_ms";
    bool flapping = true;
    // SQLite's progress calls left before the reader gives up (see kStepsPerCall).
    long long callsLeft = 0;
    std::string path = {};
};

namespace {

// The tables history reads, which must be tables: a view or a virtual table of a journal from
// elsewhere would run whatever query it holds.
constexpr std::array<const char*, 3> kTablesRead = {"watches", "sessions", "outages"};

void requireTables(const Database& database, const std::string& db,
                   std::span<const char* const> tables = kTablesRead) {
    Statement query(database,
                    "SELECT type FROM pragma_table_list WHERE schema = 'main' AND name = ?1");
    for (const char* table : tables) {
        query.bind(1, std::string(table));
        if (!query.step()) {
            throw sqliteFailure(SQLITE_ERROR, "el diario " + db +
                                                  " no es de stationctl watch: le falta la tabla " +
                                                  table);
        }
        const std::string type = query.text("type");
        query.run();
        if (type != "table") {
            throw sqliteFailure(SQLITE_ERROR,
                                "el diario " + db + " no se lee: " + table +
                                    " no es una tabla sino " +
                                    (type == "view" ? "una vista" : "una tabla virtual") +
                                    ": un diario de stationctl watch solo tiene tablas");
        }
    }
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

// SQLite's own files, opened read-only whatever SQLite asks, never created nor deleted: a reader
// neither makes a "-wal" of its own beside a journal (a watcher of another user would then find
// it and refuse to start), nor writes one it happens to be able to write. Temporary files are
// refused, so that no query of a hostile journal spills into the temporary folder.
int openReadOnly(sqlite3_vfs* self, const char* name, sqlite3_file* file, int flags,
                 int* outFlags) {
    auto* base = static_cast<sqlite3_vfs*>(self->pAppData);
    file->pMethods = nullptr;
    if ((flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL)) == 0) {
        return SQLITE_CANTOPEN;
    }
    flags &= ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_DELETEONCLOSE |
               SQLITE_OPEN_EXCLUSIVE);
    return base->xOpen(base, name, file, flags | SQLITE_OPEN_READONLY, outFlags);
}

int deleteNothing(sqlite3_vfs*, const char*, int) {
    return SQLITE_IOERR_DELETE;
}

const char* readOnlyVfs() {
    static sqlite3_vfs vfs = [] {
        sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
        sqlite3_vfs made = *base;
        made.pNext = nullptr;
        made.zName = "orvendal-readonly";
        made.pAppData = base;
        made.xOpen = openReadOnly;
        made.xDelete = deleteNothing;
        return made;
    }();
    static const int registered = sqlite3_vfs_register(&vfs, 0);
    if (registered != SQLITE_OK) {
        throw sqliteFailure(registered, "diario: no se puede preparar su lectura");
    }
    return vfs.zName;
}

// What a reader allows a journal: no function of its schema that is not harmless, no write to
// it even through a pragma, temporary tables in memory only.
void distrust(Database& database) {
    sqlite3* db = database.handle();
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    database.exec("PRAGMA query_only = 1; PRAGMA temp_store = MEMORY");
}

// The reader's bound: SQLite calls back every kStepsPerCall of its instructions, and the reader
// allows kCallsAtLeast calls and one more for every kBytesPerCall bytes of the journal.
constexpr int kStepsPerCall = 1000;
constexpr long long kCallsAtLeast = 10'000;
constexpr long long kBytesPerCall = 32;

long long fileSize(const std::string& path) {
    std::error_code missing;
    const auto size = std::filesystem::file_size(std::u8string(path.begin(), path.end()), missing);
    return missing ? 0 : static_cast<long long>(size);
}

// `db` opened read-only through its URI with `parameters`, named by its path when it fails.
Database openUri(const std::string& db, const std::string& parameters) {
    const std::string uri = uriPath(db) + parameters;
    try {
        return Database(uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, readOnlyVfs());
    } catch (const Error& e) {
        std::string said = e.description();
        if (const auto at = said.find(uri); at != std::string::npos) {
            said.replace(at, uri.size(), db);
        }
        throw Error(e.code(), said);
    }
}

// SQLite reads a journal in WAL mode through its "-shm" index. When there is no "-wal" to index
// (a watcher that stops folds it into the database and removes both) and no watcher runs, the
// database is all there is and nobody changes it, so it is read as immutable, without SQLite's
// side files. Otherwise the watcher's "-wal" and "-shm" are read as they are, never made: without
// them the reader refuses.
Database openForReading(const std::string& db, bool watcherAlive) {
    if (!watcherAlive && fileSize(db + "-wal") == 0) {
        Database immutable = openUri(db, "?immutable=1");
        distrust(immutable);
        requireTables(immutable, db);
        return immutable;
    }
    Database database = openUri(db, "?readonly_shm=1");
    distrust(database);
    try {
        requireTables(database, db);
    } catch (const Error& e) {
        const int primary = e.code().value();
        if (e.code().category() != sqliteCategory() ||
            (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN)) {
            throw;
        }
        throw sqliteFailure(
            primary, "no se puede leer el diario " + db +
                         " sin escribir en su carpeta: le falta su " + db + "-wal o su " + db +
                         "-shm mientras un vigilante lo escribe o tiene cambios sin "
                         "pasar al diario; léalo cuando el vigilante se detenga, o "
                         "copie el diario con su -wal y su -shm a una carpeta suya");
    }
    return database;
}

} // namespace

JournalReader::JournalReader(const std::string& path) {
    const std::string db = checkedJournal(path, files::Owner::Anyone);
    const bool alive = watcherRunning(db);
    handle_ = std::make_unique<Handle>(Handle{openForReading(db, alive), alive});
    handle_->path = db;
    // Every query of a journal of ours reads each row a few times at most, through an index:
    // its work grows with its size. One made to be slow (thousands of blank sessions of one
    // record, each looking back over all the earlier ones) is stopped at a bound of that size.
    handle_->callsLeft = kCallsAtLeast + (fileSize(db) + fileSize(db + "-wal")) / kBytesPerCall;
    sqlite3_progress_handler(
        handle_->database.handle(), kStepsPerCall,
        [](void* h) { return --static_cast<Handle*>(h)->callsLeft < 0 ? 1 : 0; }, handle_.get());
    // Version 1 journals lack these columns, read as NULL there; the next watch adds them.
    const int version = schema::checkedVersion(handle_->database, db);
    if (version < 2) {
        handle_->interval = handle_->endedAfter = handle_->startedAfter = "NULL";
    }
    // Older journals have no flapping table: none were recorded there.
    handle_->flapping = version >= 3;
    if (handle_->flapping) {
        constexpr std::array<const char*, 1> kFlapping = {"flapping"};
        requireTables(handle_->database, db, kFlapping);
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
           schema::leftoverEnd(h.interval) + R"sql( ELSE sessions.end_ms END AS fin,
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

std::optional<WallClock::time_point> instant(std::optional<long long> ms) {
    return ms ? std::optional(fromEpochMilliseconds(*ms)) : std::nullopt;
}

// A session's or flapping period's station fields; none when it was never seen unlocked.
std::optional<station::StationFields> fieldsAt(const Statement& query) {
    if (query.isNull("station")) {
        return std::nullopt;
    }
    return station::StationFields{fromUtf8(query.text("lc")),
                                  static_cast<std::int32_t>(query.integer("station")),
                                  fromUtf8(query.text("connection")), fromUtf8(query.text("name")),
                                  static_cast<int>(query.integer("tally"))};
}

Session sessionAt(const Statement& query) {
    Session s;
    s.rec = query.integer("rec");
    s.fields = fieldsAt(query);
    s.start = instant(query.optionalInteger("start_ms"));
    s.atStart = !s.start;
    s.seen = fromEpochMilliseconds(query.integer("seen_ms"));
    s.end = instant(query.optionalInteger("fin"));
    s.ended = query.text("how");
    s.seconds = query.optionalReal("seconds");
    s.endedAfter = instant(query.optionalInteger("after_ms"));
    s.startedAfter = instant(query.optionalInteger("began_after_ms"));
    return s;
}

Flapping flappingAt(const Statement& query) {
    Flapping f;
    f.rec = query.integer("rec");
    f.fields = fieldsAt(query);
    f.from = fromEpochMilliseconds(query.integer("start_ms"));
    f.to = instant(query.optionalInteger("fin"));
    f.changes = query.optionalInteger("changes");
    f.ended = !query.isNull("ended") ? query.text("ended") : f.to ? "unknown" : "";
    return f;
}

Blind outageAt(const Statement& query) {
    return {fromEpochMilliseconds(query.integer("start_ms")), instant(query.optionalInteger("fin")),
            query.text("error")};
}

// A query's rows, read as they are asked for.
template <typename Row>
RowSource<Row> rowsOf(JournalReader::Handle& h, std::shared_ptr<Statement> query,
                      Row (*read)(const Statement&)) {
    // A statement stepped past its end starts again: a source that ended stays ended.
    return [&h, query, read, ended = false]() mutable -> std::optional<Row> {
        if (ended) {
            return std::nullopt;
        }
        bool row = false;
        try {
            row = query->step();
        } catch (const Error&) {
            if (h.callsLeft >= 0) {
                throw;
            }
            throw sqliteFailure(SQLITE_INTERRUPT,
                                "el diario " + h.path +
                                    " pide más trabajo del que cabe en su tamaño: está dañado o "
                                    "hecho para no acabar nunca, y no se lee");
        }
        ended = !row;
        return row ? std::optional<Row>(read(*query)) : std::nullopt;
    };
}

template <typename Row>
std::vector<Row> all(RowSource<Row> rows, std::optional<std::size_t> limit = std::nullopt) {
    std::vector<Row> found;
    while (!limit || found.size() < *limit) {
        auto row = rows();
        if (!row) {
            break;
        }
        found.push_back(std::move(*row));
    }
    return found;
}

std::optional<long long> station64(std::optional<std::int32_t> station) {
    return station ? std::optional<long long>(*station) : std::nullopt;
}

std::optional<long long> ms(std::optional<WallClock::time_point> t) {
    return t ? std::optional<long long>(epochMilliseconds(*t)) : std::nullopt;
}

// Whether [from, to) meets [since, until], a missing end being open.
bool overlaps(const Blind& b, std::optional<WallClock::time_point> since,
              std::optional<WallClock::time_point> until) {
    return (!since || !b.to || *b.to > *since) && (!until || !b.from || *b.from <= *until);
}

} // namespace

RowSource<Session> JournalReader::sessionsAt(WallClock::time_point at,
                                             std::optional<std::int32_t> station) {
    auto query = std::make_shared<Statement>(
        handle_->database, sessionsQuery(*handle_) +
                               "WHERE seen_ms <= ?2 AND (fin IS NULL OR fin > ?2) "
                               "AND (?3 IS NULL OR station = ?3) ORDER BY seen_ms, rec");
    query->bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, epochMilliseconds(at));
    query->bind(3, station64(station));
    return rowsOf(*handle_, query, sessionAt);
}

RowSource<Session> JournalReader::sessionsOverlapping(std::optional<WallClock::time_point> since,
                                                      std::optional<WallClock::time_point> until,
                                                      std::optional<std::int32_t> station) {
    auto query = std::make_shared<Statement>(
        handle_->database, sessionsQuery(*handle_) +
                               "WHERE (?2 IS NULL OR fin IS NULL OR fin >= ?2) "
                               "AND (?3 IS NULL OR seen_ms <= ?3) "
                               "AND (?4 IS NULL OR station = ?4) ORDER BY seen_ms, rec");
    query->bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, ms(since));
    query->bind(3, ms(until)).bind(4, station64(station));
    return rowsOf(*handle_, query, sessionAt);
}

std::vector<Session> JournalReader::openAt(WallClock::time_point at,
                                           std::optional<std::int32_t> station) {
    return all(sessionsAt(at, station));
}

std::vector<Session> JournalReader::overlapping(std::optional<WallClock::time_point> since,
                                                std::optional<WallClock::time_point> until,
                                                std::optional<std::int32_t> station,
                                                std::optional<std::size_t> limit) {
    return all(sessionsOverlapping(since, until, station), limit);
}

std::vector<Blind> JournalReader::gaps(std::optional<WallClock::time_point> since,
                                       std::optional<WallClock::time_point> until) {
    // A watch covers from its start to its stop, or to its last heartbeat when it was killed;
    // the running one covers until now.
    Statement query(handle_->database,
                    "SELECT started_ms, CASE WHEN ended_ms IS NOT NULL THEN ended_ms "
                    "WHEN ?1 AND id = (SELECT max(id) FROM watches) THEN NULL "
                    "ELSE heartbeat_ms END AS covered_ms FROM watches ORDER BY started_ms, id");
    query.bind(1, static_cast<long long>(handle_->watcherAlive));
    std::vector<Blind> all;
    std::optional<long long> covered;
    bool first = true;
    bool open = false;
    while (query.step()) {
        const long long start = query.integer("started_ms");
        if (first && since) {
            all.push_back({std::nullopt, fromEpochMilliseconds(start), {}});
        } else if (!first && !open && start > *covered) {
            all.push_back({fromEpochMilliseconds(*covered), fromEpochMilliseconds(start), {}});
        }
        first = false;
        if (const auto to = query.optionalInteger("covered_ms")) {
            covered = std::max(covered.value_or(*to), *to);
        } else {
            open = true;
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

RowSource<Blind> JournalReader::outagesOverlapping(std::optional<WallClock::time_point> since,
                                                   std::optional<WallClock::time_point> until) {
    // One a killed watcher left open ends, as the next watcher will close it, at its heartbeat.
    auto query = std::make_shared<Statement>(
        handle_->database,
        "WITH o AS (SELECT outages.start_ms, outages.error, "
        "CASE WHEN outages.end_ms IS NOT NULL THEN outages.end_ms WHEN ?1 THEN NULL "
        "ELSE max(outages.start_ms, watches.heartbeat_ms) END AS fin "
        "FROM outages JOIN watches ON watches.id = outages.watch) "
        "SELECT start_ms, fin, error FROM o WHERE (?2 IS NULL OR fin IS NULL OR fin > ?2) "
        "AND (?3 IS NULL OR start_ms <= ?3) ORDER BY start_ms");
    query->bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, ms(since));
    query->bind(3, ms(until));
    return rowsOf(*handle_, query, outageAt);
}

RowSource<Flapping> JournalReader::flappingOverlapping(std::optional<WallClock::time_point> since,
                                                       std::optional<WallClock::time_point> until,
                                                       std::optional<std::int32_t> station) {
    if (!handle_->flapping) {
        return [] { return std::optional<Flapping>(); };
    }
    // One a killed watcher left open ends, as the next watcher will close it, at its heartbeat.
    auto query = std::make_shared<Statement>(
        handle_->database,
        "WITH f AS (SELECT flapping.rec, flapping.lc, flapping.station, flapping.connection, "
        "flapping.name, flapping.tally, flapping.start_ms, flapping.changes, flapping.ended, "
        "CASE WHEN flapping.end_ms IS NOT NULL THEN flapping.end_ms WHEN ?1 THEN NULL "
        "ELSE max(flapping.start_ms, watches.heartbeat_ms) END AS fin "
        "FROM flapping JOIN watches ON watches.id = flapping.watch) "
        "SELECT * FROM f WHERE (?2 IS NULL OR fin IS NULL OR fin >= ?2) "
        "AND (?3 IS NULL OR start_ms <= ?3) AND (?4 IS NULL OR station = ?4) "
        "ORDER BY start_ms, rec");
    query->bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, ms(since));
    query->bind(3, ms(until)).bind(4, station64(station));
    return rowsOf(*handle_, query, flappingAt);
}

std::vector<Flapping> JournalReader::flapping(std::optional<WallClock::time_point> since,
                                              std::optional<WallClock::time_point> until,
                                              std::optional<std::int32_t> station) {
    return all(flappingOverlapping(since, until, station));
}

std::vector<Blind> JournalReader::outages(std::optional<WallClock::time_point> since,
                                          std::optional<WallClock::time_point> until) {
    return all(outagesOverlapping(since, until));
}

JournalReader::Snapshot::Snapshot(JournalReader& reader) : reader_(reader) {
    reader_.handle_->database.exec("BEGIN");
}

JournalReader::Snapshot::~Snapshot() {
    // A read transaction: its end cannot lose anything, nor fail in a way worth telling.
    sqlite3_exec(reader_.handle_->database.handle(), "COMMIT", nullptr, nullptr, nullptr);
}

} // namespace orvendal::journal
