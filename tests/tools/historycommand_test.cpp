// What history tells of the times its journal cannot speak for: between two watches, after a
// kill -9, during an outage; that it reads a journal it may not write; and how it shows the
// hostile texts a journal may hold.
#include "filebytes.h"
#include "hooks.h"
#include "stationctlrun.h"
#include "stationfiles.h"
#include "tempdir.h"
#include "text.h"
#include "timetext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

using namespace orvendal;
using namespace orvendal::testing;
using namespace std::chrono_literals;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

journal::WallClock::time_point instant(const json& iso) {
    return journal::parseTime(iso.get<std::string>());
}

std::string iso(journal::WallClock::time_point t) {
    return journal::isoLocalTime(t);
}

TEST(HistoryCommand, TimesNoWatcherCoveredAreNotReadAsNobodyConnected) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    writeStationFile(path, 3, 0);
    Holding row1(path, {"1"});
    std::optional<Holding> row2;
    {
        Stationctl watch({"watch", path, "--journal", db, "--interval", "50"});
        EXPECT_EQ(nextEvent(watch)["at_start"], true);
        row2.emplace(path, std::vector<std::string>{"2"});
        EXPECT_EQ(nextEvent(watch)["station"], 102);
        watch.signal(SIGTERM);
        ASSERT_EQ(watch.finish().status, 0);
    }
    const auto stopped = journal::WallClock::now();
    std::this_thread::sleep_for(200ms);
    const auto restarting = journal::WallClock::now();

    Stationctl watch({"watch", path, "--journal", db, "--interval", "100"});
    const json first = nextEvent(watch);
    const json second = nextEvent(watch);
    const json& again = first["rec"] == 2 ? first : second;
    ASSERT_EQ(again["rec"], 2);
    ASSERT_TRUE(again["at_start"] && again["station"].is_null()) << "its record reads blank";
    watch.signal(SIGKILL);
    watch.finish();
    const auto killed = journal::WallClock::now();

    // Between the two watches: a gap, no session.
    const std::string between = iso(stopped + (restarting - stopped) / 2);
    const json inGap = historyJson({db, "--at", between});
    EXPECT_TRUE(inGap["sessions"].empty()) << inGap;
    EXPECT_TRUE(inGap["outages"].empty()) << inGap;
    ASSERT_EQ(inGap["gaps"].size(), 1u) << inGap;
    EXPECT_LE(instant(inGap["gaps"][0]["from"]), stopped) << inGap;
    EXPECT_GE(instant(inGap["gaps"][0]["to"]), restarting) << inGap;
    const Outcome table = stationctl({"history", db, "--at", between});
    EXPECT_NE(table.out.find("(sin vigilancia de "), std::string::npos) << table.out;
    EXPECT_EQ(table.out.find("(sin sesiones)"), std::string::npos) << table.out;
    const Outcome csv = stationctl({"history", db, "--at", between, "--csv"});
    EXPECT_NE(csv.out.find(",gap\r\n"), std::string::npos) << csv.out;

    // The station back at the restart keeps what the journal knew of its record, and when the
    // watcher first saw it.
    const json station = historyJson({db, "--station", "102"})["sessions"];
    ASSERT_EQ(station.size(), 2u) << station;
    EXPECT_EQ(station[1]["name"], "Caja 2") << station;
    EXPECT_EQ(station[1]["seen"], again["time"]) << station;
    EXPECT_TRUE(station[1]["start"].is_null()) << station;

    // What the killed watcher left open lasts at least its refresh interval, so an instant
    // inside it lists it; after the kill nothing watched.
    const json all = historyJson({db})["sessions"];
    int unknown = 0;
    for (const auto& s : all) {
        if (s["ended"] == "unknown") {
            ++unknown;
            EXPECT_GE(instant(s["end"]) - instant(s["seen"]), 100ms) << s;
        }
    }
    EXPECT_EQ(unknown, 2) << all;
    const auto inside = instant(again["time"]) + 50ms;
    EXPECT_EQ(historyJson({db, "--at", iso(inside)})["sessions"].size(), 2u);
    const json after = historyJson({db, "--at", iso(killed + 1s)});
    EXPECT_TRUE(after["sessions"].empty()) << after;
    ASSERT_EQ(after["gaps"].size(), 1u) << after;
    EXPECT_LE(instant(after["gaps"][0]["from"]), killed) << after;
    EXPECT_TRUE(after["gaps"][0]["to"].is_null()) << after;
}

