// history: the sessions a watcher's journal recorded, at an instant or over a range.
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "journal.h"
#include "json.h"
#include "text.h"

#include <array>
#include <cstdio>
#include <iostream>
#include <limits>
#include <optional>
#include <vector>

namespace orvendal::stationctl {
namespace {

using journal::Session;

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

void printJson(const std::vector<Session>& sessions) {
    const auto text = [](const Session& s, std::u16string journal::StationFields::*m) {
        return s.fields ? jsonString(s.fields.value().*m) : std::string("null");
    };
    const auto quoted = [](const std::string& value) {
        return value.empty() ? std::string("null") : jsonString(fromUtf8(value));
    };
    std::cout << '[';
    const char* separator = "";
    for (const Session& s : sessions) {
        std::cout << separator << "{\"rec\": " << s.rec
                  << ", \"station\": " << (s.fields ? std::to_string(s.fields->station) : "null")
                  << ", \"connection\": " << text(s, &journal::StationFields::connection)
                  << ", \"name\": " << text(s, &journal::StationFields::name)
                  << ", \"start\": " << quoted(isoOrEmpty(s.start))
                  << ", \"at_start\": " << (s.atStart ? "true" : "false")
                  << ", \"end\": " << quoted(isoOrEmpty(s.end))
                  << ", \"ended\": " << quoted(s.ended)
                  << ", \"seconds\": " << (s.seconds ? seconds(s.seconds) : "null") << '}';
        separator = ", ";
    }
    std::cout << "]\n";
}

void printCsv(const std::vector<Session>& sessions) {
    std::cout << "rec,station,connection,name,start,at_start,end,ended,seconds\r\n";
    for (const Session& s : sessions) {
        // The station's texts are the station file's: a spreadsheet must not run them.
        const std::array<std::string, 9> fields = {
            csvField(std::to_string(s.rec)),
            csvField(s.fields ? std::to_string(s.fields->station) : ""),
            csvTextField(s.fields ? toUtf8(s.fields->connection) : ""),
            csvTextField(s.fields ? toUtf8(s.fields->name) : ""),
            csvField(isoOrEmpty(s.start)),
            csvField(s.atStart ? "true" : "false"),
            csvField(isoOrEmpty(s.end)),
            csvField(s.ended),
            csvField(seconds(s.seconds))};
        std::string line;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            line += (i ? "," : "") + fields[i];
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

void printTable(const std::vector<Session>& sessions) {
    if (sessions.empty()) {
        std::cout << "(no sessions)\n";
        return;
    }
    std::vector<std::array<std::string, 8>> rows = {
        {"Rec", "Puesto", "Conexión", "Nombre Puesto", "Desde", "Hasta", "Fin", "Duración"}};
    for (const Session& s : sessions) {
        rows.push_back({std::to_string(s.rec), s.fields ? std::to_string(s.fields->station) : "?",
                        s.fields ? toUtf8(printable(s.fields->connection)) : "?",
                        s.fields ? toUtf8(printable(s.fields->name)) : "?",
                        s.start ? shortTime(*s.start) : "(antes de " + shortTime(s.seen) + ")",
                        s.end ? shortTime(*s.end) : "(conectado)", s.ended,
                        s.seconds ? length(*s.seconds) : ""});
    }
    // Widths in characters, not bytes: the headings and names hold accented letters.
    const auto width = [](const std::string& cell) { return fromUtf8(cell).size(); };
    std::array<std::size_t, 8> widths{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], width(row[c]));
        }
    }
    for (const auto& row : rows) {
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
    const std::vector<Session> sessions =
        instant ? reader.openAt(*instant, station) : reader.overlapping(from, to, station);
    if (args.has("--json")) {
        printJson(sessions);
    } else if (args.has("--csv")) {
        printCsv(sessions);
    } else {
        printTable(sessions);
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
    "the watcher's first refresh. TIME is ISO 8601 (2026-12-09T08:30, 2026-12-09T08:30:00Z,\n"
    "...+01:00) or \"2026-12-09 08:30[:SS]\", local time unless an offset is given, or now.\n"
    "A date or time that does not exist (2026-02-31, 25:00, a local time the clocks skip)\n"
    "is refused, as is --since after --until.\n\n"
    "  --station N   only the sessions of station number N (the records' Puesto field)\n"
    "  --json        an array of {\"rec\": ROW, \"station\": N, \"connection\": TEXT,\n"
    "                \"name\": TEXT, \"start\": TIME, \"at_start\": BOOL, \"end\": TIME,\n"
    "                \"ended\": \"disconnected\"|\"stopped\"|\"unknown\", \"seconds\": S}; start "
    "is\n"
    "                null when at_start, end and ended while still connected, seconds\n"
    "                unless it was measured\n"
    "  --csv         the same fields as CSV (RFC 4180) with a heading row; a connection or\n"
    "                name that begins with =, +, -, @, a tab or a carriage return gets a\n"
    "                leading ' so that a spreadsheet does not run it as a formula\n",
    kHistoryOptions, runHistory};

} // namespace orvendal::stationctl
