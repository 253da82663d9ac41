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
                  << (s.startedAfter ? "[" + time(s.startedAfter) + ", " + time(s.start) + "]"
                                     : "null")
                  << ", \"seen\": " << time(s.seen)
                  << ", \"at_start\": " << (s.atStart ? "true" : "false")
                  << ", \"end\": " << time(exactEnd(s)) << ", \"ended_between\": "
                  << (s.endedAfter ? "[" + time(s.endedAfter) + ", " + time(s.end) + "]" : "null")
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
        // The station's texts and the error are the outside world's: a spreadsheet must not run
        // them.
        constexpr std::array<bool, 14> kOutsideText = {false, false, true,  true,  false,
                                                       false, false, false, false, false,
                                                       false, false, true,  false};
        std::string line;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            line +=
                (i ? "," : "") + (kOutsideText[i] ? csvTextField(fields[i]) : csvField(fields[i]));
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

// An outage's error is the journal's text, which another user may have written: no control
// character of it reaches the terminal.
void printTable(const History& history) {
    const std::vector<Line> lines = inTimeOrder(history);
    if (lines.empty()) {
        std::cout << "(no sessions)\n";
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
                        s.fields ? toUtf8(printable(s.fields->name)) : "?",
                        s.start ? shortTime(*s.start) : "(antes de " + shortTime(s.seen) + ")",
                        s.end ? shortTime(*s.end) : "(conectado)", s.ended,
                        s.seconds ? length(*s.seconds) : ""});
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
        throw UsageError("--at cannot go with --since or --until");
    }
    if (args.has("--json") && args.has("--csv")) {
        throw UsageError("--json and --csv exclude each other");
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
    "history", "the sessions a watch journal recorded",
    "Usage: stationctl history DB [--at TIME | --since TIME --until TIME] [--station N]\n"
    "                          [--json | --csv]\n"
    "Lists the sessions that stationctl watch --journal DB recorded: with --at, those\n"
    "connected at that instant; with --since and/or --until, those that overlap the range;\n"
    "with neither, all of them. Sessions already connected when watching began count from\n"
    "the watcher's first refresh, with the fields their record last had in the journal.\n"
    "Beside them, in time order, the times the journal cannot speak for: when no watcher\n"
    "ran, \"(sin vigilancia de A a B)\" (between watches, after a killed watcher's last\n"
    "heartbeat), and outages, \"(fallo de lectura de A a B: ERROR)\". A session that began\n"
    "or ended during an outage shows \"(entre A y B)\". TIME is ISO 8601 (2026-12-09T08:30,\n"
    "2026-12-09T08:30:00Z, ...+01:00) or \"2026-12-09 08:30[:SS]\", local time unless an\n"
    "offset is given, or now. A date or time that does not exist (2026-02-31, 25:00, a local\n"
    "time the clocks skip) is refused, as is --since after --until. The journal is only\n"
    "read: a folder or copy you cannot write will do.\n\n"
    "  --station N   only the sessions of station number N (the records' Puesto field)\n"
    "  --json        an object (formerly an array of sessions):\n"
    "                {\"sessions\": [{\"rec\": ROW, \"station\": N, \"connection\": TEXT,\n"
    "                \"name\": TEXT, \"start\": TIME, \"started_between\": [TIME, TIME],\n"
    "                \"seen\": TIME, \"at_start\": BOOL,\n"
    "                \"end\": TIME, \"ended_between\": [TIME, TIME],\n"
    "                \"ended\": \"disconnected\"|\"stopped\"|\"unknown\", \"seconds\": S}],\n"
    "                \"gaps\": [{\"from\": TIME, \"to\": TIME}],\n"
    "                \"outages\": [{\"from\": TIME, \"to\": TIME, \"error\": TEXT}]};\n"
    "                start is null when at_start; end and ended while still connected;\n"
    "                start or end when it began or ended during an outage, then\n"
    "                started_between or ended_between holds the interval (null\n"
    "                otherwise); seconds unless it was measured; an open end of a gap or\n"
    "                outage\n"
    "  --csv         the same as CSV (RFC 4180) with a heading row; the columns seen,\n"
    "                started_between and ended_between (A/B), error and kind (session,\n"
    "                gap or outage) follow the first nine; a connection, name or error\n"
    "                that begins with =, +, -, @, a tab or a carriage return gets a\n"
    "                leading ' so that a spreadsheet does not run it as a formula\n",
    kHistoryOptions, runHistory};

} // namespace orvendal::stationctl