TEST(HistoryCommand, ASessionThatBeganOrEndedDuringAnOutageHasOnlyItsInterval) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto away = dir.file("elsewhere");
    const auto db = dir.file("journal.db");
    writeStationFile(path, 3, 0);
    Holding row2(path, {"2"});
    Stationctl watch({"watch", path, "--journal", db, "--interval", "50"});
    EXPECT_EQ(nextEvent(watch)["at_start"], true);
    Holding row1(path, {"1"});
    const json connected = nextEvent(watch);
    ASSERT_EQ(connected["event"], "connected");

    fs::rename(path, away);
    const json outage = nextEvent(watch);
    ASSERT_EQ(outage["event"], "outage");
    row1.release();
    Holding row3(away, {"3"});
    fs::rename(away, path);
    const json recovered = nextEvent(watch);
    ASSERT_EQ(recovered["event"], "recovered");
    const json disconnected = nextEvent(watch);
    ASSERT_EQ(disconnected["event"], "disconnected");
    EXPECT_TRUE(disconnected["seconds"].is_null()) << disconnected;
    const json came = nextEvent(watch);
    ASSERT_EQ(came["rec"], 3);
    row3.release();
    EXPECT_TRUE(nextEvent(watch)["seconds"].is_null()) << "its start is not known";
    watch.signal(SIGTERM);
    ASSERT_EQ(watch.finish().status, 0);

    const json all = historyJson({db, "--station", "101"});
    ASSERT_EQ(all["sessions"].size(), 1u) << all;
    const json& s = all["sessions"][0];
    EXPECT_EQ(s["ended"], "disconnected");
    EXPECT_TRUE(s["end"].is_null()) << s;
    EXPECT_TRUE(s["seconds"].is_null()) << s;
    ASSERT_EQ(s["ended_between"].size(), 2u) << s;
    // From the last good reading before the outage to the reading that found it unlocked.
    EXPECT_GE(instant(s["ended_between"][0]), instant(connected["time"])) << s;
    EXPECT_LE(instant(s["ended_between"][0]), instant(outage["time"])) << s;
    EXPECT_EQ(s["ended_between"][1], disconnected["time"]) << s;
    ASSERT_EQ(all["outages"].size(), 1u) << all;
    EXPECT_EQ(all["outages"][0]["from"], outage["time"]);
    EXPECT_EQ(all["outages"][0]["to"], recovered["time"]);
    EXPECT_EQ(all["outages"][0]["error"].get<std::string>().rfind("2-", 0), 0u) << all;

    const json began = historyJson({db, "--station", "103"})["sessions"];
    ASSERT_EQ(began.size(), 1u) << began;
    EXPECT_TRUE(began[0]["start"].is_null() && began[0]["at_start"] == false) << began;
    EXPECT_EQ(began[0]["started_between"],
              json::array({s["ended_between"][0], s["ended_between"][1]}))
        << began;

    const std::string during = outage["time"];
    EXPECT_EQ(historyJson({db, "--at", during})["outages"].size(), 1u);
    const Outcome table = stationctl({"history", db, "--at", during});
    EXPECT_NE(table.out.find("(fallo de lectura de "), std::string::npos) << table.out;
    const Outcome ranged = stationctl({"history", db, "--station", "101"});
    EXPECT_NE(ranged.out.find("(entre "), std::string::npos) << ranged.out;
}

