#include "journal.h"
#include "journalclaim.h"
#include "journalschema.h"
#include "sqlitedatabase.h"
#include "text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
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
    const int code = probeJournal(database.handle());
    if (code == SQLITE_OK) {
        return database;
    }
    const int primary = code & 0xFF;
    if (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN) {
        throw sqliteError(database.handle(), code, "diario");
    }
    std::error_code missing;
    const std::string wal = db + "-wal";
    const bool walEmpty =
        std::filesystem::file_size(std::u8string(wal.begin(), wal.end()), missing) == 0 || missing;
    if (watcherAlive || !walEmpty) {
        throw sqliteFailure(primary,
                            "no se puede leer el diario " + db +
                                " sin escribir en su carpeta: tiene cambios en " + db +
                                "-wal y falta su índice " + db +
                                "-shm, o un vigilante lo está escribiendo; léalo con permiso de "
                                "escritura en la carpeta o copie el diario con su -wal a una "
                                "carpeta suya");
    }
    Database immutable(uriPath(db) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    if (const int again = probeJournal(immutable.handle()); again != SQLITE_OK) {
        throw sqliteError(immutable.handle(), again, "diario");
    }
    return immutable;
}

} // namespace

JournalReader::JournalReader(const std::string& path) {
    const std::string db = checkedJournal(path, files::Owner::Anyone);
    const bool alive = watcherRunning(db);
    handle_ = std::make_unique<Handle>(Handle{openForReading(db, alive), alive});
    // Version 1 journals lack these columns, read as NULL there; the next watch adds them.
    const int version = schema::checkedVersion(handle_->database, db);
    if (version < 2) {
        handle_->interval = handle_->endedAfter = handle_->startedAfter = "NULL";
    }
    // Older journals have no flapping table: none were recorded there.
    handle_->flapping = version >= 3;
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
std::optional<station::StationFields> readFields(const Statement& query) {
    if (query.isNull("station")) {
        return std::nullopt;
    }
    return station::StationFields{fromUtf8(query.text("lc")),
                                  static_cast<std::int32_t>(query.integer("station")),
                                  fromUtf8(query.text("connection")), fromUtf8(query.text("name")),
                                  static_cast<int>(query.integer("tally"))};
}

std::vector<Session> readSessions(Statement& query) {
    std::vector<Session> sessions;
    while (query.step()) {
        Session s;
        s.rec = query.integer("rec");
        s.fields = readFields(query);
        s.start = instant(query.optionalInteger("start_ms"));
        s.atStart = !s.start;
        s.seen = fromEpochMilliseconds(query.integer("seen_ms"));
        s.end = instant(query.optionalInteger("fin"));
        s.ended = query.text("how");
        s.seconds = query.optionalReal("seconds");
        s.endedAfter = instant(query.optionalInteger("after_ms"));
        s.startedAfter = instant(query.optionalInteger("began_after_ms"));
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

// Whether [from, to) meets [since, until], a missing end being open.
bool overlaps(const Blind& b, std::optional<WallClock::time_point> since,
              std::optional<WallClock::time_point> until) {
    return (!since || !b.to || *b.to > *since) && (!until || !b.from || *b.from <= *until);
}

} // namespace

std::vector<Session> JournalReader::openAt(WallClock::time_point at,
                                           std::optional<std::int32_t> station) {
    Statement query(handle_->database,
                    sessionsQuery(*handle_) +
                        "WHERE seen_ms <= ?2 AND (fin IS NULL OR fin > ?2) "
                        "AND (?3 IS NULL OR station = ?3) ORDER BY seen_ms, rec");
    query.bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, epochMilliseconds(at));
    query.bind(3, station64(station));
    return readSessions(query);
}

std::vector<Session> JournalReader::overlapping(std::optional<WallClock::time_point> since,
                                                std::optional<WallClock::time_point> until,
                                                std::optional<std::int32_t> station,
                                                std::optional<std::size_t> limit) {
    Statement query(handle_->database,
                    sessionsQuery(*handle_) +
                        "WHERE (?2 IS NULL OR fin IS NULL OR fin >= ?2) "
                        "AND (?3 IS NULL OR seen_ms <= ?3) "
                        "AND (?4 IS NULL OR station = ?4) ORDER BY seen_ms, rec LIMIT ?5");
    query.bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, ms(since));
    query.bind(3, ms(until)).bind(4, station64(station));
    // SQLite reads a negative LIMIT as none.
    query.bind(5, limit ? static_cast<long long>(*limit) : -1LL);
    return readSessions(query);
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

std::vector<Blind> JournalReader::outages(std::optional<WallClock::time_point> since,
                                          std::optional<WallClock::time_point> until) {
    // One a killed watcher left open ends, as the next watcher will close it, at its heartbeat.
    Statement query(
        handle_->database,
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
        found.push_back({fromEpochMilliseconds(query.integer("start_ms")),
                         instant(query.optionalInteger("fin")), query.text("error")});
    }
    return found;
}

std::vector<Flapping> JournalReader::flapping(std::optional<WallClock::time_point> since,
                                              std::optional<WallClock::time_point> until,
                                              std::optional<std::int32_t> station) {
    if (!handle_->flapping) {
        return {};
    }
    // One a killed watcher left open ends, as the next watcher will close it, at its heartbeat.
    Statement query(
        handle_->database,
        "WITH f AS (SELECT flapping.*, CASE WHEN flapping.end_ms IS NOT NULL THEN "
        "flapping.end_ms WHEN ?1 THEN NULL ELSE max(flapping.start_ms, "
        "watches.heartbeat_ms) END AS fin FROM flapping JOIN watches ON watches.id = "
        "flapping.watch) SELECT * FROM f WHERE (?2 IS NULL OR fin IS NULL OR fin >= ?2) "
        "AND (?3 IS NULL OR start_ms <= ?3) AND (?4 IS NULL OR station = ?4) "
        "ORDER BY start_ms, rec");
    query.bind(1, static_cast<long long>(handle_->watcherAlive)).bind(2, ms(since));
    query.bind(3, ms(until)).bind(4, station64(station));
    std::vector<Flapping> found;
    while (query.step()) {
        Flapping f;
        f.rec = query.integer("rec");
        f.fields = readFields(query);
        f.from = fromEpochMilliseconds(query.integer("start_ms"));
        f.to = instant(query.optionalInteger("fin"));
        f.changes = query.optionalInteger("changes");
        f.ended = !query.isNull("ended") ? query.text("ended") : f.to ? "unknown" : "";
        found.push_back(std::move(f));
    }
    return found;
}

} // namespace orvendal::journal
