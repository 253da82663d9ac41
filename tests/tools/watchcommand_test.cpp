#include "englishwords.h"
#include "historyqueries.h"
#include "lockholder.h"
#include "puestobloquedos.h"
#include "sleepingthread.h"
#include "stationctlrun.h"
#include "stationfiles.h"
#include "tempdir.h"
#include "timetext.h"
#include "watchrun.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <utility>

using namespace orvendal;
using namespace orvendal::testing;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// "2026-12-09T08:01:02.345+01:00": local time, milliseconds, the UTC offset.
bool isoWithOffset(const std::string& text) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd.ddd+dd:dd";
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd'   ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                        : shape[i] == '+' ? text[i] == '+' || text[i] == '-'
                                          : text[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

// RFC 4180 records: quoted fields with doubled quotes, CRLF between records.
std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            ++i;
        } else if (c == '"' && (quoted || field.empty())) {
            quoted = !quoted;
        } else if (!quoted && c == ',') {
            record.push_back(std::exchange(field, {}));
        } else if (!quoted && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            record.push_back(std::exchange(field, {}));
            records.push_back(std::exchange(record, {}));
            ++i;
        } else {
            field += c;
        }
    }
    return records;
}

TEST(WatchCommand, EventsAndTheJournalFollowRealLocks) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    writeStationFile(path, 3, 0);
    Holding before(path, {"2"});

    Stationctl watch({"watch", path, "--journal", db, "--interval", "100"});
    const json atStart = nextEvent(watch);
    EXPECT_EQ(atStart["event"], "connected");
    EXPECT_EQ(atStart["rec"], 2);
    EXPECT_EQ(atStart["at_start"], true);
    // Locked since before the watcher came: never seen unlocked, so nothing is known of it.
    EXPECT_TRUE(atStart["name"].is_null() && atStart["station"].is_null()) << atStart;
    EXPECT_TRUE(isoWithOffset(atStart["time"])) << atStart["time"];

    const Outcome second = stationctl({"watch", path, "--journal", db});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("lo está usando otro vigilante"), std::string::npos) << second.err;

    Holding row1(path, {"1"});
    const json connected = nextEvent(watch);
    EXPECT_EQ(connected["event"], "connected");
    EXPECT_EQ(connected["rec"], 1);
    EXPECT_EQ(connected["at_start"], false);
    EXPECT_EQ(connected["name"], "Caja 1") << "trimmed of its padding";
    EXPECT_EQ(connected["connection"], "TERM1");
    EXPECT_EQ(connected["station"], 101);
    std::this_thread::sleep_for(400ms);
    row1.release();
    const json disconnected = nextEvent(watch);
    EXPECT_EQ(disconnected["event"], "disconnected");
    EXPECT_EQ(disconnected["rec"], 1);
    EXPECT_EQ(disconnected["name"], "Caja 1");
    EXPECT_GE(disconnected["seconds"].get<double>(), 0.3);
    // Each change is committed before it is printed: now, only row 2 is still connected.
    EXPECT_EQ(recs(history({db, "--at", "now"})), (std::vector<int>{2}));
    std::this_thread::sleep_for(300ms);

    watch.signal(SIGTERM);
    const Outcome ended = watch.finish();
    EXPECT_EQ(ended.status, 0) << ended.err;

    const json all = history({db});
    ASSERT_EQ(all.size(), 2u) << all;
    for (const auto& s : all) {
        if (s["rec"] == 2) {
            EXPECT_TRUE(s["start"].is_null());
            EXPECT_EQ(s["at_start"], true);
            EXPECT_EQ(s["ended"], "stopped");
            EXPECT_TRUE(s["seconds"].is_null());
        } else {
            EXPECT_EQ(s["start"], connected["time"]);
            EXPECT_EQ(s["end"], disconnected["time"]);
            EXPECT_EQ(s["ended"], "disconnected");
            EXPECT_EQ(s["name"], "Caja 1");
            EXPECT_DOUBLE_EQ(s["seconds"].get<double>(), disconnected["seconds"].get<double>());
        }
    }
    for (const HistoryQuery& query : historyQueries(connected["time"], disconnected["time"])) {
        std::vector<std::string> arguments{db};
        arguments.insert(arguments.end(), query.arguments.begin(), query.arguments.end());
        EXPECT_EQ(recs(history(arguments)), query.recs) << query.what;
    }
    EXPECT_EQ(recs(history({db, "--at", "now"})), (std::vector<int>{})) << "the watcher stopped";

    // The table tells how each ended in words; JSON and CSV keep the journal's.
    const Outcome table = stationctl({"history", db});
    EXPECT_NE(table.out.find("  desconectado"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("  detenido"), std::string::npos) << table.out;
    EXPECT_EQ(firstEnglishWord(table.out), "") << table.out;

    const Outcome csv = stationctl({"history", db, "--csv"});
    EXPECT_EQ(csv.out.substr(0, csv.out.find('\n') + 1),
              "rec,station,connection,name,start,at_start,end,ended,seconds,seen,started_between,"
              "ended_between,error,kind\r\n");
}