TEST(HistoryCommand, ReadsAJournalItCannotWrite) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "runs history as nobody, which needs root";
    }
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const auto path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 2, 0);
    Holding row1(path, {"1"});
    const auto journalOf = [&](const std::string& name, int signal) {
        Stationctl watch({"watch", path, "--journal", dir.file(name), "--interval", "50"});
        EXPECT_EQ(nextEvent(watch)["at_start"], true);
        watch.signal(signal);
        watch.finish();
        return dir.file(name);
    };
    const std::string stopped = journalOf("stopped.db", SIGTERM);
    const std::string killed = journalOf("killed.db", SIGKILL);
    ASSERT_TRUE(fs::exists(killed + "-wal") && fs::exists(killed + "-shm"));

    struct Case {
        const char* what;
        std::string journal;
        std::vector<std::string> files; // suffixes copied beside it
        fs::perms folder;
        int status;
        const char* says;
    };
    // In a folder nobody may write, and in a sticky one everybody may, where SQLite would make
    // a -wal and -shm of nobody's that the owner's next watch refuses.
    const fs::perms shared = fs::perms(01777);
    const std::vector<Case> cases = {
        {"a stopped watcher's journal", stopped, {""}, fs::perms(0755), 0, ""},
        {"a killed watcher's, with its -wal and -shm",
         killed,
         {"", "-wal", "-shm"},
         fs::perms(0755),
         0,
         ""},
        {"a killed watcher's -wal without its -shm",
         killed,
         {"", "-wal"},
         fs::perms(0755),
         1,
         "no se puede leer"},
        {"a stopped watcher's journal, shared folder", stopped, {""}, shared, 0, ""},
        {"a killed watcher's, shared folder", killed, {"", "-wal", "-shm"}, shared, 0, ""},
        {"a -wal without its -shm, shared folder",
         killed,
         {"", "-wal"},
         shared,
         1,
         "no se puede leer"},
    };
    int n = 0;
    for (const Case& c : cases) {
        // Root-owned files that nobody may read but not write.
        const fs::path folder = dir.path() / ("copy" + std::to_string(n++));
        fs::create_directory(folder);
        fs::permissions(folder, c.folder);
        const std::string copy = (folder / "journal.db").string();
        std::map<std::string, std::vector<unsigned char>> before;
        for (const std::string& suffix : c.files) {
            fs::copy_file(c.journal + suffix, copy + suffix);
            fs::permissions(copy + suffix, fs::perms(0644));
            before[copy + suffix] = readBytes(copy + suffix);
        }
        const Outcome run = Stationctl({"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                        STATIONCTL_PATH, "history", copy, "--json"},
                                       {}, "/usr/bin/setpriv")
                                .finish();
        EXPECT_EQ(run.status, c.status) << c.what << ": " << run.err;
        std::map<std::string, std::vector<unsigned char>> after;
        for (const auto& file : fs::directory_iterator(folder)) {
            after[file.path().string()] = readBytes(file.path().string());
        }
        EXPECT_EQ(after, before) << c.what << ": history made or changed a file";
        if (c.status == 0) {
            EXPECT_EQ(json::parse(run.out)["sessions"].size(), 1u) << c.what << run.out;
        } else {
            EXPECT_NE(run.err.find(c.says), std::string::npos) << c.what << ": " << run.err;
        }
    }
}

// A journal as watchers wrote it before the interval and an outage's interval were recorded.
constexpr const char* kFormerJournal = R"sql(
PRAGMA journal_mode = WAL;
CREATE TABLE watches (id INTEGER PRIMARY KEY, station_file TEXT NOT NULL, pid INTEGER NOT NULL,
    started_ms INTEGER NOT NULL, heartbeat_ms INTEGER NOT NULL, ended_ms INTEGER,
    ended TEXT CHECK (ended IN ('stopped', 'unknown')));
CREATE TABLE sessions (id INTEGER PRIMARY KEY, watch INTEGER NOT NULL REFERENCES watches (id),
    rec INTEGER NOT NULL, lc TEXT, station INTEGER, connection TEXT, name TEXT, tally INTEGER,
    start_ms INTEGER, seen_ms INTEGER NOT NULL, end_ms INTEGER,
    ended TEXT CHECK (ended IN ('disconnected', 'stopped', 'unknown')), seconds REAL);
CREATE INDEX sessions_by_time ON sessions (seen_ms, end_ms);
CREATE TABLE outages (id INTEGER PRIMARY KEY, watch INTEGER NOT NULL REFERENCES watches (id),
    start_ms INTEGER NOT NULL, end_ms INTEGER, error TEXT NOT NULL,
    ended TEXT CHECK (ended IN ('recovered', 'stopped', 'unknown')));
PRAGMA user_version = 1;
INSERT INTO watches VALUES (1, 'MARLOVEN.SIT', 1, 1000, 2000, 2000, 'stopped'),
                           (2, 'MARLOVEN.SIT', 2, 3000, 4000, 4000, 'stopped');
INSERT INTO sessions VALUES
    (1, 1, 2, 'A', 102, 'TERM2', 'Caja 2', 0, 1000, 1000, 2000, 'stopped', 1.0),
    (2, 2, 2, NULL, NULL, NULL, NULL, NULL, NULL, 3000, 4000, 'stopped', NULL);
)sql";

