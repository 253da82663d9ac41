#include "events.h"
#include "journal.h"
#include "tempdir.h"

#include <benchmark/benchmark.h>

using namespace orvendal;
using namespace orvendal::journal;

namespace {

station::StationReading readingOf(int stations, int connected) {
    station::StationReading reading;
    reading.records = static_cast<std::uint64_t>(stations) + 1;
    reading.stations.resize(static_cast<std::size_t>(stations));
    for (int i = 0; i < connected; ++i) {
        reading.stations[static_cast<std::size_t>(2 * i)].Connected = station::kTrue;
    }
    return reading;
}

// One station connects and disconnects: two transitions, each committed (WAL, synchronous FULL)
// before the watcher prints it.
void transitionWithJournal(benchmark::State& state) {
    testing::TempDir dir;
    Journal journal =
        Journal::open(dir.file("journal.db"), "MARLOVEN.SIT", WallClock::now(), Milliseconds(500));
    station::Event connected;
    connected.kind = station::EventKind::Connected;
    connected.rec = 7;
    connected.fields = station::StationFields{u"A", 107, u"TERM7", u"Caja 7", 7};
    station::Event disconnected = connected;
    disconnected.kind = station::EventKind::Disconnected;
    disconnected.seconds = 1.5;
    for (auto _ : state) {
        connected.time = WallClock::now();
        journal.record({&connected, 1}, connected.time);
        disconnected.time = WallClock::now();
        journal.record({&disconnected, 1}, disconnected.time);
    }
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(transitionWithJournal)->Unit(benchmark::kMillisecond)->UseRealTime();

// What an idle refresh of 200 stations, 100 connected, costs the event detection.
void idleRefreshEvents(benchmark::State& state) {
    station::StationTracker tracker;
    const station::StationReading reading = readingOf(200, 100);
    tracker.update(reading, WallClock::now(), SteadyClock::now());
    for (auto _ : state) {
        auto events = tracker.update(reading, WallClock::now(), SteadyClock::now());
        benchmark::DoNotOptimize(events);
    }
}
BENCHMARK(idleRefreshEvents)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
