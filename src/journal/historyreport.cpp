#include "historyreport.h"

#include "escape.h"
#include "text.h"
#include "timetext.h"

#include <algorithm>
#include <cstdio>

namespace orvendal::journal {
namespace {

using Instant = std::optional<WallClock::time_point>;

std::string seconds(const std::optional<double>& value) {
    return value ? fixedDecimals(*value, 3) : "";
}

std::string isoOrEmpty(const Instant& t) {
    return t ? isoLocalTime(*t) : "";
}

// A session that began or ended during an outage has no exact start or end: only the interval
// it fell in.
Instant exactStart(const Session& s) {
    return s.startedAfter ? std::nullopt : s.start;
}
Instant exactEnd(const Session& s) {
    return s.endedAfter ? std::nullopt : s.end;
}

// "A/B": an ISO 8601 interval, for CSV.
std::string interval(const Instant& after, const Instant& before) {
    return after ? isoOrEmpty(after) + "/" + isoOrEmpty(before) : "";
}

JsonWriter& time(JsonWriter& json, const Instant& t) {
    return t ? json.string(isoLocalTime(*t)) : json.null();
}

// "[A, B]": the interval a start or end fell in, or null.
JsonWriter& between(JsonWriter& json, const Instant& after, const Instant& before) {
    if (!after) {
        return json.null();
    }
    json.beginArray();
    time(json, after);
    time(json, before);
    return json.endArray();
}

JsonWriter& text(JsonWriter& json, const std::optional<station::StationFields>& fields,
                 std::u16string station::StationFields::*m) {
    return fields ? json.string(fields.value().*m) : json.null();
}

// "2026-12-09 08:01:02" in local time, for the table.
std::string shortTime(WallClock::time_point t) {
    const std::string iso = isoLocalTime(t);
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
    return ended;
}

} // namespace

void writeSessionJson(JsonWriter& json, const Session& s) {
    json.beginObject();
    json.key("rec").number(s.rec);
    json.key("station");
    s.fields ? json.number(s.fields->station) : json.null();
    text(json.key("connection"), s.fields, &station::StationFields::connection);
    text(json.key("name"), s.fields, &station::StationFields::name);
    time(json.key("start"), exactStart(s));
    between(json.key("started_between"), s.startedAfter, s.start);
    time(json.key("seen"), s.seen);
    json.key("at_start").boolean(s.atStart);
    time(json.key("end"), exactEnd(s));
    between(json.key("ended_between"), s.endedAfter, s.end);
    json.key("ended");
    s.ended.empty() ? json.null() : json.string(s.ended);
    json.key("seconds");
    s.seconds ? json.fixed(*s.seconds, 3) : json.null();
    json.endObject();
}

void writeBlindJson(JsonWriter& json, const Blind& b, bool withError) {
    json.beginObject();
    time(json.key("from"), b.from);
    time(json.key("to"), b.to);
    if (withError) {
        json.key("error").string(b.error);
    }
    json.endObject();
}

HistoryRows rowsOf(const History& history) {
    const auto each = [](const auto& all) {
        return [&all, next = std::size_t{0}]() mutable {
            return next < all.size() ? std::optional(all[next++]) : std::nullopt;
        };
    };
    return {each(history.sessions), history.gaps, each(history.outages), each(history.flapping)};
}

void writeFlappingJson(JsonWriter& json, const Flapping& f) {
    json.beginObject();
    json.key("rec").number(f.rec);
    json.key("station");
    f.fields ? json.number(f.fields->station) : json.null();
    text(json.key("connection"), f.fields, &station::StationFields::connection);
    text(json.key("name"), f.fields, &station::StationFields::name);
    time(json.key("from"), f.from);
    time(json.key("to"), f.to);
    json.key("changes");
    f.changes ? json.number(*f.changes) : json.null();
    json.key("ended");
    f.ended.empty() ? json.null() : json.string(f.ended);
    json.endObject();
}

void writeHistoryJson(JsonWriter& json, const History& history) {
    writeHistoryJson(json, rowsOf(history));
}

void writeHistoryJson(JsonWriter& json, HistoryRows rows) {
    json.beginObject();
    json.key("sessions").beginArray();
    while (const auto s = rows.sessions()) {
        writeSessionJson(json, *s);
    }
    json.endArray();
    json.key("gaps").beginArray();
    for (const Blind& b : rows.gaps) {
        writeBlindJson(json, b, false);
    }
    json.endArray();
    json.key("outages").beginArray();
    while (const auto b = rows.outages()) {
        writeBlindJson(json, *b, true);
    }
    json.endArray();
    json.key("flapping").beginArray();
    while (rows.flapping) {
        const auto f = rows.flapping();
        if (!f) {
            break;
        }
        writeFlappingJson(json, *f);
    }
    json.endArray();
    json.endObject();
}

std::vector<HistoryLine> inTimeOrder(const History& history) {
    std::vector<HistoryLine> lines;
    for (const Session& s : history.sessions) {
        lines.push_back({s.seen, "session", &s, nullptr});
    }
    for (const Blind& b : history.gaps) {
        lines.push_back({b.from, "gap", nullptr, &b});
    }
    for (const Blind& b : history.outages) {
        lines.push_back({b.from, "outage", nullptr, &b});
    }
    for (const Flapping& f : history.flapping) {
        lines.push_back({f.from, "flapping", nullptr, nullptr, &f});
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const HistoryLine& a, const HistoryLine& b) { return a.when < b.when; });
    return lines;
}

