// history: the sessions a watcher's journal recorded, at an instant or over a range.
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "journal.h"
#include "json.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <limits>
#include <optional>
#include <vector>

namespace orvendal::stationctl {
namespace {

using journal::Blind;
using journal::Session;

// What a range of the journal holds: its sessions, and the times it cannot speak for.
struct History {
    std::vector<Session> sessions;
    std::vector<Blind> gaps;
    std::vector<Blind> outages;
};

std::string seconds(const std::optional<double>& value) {
    if (!value) {
        return "";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", *value);
    return text;
}

std::string isoOrEmpty(const std::optional<journal::WallClock::time_point>& t) {
    return t ? journal::isoLocalTime(*t) : "";
}

// A session that began or ended during an outage has no exact start or end: only the interval
// it fell in.
std::optional<journal::WallClock::time_point> exactStart(const Session& s) {
    return s.startedAfter ? std::nullopt : s.start;
}
std::optional<journal::WallClock::time_point> exactEnd(const Session& s) {
    return s.endedAfter ? std::nullopt : s.end;
}

// "A/B": an ISO 8601 interval, for CSV.
std::string interval(const std::optional<journal::WallClock::time_point>& after,
                     const std::optional<journal::WallClock::time_point>& before) {
    return after ? isoOrEmpty(after) + "/" + isoOrEmpty(before) : "";
}

std::string jsonQuoted(const std::string& value) {
    return value.empty() ? std::string("null") : jsonString(fromUtf8(value));
}

// "[A, B]", a span of two JSON values. Built by appending: GCC 12 for mingw warns falsely
// (-Wrestrict) on a literal + std::string temporary.
std::string jsonPair(const std::string& first, const std::string& second) {
    std::string pair = "[";
    pair += first;
    pair += ", ";
    pair += second;
    pair += ']';
    return pair;
}

void printJson(const History& history) {
    const auto text = [](const Session& s, std::u16string journal::StationFields::*m) {
        return s.fields ? jsonString(s.fields.value().*m) : std::string("null");
    };
    const auto time = [](const std::optional<journal::WallClock::time_point>& t) {
        return jsonQuoted(isoOrEmpty(t));
    };
    std::cout << "{\"sessions\": [";
    const char* separator = "";
    for (const Session& s : history.sessions) {
        std::cout << separator << "{\"rec\": " << s.rec
                  << ", \"station\": " << (s.fields ? std::to_string(s.fields->station) : "null")
                  << ", \"connection\": " << text(s, &journal::StationFields::connection)
                  << ", \"name\": " << text(s, &journal::StationFields::name)
                  << ", \"start\": " << time(exactStart(s)) << ", \"started_between\": "
                  << (s.startedAfter ? jsonPair(time(s.startedAfter), time(s.start)) : "null")
                  << ", \"seen\": " << time(s.seen)
                  << ", \"at_start\": " << (s.atStart ? "true" : "false")
                  << ", \"end\": " << time(exactEnd(s)) << ", \"ended_between\": "
                  << (s.endedAfter ? jsonPair(time(s.endedAfter), time(s.end)) : "null")
                  << ", \"ended\": " << jsonQuoted(s.ended)
                  << ", \"seconds\": " << (s.seconds ? seconds(s.seconds) : "null") << '}';
        separator = ", ";
    }
    std::cout << "], \"gaps\": [";
    separator = "";
    for (const Blind& b : history.gaps) {
        std::cout << separator << "{\"from\": " << time(b.from) << ", \"to\": " << time(b.to)
                  << '}';
        separator = ", ";
    }
    std::cout << "], \"outages\": [";
    separator = "";
    for (const Blind& b : history.outages) {
        std::cout << separator << "{\"from\": " << time(b.from) << ", \"to\": " << time(b.to)
                  << ", \"error\": " << jsonString(fromUtf8(b.error)) << '}';
        separator = ", ";
    }
    std::cout << "]}\n";
}

// The history's lines in time order: sessions by when they were seen, gaps and outages by their
// start (an open start first). Each names what it is: "session", "gap" or "outage".
struct Line {
    std::optional<journal::WallClock::time_point> when;
    const char* kind;
    const Session* session;
    const Blind* blind;
};

std::vector<Line> inTimeOrder(const History& history) {
    std::vector<Line> lines;
    for (const Session& s : history.sessions) {
        lines.push_back({s.seen, "session", &s, nullptr});
    }
    for (const Blind& b : history.gaps) {
        lines.push_back({b.from, "gap", nullptr, &b});
    }
    for (const Blind& b : history.outages) {
        lines.push_back({b.from, "outage", nullptr, &b});
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const Line& a, const Line& b) { return a.when < b.when; });
    return lines;
}

// Columns after "seconds" came later and stay at the end, so that older readers keep theirs. A
// gap's or outage's times are in start and end; started_between and ended_between are ISO 8601
// intervals "A/B".
void printCsv(const History& history) {
    std::cout << "rec,station,connection,name,start,at_start,end,ended,seconds,seen,"
                 "started_between,ended_between,error,kind\r\n";
    for (const Line& l : inTimeOrder(history)) {
        std::array<std::string, 14> fields;
        if (const Session* s = l.session) {
            fields = {std::to_string(s->rec),
                      s->fields ? std::to_string(s->fields->station) : "",
                      s->fields ? toUtf8(s->fields->connection) : "",
                      s->fields ? toUtf8(s->fields->name) : "",
                      isoOrEmpty(exactStart(*s)),
                      s->atStart ? "true" : "false",
                      isoOrEmpty(exactEnd(*s)),
                      s->ended,
                      seconds(s->seconds),
                      journal::isoLocalTime(s->seen),
                      interval(s->startedAfter, s->start),
                      interval(s->endedAfter, s->end),
                      "",
                      l.kind};
        } else {
            // Its instants where a session's start and end are, its error before the kind.
            fields[4] = isoOrEmpty(l.blind->from);
            fields[6] = isoOrEmpty(l.blind->to);
            fields[fields.size() - 2] = l.blind->error;
            fields.back() = l.kind;
        }
        // The station's texts, how a session ended and the error are the journal's, which may
        // come from elsewhere: neither a terminal that shows the file nor a spreadsheet may act
        // on them.
        constexpr std::array<bool, 14> kOutsideText = {false, false, true, true,  false,
                                                       false, false, true, false, false,
                                                       false, false, true, false};
        std::string line;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i) {
                line += ',';
            }
            line += kOutsideText[i] ? csvTextField(fields[i]) : csvField(fields[i]);
        }
        std::cout << line << "\r\n";
    }
}

