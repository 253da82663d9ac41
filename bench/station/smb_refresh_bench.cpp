// The refresh of a station file read over smb:// from a Samba server on loopback, straight or
// through a proxy that adds about 1 ms a round trip, against one read per record over the same
// SMB client. Arguments: station records, the share of them connected (in %, at random places,
// fixed seed, each record locked exclusively by another SMB2 session as Windows workstations hold
// them), and 1 through the proxy. Each iteration times, in turns:
//   floor   open, one 81-byte read of every record, close;
//   first   open, the lock finder over the whole file with no previous answer, close;
//   steady  the same, starting from the previous refresh's answer (unchanged);
//   show    the monitor's own refresh (MLP_Show) after one refresh already made.
// Reads are counted in the client, and the monitor's by the proxy's count of SMB2 READs.
#include "collectedlist.h"
#include "smbbench.h"
#include "stationfile.h"
#include "stationmonitor.h"
#include "stationtexts.h"

#include <benchmark/benchmark.h>

#include <chrono>

namespace {

using namespace orvendal;
using Clock = std::chrono::steady_clock;

long floorPass(const std::string& url, std::uint64_t records) {
    long reads = 0;
    files::SharedFile file = bench::openCounted(url, reads);
    std::array<std::uint8_t, station::kRecordLength> bytes{};
    for (std::uint64_t k = 0; k < records; ++k) {
        file.tryReadAt(k * station::kRecordLength, bytes);
    }
    file.close();
    return reads;
}

// The finder's pass over the whole file; false when it found other locks than those held.
bool finderPass(const std::string& url, const std::vector<bool>& held,
                const std::vector<bool>* previous, long& reads) {
    reads = 0;
    files::SharedFile file = bench::openCounted(url, reads);
    const station::RecordBlock block(file, 1, held.size(), previous);
    block.requireRead();
    bool same = true;
    for (std::uint64_t k = 0; k < held.size(); ++k) {
        same = same && block.locked(k + 1) == held[k];
    }
    file.close();
    return same;
}

double milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void smbRefresh(benchmark::State& state) {
    if (const auto why = bench::SmbTestServer::unavailable()) {
        state.SkipWithError(why->c_str());
        return;
    }
    const std::int64_t stations = state.range(0);
    const bool throughProxy = state.range(2) != 0;
    bench::SmbStationSetup& setup = bench::SmbStationSetup::get(stations, state.range(1));
    const std::string url = setup.url(throughProxy);
    const auto records = static_cast<std::uint64_t>(stations + 1);

    ui::CollectedList list;
    ui::CollectedWindow window;
    ui::StationMonitor monitor(window, list);
    monitor.MLP_SetFileName(url);
    monitor.MLP_Show();

    Clock::duration floorTime{}, firstTime{}, steadyTime{}, showTime{};
    long floorReads = 0, firstReads = 0, steadyReads = 0, showReads = 0;
    bool right = true;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        floorReads = floorPass(url, records);
        const auto t1 = Clock::now();
        right = finderPass(url, setup.locked, nullptr, firstReads) && right;
        const auto t2 = Clock::now();
        right = finderPass(url, setup.locked, &setup.locked, steadyReads) && right;
        const auto t3 = Clock::now();
        const long before = throughProxy ? setup.proxy.reads() : 0;
        const auto t4 = Clock::now();
        monitor.MLP_Show();
        const auto t5 = Clock::now();
        showReads = throughProxy ? setup.proxy.reads() - before : 0;
        floorTime += t1 - t0;
        firstTime += t2 - t1;
        steadyTime += t3 - t2;
        showTime += t5 - t4;
    }
    monitor.CloseStationFile();
    const auto connected = std::count(setup.locked.begin(), setup.locked.end(), true);
    const auto listed = std::count_if(list.rows().begin(), list.rows().end(),
                                      [](const auto& row) { return row[2] == ui::kTrueWord; });
    if (!right || static_cast<std::int64_t>(list.rows().size()) != stations ||
        listed != connected || !window.messages().empty()) {
        state.SkipWithError("a refresh did not find the locked records exactly");
        return;
    }
    const auto average = [](Clock::duration d) {
        return benchmark::Counter(milliseconds(d), benchmark::Counter::kAvgIterations);
    };
    state.counters["floor_ms"] = average(floorTime);
    state.counters["first_ms"] = average(firstTime);
    state.counters["steady_ms"] = average(steadyTime);
    state.counters["show_ms"] = average(showTime);
    state.counters["floor_reads"] = static_cast<double>(floorReads);
    state.counters["first_reads"] = static_cast<double>(firstReads);
    state.counters["steady_reads"] = static_cast<double>(steadyReads);
    if (throughProxy) {
        state.counters["show_reads"] = static_cast<double>(showReads);
    }
}

void arguments(benchmark::internal::Benchmark* b, std::int64_t stations, bool proxy) {
    for (const std::int64_t percent : {0, 10, 50}) {
        b->Args({stations, percent, proxy ? 1 : 0});
    }
    b->ArgNames({"stations", "connected", "proxy"})->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(smbRefresh)->Apply([](auto* b) {
    for (const std::int64_t stations : {100, 1000}) {
        arguments(b, stations, false);
        arguments(b, stations, true);
    }
});
// A pass of 10,000 reads costs over 10 s through the proxy: one iteration each, and one
// repetition whatever the command line asks.
BENCHMARK(smbRefresh)
    ->Apply([](auto* b) {
        arguments(b, 10000, false);
        arguments(b, 10000, true);
    }) -> Iterations(1) -> Repetitions(1);
BENCHMARK_MAIN();
