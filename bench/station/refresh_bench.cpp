// The refresh against the system calls it cannot avoid: one lock probe per record and one read of
// the whole file ("floor"), and the monitor's refresh of the same file into a list that only
// counts ("sweep"). Arguments: station records, and 1 when every other record is locked by another
// process, one lock per record as workstations hold them.
#include "collectedlist.h"
#include "lockholder.h"
#include "stationfile.h"
#include "stationmonitor.h"
#include "tempdir.h"
#include "turns.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

using namespace orvendal;

struct StationFileFixture {
    StationFileFixture(std::int64_t stations, bool everyOtherLocked) {
        path = dir.file("MARLOVEN.SIT");
        testing::writeBytes(path, std::vector<unsigned char>((stations + 1) * 81, ' '));
        if (everyOtherLocked) {
            std::vector<testing::LockHolder::Range> ranges;
            for (std::int64_t record = 2; record <= stations + 1; record += 2) {
                ranges.push_back({static_cast<std::uint64_t>(record - 1) * 81, 81});
            }
            holder = std::make_unique<testing::LockHolder>(path, ranges);
        }
    }
    testing::TempDir dir;
    std::string path;
    std::unique_ptr<testing::LockHolder> holder;
};

class CountingList : public ui::StationList {
public:
    int columnHeaderCount() const override { return headings; }
    void clearColumnHeaders() override { headings = 0; }
    void addColumnHeader(std::u16string_view) override { ++headings; }
    void clearListItems() override { rows = 0; }
    Item addListItem(std::u16string_view) override { return rows++; }
    void setSubItem(Item, int, std::u16string_view text) override { cells += text.size(); }
    void setView(int) override {}
    void setLabelEdit(int) override {}
    void setFullRowSelect(bool) override {}
    void setSelectedItem(Item) override {}
    std::optional<Item> selectedItem() const override { return std::nullopt; }
    void ensureVisible(Item) override {}
    std::u16string itemText(Item) const override { return {}; }

    int headings = 0;
    int rows = 0;
    std::size_t cells = 0;
};

// The system calls a refresh cannot avoid, once: one probe per record over its 81 bytes, and one
// read of the whole file.
void floorPass(int fd, std::int64_t records, std::vector<unsigned char>& bytes) {
    int locked = 0;
    for (std::int64_t record = 1; record <= records; ++record) {
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        probe.l_start = (record - 1) * 81;
        probe.l_len = 81;
        ::fcntl(fd, F_OFD_GETLK, &probe);
        locked += probe.l_type != F_UNLCK;
    }
    benchmark::DoNotOptimize(::pread(fd, bytes.data(), bytes.size(), 0));
    benchmark::DoNotOptimize(locked);
}

// Floor and sweep take turns, one pass of each an iteration, on the same file and the same
// locks: the slow moments of a shared machine fall on both alike. Timed as two benchmarks, the
// same ratio came out anywhere from 1.1 to 1.4 between runs. The benchmark's own time is the pair;
// the counters split it, in milliseconds per refresh.
void refresh(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const StationFileFixture fixture(state.range(0), state.range(1) != 0);
    const int fd = ::open(fixture.path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<unsigned char> bytes((state.range(0) + 1) * 81);
    CountingList list;
    ui::CollectedWindow window;
    ui::StationMonitor monitor(window, list);
    monitor.MLP_SetFileName(fixture.path);
    Clock::duration floorTime{};
    Clock::duration sweepTime{};
    for (auto _ : state) {
        const auto start = Clock::now();
        floorPass(fd, state.range(0) + 1, bytes);
        const auto middle = Clock::now();
        monitor.MLP_Show();
        const auto end = Clock::now();
        floorTime += middle - start;
        sweepTime += end - middle;
    }
    ::close(fd);
    if (list.rows != state.range(0)) {
        state.SkipWithError("the refresh did not list every record");
    }
    bench::reportTurns(state, floorTime, sweepTime);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const std::int64_t stations : {100, 1000, 10000}) {
        for (const std::int64_t locked : {0, 1}) {
            b->Args({stations, locked});
        }
    }
    b->ArgNames({"stations", "locked"})->Unit(benchmark::kMicrosecond);
}

double threadCpuMilliseconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The two ways of finding 10,000 stations' locks, in turns on the same locks: a probe sweep, and
// one pass over /proc/locks. Argument: the share of stations held, in percent, each by a lock of
// its own; neighbours are held by two processes, as two workstations would, so the kernel never
// merges them. Wall and CPU time per pass: the table's wall time is mostly the kernel waiting for
// other CPUs before it lists the locks, a page at a time.
void lockStrategies(benchmark::State& state) {
    constexpr std::uint64_t kStations = 10000;
    const auto percent = static_cast<std::uint64_t>(state.range(0));
    testing::TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    testing::writeBytes(path, std::vector<unsigned char>((kStations + 1) * 81, ' '));
    std::vector<testing::LockHolder::Range> odd;
    std::vector<testing::LockHolder::Range> even;
    for (std::uint64_t k = 0; k < kStations; ++k) {
        if (percent > 0 && (k * percent) / 100 != ((k + 1) * percent) / 100) {
            (k % 2 ? odd : even).push_back({(k + 1) * 81, 81});
        }
    }
    const testing::LockHolder a(path, odd);
    const testing::LockHolder b(path, even);
    const auto file = files::SharedFile::open(path);
    constexpr std::size_t kMaxLocks = 2 * (kStations + 1);
    if (file.lockTable(kMaxLocks).outcome != files::LockTable::Outcome::Listed) {
        state.SkipWithError("no table of locks for the temporary folder's file system");
        return;
    }
    double probeWall = 0, probeCpu = 0, tableWall = 0, tableCpu = 0;
    // Locks the table lacks when others on the machine came and went between its pages, which the
    // refresh probes again for stations it had seen locked; and locks it has that the probes lack.
    double missed = 0, extra = 0;
    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    for (auto _ : state) {
        auto wall = Clock::now();
        double cpu = threadCpuMilliseconds();
        const auto probed = station::findLockedRecords(file, 1, kStations + 1);
        probeWall += ms(Clock::now() - wall);
        probeCpu += threadCpuMilliseconds() - cpu;
        wall = Clock::now();
        cpu = threadCpuMilliseconds();
        const auto listed =
            station::lockedRecordsIn(file.lockTable(kMaxLocks).locks, 1, kStations + 1);
        tableWall += ms(Clock::now() - wall);
        tableCpu += threadCpuMilliseconds() - cpu;
        for (std::size_t k = 0; k < probed.size(); ++k) {
            missed += probed[k] && !listed[k];
            extra += listed[k] && !probed[k];
        }
    }
    const auto avg = benchmark::Counter::kAvgIterations;
    state.counters["probe_ms"] = benchmark::Counter(probeWall, avg);
    state.counters["probe_cpu_ms"] = benchmark::Counter(probeCpu, avg);
    state.counters["table_ms"] = benchmark::Counter(tableWall, avg);
    state.counters["table_cpu_ms"] = benchmark::Counter(tableCpu, avg);
    state.counters["table_missed"] = benchmark::Counter(missed, avg);
    state.counters["table_extra"] = benchmark::Counter(extra, avg);
}

} // namespace

BENCHMARK(refresh)->Apply(sizes);
BENCHMARK(lockStrategies)
    ->ArgName("held_percent")
    ->Arg(0)
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
