#include "stationctlrun.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

using namespace orvendal::testing;
using nlohmann::json;

namespace {

constexpr std::size_t kRecord = 81;

// What coreutils' cksum says of the file: the checksum and the length, to check the simulation's
// report against a program that is not ours.
std::pair<std::uint64_t, std::uint64_t> coreutilsCksum(const std::string& path) {
    FILE* pipe = ::popen(("cksum '" + path + "'").c_str(), "r");
    unsigned long long sum = 0, length = 0;
    const int read = std::fscanf(pipe, "%llu %llu", &sum, &length);
    ::pclose(pipe);
    EXPECT_EQ(read, 2);
    return {sum, length};
}

void expectReportMatchesFile(const json& report, const std::string& path) {
    EXPECT_EQ(report["errors"], 0);
    EXPECT_EQ(report["file_matches"], true);
    const auto [sum, length] = coreutilsCksum(path);
    EXPECT_EQ(report["cksum"], sum);
    EXPECT_EQ(report["bytes"], length);
}

TEST(SimulateCommand, CalmRunConnectsStationsAndLeavesAValidFile) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 6);
    ASSERT_EQ(
        stationctl({"set", path, "3", "--name", "Caja Central", "--connection", "COM1"}).status, 0);
    const Outcome run = stationctl({"simulate", path, "--seconds", "2", "--seed", "11"});
    ASSERT_EQ(run.status, 0) << run.err;
    const json report = json::parse(run.out);
    expectReportMatchesFile(report, path);
    EXPECT_EQ(report["seed"], 11);
    EXPECT_GT(report["connects"], 0);
    EXPECT_EQ(report["connects"], report["disconnects"]);
    EXPECT_EQ(report["refusals"], 0);

    EXPECT_EQ(readBytes(path).size(), 7 * kRecord);
    const json status = statusJson(path);
    EXPECT_EQ(status["tally"], 0) << "the header counts the connected stations: none now";
    int named = 0;
    for (const auto& row : status["rows"]) {
        EXPECT_EQ(row["connected"], false);
        named += row["tally"] > 0;
        // A workstation that came writes its name; one that had a name keeps it.
        if (row["tally"] > 0) {
            EXPECT_NE(row["name"], std::string(50, ' ')) << row.dump();
        }
    }
    EXPECT_GT(named, 0);
    EXPECT_EQ(status["rows"][2]["name"], "Caja Central" + std::string(38, ' '));
    EXPECT_EQ(status["rows"][2]["connection"], "COM1" + std::string(16, ' '));
}

TEST(SimulateCommand, AStopSignalEndsItWithEveryStationDisconnected) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 6);
    Stationctl simulate({"simulate", path, "--seed", "4"});
    // Half the stations connect at the start, an odd number of toggles: one at least stays.
    bool anyConnected = false;
    while (!anyConnected) {
        const json status = statusJson(path);
        for (const auto& row : status["rows"]) {
            anyConnected = anyConnected || row["connected"];
        }
    }
    simulate.signal(SIGTERM);
    const Outcome run = simulate.finish();
    ASSERT_EQ(run.status, 0) << run.err;
    expectReportMatchesFile(json::parse(run.out), path);
    const json status = statusJson(path);
    for (const auto& row : status["rows"]) {
        EXPECT_EQ(row["connected"], false);
    }
}

TEST(SimulateCommand, ChurnReportsNoRefusalWhileAMonitorWatches) {
    for (const bool markerAtStart : {false, true}) {
        TempDir dir;
        const auto path = dir.file("MARLOVEN.SIT");
        createStationFile(path, 8);
        if (markerAtStart) {
            writeBytes(dir.file("out.vrl"), {});
        }
        Stationctl churn(
            {"simulate", path, "--churn", "--seconds", "3", "--rate", "300", "--seed", "21"},
            dir.path().string());
        // The monitor's own refresh, run over and over while the churn goes on. Its failures
        // (file missing, header locked) are the churn's doing; its locks would be a fault.
        int refreshes = 0;
        while (churn.running() && refreshes < 400) {
            stationctl({"status", path, "--json"}, dir.path().string());
            ++refreshes;
        }
        const Outcome run = churn.finish();
        ASSERT_EQ(run.status, 0) << run.err;
        const json report = json::parse(run.out);
        expectReportMatchesFile(report, path);
        EXPECT_EQ(report["refusals_unheld"], 0) << report.dump();
        EXPECT_EQ(report["refusals"], report["refusals_held"]);
        EXPECT_GT(report["renames"].get<int>() + report["recreates"].get<int>(), 0);
        EXPECT_GT(report["shrinks"], 0);
        EXPECT_EQ(std::filesystem::exists(dir.file("out.vrl")), markerAtStart)
            << "out.vrl is left as it was";
        EXPECT_FALSE(std::filesystem::exists(path + ".stationctl-new"));
    }
}

TEST(SimulateCommand, AnotherProcessRefusingALockIsCountedAsUnheld) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 2);
    // Every station record held by a process that is not a simulated workstation.
    Stationctl holder({"connect", path, "1", "2"});
    ASSERT_EQ(holder.readLine(), "connected 1 2");
    const Outcome run = stationctl({"simulate", path, "--seconds", "1", "--seed", "3"});
    ASSERT_EQ(run.status, 0) << run.err;
    const json report = json::parse(run.out);
    EXPECT_GT(report["refusals_unheld"], 0);
    EXPECT_EQ(report["connects"], 0);
}

TEST(SimulateCommand, RefusesAFileWithoutStationRecords) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 0);
    const Outcome run = stationctl({"simulate", path, "--seconds", "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no tiene registros de puesto"), std::string::npos) << run.err;
}

} // namespace
