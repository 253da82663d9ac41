// The refresh of a station file read over smb:// from a Samba server on loopback, against one
// read per record over the same SMB client ("floor": open, one 81-byte read of every record,
// close). Arguments: station records, and 1 when every other record is locked exclusively by
// another SMB2 session, one lock per record as Windows workstations hold them.
#include "collectedlist.h"
#include "smbfile.h"
#include "smblockholder.h"
#include "smbstation.h"
#include "stationmonitor.h"
#include "turns.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

namespace {

using namespace orvendal;
using testing::SmbLockHolder;
using testing::SmbTestServer;

// One server for the whole run; the file and its locks change only with the arguments, since
// taking 500 locks costs a round trip each.
struct Setup {
    static Setup& get(std::int64_t stations, bool everyOtherLocked) {
        static Setup setup;
        if (setup.stations != stations || setup.locked != everyOtherLocked) {
            setup.holder.reset();
            testing::writeBytes(setup.server.localFile("MARLOVEN.SIT"),
                                std::vector<unsigned char>((stations + 1) * 81, ' '));
            if (everyOtherLocked) {
                std::vector<SmbLockHolder::Lock> locks;
                for (std::int64_t record = 2; record <= stations + 1; record += 2) {
                    locks.push_back(
                        SmbLockHolder::exclusive(static_cast<std::uint64_t>(record - 1) * 81, 81));
                }
                setup.holder = std::make_unique<SmbLockHolder>(setup.server, "MARLOVEN.SIT", locks);
            }
            setup.stations = stations;
            setup.locked = everyOtherLocked;
        }
        return setup;
    }

    Setup() {
        files::useCredentialsFile(testing::writeCredentials(dir, server, server.password()));
    }

    SmbTestServer server;
    testing::TempDir dir;
    std::unique_ptr<SmbLockHolder> holder;
    std::int64_t stations = -1;
    bool locked = false;
};

int floorPass(const std::string& url, std::int64_t records) {
    files::SharedFile file = files::SharedFile::open(url);
    int refused = 0;
    std::array<std::uint8_t, 81> bytes{};
    for (std::int64_t record = 1; record <= records; ++record) {
        refused += !file.tryReadAt(static_cast<std::uint64_t>(record - 1) * 81, bytes);
    }
    file.close();
    return refused;
}

void smbRefresh(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    if (const auto why = SmbTestServer::unavailable()) {
        state.SkipWithError(why->c_str());
        return;
    }
    const Setup& setup = Setup::get(state.range(0), state.range(1) != 0);
    const std::string url = setup.server.url("MARLOVEN.SIT");
    station::CollectedList list;
    station::CollectedWindow window;
    station::StationMonitor monitor(window, list);
    monitor.MLP_SetFileName(url);
    Clock::duration floorTime{};
    Clock::duration sweepTime{};
    int refused = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        refused = floorPass(url, state.range(0) + 1);
        const auto middle = Clock::now();
        monitor.MLP_Show();
        const auto end = Clock::now();
        floorTime += middle - start;
        sweepTime += end - middle;
    }
    monitor.CloseStationFile();
    std::int64_t connected = 0;
    for (const auto& row : list.rows()) {
        connected += row[2] == station::StationMonitor::kTrueWord;
    }
    const std::int64_t expected = state.range(1) != 0 ? state.range(0) / 2 : 0;
    if (static_cast<std::int64_t>(list.rows().size()) != state.range(0) || connected != expected ||
        refused != expected || !window.messages().empty()) {
        state.SkipWithError("the refresh did not list the locked records exactly");
    }
    bench::reportTurns(state, floorTime, sweepTime);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const std::int64_t stations : {100, 1000}) {
        for (const std::int64_t locked : {0, 1}) {
            b->Args({stations, locked});
        }
    }
    b->ArgNames({"stations", "locked"})->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(smbRefresh)->Apply(sizes);
BENCHMARK_MAIN();