TEST(WatchCommand, HistoryShowsHostileStationTextsInertInTheTableAndTheCsv) {
    using namespace std::string_literals;
    const struct {
        std::u16string name;
        std::u16string connection;
        std::string tableName; // as the table shows it
        std::string csvName;   // the CSV field once read back: shown as in the table
    } cases[] = {
        // A clipboard write (OSC 52) ended by BEL.
        {u"\x1b]52;c;cHduZWQ=\x07"
         u"fin",
         u"\x1b[2J",
         "\uFFFD]52;c;cHduZWQ=\uFFFD"
         "fin",
         "\uFFFD]52;c;cHduZWQ=\uFFFD"
         "fin"},
        {u"a\0b"s, u"TERM", "a\uFFFDb", "a\uFFFDb"},
        {u"=HYPERLINK(\"http://x\",\"y\")", u"@x", "=HYPERLINK(\"http://x\",\"y\")",
         "'=HYPERLINK(\"http://x\",\"y\")"},
        {u"+1+cmd|' /C calc'!A0", u"TERM", "+1+cmd|' /C calc'!A0", "'+1+cmd|' /C calc'!A0"},
        {u"-2+3", u"TERM", "-2+3", "'-2+3"},
        {u"@SUM(1)", u"TERM", "@SUM(1)", "'@SUM(1)"},
        {u"\tTab", u"TERM", "\uFFFDTab", "\uFFFDTab"},
        // A line end that would forge a row of the table.
        {u"\rCR\n 9  999  TERM  falsa", u"TERM", "\uFFFDCR\uFFFD 9  999  TERM  falsa",
         "\uFFFDCR\uFFFD 9  999  TERM  falsa"},
        {u"\u0081\u009Dc1", u"TERM", "\uFFFD\uFFFDc1", "\uFFFD\uFFFDc1"},
    };
    constexpr int kHostile = static_cast<int>(std::size(cases));
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    std::vector<unsigned char> bytes;
    for (int row = 0; row <= kHostile + 1; ++row) {
        station::PuestoBloquedos record{};
        if (row > 0) {
            record.StationNumber = 100 + row;
            putText(record.ConnectionText, row <= kHostile ? cases[row - 1].connection : u"T");
            putText(record.StationName, row <= kHostile ? cases[row - 1].name : u"Caja");
        }
        const auto encoded = station::encodeRecord(record);
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    writeBytes(path, bytes);

    // The last row, held from the start, tells that the watcher has read the others unlocked.
    Holding last(path, {std::to_string(kHostile + 1)});
    Stationctl watch({"watch", path, "--journal", db, "--interval", "50"});
    ASSERT_EQ(nextEvent(watch)["at_start"], true);
    std::vector<std::string> rows;
    for (int row = 1; row <= kHostile; ++row) {
        rows.push_back(std::to_string(row));
    }
    Holding hostile(path, rows);
    for (int i = 0; i < kHostile; ++i) {
        ASSERT_EQ(nextEvent(watch)["event"], "connected");
    }
    hostile.release();
    for (int i = 0; i < kHostile; ++i) {
        ASSERT_EQ(nextEvent(watch)["event"], "disconnected");
    }
    watch.signal(SIGTERM);
    ASSERT_EQ(watch.finish().status, 0);

    const Outcome table = stationctl({"history", db});
    ASSERT_EQ(table.status, 0) << table.err;
    for (std::size_t i = 0; i < table.out.size(); ++i) {
        const auto c = static_cast<unsigned char>(table.out[i]);
        EXPECT_FALSE((c < 0x20 && c != '\n') || c == 0x7F) << "raw byte " << int(c) << " at " << i;
        if (c == 0xC2 && i + 1 < table.out.size()) {
            EXPECT_GT(static_cast<unsigned char>(table.out[i + 1]), 0x9F) << "raw C1 at " << i;
        }
    }
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = table.out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(table.out.substr(start, end - start));
    }
    // The heading, one line a session, and the time since the watcher stopped.
    ASSERT_EQ(lines.size(), 1u + kHostile + 1u + 1u)
        << "a heading and one line a session: " << table.out;
    EXPECT_TRUE(lines.back().starts_with("(sin vigilancia desde ")) << lines.back();
    const std::vector<std::vector<std::string>> csv =
        parseCsv(stationctl({"history", db, "--csv"}).out);
    ASSERT_EQ(csv.size(), 1u + kHostile + 1u + 1u);
    EXPECT_EQ(csv.back().back(), "gap");
    for (int row = 1; row <= kHostile; ++row) {
        const auto& c = cases[row - 1];
        const std::string rec = std::to_string(row);
        const auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.substr(l.find_first_not_of(' ')).starts_with(rec + "  ");
        });
        ASSERT_NE(line, lines.end()) << rec;
        EXPECT_NE(line->find("  " + c.tableName), std::string::npos) << *line;
        const auto record = std::find_if(csv.begin(), csv.end(),
                                         [&](const auto& r) { return !r.empty() && r[0] == rec; });
        ASSERT_NE(record, csv.end()) << rec;
        ASSERT_EQ(record->size(), 14u);
        EXPECT_EQ((*record)[3], c.csvName) << rec;
        EXPECT_EQ((*record)[1], std::to_string(100 + row));
    }
    const auto first =
        std::find_if(csv.begin(), csv.end(), [](const auto& r) { return r[0] == "1"; });
    EXPECT_EQ((*first)[2], "\uFFFD[2J") << "a terminal that shows the file would act on it";
    const auto third =
        std::find_if(csv.begin(), csv.end(), [](const auto& r) { return r[0] == "3"; });
    EXPECT_EQ((*third)[2], "'@x");
    // JSON keeps every text as stored.
    const json sessions = history({db});
    for (const auto& s : sessions) {
        if (s["rec"] == 2) {
            EXPECT_EQ(s["name"], "a\0b"s);
        }
    }
}

