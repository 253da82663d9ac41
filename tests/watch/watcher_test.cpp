// The watcher's loop in this process, driven refresh by refresh: locks held by other processes,
// a real SQLite journal, real outages.
#include "drivenwatch.h"
#include "fulldisk.h"
#include "journal.h"
#include "stationfiles.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

using namespace orvendal;
using namespace orvendal::testing;
using station::Event;
using station::EventKind;
namespace fs = std::filesystem;

namespace {

using Kinds = std::vector<EventKind>;

std::string contents(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::vector<journal::Session> sessions(const std::string& db) {
    return journal::JournalReader(db).overlapping(std::nullopt, std::nullopt, std::nullopt);
}

std::vector<std::int64_t> recs(const std::vector<journal::Session>& found) {
    std::vector<std::int64_t> rows;
    for (const journal::Session& s : found) {
        rows.push_back(s.rec);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Every connection and disconnection the sink was told is a session's start or end in the
// journal.
void expectAllCommitted(const std::vector<Event>& told, const std::string& db) {
    const std::vector<journal::Session> found = sessions(db);
    for (const Event& e : told) {
        if (e.kind != EventKind::Connected && e.kind != EventKind::Disconnected) {
            continue;
        }
        const bool committed = std::any_of(found.begin(), found.end(), [&](const auto& s) {
            if (s.rec != e.rec) {
                return false;
            }
            if (e.atStart) {
                return s.atStart;
            }
            return e.kind == EventKind::Connected ? s.start == e.time : s.end == e.time;
        });
        EXPECT_TRUE(committed) << eventName(e.kind) << " of row " << e.rec << " is not in " << db;
    }
}

// Runs SQL on a journal.
void execute(const std::string& db, const std::string& sql) {
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &connection), SQLITE_OK);
    char* failure = nullptr;
    EXPECT_EQ(sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &failure), SQLITE_OK)
        << (failure ? failure : "");
    sqlite3_free(failure);
    sqlite3_close(connection);
}

long long count(const std::string& db, const std::string& sql) {
    sqlite3* connection = nullptr;
    sqlite3_stmt* statement = nullptr;
    long long n = -1;
    if (sqlite3_open(db.c_str(), &connection) == SQLITE_OK &&
        sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        n = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(connection);
    return n;
}

TEST(Watcher, AnOutageIsNeverReadAsDisconnections) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 2, 0);
    const auto whole = readBytes(path);
    std::optional<LockHolder> row1(std::in_place, path, rows({1}));
    std::optional<LockHolder> header;
    const auto cut = [&](std::size_t length) {
        writeBytes(path, {whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)});
    };
    struct Cause {
        const char* what;
        std::function<void()> begin;
        std::function<void()> end;
        const char* number;
    };
    const std::vector<Cause> causes = {
        {"file renamed away", [&] { fs::rename(path, dir.file("away")); },
         [&] { fs::rename(dir.file("away"), path); }, "2-"},
        {"header locked",
         [&] {
             header.emplace(path, std::vector<LockHolder::Range>{{0, 81}});
         },
         [&] { header.reset(); }, "1001-"},
        // Cut in place: the station keeps its lock, past the file's end now.
        {"file emptied", [&] { cut(0); }, [&] { writeBytes(path, whole); }, "1009-"},
        {"file shorter than its header", [&] { cut(40); }, [&] { writeBytes(path, whole); },
         "1009-"},
    };
    DrivenClock clock;
    Recorded seen;
    watch::Options options = watchOptions(path);
    options.hookCommand = "exit 3";
    watch::Watcher watcher(options, seen.sinks(), clock, clock);
    clock.then([&] {
        const std::vector<Event> first = seen.take();
        ASSERT_EQ(kinds(first), Kinds{EventKind::Connected});
        EXPECT_TRUE(first[0].atStart);
    });
    for (const Cause& cause : causes) {
        clock.then(cause.begin);
        clock.then([&] {
            const std::vector<Event> outage = seen.take();
            ASSERT_EQ(kinds(outage), Kinds{EventKind::Outage}) << cause.what;
            EXPECT_TRUE(outage[0].error.starts_with(cause.number)) << outage[0].error;
            cause.end();
        });
        clock.then(
            [&] { EXPECT_EQ(kinds(seen.take()), Kinds{EventKind::Recovered}) << cause.what; });
    }
    clock.then([&] { row1.reset(); });
    clock.then([&] {
        const std::vector<Event> left = seen.take();
        ASSERT_EQ(kinds(left), Kinds{EventKind::Disconnected}) << "the first of the run";
        EXPECT_EQ(left[0].rec, 1);
        EXPECT_FALSE(left[0].seconds) << "its session began before the watcher";
    });
    EXPECT_EQ(watcher.run(), 0);
    EXPECT_EQ(seen.reported("la orden de --on-change del evento outage terminó con el estado 3"),
              causes.size());
}

