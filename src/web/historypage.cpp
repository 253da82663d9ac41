#include "historypage.h"

#include "error.h"
#include "escape.h"
#include "history.h"
#include "historyreport.h"
#include "html.h"
#include "json.h"
#include "timeline.h"
#include "timetext.h"
#include "webtime.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <sstream>

namespace orvendal::web {
namespace {

using std::chrono::days;
using std::chrono::year_month_day;

// A day's picture and a month's peaks read at most so many sessions.
constexpr std::size_t kDaySessions = 20'000;
constexpr std::size_t kMonthSessions = 100'000;
// /api/history answers for every session of its range or for none: more is refused.
constexpr std::size_t kApiSessions = 100'000;
// A range given by its ends spans at most this.
constexpr auto kLongestRange = std::chrono::hours(24 * 7);
// How long a request waits for one of the two pages being drawn to finish.
constexpr std::chrono::seconds kWaitToDraw{5};

constexpr std::array<const char*, 12> kMonths = {"enero",      "febrero", "marzo",     "abril",
                                                 "mayo",       "junio",   "julio",     "agosto",
                                                 "septiembre", "octubre", "noviembre", "diciembre"};

struct BadRequest {
    std::string why;
};

std::string dayName(year_month_day day) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
    return text;
}

// "2026-12-09" as a calendar day, refused unless it is one.
year_month_day parseDay(const std::string& text, std::string_view what) {
    int y = 0;
    unsigned m = 0;
    unsigned d = 0;
    char tail = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &y, &m, &d, &tail) != 3) {
        throw BadRequest{std::string(what) + " debe ser un día AAAA-MM-DD"};
    }
    const year_month_day parsed{std::chrono::year{y}, std::chrono::month{m}, std::chrono::day{d}};
    if (!parsed.ok() || y < 1970 || y > 2200) {
        throw BadRequest{std::string(what) + " " + text + " no es un día del calendario"};
    }
    return parsed;
}

// "2026-12" as its first day.
year_month_day parseMonth(const std::string& text) {
    int y = 0;
    unsigned m = 0;
    char tail = 0;
    if (text.size() != 7 || std::sscanf(text.c_str(), "%4d-%2u%c", &y, &m, &tail) != 2) {
        throw BadRequest{"mes debe ser un mes AAAA-MM"};
    }
    return parseDay(text + "-01", "mes");
}

// Local midnight of `day`.
WallClock::time_point midnight(year_month_day day) {
    return journal::parseTime(dayName(day));
}

year_month_day today(WallClock::time_point now) {
    return parseDay(dateText(now), "hoy");
}

std::string param(const httplib::Request& request, const char* name) {
    return request.has_param(name) ? request.get_param_value(name) : std::string();
}

std::string errorPage(const std::string& why) {
    return page("Historia", "<header><h1>Historia</h1>\n" + navigation("/historia") +
                                "</header>\n<main><p class=\"aviso\">" + html(why) +
                                "</p></main>\n");
}

std::string peakText(const Peak& peak, WallClock::time_point now, std::string_view where) {
    if (!peak.at) {
        return "Nadie estuvo conectado " + std::string(where) + ".";
    }
    return "Máximo " + std::string(where) + ": " + std::to_string(peak.connected) +
           (peak.connected == 1 ? " puesto conectado, " : " puestos conectados, ") +
           (dateText(*peak.at) == dateText(now) ? "hoy a " : "") + atText(*peak.at, now) + ".";
}

std::string cutNote(const HistoryRange& history, std::size_t limit, WallClock::time_point now) {
    if (!history.cut) {
        return "";
    }
    return "<p class=\"aviso\">El diario tiene más de " + std::to_string(limit) +
           " sesiones en este intervalo: se dibujan las " + std::to_string(limit) +
           " primeras, hasta la que empezó " + atText(history.sessions.back().seen, now) +
           "; el resto está en el CSV y el JSON.</p>\n";
}

} // namespace

