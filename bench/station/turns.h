#pragma once

#include <benchmark/benchmark.h>

#include <chrono>

namespace orvendal::bench {

// The counters of a benchmark that times the floor and the refresh in turns: each one's average
// per iteration, and their ratio.
inline void reportTurns(benchmark::State& state, std::chrono::steady_clock::duration floorTime,
                        std::chrono::steady_clock::duration sweepTime) {
    const auto milliseconds = [](std::chrono::steady_clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    state.counters["floor_ms"] =
        benchmark::Counter(milliseconds(floorTime), benchmark::Counter::kAvgIterations);
    state.counters["sweep_ms"] =
        benchmark::Counter(milliseconds(sweepTime), benchmark::Counter::kAvgIterations);
    state.counters["sweep_per_floor"] = milliseconds(sweepTime) / milliseconds(floorTime);
}

} // namespace orvendal::bench
