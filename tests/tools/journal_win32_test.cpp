// watch --journal and history in stationctl.exe, with records locked by another process, as the
// Linux tests run them: the same queries (historyqueries.h), a stop request, a second watcher,
// a watcher ended by TerminateProcess.
#include "historyqueries.h"
#include "journalclaim.h"
#include "windowsprocess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvendal::testing {
namespace {

using nlohmann::json;

std::wstring programFrom(const char* variable) {
    const char* path = std::getenv(variable);
    if (path == nullptr || *path == '\0') {
        throw std::runtime_error(std::string(variable) +
                                 " is not set: run the tests through ctest");
    }
    return wide(path);
}

std::pair<std::string, DWORD> stationctl(const std::vector<std::string>& arguments) {
    return ChildProcess(programFrom("ORVENDAL_STATIONCTL"), arguments).finish();
}

// A watcher in a process group of its own on this test's console, which a Ctrl+Break stops.
std::unique_ptr<ChildProcess> startWatch(const std::string& file, const std::string& db) {
    // A console to share: ctest starts the test with pipes only. Fails when it has one already.
    ::AllocConsole();
    return std::make_unique<ChildProcess>(
        programFrom("ORVENDAL_STATIONCTL"),
        std::vector<std::string>{"watch", file, "--journal", db, "--interval", "100"},
        CREATE_NEW_PROCESS_GROUP);
}

DWORD stopWatch(ChildProcess& watch) {
    EXPECT_TRUE(watch.stop()) << "GenerateConsoleCtrlEvent failed: " << ::GetLastError();
    const auto [rest, status] = watch.finish();
    EXPECT_EQ(status, 0u) << rest;
    return status;
}

// Record `rec` locked with LockFileEx by another process until it is destroyed.
std::unique_ptr<ChildProcess> holdRecord(const std::string& file, int rec) {
    auto holder = std::make_unique<ChildProcess>(
        programFrom("ORVENDAL_LOCK_HOLDER"),
        std::vector<std::string>{file, std::to_string(rec * 81), "81"});
    if (holder->readLine() != "locked") {
        throw std::runtime_error("the lock holder could not lock record " + std::to_string(rec));
    }
    return holder;
}

json nextEvent(ChildProcess& watch) {
    const std::string line = watch.readLine();
    const json event = json::parse(line, nullptr, false);
    if (event.is_discarded()) {
        throw std::runtime_error("watch printed no event but: " + line);
    }
    return event;
}

json history(const std::string& db, std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"history", db});
    arguments.push_back("--json");
    const auto [out, status] = stationctl(arguments);
    if (status != 0) {
        throw std::runtime_error("history failed: " + out);
    }
    return json::parse(out);
}

