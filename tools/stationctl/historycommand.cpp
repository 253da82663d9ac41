// history: the sessions a watcher's journal recorded, at an instant or over a range.
#include "columns.h"
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "historyreport.h"
#include "journal.h"
#include "json.h"
#include "process.h"

#include <array>
#include <functional>
#include <iostream>
#include <limits>
#include <optional>
#include <vector>

namespace orvendal::stationctl {
namespace {

using journal::HistoryLine;

// A gap's or outage's line stands alone, between the sessions' rows in time order. The columns'
// widths come from a first reading of the sessions, without keeping them; the second prints.
void printTable(const std::function<journal::HistoryRows()>& read) {
    const auto& headings = journal::kHistoryHeadings;
    Columns table({headings.begin(), headings.end()},
                  {true, true, false, false, false, false, false, true});
    journal::HistoryRows first = read();
    bool sessions = false;
    while (const auto s = first.sessions()) {
        const auto cells = journal::sessionCells(*s);
        table.widen({cells.begin(), cells.end()});
        sessions = true;
    }
    if (!sessions) {
        bool blind = false;
        journal::forEachInTimeOrder(first, [&](const HistoryLine& l) {
            Columns::printNote(std::cout, l.flapping ? journal::flappingNote(*l.flapping)
                                                     : journal::blindNote(*l.blind));
            blind = true;
        });
        if (!blind) {
            std::cout << "(sin sesiones)\n";
        }
        return;
    }
    table.print(std::cout);
    journal::HistoryRows second = read();
    journal::forEachInTimeOrder(second, [&](const HistoryLine& l) {
        if (l.flapping) {
            Columns::printNote(std::cout, journal::flappingNote(*l.flapping));
        } else if (l.blind) {
            Columns::printNote(std::cout, journal::blindNote(*l.blind));
        } else {
            const auto cells = journal::sessionCells(*l.session);
            table.printRow(std::cout, {cells.begin(), cells.end()});
        }
    });
}

int runHistory(const Arguments& args) {
    args.expectPositionals(1, "DB");
    const auto at = args.value("--at");
    const auto since = args.value("--since");
    const auto until = args.value("--until");
    if (at && (since || until)) {
        throw UsageError("--at no va con --since ni con --until");
    }
    if (args.has("--json") && args.has("--csv")) {
        throw UsageError("--json y --csv se excluyen: indique solo una");
    }
    const auto time = [](const std::optional<std::string>& text) {
        try {
            return text ? std::optional(journal::parseTime(*text)) : std::nullopt;
        } catch (const Error& e) {
            throw UsageError(e.description());
        }
    };
    // Every time is checked before the journal is opened.
    const auto instant = time(at);
    const auto from = time(since);
    const auto to = time(until);
    if (from && to && *from > *to) {
        throw UsageError("--since " + *since + " es posterior a --until " + *until +
                         ": ninguna sesión cabe entre las dos");
    }
    std::optional<std::int32_t> station;
    if (const auto s = args.value("--station")) {
        station = static_cast<std::int32_t>(
            parseInteger(*s, std::numeric_limits<std::int32_t>::min(),
                         std::numeric_limits<std::int32_t>::max(), "--station"));
    }
    journal::JournalReader reader(args.positionals()[0]);
    // The table reads the journal twice: both times as it was at the first.
    const journal::JournalReader::Snapshot snapshot(reader);
    const auto begin = instant ? instant : from;
    const auto end = instant ? instant : to;
    const std::vector<journal::Blind> gaps = reader.gaps(begin, end);
    const auto read = [&] {
        return journal::HistoryRows{instant ? reader.sessionsAt(*instant, station)
                                            : reader.sessionsOverlapping(from, to, station),
                                    gaps, reader.outagesOverlapping(begin, end),
                                    reader.flappingOverlapping(begin, end, station)};
    };
    if (args.has("--json")) {
        JsonWriter json(std::cout);
        journal::writeHistoryJson(json, read());
        std::cout << '\n';
    } else if (args.has("--csv")) {
        startCsvOutput(std::cout);
        journal::writeHistoryCsv(std::cout, read());
    } else {
        printTable(read);
    }
    return 0;
}

constexpr std::array kHistoryOptions = {
    OptionSpec{"--at", true},      OptionSpec{"--since", true}, OptionSpec{"--until", true},
    OptionSpec{"--station", true}, OptionSpec{"--json", false}, OptionSpec{"--csv", false},
};

} // namespace

const Command kHistoryCommand{
    "history", "las sesiones que guardó el diario de un watch",
    "Uso: stationctl history DB [--at HORA | --since HORA --until HORA] [--station N]\n"
    "                           [--json | --csv]\n"
    "Lista las sesiones que guardó stationctl watch --journal DB: con --at, las conectadas\n"
    "en ese instante; con --since o --until, o los dos, las que se solapan con el intervalo;\n"
    "sin ninguno, todas. Las sesiones ya conectadas cuando empezó la vigilancia cuentan\n"
    "desde el primer refresco del vigilante, con los últimos campos que tuvo su registro en\n"
    "el diario. Junto a ellas, por orden de tiempo, los tramos de los que el diario no puede\n"
    "responder: cuando no vigilaba nadie, \"(sin vigilancia de A a B)\" (entre vigilancias,\n"
    "tras el último latido de un vigilante que se mató), y los fallos de lectura, \"(fallo de\n"
    "lectura de A a B: ERROR)\". Una sesión que empezó o terminó durante un fallo de lectura\n"
    "muestra \"(entre A y B)\". HORA es ISO 8601 (2026-12-09T08:30, 2026-12-09T08:30:00Z,\n"
    "...+01:00) o \"2026-12-09 08:30[:SS]\", en hora local salvo que lleve la diferencia con\n"
    "UTC, o now. Una fecha u hora que no existe (2026-02-31, 25:00, una hora local que los\n"
    "relojes saltan) se rechaza, igual que --since posterior a --until. El diario solo se\n"
    "lee: sirve una carpeta o una copia en la que no pueda escribir.\n\n"
    "  --station N   solo las sesiones del número de puesto N (el campo Puesto del registro)\n"
    "  --json        un objeto (antes, una lista de sesiones):\n"
    "                {\"sessions\": [{\"rec\": FILA, \"station\": N, \"connection\": TEXTO,\n"
    "                \"name\": TEXTO, \"start\": HORA, \"started_between\": [HORA, HORA],\n"
    "                \"seen\": HORA, \"at_start\": BOOL,\n"
    "                \"end\": HORA, \"ended_between\": [HORA, HORA],\n"
    "                \"ended\": \"disconnected\"|\"stopped\"|\"unknown\", \"seconds\": S}],\n"
    "                \"gaps\": [{\"from\": HORA, \"to\": HORA}],\n"
    "                \"outages\": [{\"from\": HORA, \"to\": HORA, \"error\": TEXTO}]};\n"
    "                start es null con at_start; end y ended, mientras sigue conectada;\n"
    "                start o end, si empezó o terminó durante un fallo de lectura, y\n"
    "                entonces started_between o ended_between dan el intervalo (null en\n"
    "                otro caso); seconds, si no se midió; y el extremo abierto de un tramo\n"
    "                sin vigilancia o de un fallo de lectura\n"
    "  --csv         lo mismo en CSV (RFC 4180) con una fila de títulos; las columnas seen,\n"
    "                started_between y ended_between (A/B), error y kind (session, gap u\n"
    "                outage) van tras las nueve primeras; en una conexión, nombre, fin o\n"
    "                error, los caracteres de control salen como �, como en la tabla, y\n"
    "                uno que empieza por =, +, - o @, aunque sea tras blancos o caracteres\n"
    "                invisibles, lleva delante un ' para que una hoja de cálculo no lo\n"
    "                ejecute como fórmula; en Windows empieza por la marca de orden de\n"
    "                bytes de UTF-8, para que Excel lea bien los acentos\n",

    kHistoryOptions, runHistory};

} // namespace orvendal::stationctl