// A session lasts what the monotonic clock says, whatever the system's time does meanwhile.
TEST(Watcher, SessionsAreMeasuredOnTheMonotonicClock) {
    TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 1, 0);
    DrivenClock clock(std::chrono::milliseconds(250));
    Recorded seen;
    watch::Watcher watcher(watchOptions(path), seen.sinks(), clock, clock);
    std::optional<LockHolder> row1;
    clock.then([&] { row1.emplace(path, rows({1})); });
    clock.then([&] { clock.setWallBy(-std::chrono::hours(1)); });
    clock.then([&] { row1.reset(); });
    clock.then([] {});
    EXPECT_EQ(watcher.run(), 0);
    ASSERT_EQ(kinds(seen.all), (Kinds{EventKind::Connected, EventKind::Disconnected}));
    ASSERT_TRUE(seen.all[1].seconds);
    EXPECT_DOUBLE_EQ(*seen.all[1].seconds, 0.5);
}

// Run in a lock holder as root: becomes another user, with no access to the station file, and
// takes `count` locks on files of its own in `folder`, a thousand a file (the kernel walks a file's
// every lock to take one more).
bool takeLocksAsAnotherUser(const std::string& folder, std::size_t count) {
    constexpr uid_t kNobody = 65534;
    if (::chown(folder.c_str(), kNobody, kNobody) != 0 || ::setgroups(0, nullptr) != 0 ||
        ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        return false;
    }
    for (std::size_t taken = 0; taken < count;) {
        const std::string name = folder + "/" + std::to_string(taken);
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            return false;
        }
        for (off_t byte = 0; byte < 2000 && taken < count; byte += 2, ++taken) {
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            lock.l_start = byte;
            lock.l_len = 1;
            if (::fcntl(fd, F_SETLK, &lock) != 0) {
                return false;
            }
        }
    }
    return true;
}

// 1,000 stations connected make the refresh read the kernel's table of locks, which lists every
// lock of the machine: another user's 100,000 made each read take seconds, and every event as
// late. Its read is given up, told once, and not tried again for a while; the probes find a new
// connection at the next refresh; and the table is read again, and told, once the locks go.
TEST(Watcher, AnotherUsersLocksOnItsOwnFilesDelayNoConnection) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can run a process as another user here";
    }
    TempDir dir;
    TempDir others;
    const std::string path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 1100, 0);
    // Two holders, so that neighbouring stations keep a lock each, as workstations do.
    std::vector<LockHolder::Range> odd;
    std::vector<LockHolder::Range> even;
    for (int row = 1; row <= 1000; ++row) {
        (row % 2 ? odd : even).push_back(rows({row})[0]);
    }
    const LockHolder oddRows(path, odd);
    const LockHolder evenRows(path, even);
    std::optional<LockHolder> attacker;
    attacker.emplace([&] { return takeLocksAsAnotherUser(others.path().string(), 100000); });
    std::optional<LockHolder> newcomer;

    DrivenClock clock;
    Recorded seen;
    watch::Options options = watchOptions(path);
    // What the watcher waits for a refresh, in real time: one that takes longer is handled at a
    // later refresh. Reading that table whole took 3.5 s here on an idle machine; the probes of
    // 1,000 stations take a few milliseconds.
    options.interval = std::chrono::seconds(2);
    watch::Watcher watcher(options, seen.sinks(), clock, clock);
    // Per refresh, what became of the table, when it was read.
    std::vector<std::optional<files::LockTable::Outcome>> table;
    std::optional<std::size_t> connectedAt;
    const auto refreshed = [&] {
        const auto& use = seen.states.back().reading.lockTable;
        table.push_back(use ? std::optional(use->outcome) : std::nullopt);
        for (const Event& e : seen.take()) {
            if (e.kind == EventKind::Connected && e.rec == 1050 && !connectedAt) {
                connectedAt = table.size();
            }
        }
    };
    clock.then([&] {
        refreshed();
        newcomer.emplace(path, rows({1050}));
    });
    for (int step = 2; step <= 5; ++step) {
        clock.then(refreshed);
    }
    clock.then([&] {
        refreshed();
        attacker.reset();
    });
    for (int step = 7; step <= 16; ++step) {
        clock.then(refreshed);
    }
    EXPECT_EQ(watcher.run(), 0);

    ASSERT_TRUE(connectedAt) << "the new connection was never told";
    EXPECT_LE(*connectedAt, 3u) << "told " << *connectedAt - 1 << " refreshes after it came";
    using Outcome = files::LockTable::Outcome;
    ASSERT_TRUE(table[0]) << "the first refresh of 1,100 stations did not read the table";
    EXPECT_NE(*table[0], Outcome::Listed);
    for (std::size_t k = 1; k < 6; ++k) {
        EXPECT_FALSE(table[k]) << "read again at refresh " << k + 1;
    }
    EXPECT_NE(std::find(table.begin() + 6, table.end(), Outcome::Listed), table.end())
        << "never read again once the locks went";
    EXPECT_EQ(seen.reported("se deja de leer la tabla de bloqueos del núcleo"), 1u);
    EXPECT_EQ(seen.reported("la tabla de bloqueos del núcleo vuelve a leerse"), 1u);
}