TEST(WatchCommand, AKilledWatcherLosesNoTransition) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    writeStationFile(path, 4, 0);
    // Row 4 held from the start: its event tells that the watcher is watching.
    Holding row4(path, {"4"});
    auto watch = std::make_unique<Stationctl>(
        std::vector<std::string>{"watch", path, "--journal", db, "--interval", "20"});
    std::vector<json> printed;
    const auto drain = [&](std::size_t count) {
        while (printed.size() < count) {
            printed.push_back(nextEvent(*watch));
        }
    };
    drain(1);
    // Churn: short sessions one after the other, then two left open.
    for (int round = 0; round < 6; ++round) {
        Holding h(path, {std::to_string(1 + round % 3)});
        drain(printed.size() + 1);
        h.release();
        drain(printed.size() + 1);
    }
    Holding open(path, {"1", "3"});
    drain(printed.size() + 2);
    std::this_thread::sleep_for(200ms);
    watch->signal(SIGKILL);
    watch->finish();
    watch.reset();
    // Taken once the watcher is gone: a heartbeat between an earlier reading and the signal
    // would come after it.
    const std::string killedAt = journal::isoLocalTime(std::chrono::system_clock::now());
    std::this_thread::sleep_for(1500ms);

    // The next start closes what the killed one left open, then sees rows 1, 3 and 4 again.
    Stationctl next({"watch", path, "--journal", db, "--interval", "20"});
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(nextEvent(next)["at_start"], true);
    }
    next.signal(SIGTERM);
    EXPECT_EQ(next.finish().status, 0);

    const json sessions = history({db});
    ASSERT_EQ(sessions.size(), 1u + 6u + 2u + 3u) << sessions;
    for (const auto& event : printed) {
        const bool isStart = event["event"] == "connected";
        const auto found = std::find_if(sessions.begin(), sessions.end(), [&](const json& s) {
            if (event.value("at_start", false)) {
                return s["rec"] == event["rec"] && s["at_start"] == true && s["ended"] == "unknown";
            }
            return s["rec"] == event["rec"] && s[isStart ? "start" : "end"] == event["time"];
        });
        ASSERT_NE(found, sessions.end()) << "printed but not committed: " << event;
        if (!isStart) {
            EXPECT_EQ((*found)["ended"], "disconnected");
        }
    }
    const std::string lastPrinted = printed.back()["time"];
    int unknown = 0;
    for (const auto& s : sessions) {
        if (s["ended"] != "unknown") {
            continue;
        }
        ++unknown;
        const std::string end = s["end"];
        // At the killed watcher's last heartbeat: after what it printed, before the kill.
        EXPECT_GE(end, lastPrinted) << s;
        EXPECT_LE(end, killedAt) << s;
        if (!s["start"].is_null()) {
            EXPECT_GE(end, s["start"].get<std::string>()) << s;
        }
        EXPECT_TRUE(s["seconds"].is_null()) << s;
    }
    EXPECT_EQ(unknown, 3);
}

