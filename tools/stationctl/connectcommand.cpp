// connect: holding records locked the way connected workstations do.
#include "commands.h"
#include "error.h"
#include "recordfile.h"
#include "stopsignals.h"

#include <chrono>
#include <iostream>
#include <limits>
#include <vector>

namespace orvendal::stationctl {
namespace {

// How often a --wait connect tries again a record that another process holds.
constexpr std::chrono::milliseconds kRetryPeriod{50};

int runConnect(const Arguments& args) {
    const auto& positionals = args.positionals();
    if (positionals.size() < 2) {
        throw UsageError(positionals.empty() ? "missing FILE and ROW" : "missing ROW");
    }
    std::vector<std::uint64_t> numbers;
    for (std::size_t i = 1; i < positionals.size(); ++i) {
        numbers.push_back(
            static_cast<std::uint64_t>(parseInteger(
                positionals[i], 0, std::numeric_limits<std::int32_t>::max() - 1, "ROW")) +
            1);
    }
    const bool shared = args.has("--read");
    const bool wait = args.has("--wait");
    const bool watchInput = !args.has("--ignore-stdin");

    StopSignals stops; // before the first lock, so that no signal can leave a lock behind
    RecordFile file = RecordFile::open(positionals[0], shared ? RecordFile::Access::ReadOnly
                                                              : RecordFile::Access::ReadWrite);
    const auto kind = shared ? RecordFile::LockKind::Read : RecordFile::LockKind::Write;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        while (!file.tryLock(numbers[i], kind)) {
            if (!wait) {
                throw Error(errc::RecordLocked,
                            "row " + positionals[i + 1] + " is locked by another process");
            }
            if (stops.wait(kRetryPeriod)) {
                return 1;
            }
        }
    }
    std::cout << "connected";
    for (std::size_t i = 1; i < positionals.size(); ++i) {
        std::cout << ' ' << positionals[i];
    }
    std::cout << std::endl;

    stops.wait(std::nullopt, watchInput);
    for (const auto number : numbers) {
        file.unlock(number);
    }
    return 0;
}

constexpr std::array kConnectOptions = {OptionSpec{"--read", false}, OptionSpec{"--wait", false},
                                        OptionSpec{"--ignore-stdin", false}};

} // namespace

const Command kConnectCommand{
    "connect", "hold station records locked, as connected workstations do",
    "Usage: stationctl connect FILE ROW... [--read] [--wait] [--ignore-stdin]\n"
    "Locks the records of the given rows (row 0 is the header) as workstations do (fcntl\n"
    "OFD write locks; LockFileEx on Windows), prints one line \"connected ROW...\" once every\n"
    "lock is held, and holds them until it gets SIGINT, SIGTERM or SIGHUP (Ctrl+C, Ctrl+Break\n"
    "or the console closing on Windows) or its standard input ends; then it releases them and\n"
    "exits 0. A row that another process holds locked is an error unless --wait is given.\n"
    "Rows past the end of the file can be locked too.\n\n"
    "  --read          take read (shared) locks instead of write locks\n"
    "  --wait          wait for rows that another process holds instead of failing\n"
    "  --ignore-stdin  hold until a signal only; a shell gives background commands an empty\n"
    "                  standard input, which would release the locks at once\n\n"
    "Example: coproc stationctl connect MARLOVEN.SIT 3 5; read -u ${COPROC[0]} line\n",
    kConnectOptions, runConnect};

} // namespace orvendal::stationctl