// Station names as a workstation or a journal copied from elsewhere may hold them, where they
// leave: the table and a hook's variable show every control character, direction mark and line
// separator as U+FFFD; the CSV does too and disarms a formula behind blanks and invisible marks.
TEST(HistoryCommand, HostileNamesLeaveTheTableTheCsvAndHooksDisarmed) {
    const struct {
        std::string name;
        std::string shown; // in the table, in ORVENDAL_NAME and in the CSV
        bool formula;      // a ' before it in the CSV
    } cases[] = {
        {"\x1b]52;c;cHduZWQ=\x07", "\uFFFD]52;c;cHduZWQ=\uFFFD", false},
        {std::string("Caja\0 7", 7), "Caja\uFFFD 7", false},
        {"\u202Eexe.txt", "\uFFFDexe.txt", false},
        {"a\u2028b", "a\uFFFDb", false},
        {"\n=1+1", "\uFFFD=1+1", true},
        {"\v+2", "\uFFFD+2", true},
        {"\f-3", "\uFFFD-3", true},
        {"\u00A0@4", "\u00A0@4", true},
        {"\u00AD=5", "\u00AD=5", true},
        {"\u200B\uFEFF =6", "\u200B\uFEFF =6", true},
    };
    TempDir dir;
    const auto db = dir.file("journal.db");
    std::string sql = kFormerJournal;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string hex;
        for (const unsigned char byte : cases[i].name) {
            hex += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
        }
        sql += "INSERT INTO sessions VALUES (NULL, 1, " + std::to_string(10 + i) +
               ", 'A', 7, 'T', CAST(X'" + hex + "' AS TEXT), 0, 1000, 1000, 2000, 'stopped', 1);";
    }
    ASSERT_EQ(Stationctl({db, sql}, {}, "/usr/bin/sqlite3").finish().status, 0);
    const Outcome table = stationctl({"history", db});
    const Outcome csv = stationctl({"history", db, "--csv"});
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].shown);
        EXPECT_NE(table.out.find(cases[i].shown + "  "), std::string::npos) << table.out;
        const std::string line = "\r\n" + std::to_string(10 + i) + ",7,T," +
                                 (cases[i].formula ? "'" : "") + cases[i].shown + ",";
        EXPECT_NE(csv.out.find(line), std::string::npos) << csv.out;
        station::Event event;
        event.fields = station::StationFields{u"A", 7, u"T", fromUtf8(cases[i].name), 0};
        const auto hook = watch::eventEnvironment(event);
        const std::pair<std::string, std::string> name("ORVENDAL_NAME", cases[i].shown);
        EXPECT_NE(std::ranges::find(hook, name), hook.end());
    }
}

// A journal copied from elsewhere, made to keep history busy for ever: refused for what it is,
// or stopped at the bound of work its size allows, which an honest journal of that size is far
// from.
TEST(HistoryCommand, AJournalMadeToRunForEverIsRefused) {
    // 10000 sessions of record 1; each one whose record read blank looks back over all the
    // earlier ones for the fields it last had.
    const auto sessionsOfRecord1 = [](const char* station) {
        return std::string("WITH RECURSIVE i(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM i "
                           "WHERE n < 10000) INSERT INTO sessions (watch, rec, station, seen_ms) "
                           "SELECT 1, 1, ") +
               station + ", 1000 + n FROM i;";
    };
    const struct {
        const char* what;
        std::string sql;
        int status;
        const char* says;
    } cases[] = {
        {"sessions as an endless recursive view",
         "DROP TABLE sessions; CREATE VIEW sessions AS WITH RECURSIVE r(n) AS (SELECT 1 UNION "
         "ALL SELECT n + 1 FROM r) SELECT n AS id, 1 AS watch, n AS rec, 'A' AS lc, 1 AS station, "
         "'T' AS connection, 'N' AS name, 0 AS tally, n AS start_ms, n AS seen_ms, NULL AS "
         "end_ms, NULL AS ended, NULL AS seconds FROM r;",
         1, "sessions no es una tabla sino una vista"},
        {"watches as a virtual table",
         "DROP TABLE watches; CREATE VIRTUAL TABLE watches USING "
         "fts5(station_file);",
         1, "watches no es una tabla sino una tabla virtual"},
        {"blank sessions that look back over each other", sessionsOfRecord1("NULL"), 1,
         "pide más trabajo del que cabe en su tamaño"},
        {"the same sessions with their fields", sessionsOfRecord1("101"), 0, ""},
    };
    TempDir dir;
    int n = 0;
    for (const auto& c : cases) {
        const auto db = dir.file("journal" + std::to_string(n++) + ".db");
        const Outcome made =
            Stationctl({db, kFormerJournal + c.sql}, {}, "/usr/bin/sqlite3").finish();
        ASSERT_EQ(made.status, 0) << c.what << ": " << made.err;
        const Outcome run = stationctl({"history", db, "--csv"});
        EXPECT_EQ(run.status, c.status) << c.what << ": " << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.what << ": " << run.err;
    }
}