TEST(WatchCommand, AHeaderLockedForAMomentIsNoOutage) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 2, 0);
    Holding row1(path, {"1"});
    // The header's holder goes while the watcher pauses after finding it locked: the watcher's
    // only sleep. A pause that ends before the holder has gone proves nothing: run again.
    for (int run = 0; run < 5; ++run) {
        LockHolder header(path, {{0, 81}});
        Stationctl watch({"watch", path, "--interval", "400"});
        ASSERT_TRUE(waitUntilSleeping(watch.pid(), 10s)) << "no pause over the locked header";
        header.stop();
        const bool releasedInPause = threadSleeping(watch.pid());
        const json first = nextEvent(watch);
        watch.signal(SIGINT);
        watch.finish();
        if (releasedInPause) {
            EXPECT_EQ(first["event"], "connected") << first;
            EXPECT_EQ(first["rec"], 1);
            return;
        }
    }
    FAIL() << "the header's holder never ended within the watcher's pause";
}

TEST(WatchCommand, HooksNeverDelayTheEventsNorSeeTheWatchersSecrets) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    constexpr int kStations = 80; // more than 4 running and 64 waiting
    writeStationFile(path, kStations + 1, 0);
    // The last station, held from the start: its event tells that the watcher has read every
    // record once, so the others are known free before they connect.
    Holding last(path, {std::to_string(kStations + 1)});
    const auto credentials = dir.file("credentials");
    {
        std::ofstream file(credentials);
        file << "username=ana\npassword=secret\n";
    }
    std::filesystem::permissions(credentials, std::filesystem::perms::owner_read |
                                                  std::filesystem::perms::owner_write);
    ::setenv("KRB5CCNAME", "FILE:/tmp/krb5cc_secret", 1);
    ::setenv("PASSWD", "secret", 1);
    ::setenv("CREDENTIALS", credentials.c_str(), 1);
    const std::string hook = "env > \"" + dir.file("") +
                             "$ORVENDAL_REC.env\"; "
                             "for f in /proc/$$/fd/*; do readlink \"$f\"; done > \"" +
                             dir.file("") +
                             "$ORVENDAL_REC.fd\"; "
                             "exec >/dev/null 2>&1; echo $$ > \"" +
                             dir.file("") + "$ORVENDAL_REC.pid\"; exec sleep 10";
    Stationctl watch({"watch", path, "--journal", db, "--credentials", credentials, "--interval",
                      "50", "--on-change", hook});
    ::unsetenv("KRB5CCNAME");
    ::unsetenv("PASSWD");
    ::unsetenv("CREDENTIALS");
    EXPECT_EQ(nextEvent(watch)["at_start"], true);

    // In two halves, each fewer than a refresh announces one by one.
    std::vector<std::string> halves[2];
    for (int row = 1; row <= kStations; ++row) {
        halves[row > kStations / 2].push_back(std::to_string(row));
    }
    const auto started = std::chrono::steady_clock::now();
    std::optional<Holding> held[2];
    for (int half = 0; half < 2; ++half) {
        held[half].emplace(path, halves[half]);
        for (int i = 0; i < kStations / 2; ++i) {
            EXPECT_EQ(nextEvent(watch)["event"], "connected");
        }
    }
    // Each hook sleeps 10 s: an event that waited for one would come 10 s late, the last ones
    // minutes late.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 9s);
    // Row 1's hook writes its pid file after the other two.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!std::filesystem::exists(dir.file("1.pid")) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    std::ifstream env(dir.file("1.env"));
    const std::string variables{std::istreambuf_iterator<char>(env), {}};
    EXPECT_NE(variables.find("ORVENDAL_EVENT=connected\n"), std::string::npos) << variables;
    EXPECT_NE(variables.find("ORVENDAL_NAME=Caja 1\n"), std::string::npos) << variables;
    EXPECT_NE(variables.find("ORVENDAL_CONNECTION=TERM1\n"), std::string::npos);
    EXPECT_NE(variables.find("ORVENDAL_STATION=101\n"), std::string::npos);
    EXPECT_NE(variables.find("ORVENDAL_TIME=20"), std::string::npos);
    EXPECT_EQ(variables.find("KRB5CCNAME"), std::string::npos) << variables;
    EXPECT_EQ(variables.find("PASSWD"), std::string::npos) << variables;
    EXPECT_EQ(variables.find("CREDENTIALS"), std::string::npos) << variables;
    std::ifstream fds(dir.file("1.fd"));
    const std::string open{std::istreambuf_iterator<char>(fds), {}};
    EXPECT_EQ(open.find("journal.db"), std::string::npos) << open;
    EXPECT_EQ(open.find("MARLOVEN.SIT"), std::string::npos) << open;
    EXPECT_EQ(open.find("credentials"), std::string::npos) << open;

    watch.signal(SIGTERM);
    const Outcome ended = watch.finish();
    EXPECT_EQ(ended.status, 0);
    // More events than 4 running and 64 waiting hooks take: the drops come in one counted line.
    EXPECT_NE(ended.err.find(" órdenes de --on-change descartadas desde "), std::string::npos)
        << ended.err;
}

} // namespace