// A journal that fails, or is taken away, while the watcher runs: every change told is
// committed in the end, to the journal at its path, and the episode told once.
TEST(Watcher, AJournalThatFailsOrGoesLosesNoChange) {
    struct Case {
        const char* name;
        std::function<void(const std::string& db)> before;
        // What a step does to the journal; Reopen when a log rotation's SIGHUP follows.
        std::function<void(const std::string& db)> during;
        bool reopen;
        const char* told;
    };
    const std::string garbage(8192, '\x5a');
    const std::vector<Case> cases = {
        {"deleted", [](const std::string&) {},
         [](const std::string& db) {
             for (const char* suffix : {"", "-wal", "-shm"}) {
                 fs::remove(db + suffix);
             }
         },
         false, "se empieza uno nuevo"},
        {"corrupt at the start",
         [&](const std::string& db) { std::ofstream(db, std::ios::binary) << garbage; },
         [](const std::string&) {}, false, "estaba dañado"},
        {"rotated", [](const std::string&) {},
         [](const std::string& db) { fs::rename(db, db + ".1"); }, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("MARLOVEN.SIT");
        const std::string db = dir.file("journal.db");
        writeStationFile(path, 3, 0);
        c.before(db);
        std::optional<LockHolder> row1(std::in_place, path, rows({1}));
        std::optional<LockHolder> row2;
        DrivenClock clock;
        Recorded seen;
        watch::Options options = watchOptions(path);
        options.journal = db;
        {
            watch::Watcher watcher(options, seen.sinks(), clock, clock);
            clock.then([&] { c.during(db); });
            if (c.reopen) {
                clock.then(watch::Waiter::Wake::Reopen);
            }
            clock.then([&] { row2.emplace(path, rows({2})); });
            clock.then([&] { row2.reset(); });
            clock.then([] {});
            EXPECT_EQ(watcher.run(), 0);
        }
        EXPECT_EQ(kinds(seen.all), (Kinds{EventKind::Connected, EventKind::Connected,
                                          EventKind::Disconnected, EventKind::Stopped}));
        expectAllCommitted(seen.all, db);
        EXPECT_EQ(recs(sessions(db)), (std::vector<std::int64_t>{1, 2})) << "row 1 carried over";
        if (*c.told) {
            EXPECT_EQ(seen.reported(c.told), 1u) << ::testing::PrintToString(seen.reports());
        }
        if (c.reopen) {
            const std::vector<journal::Session> old = sessions(db + ".1");
            ASSERT_EQ(old.size(), 1u);
            EXPECT_EQ(old[0].ended, "stopped") << "the rotated journal ends at the reopening";
        }
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            if (entry.path().filename().string().starts_with("journal.db.corrupt-")) {
                EXPECT_EQ(contents(entry.path()), garbage) << "moved aside untouched";
            }
        }
    }
}

TEST(Watcher, AJournalOnAFullDiskKeepsTheChangesAndWritesThemWhenSpaceComesBack) {
    TempDir dir;
    const SmallDisk small(dir.file("small"), "512k");
    if (!small.mounted()) {
        GTEST_SKIP() << "mounting a small tmpfs is not permitted here: " << small.refusal();
    }
    const std::string path = dir.file("MARLOVEN.SIT");
    const std::string db = small.file("journal.db");
    const std::string prom = dir.file("orvendal.prom");
    const std::string journalUp = "orvendal_journal_up{file=\"" + path + "\"} ";
    writeStationFile(path, 6, 0);
    DrivenClock clock;
    Recorded seen;
    watch::Options options = watchOptions(path);
    options.journal = db;
    options.textfile = prom;
    std::optional<LockHolder> held;
    const auto up = [&] { return seen.states.back().journalUp.value(); };
    {
        watch::Watcher watcher(options, seen.sinks(), clock, clock);
        clock.then([&] {
            EXPECT_NE(contents(prom).find(journalUp + "1"), std::string::npos);
            small.fill();
            held.emplace(path, rows({1, 2, 3}));
        });
        clock.then([&] {
            EXPECT_FALSE(up());
            EXPECT_NE(contents(prom).find(journalUp + "0"), std::string::npos) << "at once";
            held.reset();
        });
        clock.then([&] { small.free(); });
        // Retried once a second: two pauses.
        clock.then([] {});
        clock.then([&] {
            EXPECT_TRUE(up());
            EXPECT_NE(contents(prom).find(journalUp + "1"), std::string::npos);
            held.emplace(path, rows({4}));
        });
        clock.then([] {});
        EXPECT_EQ(watcher.run(), 0);
    }
    const EventKind in = EventKind::Connected;
    const EventKind out = EventKind::Disconnected;
    EXPECT_EQ(kinds(seen.all), (Kinds{in, in, in, out, out, out, in, EventKind::Stopped}));
    expectAllCommitted(seen.all, db);
    EXPECT_EQ(sessions(db).size(), 4u);
    EXPECT_EQ(seen.reported("vuelve a funcionar"), 1u);
    EXPECT_EQ(seen.reported(" falla ("), 1u) << "one line for the whole episode";
}

