#include "stationfiles.h"
#include "tempdir.h"
#include "watchrun.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

using namespace orvendal;
using namespace orvendal::testing;
using namespace std::chrono_literals;

namespace {

// Whether `condition` came true within `limit`, asked every 20 ms.
bool becomes(const std::function<bool()>& condition, std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string contents(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// Every printed connection and disconnection is a session's start or end in the journal.
void expectAllCommitted(const std::vector<json>& printed, const std::string& db) {
    const json sessions = history({db});
    for (const json& event : printed) {
        const bool start = event["event"] == "connected";
        const auto found = std::find_if(sessions.begin(), sessions.end(), [&](const json& s) {
            if (event.value("at_start", false)) {
                return s["rec"] == event["rec"] && s["at_start"] == true;
            }
            return s["rec"] == event["rec"] && s[start ? "start" : "end"] == event["time"];
        });
        EXPECT_NE(found, sessions.end()) << "printed but not in the journal: " << event << sessions;
    }
}

// A process that has ended, reaped or a zombie left for init.
bool gone(int pid) {
    const std::string stat = contents("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat.substr(close + 2, 1) == "Z");
}

int pidIn(const std::string& path) {
    int pid = 0;
    std::ifstream(path) >> pid;
    return pid;
}

TEST(WatchDegrades, SighupBeginsANewJournalAtThePathAndTheWatcherGoesOn) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    const auto rotated = dir.file("journal.db.1");
    writeStationFile(path, 3, 0);
    Holding row1(path, {"1"});
    Stationctl watch({"watch", path, "--journal", db, "--interval", "50"});
    std::vector<json> printed{nextEvent(watch)};

    std::filesystem::rename(db, rotated);
    watch.signal(SIGHUP);
    ASSERT_TRUE(becomes([&] { return std::filesystem::exists(db); })) << "no new journal";
    Holding row2(path, {"2"});
    printed.push_back(nextEvent(watch));
    EXPECT_EQ(printed.back()["rec"], 2);
    ASSERT_TRUE(watch.running()) << "SIGHUP ended the watcher";
    watch.signal(SIGTERM);
    const Outcome ended = watch.finish();
    EXPECT_EQ(ended.status, 0) << ended.err;

    // The new journal has both, row 1 carried over; the rotated one ends at the reopening.
    expectAllCommitted(printed, db);
    EXPECT_EQ(recs(history({db})), (std::vector<int>{1, 2}));
    const json old = history({rotated});
    ASSERT_EQ(old.size(), 1u) << old;
    EXPECT_EQ(old[0]["ended"], "stopped");
}

TEST(WatchDegrades, AHookThatHangsIsEndedWithWhatItStartedAndLaterHooksRun) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    writeStationFile(path, 4, 0);
    // A connection's hook leaves a child asleep and waits for it; a disconnection's only marks.
    const std::string folder = dir.file("");
    const std::string hook =
        "if [ \"$ORVENDAL_EVENT\" = connected ]; then sleep 1000 & echo $! > \"" + folder +
        "$ORVENDAL_REC.sleep\"; wait; else touch \"" + folder + "$ORVENDAL_REC.done\"; fi";
    Stationctl watch(
        {"watch", path, "--interval", "50", "--on-change", hook, "--hook-timeout", "1"});
    {
        // Four hangers fill every place a hook can run in.
        Holding rows(path, {"1", "2", "3", "4"});
        for (int i = 0; i < 4; ++i) {
            nextEvent(watch);
        }
        ASSERT_TRUE(becomes([&] { return std::filesystem::exists(folder + "4.sleep"); }));
    }
    for (int i = 0; i < 4; ++i) {
        nextEvent(watch);
    }
    for (const char* row : {"1", "2", "3", "4"}) {
        EXPECT_TRUE(becomes([&] { return std::filesystem::exists(folder + row + ".done"); }))
            << "a later hook never ran: row " << row;
        const int sleeper = pidIn(folder + row + ".sleep");
        EXPECT_TRUE(becomes([&] { return gone(sleeper); })) << "the hook's child lives on";
    }
    watch.signal(SIGTERM);
    const Outcome ended = watch.finish();
    EXPECT_NE(ended.err.find("duró más de 1 s"), std::string::npos) << ended.err;

    // At the stop, a hook still running is killed with its child after the close limit.
    Stationctl again({"watch", path, "--interval", "50", "--on-change", hook});
    std::filesystem::remove(folder + "1.sleep");
    Holding row1(path, {"1"});
    nextEvent(again);
    ASSERT_TRUE(becomes([&] { return std::filesystem::exists(folder + "1.sleep"); }));
    const int sleeper = pidIn(folder + "1.sleep");
    again.signal(SIGTERM);
    EXPECT_EQ(again.finish().status, 0);
    EXPECT_TRUE(becomes([&] { return gone(sleeper); })) << "a hook outlived the watcher";
}

TEST(WatchDegrades, AClosedOutputEndsTheWatcherAsAStopDoes) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    writeStationFile(path, 2, 0);
    Holding row1(path, {"1"});
    Stationctl pipeline({"-c", std::string(STATIONCTL_PATH) + " watch '" + path +
                                   "' --interval 50 --journal '" + db + "' | head -1"},
                        {}, "/bin/sh");
    EXPECT_EQ(nextEvent(pipeline)["rec"], 1);
    // Events until one is written after head has gone.
    for (int i = 0; i < 50 && pipeline.running(); ++i) {
        Holding row2(path, {"2"});
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_FALSE(pipeline.running()) << "watch | head -1 kept running";
    EXPECT_EQ(pipeline.finish().status, 0);
    const json sessions = history({db});
    ASSERT_FALSE(sessions.empty());
    for (const json& s : sessions) {
        EXPECT_NE(s["ended"], "unknown") << "closed as at a stop: " << s;
    }
}

TEST(WatchDegrades, ASecondWatcherIsRefusedWhateverNameReachesTheJournal) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    const auto db = dir.file("journal.db");
    writeStationFile(path, 2, 0);
    Holding row1(path, {"1"});
    Stationctl watch({"watch", path, "--journal", db, "--interval", "50"});
    nextEvent(watch);
    std::filesystem::create_hard_link(db, dir.file("other.db"));
    std::filesystem::create_directory_symlink(dir.path(), dir.file("linked"));
    for (const auto& name : {dir.file("other.db"), dir.file("linked/journal.db")}) {
        const Outcome second = stationctl({"watch", path, "--journal", name});
        EXPECT_EQ(second.status, 1) << name;
        EXPECT_NE(second.err.find("lo está usando otro vigilante"), std::string::npos)
            << name << ": " << second.err;
    }
    watch.signal(SIGTERM);
    EXPECT_EQ(watch.finish().status, 0);
}

} // namespace
