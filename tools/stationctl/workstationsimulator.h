#pragma once

#include "workstationrecords.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace orvendal::stationctl {

// What a simulation did, for its closing report.
struct SimulationCounts {
    std::uint64_t actions = 0;
    std::uint64_t connects = 0;
    std::uint64_t disconnects = 0;
    std::uint64_t rewrites = 0;
    std::uint64_t grows = 0;
    std::uint64_t shrinks = 0;
    std::uint64_t renames = 0;
    std::uint64_t recreates = 0;
    std::uint64_t headerLocks = 0;
    std::uint64_t markerChanges = 0;
    std::uint64_t lockAttempts = 0;
    // Refused lock attempts: those on a record that another simulated workstation (or the
    // simulated header lock) held at that moment, and the rest, which some other process caused.
    std::uint64_t refusalsHeld = 0;
    std::uint64_t refusalsUnheld = 0;
    std::uint64_t errors = 0;
};

// Workstations of the monitored application, simulated on one station file: each connects by
// opening the file, locking its record (fcntl OFD lock, never waiting), writing the record and
// keeping the lock; it disconnects by writing the record again and unlocking it. Every byte it
// writes is mirrored in memory, so that the file's expected content is known at the end.
class WorkstationSimulator {
public:
    using Clock = std::chrono::steady_clock;

    // Loads `path` as it is now. Calm, there is one workstation a station record; a churn has
    // more workstations than records, so that two of them sometimes want the same record.
    WorkstationSimulator(std::string path, std::uint64_t seed, bool churn);
    WorkstationSimulator(const WorkstationSimulator&) = delete;
    WorkstationSimulator& operator=(const WorkstationSimulator&) = delete;

    std::mt19937_64& random() { return random_; }
    std::uint64_t stationRecords() const;
    std::size_t connectedCount() const;

    // The calm schedule: one station row connects or disconnects, the header's Tally counting
    // the connected ones.
    void toggleRandomStation();
    // One action of the churn, chosen at random.
    void churnOnce(Clock::time_point now);
    // Ends the simulation: every workstation disconnects, the header lock goes, out.vrl is as it
    // was at the start.
    void finish();

    // An action that failed; the simulation goes on with the next one.
    void countError() { ++counts_.errors; }
    const SimulationCounts& counts() const { return counts_; }
    // One line of JSON: the counts, the seed, and the checksum and length of what it last wrote.
    void report(std::ostream& out, double seconds) const;

private:
    struct Workstation {
        std::optional<files::WorkstationFile> file;
        std::uint64_t record = 0;
    };

    bool lock(files::WorkstationFile& file, std::uint64_t record);
    bool heldBySimulation(std::uint64_t record) const;
    void write(files::WorkstationFile& file, std::uint64_t offset,
               std::span<const std::uint8_t> bytes);
    void writeRecord(files::WorkstationFile& file, std::uint64_t number,
                     const station::PuestoBloquedos& record);
    void writeHeaderTally(files::WorkstationFile& file);
    void announceConnections(); // the header's Tally: how many workstations are connected

    bool connect(Workstation& workstation, std::uint64_t record);
    void disconnect(Workstation& workstation);
    void dropAll(); // the file was replaced: every open file and its locks are stale
    void rewrite();
    void grow();
    void shrink();
    void replaceByRename();
    void deleteAndRecreate();
    void lockHeader(Clock::time_point now);
    void toggleMarker();

    std::uint64_t pick(std::uint64_t low, std::uint64_t high); // uniform in [low, high]
    std::string connectionText();

    std::string path_;
    std::uint64_t seed_;
    std::mt19937_64 random_;
    std::vector<std::uint8_t> image_;
    std::vector<Workstation> workstations_;
    std::optional<files::WorkstationFile> headerHolder_;
    Clock::time_point headerRelease_{};
    std::uint64_t maxRecords_;
    bool markerAtStart_;
    bool markerPresent_;
    SimulationCounts counts_;
};

} // namespace orvendal::stationctl