// "2026-12-09 08:01:02" in local time, for the table.
std::string shortTime(journal::WallClock::time_point t) {
    const std::string iso = journal::isoLocalTime(t);
    return iso.substr(0, 10) + ' ' + iso.substr(11, 8);
}

std::string length(double total) {
    const auto whole = static_cast<long long>(total);
    char text[48];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
    return text;
}

// "de A a B", "desde A", "hasta B" or nothing, for a gap's or outage's line.
std::string span(const Blind& b) {
    if (b.from && b.to) {
        return " de " + shortTime(*b.from) + " a " + shortTime(*b.to);
    }
    if (b.from) {
        return " desde " + shortTime(*b.from);
    }
    return b.to ? " hasta " + shortTime(*b.to) : "";
}

// How a session ended, in the table's words; JSON and CSV keep the journal's.
std::string endedWord(const std::string& ended) {
    if (ended == "disconnected") {
        return "desconectado";
    }
    if (ended == "stopped") {
        return "detenido";
    }
    if (ended == "unknown") {
        return "desconocido";
    }
    return printable(ended);
}

// An outage's error is the journal's text, which another user may have written: no control
// character of it reaches the terminal.
void printTable(const History& history) {
    const std::vector<Line> lines = inTimeOrder(history);
    if (lines.empty()) {
        std::cout << "(sin sesiones)\n";
        return;
    }
    // A gap's or outage's line stands alone, between the sessions' rows in time order.
    std::vector<std::array<std::string, 8>> rows = {
        {"Rec", "Puesto", "Conexión", "Nombre Puesto", "Desde", "Hasta", "Fin", "Duración"}};
    std::vector<std::string> notes(1);
    for (const Line& l : lines) {
        if (const Blind* b = l.blind) {
            rows.push_back({});
            notes.push_back(b->error.empty() ? "(sin vigilancia" + span(*b) + ")"
                                             : "(fallo de lectura" + span(*b) + ": " +
                                                   printable(b->error) + ")");
            continue;
        }
        const Session& s = *l.session;
        const auto between = [](journal::WallClock::time_point after,
                                journal::WallClock::time_point before) {
            return "(entre " + shortTime(after) + " y " + shortTime(before) + ")";
        };
        const std::string start = s.startedAfter ? between(*s.startedAfter, *s.start)
                                  : s.start      ? shortTime(*s.start)
                                                 : "(antes de " + shortTime(s.seen) + ")";
        const std::string end = s.endedAfter ? between(*s.endedAfter, *s.end)
                                : s.end      ? shortTime(*s.end)
                                             : "(conectado)";
        rows.push_back({std::to_string(s.rec), s.fields ? std::to_string(s.fields->station) : "?",
                        s.fields ? toUtf8(printable(s.fields->connection)) : "?",
                        s.fields ? toUtf8(printable(s.fields->name)) : "?", start, end,
                        endedWord(s.ended), s.seconds ? length(*s.seconds) : ""});
        notes.emplace_back();
    }
    if (history.sessions.empty()) {
        for (const std::string& note : notes) {
            if (!note.empty()) {
                std::cout << note << '\n';
            }
        }
        return;
    }
    // Widths in characters, not bytes: the headings and names hold accented letters.
    const auto width = [](const std::string& cell) { return fromUtf8(cell).size(); };
    std::array<std::size_t, 8> widths{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], width(row[c]));
        }
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        if (!notes[r].empty()) {
            std::cout << notes[r] << '\n';
            continue;
        }
        const auto& row = rows[r];
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::string pad(widths[c] - width(row[c]), ' ');
            const bool right = c == 0 || c == 1 || c == 7;
            line += (right ? pad + row[c] : row[c] + pad) + (c + 1 < row.size() ? "  " : "");
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        std::cout << line << '\n';
    }
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
    const History history{instant ? reader.openAt(*instant, station)
                                  : reader.overlapping(from, to, station),
                          reader.gaps(instant ? instant : from, instant ? instant : to),
                          reader.outages(instant ? instant : from, instant ? instant : to)};
    if (args.has("--json")) {
        printJson(history);
    } else if (args.has("--csv")) {
        printCsv(history);
    } else {
        printTable(history);
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
    "                ejecute como fórmula\n",

    kHistoryOptions, runHistory};

} // namespace orvendal::stationctl
