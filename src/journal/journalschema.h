#pragma once

#include <array>
#include <string>
#include <string_view>

namespace orvendal::journal {
class Database;
}

// The journal's tables, as the watcher writes them and history reads them.
namespace orvendal::journal::schema {

// The journal's layout is numbered in its user_version: step N brings a journal of version N to
// N + 1, and a new journal takes every step from 0. A schema change adds one step at the end.
inline constexpr std::array<std::string_view, 3> kUpgrades = {
    R"sql(
CREATE TABLE watches (
    id           INTEGER PRIMARY KEY,
    station_file TEXT    NOT NULL,
    pid          INTEGER NOT NULL,
    started_ms   INTEGER NOT NULL,
    heartbeat_ms INTEGER NOT NULL,
    ended_ms     INTEGER,
    ended        TEXT CHECK (ended IN ('stopped', 'unknown'))
);
CREATE TABLE sessions (
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
    seconds    REAL
);
CREATE INDEX sessions_by_time ON sessions (seen_ms, end_ms);
CREATE TABLE outages (
    id       INTEGER PRIMARY KEY,
    watch    INTEGER NOT NULL REFERENCES watches (id),
    start_ms INTEGER NOT NULL,
    end_ms   INTEGER,
    error    TEXT    NOT NULL,
    ended    TEXT CHECK (ended IN ('recovered', 'stopped', 'unknown'))
);
)sql",
    // The watch's interval, and the interval a session began or ended in during an outage.
    R"sql(
ALTER TABLE watches ADD COLUMN interval_ms INTEGER;
ALTER TABLE sessions ADD COLUMN ended_after_ms INTEGER;
ALTER TABLE sessions ADD COLUMN started_after_ms INTEGER;
CREATE INDEX IF NOT EXISTS sessions_by_rec ON sessions (rec, id);
)sql",
    // Flapping periods: a station's changes folded into one row while it changes too often.
    R"sql(
CREATE TABLE flapping (
    id         INTEGER PRIMARY KEY,
    watch      INTEGER NOT NULL REFERENCES watches (id),
    rec        INTEGER NOT NULL,
    lc         TEXT,
    station    INTEGER,
    connection TEXT,
    name       TEXT,
    tally      INTEGER,
    start_ms   INTEGER NOT NULL,
    end_ms     INTEGER,
    changes    INTEGER,
    ended      TEXT CHECK (ended IN ('settled', 'stopped', 'unknown'))
);
CREATE INDEX flapping_by_time ON flapping (start_ms, end_ms);
)sql",
};

// The version this program writes, and the highest it reads.
inline constexpr int kVersion = static_cast<int>(kUpgrades.size());

// The journal's user_version, once it is found to be one this program knows: a newer one is
// refused (errc::NewerJournal), since an older program would neither read nor keep what a newer
// one writes; so is one of version 0 that holds anything, another program's database
// (errc::NotAJournal). Asked before anything is written. Throws Error.
int checkedVersion(const Database& database, const std::string& path);
// Brings a journal of `version` up to kVersion, inside the caller's transaction. Throws Error.
void upgrade(Database& database, int version);

// Where a session a killed watcher left open ends: its watcher's last heartbeat, but never
// before one refresh interval after the refresh that saw it, which stood for the station's state
// until the next one (as a disconnection is stamped up to one interval late). Never at the
// restart, which would invent hours of connection. `interval` is NULL in old journals.
inline std::string leftoverEnd(std::string_view interval) {
    return "max(sessions.seen_ms + coalesce(" + std::string(interval) +
           ", 0), watches.heartbeat_ms)";
}

} // namespace orvendal::journal::schema
