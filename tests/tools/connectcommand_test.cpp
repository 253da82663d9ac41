#include "lockholder.h"
#include "sharedfile.h"
#include "stationctlrun.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace orvendal;
using namespace orvendal::testing;
using nlohmann::json;

namespace {

constexpr std::uint64_t kRecord = 81;

std::vector<bool> connectedRows(const std::string& path) {
    std::vector<bool> connected;
    const json status = statusJson(path);
    for (const auto& row : status["rows"]) {
        connected.push_back(row["connected"]);
    }
    return connected;
}

// Whether any byte of row `row`'s record is locked, asked of the kernel from this process.
bool locked(const std::string& path, std::uint64_t row) {
    return files::SharedFile::open(path).findLock(row * kRecord, kRecord).has_value();
}

TEST(ConnectCommand, HoldsRealLocksUntilItsInputEnds) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 4);
    Stationctl connect({"connect", path, "1", "3"});
    ASSERT_EQ(connect.readLine(), "connected 1 3");

    EXPECT_EQ(connectedRows(path), (std::vector<bool>{true, false, true, false}));
    EXPECT_TRUE(locked(path, 1));
    EXPECT_FALSE(locked(path, 2));
    EXPECT_TRUE(locked(path, 3));
    // Locked, the record reads as blanks even though it was written.
    EXPECT_EQ(stationctl({"set", path, "1", "--name", "X"}).status, 1);

    const Outcome run = connect.finish(); // closes its standard input
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(connectedRows(path), (std::vector<bool>(4, false)));
    EXPECT_FALSE(locked(path, 1));
    EXPECT_FALSE(locked(path, 3));
}

TEST(ConnectCommand, ReleasesItsLocksOnAStopSignal) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TempDir dir;
        const auto path = dir.file("MARLOVEN.SIT");
        createStationFile(path, 2);
        // Its input stays open: only the signal can end it.
        Stationctl connect({"connect", path, "2", "--ignore-stdin"});
        ASSERT_EQ(connect.readLine(), "connected 2");
        connect.closeInput();
        EXPECT_EQ(connectedRows(path), (std::vector<bool>{false, true})) << signal;
        connect.signal(signal);
        const Outcome run = connect.finish();
        EXPECT_EQ(run.status, 0) << "signal " << signal << ": " << run.err;
        EXPECT_EQ(connectedRows(path), (std::vector<bool>{false, false})) << signal;
    }
}

TEST(ConnectCommand, ReadLocksAreConnectedStationsToo) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 2);
    Stationctl first({"connect", path, "1", "--read"});
    ASSERT_EQ(first.readLine(), "connected 1");
    // A second reader shares the record; a writer cannot have it.
    Stationctl second({"connect", path, "1", "--read"});
    ASSERT_EQ(second.readLine(), "connected 1");
    EXPECT_EQ(stationctl({"connect", path, "1"}).status, 1);
    EXPECT_EQ(connectedRows(path), (std::vector<bool>{true, false}));
}

TEST(ConnectCommand, ARowHeldElsewhereFailsOrIsWaitedFor) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 3);
    LockHolder holder(path, {{2 * kRecord, kRecord}}, LockHolder::Kind::OfdWrite);

    const Outcome refused = stationctl({"connect", path, "1", "2"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "") << "never claims a lock it does not hold";
    EXPECT_NE(refused.err.find("la fila 2 la tiene bloqueada otro proceso"), std::string::npos)
        << refused.err;
    EXPECT_FALSE(locked(path, 1)) << "the row it took first is released";

    Stationctl waiting({"connect", path, "1", "2", "--wait"});
    holder.stop();
    EXPECT_EQ(waiting.readLine(), "connected 1 2");
    EXPECT_EQ(connectedRows(path), (std::vector<bool>{true, true, false}));
}

TEST(ConnectCommand, TheHeaderAndRowsPastTheEndCanBeLocked) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 1);
    {
        Stationctl connect({"connect", path, "5"});
        ASSERT_EQ(connect.readLine(), "connected 5");
        EXPECT_TRUE(locked(path, 5));
        EXPECT_EQ(readBytes(path).size(), 2 * kRecord) << "locking writes nothing";
    }
    // With its header locked, the file cannot be listed: status says so instead of guessing.
    Stationctl header({"connect", path, "0"});
    ASSERT_EQ(header.readLine(), "connected 0");
    const Outcome status = stationctl({"status", path, "--json"});
    EXPECT_EQ(status.status, 1);
    EXPECT_NE(status.err.find("registro bloqueado por otro proceso"), std::string::npos)
        << status.err;
    EXPECT_EQ(status.out, "");
}

} // namespace
