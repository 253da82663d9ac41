#pragma once

#include "journal.h"
#include "json.h"

#include <array>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// What a range of the journal holds, as the history command prints it, for every front end to
// give alike: one JSON object, CSV, or a table's rows. Texts leave as they are stored; each sink
// escapes them for where they go.
namespace orvendal::journal {

// A range of the journal: its sessions, and the times it cannot speak for.
struct History {
    std::vector<Session> sessions;
    std::vector<Blind> gaps;
    std::vector<Blind> outages;
    // Stations whose changes were folded, each into one period.
    std::vector<Flapping> flapping;
};

// A range of the journal as it is read, so that none of its sessions or outages is kept once
// written: sessions by when they were seen, gaps and outages by their start.
struct HistoryRows {
    RowSource<Session> sessions;
    std::vector<Blind> gaps;
    RowSource<Blind> outages;
    RowSource<Flapping> flapping;
};
// Rows that read `history`, for the writers below.
HistoryRows rowsOf(const History& history);

// {"sessions": [...], "gaps": [{"from", "to"}], "outages": [{"from", "to", "error"}],
// "flapping": [{"rec", "station", "connection", "name", "from", "to", "changes", "ended"}]}; times
// in local ISO 8601, null where unknown.
void writeHistoryJson(JsonWriter& json, const History& history);
void writeHistoryJson(JsonWriter& json, HistoryRows rows);
// One session's object of the "sessions" array.
void writeSessionJson(JsonWriter& json, const Session& session);
// One gap's object, or with its error an outage's.
void writeBlindJson(JsonWriter& json, const Blind& blind, bool withError);

// The history's lines in time order: sessions by when they were seen, gaps and outages by their
// start (an open start first), flapping periods by their first change. Each names what it is:
// "session", "gap", "outage" or "flapping".
struct HistoryLine {
    std::optional<WallClock::time_point> when;
    const char* kind;
    const Session* session;
    const Blind* blind;
    const Flapping* flapping = nullptr;
};
std::vector<HistoryLine> inTimeOrder(const History& history);
// The same order as the rows are read; each line lasts until `each` returns.
void forEachInTimeOrder(HistoryRows& rows, const std::function<void(const HistoryLine&)>& each);

// The CSV's heading line and one line (RFC 4180, ended by CRLF) of a session, gap or outage,
// its outside texts disarmed for spreadsheets.
extern const std::string_view kHistoryCsvHeading;
std::string historyCsvLine(const HistoryLine& line);
// The heading, then every line in time order.
void writeHistoryCsv(std::ostream& out, const History& history);
void writeHistoryCsv(std::ostream& out, HistoryRows rows);

// The table's columns; the row number, the station number and the length are numbers.
inline constexpr std::array<std::string_view, 8> kHistoryHeadings = {
    "Rec", "Puesto", "Conexión", "Nombre Puesto", "Desde", "Hasta", "Fin", "Duración"};
// A session's cells under those headings.
std::array<std::string, 8> sessionCells(const Session& session);
// The line that stands for a gap or an outage among the sessions' rows: "(sin vigilancia de A a
// B)", "(fallo de lectura desde A: ERROR)".
std::string blindNote(const Blind& blind);
// The line that stands for a flapping period: "(fila R, puesto S «NOMBRE»: cambió de estado sin
// parar desde A hasta B, N cambios)".
std::string flappingNote(const Flapping& flapping);

} // namespace orvendal::journal