void forEachInTimeOrder(HistoryRows& rows, const std::function<void(const HistoryLine&)>& each) {
    std::optional<Session> session = rows.sessions();
    std::optional<Blind> outage = rows.outages();
    // A source the caller left empty has no periods.
    std::optional<Flapping> flapping = rows.flapping ? rows.flapping() : std::nullopt;
    std::size_t gap = 0;
    while (true) {
        // On a tie a session comes first, then a gap, then an outage, as in inTimeOrder().
        std::optional<HistoryLine> first;
        const auto consider = [&](const HistoryLine& line) {
            if (!first || line.when < first->when) {
                first = line;
            }
        };
        if (session) {
            consider({session->seen, "session", &*session, nullptr});
        }
        if (gap < rows.gaps.size()) {
            consider({rows.gaps[gap].from, "gap", nullptr, &rows.gaps[gap]});
        }
        if (outage) {
            consider({outage->from, "outage", nullptr, &*outage});
        }
        if (flapping) {
            consider({flapping->from, "flapping", nullptr, nullptr, &*flapping});
        }
        if (!first) {
            return;
        }
        each(*first);
        if (first->session) {
            session = rows.sessions();
        } else if (first->flapping) {
            flapping = rows.flapping();
        } else if (std::string_view(first->kind) == "outage") {
            outage = rows.outages();
        } else {
            ++gap;
        }
    }
}

// Columns after "seconds" came later and stay at the end, so that older readers keep theirs. A
// gap's or outage's times are in start and end; started_between and ended_between are ISO 8601
// intervals "A/B".
const std::string_view kHistoryCsvHeading =
    "rec,station,connection,name,start,at_start,end,ended,seconds,seen,"
    "started_between,ended_between,error,kind\r\n";

std::string historyCsvLine(const HistoryLine& l) {
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
                  isoLocalTime(s->seen),
                  interval(s->startedAfter, s->start),
                  interval(s->endedAfter, s->end),
                  "",
                  l.kind};
    } else if (const Flapping* f = l.flapping) {
        // Where a session's are: its station, its first and last change, how it ended.
        fields = {std::to_string(f->rec),
                  f->fields ? std::to_string(f->fields->station) : "",
                  f->fields ? toUtf8(f->fields->connection) : "",
                  f->fields ? toUtf8(f->fields->name) : "",
                  isoLocalTime(f->from),
                  "false",
                  isoOrEmpty(f->to),
                  f->ended,
                  "",
                  isoLocalTime(f->from),
                  "",
                  "",
                  "",
                  l.kind};
    } else {
        // Its instants where a session's start and end are, its error before the kind.
        fields[4] = isoOrEmpty(l.blind->from);
        fields[6] = isoOrEmpty(l.blind->to);
        fields[fields.size() - 2] = l.blind->error;
        fields.back() = l.kind;
    }
    // The station's texts, how a session ended and the error are the journal's, which may come
    // from elsewhere: neither a terminal that shows the file nor a spreadsheet may act on them.
    constexpr std::array<bool, 14> kOutsideText = {false, false, true,  true,  false, false, false,
                                                   true,  false, false, false, false, true,  false};
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) {
            line += ',';
        }
        line += kOutsideText[i] ? csvTextField(fields[i]) : csvField(fields[i]);
    }
    return line + "\r\n";
}

void writeHistoryCsv(std::ostream& out, const History& history) {
    writeHistoryCsv(out, rowsOf(history));
}

void writeHistoryCsv(std::ostream& out, HistoryRows rows) {
    out << kHistoryCsvHeading;
    forEachInTimeOrder(rows, [&](const HistoryLine& line) { out << historyCsvLine(line); });
}

std::array<std::string, 8> sessionCells(const Session& s) {
    const auto between = [](WallClock::time_point after, WallClock::time_point before) {
        return "(entre " + shortTime(after) + " y " + shortTime(before) + ")";
    };
    const std::string start = s.startedAfter ? between(*s.startedAfter, *s.start)
                              : s.start      ? shortTime(*s.start)
                                             : "(antes de " + shortTime(s.seen) + ")";
    const std::string end = s.endedAfter ? between(*s.endedAfter, *s.end)
                            : s.end      ? shortTime(*s.end)
                                         : "(conectado)";
    return {std::to_string(s.rec),
            s.fields ? std::to_string(s.fields->station) : "?",
            s.fields ? toUtf8(s.fields->connection) : "?",
            s.fields ? toUtf8(s.fields->name) : "?",
            start,
            end,
            endedWord(s.ended),
            s.seconds ? length(*s.seconds) : ""};
}

std::string flappingNote(const Flapping& f) {
    const std::string station = f.fields ? std::to_string(f.fields->station) : "?";
    const std::string name = f.fields ? toUtf8(f.fields->name) : "?";
    return "(fila " + std::to_string(f.rec) + ", puesto " + station + " «" + name +
           "»: cambió de estado sin parar desde " + shortTime(f.from) +
           (f.to ? " hasta " + shortTime(*f.to) : std::string(", y sigue")) +
           (f.changes ? ", " + std::to_string(*f.changes) + " cambios" : std::string()) + ")";
}

std::string blindNote(const Blind& b) {
    return b.error.empty() ? "(sin vigilancia" + span(b) + ")"
                           : "(fallo de lectura" + span(b) + ": " + b.error + ")";
}

} // namespace orvendal::journal
