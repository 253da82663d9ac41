// Cost of a user look-up: on an open connection (every look-up after the first) and including
// the connect (the first look-up). Run with the engine as argument, "sqlite" or "postgresql";
// PostgreSQL needs the test server (scripts/bench-lookup.sh starts it).
#include "userdirectory.h"

#include "odbcsandbox.h"
#include "text.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

using namespace orvendal::lookup;
using orvendal::lookup::testing::Backend;
using orvendal::lookup::testing::OdbcSandbox;

constexpr int Users = 1000;
std::optional<OdbcSandbox> database;

void failOnError(const std::u16string& text) {
    throw std::runtime_error("look-up failed: " + orvendal::toUtf8(text));
}

void prepare(Backend backend) {
    database.emplace(backend);
    database->resetTable();
    std::string rows = "INSERT INTO GenUsu VALUES (1, 'María José Peña Ortiz')";
    for (int code = 2; code <= Users; ++code)
        rows += ", (" + std::to_string(code) + ", 'Usuario " + std::to_string(code) + " Muñoz')";
    database->exec(rows + ";");
}

void lookupOnOpenConnection(benchmark::State& state) {
    UserDirectory users;
    users.LookupUserName(1, failOnError);
    std::int32_t code = 0;
    for (auto _ : state) {
        code = code % Users + 1;
        benchmark::DoNotOptimize(users.LookupUserName(code, failOnError));
    }
}

void firstLookupWithConnect(benchmark::State& state) {
    for (auto _ : state) {
        std::optional<UserDirectory> users(std::in_place);
        benchmark::DoNotOptimize(users->LookupUserName(500, failOnError));
        state.PauseTiming(); // disconnecting is not part of the look-up
        users.reset();
        state.ResumeTiming();
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const std::string engine = argc == 2 ? argv[1] : "";
    if (engine != "sqlite" && engine != "postgresql") {
        std::fprintf(stderr, "usage: %s [benchmark options] sqlite|postgresql\n", argv[0]);
        return 2;
    }
    prepare(engine == "sqlite" ? Backend::SQLite : Backend::PostgreSQL);
    const std::string suffix = "/" + engine;
    benchmark::RegisterBenchmark(("LookupOnOpenConnection" + suffix).c_str(),
                                 lookupOnOpenConnection)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    benchmark::RegisterBenchmark(("FirstLookupWithConnect" + suffix).c_str(),
                                 firstLookupWithConnect)
        ->Unit(benchmark::kMicrosecond)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    database.reset();
}