std::string queryValue(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

HistoryPages::HistoryPages(std::optional<std::string> journal, Counters& counters)
    : journal_(std::move(journal)), counters_(counters) {}

bool HistoryPages::admit(httplib::Response& response, bool page) {
    const auto refuse = [&](int status, const std::string& why) {
        response.status = status;
        if (page) {
            response.set_content(errorPage(why), "text/html; charset=utf-8");
        } else {
            response.set_content(why + "\n", "text/plain; charset=utf-8");
        }
        return false;
    };
    if (!journal_) {
        return refuse(404, "Este vigilante no lleva diario: arránquelo con --journal para ver "
                           "la historia.");
    }
    if (!drawing_.try_acquire_for(kWaitToDraw)) {
        counters_.count(Refusal::Busy);
        response.set_header("Retry-After", "5");
        return refuse(503, "Se están leyendo otras historias: vuelva a intentarlo en unos "
                           "segundos.");
    }
    return true;
}

void HistoryPages::api(const httplib::Request& request, httplib::Response& response, bool csv) {
    const auto refuse = [&](const std::string& why) {
        response.status = 400;
        response.set_content(why + "\n", "text/plain; charset=utf-8");
    };
    for (const auto& [name, value] : request.params) {
        if (name != "since" && name != "until") {
            return refuse("parámetro desconocido «" + printable(name) + "»: use since y until");
        }
    }
    // Checked as history checks --since and --until, before the journal is opened.
    std::optional<WallClock::time_point> from;
    std::optional<WallClock::time_point> to;
    try {
        if (request.has_param("since")) {
            from = journal::parseTime(request.get_param_value("since"));
        }
        if (request.has_param("until")) {
            to = journal::parseTime(request.get_param_value("until"));
        }
    } catch (const Error& e) {
        return refuse(e.description());
    }
    if (from && to && *from > *to) {
        return refuse("since " + printable(request.get_param_value("since")) +
                      " es posterior a until " + printable(request.get_param_value("until")) +
                      ": ninguna sesión cabe entre las dos");
    }
    if (!admit(response, false)) {
        return;
    }
    struct Release {
        std::counting_semaphore<2>& s;
        ~Release() { s.release(); }
    } release{drawing_};
    journal::JournalReader reader(*journal_);
    journal::History history{reader.overlapping(from, to, std::nullopt, kApiSessions + 1),
                             reader.gaps(from, to), reader.outages(from, to),
                             reader.flapping(from, to, std::nullopt)};
    if (history.sessions.size() > kApiSessions || history.flapping.size() > kApiSessions) {
        return refuse("el intervalo tiene más de " + std::to_string(kApiSessions) +
                      " sesiones: acótelo con since y until, o léalo con stationctl history");
    }
    if (csv) {
        std::ostringstream out;
        journal::writeHistoryCsv(out, history);
        response.set_header("Content-Disposition", "attachment; filename=\"historia.csv\"");
        response.set_content(out.str(), "text/csv; charset=utf-8");
        return;
    }
    std::string text;
    JsonWriter json(text);
    journal::writeHistoryJson(json, history);
    response.set_content(text, "application/json");
}

void HistoryPages::day(const httplib::Request& request, httplib::Response& response) {
    if (!admit(response)) {
        return;
    }
    struct Release {
        std::counting_semaphore<2>& s;
        ~Release() { s.release(); }
    } release{drawing_};
    const auto now = WallClock::now();
    try {
        WallClock::time_point from;
        WallClock::time_point to;
        std::string title;
        std::string links;
        const std::string since = param(request, "desde");
        const std::string until = param(request, "hasta");
        if (!since.empty() || !until.empty()) {
            try {
                from = journal::parseTime(since);
                to = journal::parseTime(until);
            } catch (const Error& e) {
                throw BadRequest{"desde y hasta: " + e.description()};
            }
            if (to <= from || to - from > kLongestRange) {
                throw BadRequest{"hasta debe ser posterior a desde, y como mucho 7 días después"};
            }
            title = "Historia desde " + atText(from, now) + " hasta " + atText(to, now);
        } else {
            const std::string given = param(request, "dia");
            const year_month_day day = given.empty() ? today(now) : parseDay(given, "dia");
            const year_month_day before{std::chrono::sys_days(day) - days(1)};
            const year_month_day after{std::chrono::sys_days(day) + days(1)};
            from = midnight(day);
            to = midnight(after);
            title = "Historia del " + dayName(day);
            links =
                " <a href=\"/historia?dia=" + dayName(before) +
                "\">« día anterior</a> <a href=\"/historia?dia=" + dayName(after) +
                "\">día siguiente »</a> <a href=\"/historia/mes?mes=" + dayName(day).substr(0, 7) +
                "\">su mes</a>";
        }
        const HistoryRange history = readHistory(*journal_, from, to, kDaySessions);
        const std::vector<Step> steps = connectedOverTime(history.sessions, from, to, now);
        const Peak peak = peakOf(steps);
        const std::string range = "since=" + queryValue(journal::isoLocalTime(from)) +
                                  "&amp;until=" + queryValue(journal::isoLocalTime(to));
        std::string body = "<header><h1>" + html(title) + "</h1>\n" + navigation("/historia") +
                           "</header>\n<main>\n";
        body += "<form class=\"selector\" method=\"get\" action=\"/historia\"><label>Día "
                "<input type=\"date\" name=\"dia\" value=\"" +
                dateText(from) + "\"></label> <button>Ver</button>" + links + "</form>\n";
        body += "<p class=\"descargas\">Las mismas sesiones en <a href=\"/api/history.csv?" +
                range + "\">CSV</a> y en <a href=\"/api/history?" + range + "\">JSON</a>.</p>\n";
        body += "<p id=\"maximo\">" + html(peakText(peak, now, "en el intervalo")) + "</p>\n";
        body += cutNote(history, kDaySessions, now);
        body += "<h2>Sesiones por puesto</h2>\n";
        body += history.sessions.empty() ? "<p>No hay sesiones en este intervalo.</p>\n"
                                         : timelineSvg(history, now);
        body += timelineLegend();
        body += "<h2>Puestos conectados</h2>\n" + curveSvg(history, steps, peak, now);
        response.set_content(page(title, body), "text/html; charset=utf-8");
    } catch (const BadRequest& bad) {
        response.status = 400;
        response.set_content(errorPage(bad.why), "text/html; charset=utf-8");
    }
}

void HistoryPages::month(const httplib::Request& request, httplib::Response& response) {
    if (!admit(response)) {
        return;
    }
    struct Release {
        std::counting_semaphore<2>& s;
        ~Release() { s.release(); }
    } release{drawing_};
    const auto now = WallClock::now();
    try {
        const std::string given = param(request, "mes");
        const year_month_day first =
            given.empty()
                ? year_month_day{today(now).year(), today(now).month(), std::chrono::day{1}}
                : parseMonth(given);
        const auto count = static_cast<unsigned>(year_month_day{
            std::chrono::year_month_day_last{
                first.year(), std::chrono::month_day_last{
                                  first.month()}}}.day());
        std::vector<WallClock::time_point> bounds;
        for (unsigned d = 0; d <= count; ++d) {
            bounds.push_back(midnight(year_month_day{std::chrono::sys_days(first) + days(d)}));
        }
        const HistoryRange history =
            readHistory(*journal_, bounds.front(), bounds.back(), kMonthSessions);
        const std::vector<Peak> peaks = peaksBetween(history.sessions, bounds, now);
        Peak top;
        for (const Peak& p : peaks) {
            if (p.connected > top.connected) {
                top = p;
            }
        }
        const std::string name = std::string(kMonths[static_cast<unsigned>(first.month()) - 1]) +
                                 " de " + std::to_string(static_cast<int>(first.year()));
        std::string body = "<header><h1>Máximos de " + name + "</h1>\n" +
                           navigation("/historia/mes") + "</header>\n<main>\n";
        body += "<form class=\"selector\" method=\"get\" action=\"/historia/mes\"><label>Mes "
                "<input type=\"month\" name=\"mes\" value=\"" +
                dayName(first).substr(0, 7) + "\"></label> <button>Ver</button></form>\n";
        body += "<p id=\"maximo-mes\">" + html(peakText(top, now, "del mes")) + "</p>\n";
        body += cutNote(history, kMonthSessions, now);
        constexpr double kLeft = 40;
        constexpr double kRight = 990;
        constexpr double kTop = 30;
        constexpr double kBottom = 200;
        const double slot = (kRight - kLeft) / count;
        const double scale = std::max(top.connected, 1);
        body += "<svg id=\"mes\" class=\"linea\" viewBox=\"0 0 1000 230\" role=\"img\" "
                "aria-label=\"Máximo de cada día\">\n";
        for (unsigned d = 0; d < count; ++d) {
            const Peak& p = peaks[d];
            const year_month_day day{std::chrono::sys_days(first) + days(d)};
            const double height = (kBottom - kTop) * p.connected / scale;
            char geometry[160];
            std::snprintf(geometry, sizeof geometry,
                          "x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\"",
                          kLeft + slot * d + 2, kBottom - height, slot - 4, height);
            const std::string label =
                dayName(day) + ": " +
                (p.at ? std::to_string(p.connected) + " a " + atText(*p.at, *p.at) : "nadie");
            body += "<a href=\"/historia?dia=" + dayName(day) + "\"><rect class=\"barra\" " +
                    geometry + "><title>" + html(label) + "</title></rect></a>";
            char place[96];
            std::snprintf(place, sizeof place, "x=\"%.2f\"", kLeft + slot * (d + 0.5));
            body += std::string("<text class=\"dia\" ") + place + " y=\"218\">" +
                    std::to_string(static_cast<unsigned>(day.day())) + "</text>";
            if (p.at) {
                char above[96];
                std::snprintf(above, sizeof above, "y=\"%.2f\"", kBottom - height - 4);
                body += std::string("<text class=\"valor\" ") + place + " " + above + ">" +
                        std::to_string(p.connected) + "</text>";
            }
            body += '\n';
        }
        body += "</svg>\n";
        response.set_content(page("Máximos de " + name, body), "text/html; charset=utf-8");
    } catch (const BadRequest& bad) {
        response.status = 400;
        response.set_content(errorPage(bad.why), "text/html; charset=utf-8");
    }
}

} // namespace orvendal::web
