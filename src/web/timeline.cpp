#include "timeline.h"

#include "html.h"
#include "text.h"
#include "timetext.h"
#include "webtime.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>

namespace orvendal::web {
namespace {

using std::chrono::seconds;

constexpr double kWidth = 1000;
constexpr double kPlotLeft = 230;
constexpr double kPlotRight = 990;
constexpr double kAxis = 26;
constexpr double kLane = 20;
constexpr double kBar = 14;

// Where instant `t` falls on the axis of [from, to).
class Axis {
public:
    Axis(WallClock::time_point from, WallClock::time_point to) : from_(from), to_(to) {}

    double x(WallClock::time_point t) const {
        const double span = std::chrono::duration<double>(to_ - from_).count();
        const double at = std::chrono::duration<double>(t - from_).count();
        return kPlotLeft + std::clamp(at / span, 0.0, 1.0) * (kPlotRight - kPlotLeft);
    }
    WallClock::time_point from() const { return from_; }
    WallClock::time_point to() const { return to_; }

private:
    WallClock::time_point from_;
    WallClock::time_point to_;
};

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string rect(std::string_view cls, double x0, double x1, double y, double height,
                 std::string_view title) {
    std::string out = "<rect class=\"";
    out += cls;
    out += "\" x=\"" + number(x0) + "\" y=\"" + number(y) + "\" width=\"" +
           number(std::max(x1 - x0, 0.8)) + "\" height=\"" + number(height) + "\"><title>";
    appendHtml(out, title);
    return out + "</title></rect>";
}

// Hour lines and their times, a tick every step that gives about ten, in local time.
std::string ticks(const Axis& axis, double top, double bottom) {
    static constexpr std::array<long long, 17> kSteps = {
        1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200};
    const long long span = std::chrono::duration_cast<seconds>(axis.to() - axis.from()).count();
    long long step = kSteps.back();
    for (const long long candidate : kSteps) {
        if (span / candidate <= 12) {
            step = candidate;
            break;
        }
    }
    const std::time_t start =
        std::chrono::system_clock::to_time_t(std::chrono::floor<seconds>(axis.from()));
    const std::tm local = journal::localTime(start);
    const long long ofDay = local.tm_hour * 3600LL + local.tm_min * 60LL + local.tm_sec;
    const auto first =
        std::chrono::floor<seconds>(axis.from()) + seconds((step - ofDay % step) % step);
    std::string out;
    for (auto t = first; t <= axis.to(); t += seconds(step)) {
        const double x = axis.x(t);
        const std::string clock = clockText(t);
        out += "<line class=\"marca\" x1=\"" + number(x) + "\" x2=\"" + number(x) + "\" y1=\"" +
               number(top - 4) + "\" y2=\"" + number(bottom) + "\"/>";
        // A time at the right edge would be cut off by the picture's border.
        if (x < kPlotRight - 20) {
            out += "<text class=\"hora\" x=\"" + number(x) + "\" y=\"" + number(top - 8) + "\">" +
                   (step < 60 ? clock : clock.substr(0, 5)) + "</text>";
        }
    }
    return out;
}

std::string span(const std::optional<WallClock::time_point>& from,
                 const std::optional<WallClock::time_point>& to, WallClock::time_point now) {
    return (from ? " desde " + atText(*from, now) : std::string()) +
           (to ? " hasta " + atText(*to, now) : std::string(" hasta ahora"));
}

// Outages and unwatched times across every lane.
std::string blinds(const HistoryRange& history, const Axis& axis, double top, double height,
                   WallClock::time_point now) {
    std::string out;
    for (const Blind& b : history.gaps) {
        out +=
            rect("sin-vigilancia", axis.x(b.from.value_or(axis.from())), axis.x(b.to.value_or(now)),
                 top, height, "Sin vigilancia" + span(b.from, b.to, now));
    }
    for (const Blind& b : history.outages) {
        out += rect("fallo", axis.x(b.from.value_or(axis.from())), axis.x(b.to.value_or(now)), top,
                    height, "Fallo de lectura" + span(b.from, b.to, now) + ": " + b.error);
    }
    return out;
}

std::string ended(const Session& s) {
    if (s.ended == "disconnected") {
        return "se desconectó";
    }
    if (s.ended == "stopped") {
        return "se detuvo el vigilante";
    }
    if (s.ended == "unknown") {
        return "el vigilante se perdió";
    }
    return s.ended;
}

std::string sessionTitle(const Session& s, WallClock::time_point now) {
    std::string title = "Fila " + std::to_string(s.rec);
    if (s.fields) {
        title += ", puesto " + std::to_string(s.fields->station) + " «" + toUtf8(s.fields->name) +
                 "» (" + toUtf8(s.fields->connection) + ")";
    }
    if (s.atStart) {
        title += ": ya conectado al empezar la vigilancia, " + atText(s.seen, now);
    } else if (s.startedAfter && s.start) {
        title +=
            ": se conectó entre " + atText(*s.startedAfter, now) + " y " + atText(*s.start, now);
    } else {
        title += ": se conectó a " + atText(s.start.value_or(s.seen), now);
    }
    if (s.endedAfter && s.end) {
        title +=
            "; se desconectó entre " + atText(*s.endedAfter, now) + " y " + atText(*s.end, now);
    } else if (s.end) {
        title += "; " + ended(s) + " a " + atText(*s.end, now);
    } else {
        title += "; sigue conectado";
    }
    return title;
}

// "Fila 3 · Recepción", the name cut short to fit the labels' column.
std::string laneLabel(std::int64_t rec, const Session* named) {
    std::u16string label = u"Fila " + decimal16(rec);
    if (named != nullptr && !named->fields->name.empty()) {
        label += u" · " + named->fields->name;
        if (label.size() > 34) {
            label = label.substr(0, 33) + u"…";
        }
    }
    return html(label);
}

} // namespace

std::string timelineSvg(const HistoryRange& history, WallClock::time_point now) {
    const Axis axis(history.from, history.to);
    std::map<std::int64_t, std::vector<const Session*>> lanes;
    for (const Session& s : history.sessions) {
        lanes[s.rec].push_back(&s);
    }
    const double plotHeight = std::max<double>(1, lanes.size()) * kLane;
    const double height = kAxis + plotHeight + 6;
    std::string out = "<svg id=\"dia\" class=\"linea\" viewBox=\"0 0 " + number(kWidth) + " " +
                      number(height) +
                      "\" role=\"img\" aria-label=\"Sesiones por puesto\">\n"
                      "<defs><pattern id=\"rayas\" width=\"6\" height=\"6\" "
                      "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
                      "<rect class=\"raya\" width=\"3\" height=\"6\"/></pattern></defs>\n";
    out += "<rect id=\"plano\" class=\"plano\" x=\"" + number(kPlotLeft) + "\" y=\"" +
           number(kAxis) + "\" width=\"" + number(kPlotRight - kPlotLeft) + "\" height=\"" +
           number(plotHeight) + "\"/>\n";
    out += ticks(axis, kAxis, kAxis + plotHeight) + '\n';
    out += blinds(history, axis, kAxis, plotHeight, now) + '\n';
    double y = kAxis;
    for (const auto& [rec, sessions] : lanes) {
        const auto named = std::find_if(sessions.rbegin(), sessions.rend(),
                                        [](const Session* s) { return s->fields.has_value(); });
        out += "<g class=\"carril\" data-rec=\"" + std::to_string(rec) +
               "\"><text class=\"etiqueta\" x=\"" + number(kPlotLeft - 6) + "\" y=\"" +
               number(y + kLane / 2 + 4) + "\">" +
               laneLabel(rec, named == sessions.rend() ? nullptr : *named) + "</text>";
        const double top = y + (kLane - kBar) / 2;
        for (const Session* s : sessions) {
            const Surely surely = surelyConnected(*s, now);
            const std::string title = sessionTitle(*s, now);
            std::string cls = "sesion";
            cls += s->atStart ? " al-empezar" : "";
            cls += s->end ? "" : " abierta";
            out += rect(cls, axis.x(surely.from), axis.x(surely.to), top, kBar, title);
            if (s->startedAfter && s->start) {
                out += rect("entre", axis.x(*s->startedAfter), axis.x(*s->start), top, kBar, title);
            }
            if (s->endedAfter && s->end) {
                out += rect("entre", axis.x(*s->endedAfter), axis.x(*s->end), top, kBar, title);
            }
            // A wedge where the session began before anyone saw it, or goes on past now.
            if (s->atStart) {
                const double x = axis.x(surely.from);
                out += "<path class=\"cuna\" d=\"M" + number(x) + "," + number(top) + " l-6," +
                       number(kBar / 2) + " l6," + number(kBar / 2) + "z\"/>";
            }
            if (!s->end) {
                const double x = axis.x(surely.to);
                out += "<path class=\"cuna\" d=\"M" + number(x) + "," + number(top) + " l6," +
                       number(kBar / 2) + " l-6," + number(kBar / 2) + "z\"/>";
            }
        }
        out += "</g>\n";
        y += kLane;
    }
    if (now > history.from && now < history.to) {
        const double x = axis.x(now);
        out += "<line class=\"ahora\" x1=\"" + number(x) + "\" x2=\"" + number(x) + "\" y1=\"" +
               number(kAxis - 4) + "\" y2=\"" + number(kAxis + plotHeight) + "\"><title>Ahora, " +
               clockText(now) + "</title></line>\n";
    }
    return out + "</svg>\n";
}

std::string curveSvg(const HistoryRange& history, const std::vector<Step>& steps, const Peak& peak,
                     WallClock::time_point now) {
    const Axis axis(history.from, history.to);
    constexpr double kTop = kAxis + 10;
    constexpr double kBottom = 170;
    const double top = std::max(peak.connected, 1);
    const auto y = [&](int connected) { return kBottom - (kBottom - kTop) * connected / top; };
    std::string out = "<svg id=\"curva\" class=\"linea\" viewBox=\"0 0 " + number(kWidth) +
                      " 180\" role=\"img\" aria-label=\"Puestos conectados\">\n";
    out += "<rect id=\"plano-curva\" class=\"plano\" x=\"" + number(kPlotLeft) + "\" y=\"" +
           number(kTop) + "\" width=\"" + number(kPlotRight - kPlotLeft) + "\" height=\"" +
           number(kBottom - kTop) + "\"/>\n";
    out += ticks(axis, kAxis, kBottom) + '\n';
    out += blinds(history, axis, kTop, kBottom - kTop, now) + '\n';
    for (const int level : {0, peak.connected}) {
        out += "<text class=\"nivel\" x=\"" + number(kPlotLeft - 6) + "\" y=\"" +
               number(y(level) + 4) + "\">" + std::to_string(level) + "</text>";
    }
    const auto end = std::min(history.to, std::max(history.from, now));
    std::string path =
        "M" + number(axis.x(history.from)) + "," + number(y(steps.front().connected));
    for (std::size_t i = 1; i < steps.size(); ++i) {
        path += " H" + number(axis.x(steps[i].at)) + " V" + number(y(steps[i].connected));
    }
    path += " H" + number(axis.x(end));
    out += "<path id=\"conectados\" class=\"curva\" d=\"" + path + "\"/>\n";
    if (peak.at) {
        out += "<circle id=\"pico\" class=\"pico\" cx=\"" + number(axis.x(*peak.at)) + "\" cy=\"" +
               number(y(peak.connected)) +
               "\" r=\"4\"><title>Máximo: " + std::to_string(peak.connected) + " a " +
               atText(*peak.at, now) + "</title></circle>\n";
    }
    return out + "</svg>\n";
}

std::string timelineLegend() {
    return "<ul class=\"leyenda\">"
           "<li><span class=\"muestra sesion\"></span>Conectado</li>"
           "<li><span class=\"muestra al-empezar\"></span>Ya conectado al empezar la "
           "vigilancia (◂: empezó antes)</li>"
           "<li><span class=\"muestra abierta\"></span>Sigue conectado (▸)</li>"
           "<li><span class=\"muestra entre\"></span>Empezó o acabó durante un fallo de "
           "lectura: en algún momento de la franja rayada</li>"
           "<li><span class=\"muestra fallo\"></span>Fallo de lectura del fichero</li>"
           "<li><span class=\"muestra sin-vigilancia\"></span>Sin vigilancia</li>"
           "</ul>\n";
}

} // namespace orvendal::web