std::vector<int> recs(const json& sessions) {
    std::vector<int> found;
    for (const auto& s : sessions) {
        found.push_back(s["rec"]);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// A station file of three stations, record N as station 100 + N.
std::string stationFile(const TempFolder& scratch) {
    const std::string file = scratch.file(L"MARLOVEN.SIT");
    if (stationctl({"create", file, "--stations", "3"}).second != 0) {
        throw std::runtime_error("create failed");
    }
    for (int rec = 1; rec <= 3; ++rec) {
        const std::string n = std::to_string(rec);
        if (stationctl({"set", file, n, "--station", std::to_string(100 + rec), "--name",
                        "Caja " + n, "--connection", "TERM" + n})
                .second != 0) {
            throw std::runtime_error("set failed");
        }
    }
    return file;
}

// An outage is what Wine lets a watcher see (its ReadFile ignores other processes' locks): the
// journal keeps it for history, and the watcher's claim ends with its process.
TEST(JournalOnWindows, WatchJournalsAnOutageAndItsClaimEndsWithIt) {
    TempFolder scratch;
    const std::string file = stationFile(scratch);
    const std::string away = scratch.file(L"away.sit");
    const std::string db = scratch.file(L"diario.db");

    auto watch = startWatch(file, db);
    // A second watcher started before the first has claimed the journal would take it itself.
    const auto claimBy = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!journal::watcherRunning(db)) {
        ASSERT_LT(std::chrono::steady_clock::now(), claimBy) << "the watcher never claimed " << db;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const auto [refused, status] = stationctl({"watch", file, "--journal", db});
    EXPECT_EQ(status, 1u) << refused;
    EXPECT_NE(refused.find("lo está usando otro vigilante"), std::string::npos) << refused;

    ASSERT_TRUE(::MoveFileW(wide(file).c_str(), wide(away).c_str()));
    const json outage = nextEvent(*watch);
    EXPECT_EQ(outage["event"], "outage") << outage;
    ASSERT_TRUE(::MoveFileW(wide(away).c_str(), wide(file).c_str()));
    const json recovered = nextEvent(*watch);
    EXPECT_EQ(recovered["event"], "recovered") << recovered;
    // Wine gives this test no console to send the watcher a Ctrl+Break on.
    watch->terminate();

    const json all = history(db);
    ASSERT_EQ(all["outages"].size(), 1u) << all;
    EXPECT_EQ(all["outages"][0]["from"], outage["time"]) << all;
    EXPECT_EQ(all["outages"][0]["to"], recovered["time"]) << all;
    // No watcher holds the journal any more: nothing covers the time after its last heartbeat.
    EXPECT_TRUE(all["sessions"].empty()) << all;
    ASSERT_EQ(all["gaps"].size(), 1u) << all;
    EXPECT_TRUE(all["gaps"][0]["to"].is_null()) << all;

    // For Excel: a byte-order mark first, and CR LF as written, not CR CR LF from text mode.
    const auto [csv, csvStatus] = stationctl({"history", db, "--csv"});
    EXPECT_EQ(csvStatus, 0u) << csv;
    EXPECT_EQ(csv.rfind("\xEF\xBB\xBFrec,station,", 0), 0u) << csv;
    const auto count = [&](std::string_view what) {
        std::size_t n = 0;
        for (auto at = csv.find(what); at != std::string::npos; at = csv.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("\r\n"), 3u) << "heading, outage, gap: " << csv;
    EXPECT_EQ(count("\r"), count("\r\n")) << csv;
    EXPECT_EQ(count("\n"), count("\r\n")) << csv;
    EXPECT_TRUE(csv.ends_with("\r\n")) << csv;
}

// Needs Windows: under Wine the watcher cannot see the records locked.
TEST(JournalOnWindows, WatchJournalsRealLocksAndHistoryReadsThem) {
    if (runningUnderWine()) {
        GTEST_SKIP() << "Wine's ReadFile does not fail on a range another process has locked";
    }
    TempFolder scratch;
    const std::string file = stationFile(scratch);
    const std::string db = scratch.file(L"diario.db");
    auto row2 = holdRecord(file, 2);

    auto watch = startWatch(file, db);
    const json atStart = nextEvent(*watch);
    EXPECT_EQ(atStart["rec"], 2) << atStart;
    EXPECT_EQ(atStart["at_start"], true) << atStart;

    const auto [refused, status] = stationctl({"watch", file, "--journal", db});
    EXPECT_EQ(status, 1u) << refused;
    EXPECT_NE(refused.find("lo está usando otro vigilante"), std::string::npos) << refused;

    auto row1 = holdRecord(file, 1);
    const json connected = nextEvent(*watch);
    EXPECT_EQ(connected["event"], "connected") << connected;
    EXPECT_EQ(connected["rec"], 1) << connected;
    row1.reset();
    const json disconnected = nextEvent(*watch);
    EXPECT_EQ(disconnected["event"], "disconnected") << disconnected;

    stopWatch(*watch);

    const json all = history(db)["sessions"];
    ASSERT_EQ(all.size(), 2u) << all;
    for (const auto& s : all) {
        EXPECT_EQ(s["ended"], s["rec"] == 2 ? "stopped" : "disconnected") << s;
    }
    EXPECT_EQ(all[1]["start"], connected["time"]) << all;
    EXPECT_EQ(all[1]["end"], disconnected["time"]) << all;
    for (const HistoryQuery& query : historyQueries(connected["time"], disconnected["time"])) {
        EXPECT_EQ(recs(history(db, query.arguments)["sessions"]), query.recs) << query.what;
    }
    const auto [csv, csvStatus] = stationctl({"history", db, "--csv"});
    EXPECT_EQ(csvStatus, 0u) << csv;
    EXPECT_EQ(csv.rfind("\xEF\xBB\xBFrec,station,connection,name,start,", 0), 0u) << csv;
}

TEST(JournalOnWindows, AWatcherEndedByTerminateProcessLeavesItsSessionsToTheNext) {
    if (runningUnderWine()) {
        GTEST_SKIP() << "Wine's ReadFile does not fail on a range another process has locked";
    }
    TempFolder scratch;
    const std::string file = stationFile(scratch);
    const std::string db = scratch.file(L"diario.db");
    auto row2 = holdRecord(file, 2);

    auto killed = startWatch(file, db);
    EXPECT_EQ(nextEvent(*killed)["rec"], 2);
    killed->terminate();
    // Its claim went with it: history no longer takes the session for open.
    const json left = history(db)["sessions"];
    ASSERT_EQ(left.size(), 1u) << left;
    EXPECT_EQ(left[0]["ended"], "unknown") << left;

    auto next = startWatch(file, db);
    EXPECT_EQ(nextEvent(*next)["rec"], 2);
    stopWatch(*next);
    const json all = history(db)["sessions"];
    ASSERT_EQ(all.size(), 2u) << all;
    EXPECT_EQ(all[0]["ended"], "unknown") << all;
    EXPECT_FALSE(all[0]["end"].is_null()) << all;
    EXPECT_EQ(all[1]["ended"], "stopped") << all;
    const json gaps = history(db)["gaps"];
    EXPECT_FALSE(gaps.empty()) << "between the killed watcher's last heartbeat and the next";
}

} // namespace
} // namespace orvendal::testing