// Retention deletes at the start and once a day what ended longer ago than its days.
TEST(Watcher, RetentionDeletesOnlyWhatEndedLongAgo) {
    struct Case {
        std::string name;
        std::optional<std::int64_t> days;  // none: the default
        std::vector<std::int64_t> atStart; // recs left of 7 (old), 8 (open long), 9 (recent)
        long long outages;                 // how many of the two are left
        long long oldWatch;                // whether the watch of the old rows is left
        std::vector<std::int64_t> aWeekLater;
        std::size_t told; // lines that say what was deleted
    };
    const Case cases[] = {
        {"default", std::nullopt, {8, 9}, 1, 0, {8, 9}, 1},
        {"15 days", 15, {8, 9}, 1, 0, {8}, 2},
        // Rec 8's session was closed as unknown an hour ago, when the journal was opened.
        {"5 days", 5, {8}, 0, 0, {}, 2},
        {"0 keeps everything", 0, {7, 8, 9}, 2, 1, {7, 8, 9}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("MARLOVEN.SIT");
        const std::string db = dir.file("journal.db");
        writeStationFile(path, 2, 0);
        watch::Options options = watchOptions(path);
        options.journal = db;
        {
            DrivenClock clock;
            Recorded seen;
            watch::Watcher(options, seen.sinks(), clock, clock).run();
        }
        // Watch 100 stopped 450 days ago; watch 101 ran from 500 days ago until it was killed an
        // hour ago, with rec 8 connected all along.
        const long long now = journal::epochMilliseconds(WallClock::now());
        const long long day = 86'400'000;
        const auto ago = [&](long long ms) { return std::to_string(now - ms); };
        execute(db,
                "INSERT INTO watches (id, station_file, pid, started_ms, heartbeat_ms, "
                "ended_ms, ended) VALUES (100, 'x', 1, " +
                    ago(600 * day) + ", " + ago(450 * day) + ", " + ago(450 * day) +
                    ", 'stopped'), (101, 'x', 1, " + ago(500 * day) + ", " + ago(3'600'000) +
                    ", NULL, NULL);"
                    "INSERT INTO sessions (watch, rec, start_ms, seen_ms, end_ms, ended) "
                    "VALUES (100, 7, " +
                    ago(500 * day) + ", " + ago(500 * day) + ", " + ago(451 * day) +
                    ", 'disconnected'), (101, 8, " + ago(500 * day) + ", " + ago(500 * day) +
                    ", NULL, NULL), (101, 9, " + ago(20 * day) + ", " + ago(20 * day) + ", " +
                    ago(10 * day) +
                    ", 'disconnected');"
                    "INSERT INTO outages (watch, start_ms, end_ms, error, ended) VALUES (100, " +
                    ago(460 * day) + ", " + ago(455 * day) + ", 'a', 'recovered'), (101, " +
                    ago(10 * day) + ", " + ago(9 * day) + ", 'b', 'recovered');");

        if (c.days) {
            options.retainDays = *c.days;
        }
        DrivenClock clock;
        Recorded seen;
        const auto left = [&] {
            std::vector<std::int64_t> found;
            for (const std::int64_t rec : recs(sessions(db))) {
                if (rec > 6) {
                    found.push_back(rec);
                }
            }
            return found;
        };
        watch::Watcher watcher(options, seen.sinks(), clock, clock);
        EXPECT_EQ(left(), c.atStart);
        EXPECT_EQ(count(db, "SELECT count(*) FROM outages"), c.outages);
        EXPECT_EQ(count(db, "SELECT count(*) FROM watches WHERE id = 100"), c.oldWatch);
        clock.then([&] { clock.advance(std::chrono::hours(24 * 7)); });
        clock.then([] {});
        EXPECT_EQ(watcher.run(), 0);
        EXPECT_EQ(left(), c.aWeekLater);
        EXPECT_EQ(seen.reported("diario: se han borrado"), c.told)
            << ::testing::PrintToString(seen.reports());
    }
}

} // namespace
