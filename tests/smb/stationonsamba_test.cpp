// The monitor on the Samba server itself: the station file is on its own disk, Windows
// workstations lock their records over SMB, and smbd turns each SMB lock into a lock on the real
// file that the monitor's probe sees.
#include "collectedlist.h"
#include "smblockholder.h"
#include "smbtestserver.h"
#include "stationctlrun.h"
#include "stationmonitor.h"
#include "stationtexts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

namespace orvendal::testing {
namespace {

using Records = std::set<int>;
constexpr std::uint64_t kRecord = 81;
constexpr int kStations = 12;

SmbLockHolder::Range record(int number) {
    return {number * kRecord, kRecord};
}

Records connectedInStatus(const std::string& path) {
    Records connected;
    const auto status = statusJson(path);
    for (const auto& row : status["rows"]) {
        if (row["connected"]) {
            connected.insert(row["rec"].get<int>());
        }
    }
    return connected;
}

// One line of `smbstatus -B`: "PID DEV:INODE R|W START SIZE SHAREPATH NAME".
using ServerLock = std::tuple<std::string, std::uint64_t, std::uint64_t>;
std::set<ServerLock> serverLocks(const std::string& listing, const std::string& name) {
    std::set<ServerLock> locks;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string pid, inode, type, sharePath, file;
        std::uint64_t start, size;
        if (words >> pid >> inode >> type >> start >> size >> sharePath >> file && file == name) {
            locks.emplace(type, start, size);
        }
    }
    return locks;
}

class StationOnSambaTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = SmbTestServer::unavailable()) {
            GTEST_SKIP() << *why;
        }
    }
    void start(const std::vector<std::string>& shareParameters = {}) {
        server.emplace(shareParameters);
        path = server->localFile("MARLOVEN.SIT");
        createStationFile(path, kStations);
    }
    // Two workstations: one holds records 2 and 5 whole and one byte of 9, the other a shared
    // lock on record 7.
    void connectWorkstations() {
        first.emplace(*server, "MARLOVEN.SIT",
                      std::vector{SmbLockHolder::exclusive(2 * kRecord, kRecord),
                                  SmbLockHolder::exclusive(5 * kRecord, kRecord),
                                  SmbLockHolder::exclusive(9 * kRecord + 40, 1)});
        second.emplace(*server, "MARLOVEN.SIT",
                       std::vector{SmbLockHolder::shared(7 * kRecord, kRecord)});
    }
    const Records held{2, 5, 7, 9};

    std::optional<SmbTestServer> server;
    std::string path;
    std::optional<SmbLockHolder> first;
    std::optional<SmbLockHolder> second;
};

TEST_F(StationOnSambaTest, StatusListsExactlyTheRecordsSmbSessionsLock) {
    start();
    EXPECT_EQ(connectedInStatus(path), Records{});
    connectWorkstations();
    EXPECT_EQ(connectedInStatus(path), held);

    // A workstation that lets its record go is no longer connected.
    ASSERT_TRUE(first->unlock(5 * kRecord, kRecord));
    EXPECT_EQ(connectedInStatus(path), (Records{2, 7, 9}));
}

// The monitor's probe takes no lock: a workstation locking and unlocking free records while the
// monitor refreshes is never refused, and every refresh still lists the held records.
TEST_F(StationOnSambaTest, LockCyclesOnFreeRecordsAreNeverRefusedWhileTheMonitorRefreshes) {
    start();
    connectWorkstations();
    SmbLockHolder cycling(*server, "MARLOVEN.SIT");

    std::atomic<bool> done{false};
    int refreshes = 0;
    int wrong = 0;
    std::thread monitor([&] {
        ui::CollectedList list;
        ui::CollectedWindow window;
        ui::StationMonitor refresher(window, list);
        refresher.MLP_SetFileName(path);
        while (!done) {
            refresher.MLP_Show();
            Records connected;
            for (const auto& row : list.rows()) {
                if (row[2] == ui::kTrueWord) {
                    connected.insert(ui::parseRowNumber(row[0]).value_or(-1));
                }
            }
            // The cycled records are connected whenever a refresh meets them locked.
            for (const int cycled : {3, 11}) {
                connected.erase(cycled);
            }
            wrong += connected != held || refresher.inOutage();
            ++refreshes;
        }
        refresher.CloseStationFile();
    });
    const int refusals =
        cycling.cycle(1000, SmbLockHolder::Kind::Exclusive, {record(3), record(11)});
    done = true;
    monitor.join();

    RecordProperty("refreshes", refreshes);
    EXPECT_EQ(refusals, 0);
    EXPECT_GT(refreshes, 0);
    EXPECT_EQ(wrong, 0) << "of " << refreshes << " refreshes";
    EXPECT_EQ(connectedInStatus(path), held);
}

// With `posix locking = no` smbd keeps its locks to itself: the server lists them, the file
// shows none, and the monitor sees no workstation connected.
TEST_F(StationOnSambaTest, WithoutPosixLockingTheServerKeepsItsLocksToItself) {
    start({"posix locking = no"});
    connectWorkstations();
    EXPECT_EQ(connectedInStatus(path), Records{});
    const std::set<ServerLock> expected{{"W", 2 * kRecord, kRecord},
                                        {"W", 5 * kRecord, kRecord},
                                        {"W", 9 * kRecord + 40, 1},
                                        {"R", 7 * kRecord, kRecord}};
    EXPECT_EQ(serverLocks(server->byteRangeLocks(), "MARLOVEN.SIT"), expected);
    SmbLockHolder third(*server, "MARLOVEN.SIT");
    EXPECT_FALSE(third.lock(SmbLockHolder::exclusive(2 * kRecord, kRecord)))
        << "the server still keeps workstations off each other's records";
}

} // namespace
} // namespace orvendal::testing