TEST(HistoryCommand, AJournalOfTheFormerLayoutIsReadThenExtendedByTheNextWatch) {
    TempDir dir;
    const auto db = dir.file("journal.db");
    const Outcome made = Stationctl({db, kFormerJournal}, {}, "/usr/bin/sqlite3").finish();
    ASSERT_EQ(made.status, 0) << made.err;

    const json former = historyJson({db, "--since", "1970-01-01T00:00:00Z"});
    ASSERT_EQ(former["sessions"].size(), 2u) << former;
    EXPECT_EQ(former["sessions"][1]["name"], "Caja 2") << "its record's last known fields";
    std::vector<std::pair<json, json>> gaps;
    for (const auto& gap : former["gaps"]) {
        gaps.emplace_back(gap["from"], gap["to"]);
    }
    const auto at = [](long long ms) { return iso(journal::fromEpochMilliseconds(ms)); };
    EXPECT_EQ(gaps, (std::vector<std::pair<json, json>>{
                        {nullptr, at(1000)}, {at(2000), at(3000)}, {at(4000), nullptr}}))
        << former;

    const auto path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 2, 0);
    Holding row1(path, {"1"});
    // Its sessions ended in 1970: kept, not retained away.
    Stationctl watch({"watch", path, "--journal", db, "--interval", "50", "--retain", "0"});
    EXPECT_EQ(nextEvent(watch)["at_start"], true);
    watch.signal(SIGTERM);
    ASSERT_EQ(watch.finish().status, 0);
    const Outcome columns =
        Stationctl({db, "SELECT interval_ms FROM watches WHERE id = 3; "
                        "SELECT count(ended_after_ms) + count(started_after_ms) FROM sessions;"},
                   {}, "/usr/bin/sqlite3")
            .finish();
    EXPECT_EQ(columns.out, "50\n0\n") << columns.err;
    EXPECT_EQ(historyJson({db})["sessions"].size(), 3u);
}

// A flapping period is shown in each format as what it is, beside the sessions and never as one:
// a note in the table, an object of "flapping" in the JSON, a line of kind flapping in the CSV,
// its name disarmed there as a session's. An older journal has none and still reads.
TEST(HistoryCommand, FlappingPeriodsAreShownBesideTheSessions) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    writeStationFile(path, 1, 0);
    {
        Holding row1(path, {"1"});
        Stationctl watch({"watch", path, "--journal", db, "--interval", "50"});
        EXPECT_EQ(nextEvent(watch)["at_start"], true);
        watch.signal(SIGTERM);
        ASSERT_EQ(watch.finish().status, 0);
    }
    const std::string sql =
        "INSERT INTO flapping (watch, rec, lc, station, connection, name, tally, start_ms, end_ms, "
        "changes, ended) VALUES (1, 4, 'A', 104, 'T4', '=1+1', 0, 1796814662000, 1796814700000, "
        "35, 'settled');";
    ASSERT_EQ(Stationctl({db, sql}, {}, "/usr/bin/sqlite3").finish().status, 0);
    const auto from = journal::fromEpochMilliseconds(1796814662000);
    const auto to = journal::fromEpochMilliseconds(1796814700000);

    const Outcome table = stationctl({"history", db});
    EXPECT_NE(table.out.find("(fila 4, puesto 104 «=1+1»: cambió de estado sin parar desde " +
                             iso(from).substr(0, 10) + " " + iso(from).substr(11, 8)),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find(", 35 cambios)"), std::string::npos) << table.out;
    const json all = json::parse(stationctl({"history", db, "--json"}).out);
    ASSERT_EQ(all["sessions"].size(), 1u) << "the period is no session";
    ASSERT_EQ(all["flapping"].size(), 1u) << all;
    const json& period = all["flapping"][0];
    EXPECT_EQ(period["rec"], 4);
    EXPECT_EQ(period["name"], "=1+1");
    EXPECT_EQ(period["from"], iso(from));
    EXPECT_EQ(period["to"], iso(to));
    EXPECT_EQ(period["changes"], 35);
    EXPECT_EQ(period["ended"], "settled");
    const Outcome csv = stationctl({"history", db, "--csv"});
    EXPECT_NE(csv.out.find("\r\n4,104,T4,'=1+1," + iso(from) + ",false," + iso(to) + ",settled,,"),
              std::string::npos)
        << csv.out;
    EXPECT_NE(csv.out.find(",flapping\r\n"), std::string::npos) << csv.out;

    const auto former = dir.file("former.db");
    ASSERT_EQ(Stationctl({former, kFormerJournal}, {}, "/usr/bin/sqlite3").finish().status, 0);
    EXPECT_EQ(json::parse(stationctl({"history", former, "--json"}).out)["flapping"],
              json::array());
}

} // namespace
