// simulate: workstations connecting and disconnecting, calmly for the demo or as a churn for the
// soak test.
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "stopsignals.h"
#include "workstationsimulator.h"

#include <cerrno>
#include <iostream>
#include <random>

namespace orvendal::stationctl {
namespace {

using Clock = WorkstationSimulator::Clock;
using std::chrono::milliseconds;

// The calm schedule: a station comes or goes every one to three seconds.
constexpr milliseconds kCalmMin{1000};
constexpr milliseconds kCalmMax{3000};

int runSimulate(const Arguments& args) {
    args.expectPositionals(1, "FILE");
    const auto seconds = integerOption(args, "--seconds", 1, 31 * 24 * 3600, 0);
    const bool churn = args.has("--churn");
    if (args.has("--rate") && !churn) {
        throw UsageError("--rate is for --churn");
    }
    const auto rate = integerOption(args, "--rate", 1, 1000, 50);
    const auto seed = static_cast<std::uint64_t>(integerOption(
        args, "--seed", 0, std::numeric_limits<std::int64_t>::max(), std::random_device{}()));

    StopSignals stops; // before the first lock, so that a signal always lets it clean up
    const auto start = Clock::now();
    WorkstationSimulator sim(args.positionals()[0], seed, churn);
    if (!churn && sim.stationRecords() == 0) {
        throw Error(EINVAL, args.positionals()[0] +
                                " has no station records; make some with stationctl "
                                "create FILE --stations N");
    }
    const auto end = seconds ? start + std::chrono::seconds(seconds) : Clock::time_point::max();

    const auto act = [&](auto&& action) {
        try {
            action();
        } catch (const Error& e) {
            sim.countError();
            std::cerr << "stationctl simulate: " << printable(e.description()) << " (error "
                      << e.number() << ")\n";
        }
    };
    if (!churn) {
        // About half the stations are connected from the start.
        for (std::uint64_t n = 0; n < sim.stationRecords() / 2; ++n) {
            act([&] { sim.toggleRandomStation(); });
        }
    }
    std::uniform_int_distribution<long long> calm(kCalmMin.count(), kCalmMax.count());
    while (true) {
        const auto now = Clock::now();
        if (now >= end) {
            break;
        }
        const milliseconds pause =
            churn ? milliseconds(1000 / rate) : milliseconds(calm(sim.random()));
        if (stops.wait(std::min(pause, std::chrono::ceil<milliseconds>(end - now)))) {
            break;
        }
        if (Clock::now() >= end) {
            break;
        }
        act([&] { churn ? sim.churnOnce(Clock::now()) : sim.toggleRandomStation(); });
    }
    act([&] { sim.finish(); });
    sim.report(std::cout, std::chrono::duration<double>(Clock::now() - start).count());
    return sim.counts().errors == 0 ? 0 : 1;
}

constexpr std::array kSimulateOptions = {OptionSpec{"--seconds", true}, OptionSpec{"--seed", true},
                                         OptionSpec{"--churn", false}, OptionSpec{"--rate", true}};

} // namespace

const Command kSimulateCommand{
    "simulate", "stand in for the workstations: stations connect and disconnect",
    "Usage: stationctl simulate FILE [--seconds S] [--seed N] [--churn [--rate N]]\n"
    "Stands in for the workstations on FILE: every one to three seconds a station row\n"
    "connects or disconnects. A workstation connects by locking its record (fcntl OFD lock,\n"
    "never waiting), writing it (name, connection text, connected, tally + 1) and keeping\n"
    "the lock; it disconnects by writing the record again and unlocking it. The header's\n"
    "tally counts the connected stations. About half the stations connect at the start.\n"
    "Runs until SIGINT, SIGTERM or SIGHUP, or for S seconds; then every station\n"
    "disconnects and one line of JSON reports what was done (counts, refusals, the seed,\n"
    "and the length and POSIX cksum of the file's content as last written, which\n"
    "\"cksum FILE\" prints for the file). Exit status 1 when an action failed.\n\n"
    "  --seconds S   stop after S seconds\n"
    "  --seed N      seed of the random choices, to repeat a run (printed in the report)\n"
    "  --churn       a soak test: many times a second, at random, workstations connect\n"
    "                (two may want one record: a refused lock is counted), records are\n"
    "                rewritten, the file grows and shrinks (partial records too), is\n"
    "                replaced by rename, deleted and recreated, the header is locked for a\n"
    "                moment, and out.vrl in the current folder comes and goes (left as it\n"
    "                was at the end). \"refusals_unheld\" counts refused locks on records no\n"
    "                simulated workstation held: some other process caused them.\n"
    "  --rate N      churn actions a second, 1 to 1000 (default 50)\n",
    kSimulateOptions, runSimulate};

} // namespace orvendal::stationctl
