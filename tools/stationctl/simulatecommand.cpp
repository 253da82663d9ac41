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
    args.expectPositionals(1, "FICHERO");
    const auto seconds = integerOption(args, "--seconds", 1, 31 * 24 * 3600, 0);
    const bool churn = args.has("--churn");
    if (args.has("--rate") && !churn) {
        throw UsageError("--rate solo va con --churn");
    }
    const auto rate = integerOption(args, "--rate", 1, 1000, 50);
    const auto seed = static_cast<std::uint64_t>(integerOption(
        args, "--seed", 0, std::numeric_limits<std::int64_t>::max(), std::random_device{}()));

    watch::StopSignals stops; // before the first lock, so that a signal always lets it clean up
    const auto start = Clock::now();
    WorkstationSimulator sim(args.positionals()[0], seed, churn);
    if (!churn && sim.stationRecords() == 0) {
        throw Error(errnoCode(EINVAL), args.positionals()[0] +
                                " no tiene registros de puesto; créelos con stationctl "
                                "create FICHERO --stations N");
    }
    const auto end = seconds ? start + std::chrono::seconds(seconds) : Clock::time_point::max();

    const auto act = [&](auto&& action) {
        try {
            action();
        } catch (const Error& e) {
            sim.countError();
            std::cerr << "stationctl simulate: " << printable(e.description()) << " (error "
                      << e.code().value() << ")\n";
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
    "simulate", "hace de puestos de trabajo: los puestos se conectan y desconectan",
    "Uso: stationctl simulate FICHERO [--seconds S] [--seed N] [--churn [--rate N]]\n"
    "Hace de puestos de trabajo sobre FICHERO: cada uno a tres segundos se conecta o se\n"
    "desconecta una fila de puesto. Un puesto se conecta bloqueando su registro (bloqueo OFD\n"
    "de fcntl, sin esperar), escribiéndolo (nombre, texto de conexión, conectado, contador\n"
    "+ 1) y manteniendo el bloqueo; se desconecta escribiendo otra vez el registro y\n"
    "desbloqueándolo. El contador de la cabecera cuenta los puestos conectados. Al empezar\n"
    "se conecta más o menos la mitad de los puestos.\n"
    "Sigue hasta SIGINT, SIGTERM o SIGHUP, o durante S segundos; entonces se desconectan\n"
    "todos los puestos y una línea de JSON resume lo hecho (cuentas, rechazos, la semilla,\n"
    "y la longitud y el cksum POSIX del contenido del fichero tal como se escribió por\n"
    "última vez, lo que \"cksum FICHERO\" da para el fichero). Termina con 1 si falló alguna\n"
    "acción.\n\n"
    "  --seconds S   para tras S segundos\n"
    "  --seed N      semilla de las elecciones al azar, para repetir una ejecución (sale en\n"
    "                el resumen)\n"
    "  --churn       una prueba de resistencia: muchas veces por segundo, al azar, se\n"
    "                conectan puestos (dos pueden querer un registro: se cuenta el bloqueo\n"
    "                rechazado), se reescriben registros, el fichero crece y mengua (también\n"
    "                en registros a medias), se sustituye con rename, se borra y se vuelve a\n"
    "                crear, la cabecera se bloquea un momento, y out.vrl aparece y desaparece\n"
    "                en la carpeta actual (queda al final como estaba). \"refusals_unheld\"\n"
    "                cuenta los bloqueos rechazados en registros que no tenía ningún puesto\n"
    "                simulado: los causó otro proceso.\n"
    "  --rate N      acciones de --churn por segundo, de 1 a 1000 (50 si no se indica)\n",

    kSimulateOptions, runSimulate};

} // namespace orvendal::stationctl
