// connect: holding records locked the way connected workstations do.
#include "commands.h"
#include "error.h"
#include "stopsignals.h"
#include "workstationrecords.h"

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
        throw UsageError(positionals.empty() ? "faltan FICHERO y FILA" : "falta FILA");
    }
    std::vector<std::uint64_t> numbers;
    for (std::size_t i = 1; i < positionals.size(); ++i) {
        numbers.push_back(
            static_cast<std::uint64_t>(parseInteger(
                positionals[i], 0, std::numeric_limits<std::int32_t>::max() - 1, "FILA")) +
            1);
    }
    const bool shared = args.has("--read");
    const bool wait = args.has("--wait");
    const bool watchInput = !args.has("--ignore-stdin");

    watch::StopSignals stops; // before the first lock, so that no signal can leave a lock behind
    files::WorkstationFile file = files::WorkstationFile::open(
        positionals[0], shared ? files::WorkstationFile::Access::ReadOnly
                               : files::WorkstationFile::Access::ReadWrite);
    const auto kind =
        shared ? files::WorkstationFile::LockKind::Read : files::WorkstationFile::LockKind::Write;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        while (!station::lockRecord(file, numbers[i], kind)) {
            if (!wait) {
                throw Error(errc::RecordLocked,
                            "la fila " + positionals[i + 1] + " la tiene bloqueada otro proceso");
            }
            if (stops.wait(kRetryPeriod)) {
                return 1;
            }
        }
    }
    // The word the watcher's events use: scripts wait for it (coproc ...; read).
    std::cout << "connected";
    for (std::size_t i = 1; i < positionals.size(); ++i) {
        std::cout << ' ' << positionals[i];
    }
    std::cout << std::endl;

    stops.wait(std::nullopt, watchInput);
    for (const auto number : numbers) {
        station::unlockRecord(file, number);
    }
    return 0;
}

constexpr std::array kConnectOptions = {OptionSpec{"--read", false}, OptionSpec{"--wait", false},
                                        OptionSpec{"--ignore-stdin", false}};

} // namespace

const Command kConnectCommand{
    "connect", "mantiene bloqueados registros de puesto, como los puestos conectados",
    "Uso: stationctl connect FICHERO FILA... [--read] [--wait] [--ignore-stdin]\n"
    "Bloquea los registros de las filas indicadas (la fila 0 es la cabecera) como los puestos\n"
    "(bloqueos OFD de escritura de fcntl; LockFileEx en Windows), escribe una línea\n"
    "\"connected FILA...\" cuando tiene todos los bloqueos y los mantiene hasta recibir SIGINT,\n"
    "SIGTERM o SIGHUP (Ctrl+C, Ctrl+Break o el cierre de la consola en Windows) o hasta que se\n"
    "acaba su entrada estándar; entonces los suelta y termina con 0. Una fila que otro proceso\n"
    "tiene bloqueada es un error, salvo con --wait. También se pueden bloquear filas más allá\n"
    "del final del fichero.\n\n"
    "  --read          bloqueos de lectura (compartidos) en vez de escritura\n"
    "  --wait          espera a las filas que tiene otro proceso en vez de fallar\n"
    "  --ignore-stdin  mantiene los bloqueos hasta una señal; un shell da a las órdenes en\n"
    "                  segundo plano una entrada estándar vacía, que los soltaría enseguida\n\n"
    "Ejemplo: coproc stationctl connect MARLOVEN.SIT 3 5; read -u ${COPROC[0]} linea\n",

    kConnectOptions, runConnect};

} // namespace orvendal::stationctl
