#include "livepage.h"

#include "html.h"
#include "journal.h"
#include "json.h"
#include "stationtexts.h"
#include "text.h"
#include "timetext.h"
#include "webtime.h"

#include <map>

namespace orvendal::web {
namespace {

// The window lists so many rows at most; so does the page, and it says how many it left out.
constexpr std::size_t kRowLimit = station::kWindowReadLimit.stations;

// The lines under the caption that say what is wrong: an outage, a journal that fails, a
// watcher that stopped. Empty when all is well.
std::string warningText(const Snapshot& snapshot) {
    std::string warning;
    if (!snapshot.running) {
        warning = "El vigilante se ha detenido: la página ya no cambia.";
    } else if (const Error* outage = snapshot.reading ? snapshot.reading->outage() : nullptr) {
        warning =
            "Sin acceso al fichero de estaciones" +
            (snapshot.outageSince ? " desde " + atText(*snapshot.outageSince, snapshot.refreshed)
                                  : std::string()) +
            ": " + outage->text('-') + ". Las filas son las de la última lectura que lo leyó.";
    }
    if (snapshot.journalUp == false) {
        warning += std::string(warning.empty() ? "" : " ") +
                   "El diario falla: los cambios esperan en memoria hasta que se puedan escribir.";
    }
    return warning;
}

// The members of every event that change with each refresh.
void writeRefresh(JsonWriter& json, const Snapshot& snapshot) {
    json.key("refresh").number(snapshot.refresh);
    json.key("at").number(journal::epochMilliseconds(snapshot.refreshed));
    json.key("refreshed").string(snapshot.refresh > 0 ? clockText(snapshot.refreshed) : "");
    json.key("seconds").fixed(snapshot.refreshSeconds, 3);
    json.key("running").boolean(snapshot.running);
}

std::u16string sinceText(const journal::Session& session, WallClock::time_point now) {
    if (session.atStart) {
        return u"antes de " + fromUtf8(atText(session.seen, now)) + u" (al empezar la vigilancia)";
    }
    if (session.startedAfter && session.start) {
        return u"entre " + fromUtf8(atText(*session.startedAfter, now)) + u" y " +
               fromUtf8(atText(*session.start, now));
    }
    return u"desde " + fromUtf8(atText(session.start.value_or(session.seen), now));
}

} // namespace

LivePage::LivePage(std::string stationFile, std::optional<std::string> journal)
    : stationFile_(std::move(stationFile)), journal_(std::move(journal)) {}

std::vector<std::optional<std::u16string>>
LivePage::sinceTexts(const Snapshot& snapshot, std::size_t rows, std::string& note) {
    std::vector<std::optional<std::u16string>> texts(rows);
    std::map<std::int64_t, journal::Session> open;
    bool fromJournal = false;
    if (journal_ && snapshot.refresh > 0) {
        try {
            journal::JournalReader reader(*journal_);
            for (journal::Session& s : reader.openAt(snapshot.refreshed, std::nullopt)) {
                open[s.rec] = std::move(s);
            }
            fromJournal = true;
        } catch (const std::exception& e) {
            note = "Las horas de conexión son las del vigilante: el diario no se puede leer (" +
                   std::string(e.what()) + ").";
        }
    }
    const auto& stations = snapshot.tracker->stations();
    for (std::size_t i = 0; i < rows && i < stations.size(); ++i) {
        if (!stations[i].connected) {
            continue;
        }
        if (const auto found = open.find(static_cast<std::int64_t>(i + 1)); found != open.end()) {
            texts[i] = sinceText(found->second, snapshot.refreshed);
        } else if (!fromJournal) {
            const auto& since = (*snapshot.since)[i];
            texts[i] = since
                           ? u"desde " + fromUtf8(atText(*since, snapshot.refreshed))
                           : u"antes de " + fromUtf8(atText(snapshot.started, snapshot.refreshed)) +
                                 u" (al empezar la vigilancia)";
        }
    }
    return texts;
}

std::shared_ptr<const LiveView> LivePage::build(const Snapshot& snapshot,
                                                const std::shared_ptr<const LiveView>& before) {
    auto view = std::make_shared<LiveView>();
    view->version = snapshot.version;
    static const station::StationReading kNothing;
    const station::StationReading& rows = snapshot.good ? *snapshot.good : kNothing;
    const station::StationReading& last = snapshot.reading ? *snapshot.reading : kNothing;
    view->listed = std::min(rows.stations.size(), kRowLimit);
    view->total = rows.stationRecords();
    const std::u16string caption = ui::stationCaption(last, snapshot.lockMarker, view->listed);
    view->captionHtml = html(caption);
    if (snapshot.tracker != sinceFor_ || dateText(snapshot.refreshed) != sinceDay_ ||
        since_.size() != view->listed) {
        sinceNote_.clear();
        since_ = snapshot.tracker ? sinceTexts(snapshot, view->listed, sinceNote_)
                                  : std::vector<std::optional<std::u16string>>(view->listed);
        sinceFor_ = snapshot.tracker;
        sinceDay_ = dateText(snapshot.refreshed);
    }
    view->sinceNote = sinceNote_;
    const auto& since = since_;
    view->caption = caption;
    view->outage = last.outage() != nullptr;
    view->warning = warningText(snapshot);
    view->rowHtml.reserve(view->listed);
    view->rowJson.reserve(view->listed);
    for (std::size_t i = 0; i < view->listed; ++i) {
        const station::PuestoBloquedos& record = rows.stations[i];
        const ui::StationRow row(static_cast<std::int32_t>(i + 1), record);
        const bool connected = record.Connected != station::kFalse;
        std::string cells = connected ? "<tr class=\"conectado\">" : "<tr>";
        std::string json;
        JsonWriter cellsJson(json);
        cellsJson.beginArray();
        for (std::size_t c = 0; c < row.size(); ++c) {
            cells += c == 0 || c == 3 || c == 6 ? "<td class=\"n\">" : "<td>";
            appendHtml(cells, row[c]);
            cells += "</td>";
            cellsJson.string(row[c]);
        }
        cells += "<td>";
        if (since[i]) {
            appendHtml(cells, *since[i]);
        }
        cells += "</td></tr>\n";
        cellsJson.boolean(connected);
        since[i] ? cellsJson.string(*since[i]) : cellsJson.null();
        cellsJson.endArray();
        view->rowHtml.push_back(std::move(cells));
        view->rowJson.push_back(std::move(json));
    }
    JsonWriter all(view->allRowsJson);
    all.beginArray();
    for (const std::string& row : view->rowJson) {
        all.written(row);
    }
    all.endArray();
    if (before) {
        view->from = before->version;
        JsonWriter changed(view->changedRowsJson);
        changed.beginArray();
        for (std::size_t i = 0; i < view->rowJson.size(); ++i) {
            if (i >= before->rowJson.size() || before->rowJson[i] != view->rowJson[i]) {
                changed.beginArray().number(i).written(view->rowJson[i]).endArray();
            }
        }
        changed.endArray();
    }
    return view;
}

std::shared_ptr<const LiveView> LivePage::view(const Snapshot& snapshot) {
    const std::lock_guard lock(building_);
    if (!latest_ || latest_->version < snapshot.version) {
        latest_ = build(snapshot, latest_);
    }
    return latest_;
}

std::string LivePage::render(const std::shared_ptr<const Snapshot>& snapshot) {
    const std::lock_guard lock(rendering_);
    if (renderedFor_ != snapshot) {
        rendered_ = compose(*snapshot);
        renderedFor_ = snapshot;
    }
    return rendered_;
}

std::string LivePage::compose(const Snapshot& snapshot) {
    const std::shared_ptr<const LiveView> shown = view(snapshot);
    std::string body = "<header>\n<h1 id=\"titulo\">" + shown->captionHtml + "</h1>\n" +
                       navigation("/") + "</header>\n<main>\n";
    body += "<p id=\"aviso\" class=\"aviso\"" +
            std::string(shown->warning.empty() ? " hidden" : "") + ">" + html(shown->warning) +
            "</p>\n";
    body += "<p id=\"lectura\">Fichero <code>" + html(stationFile_) +
            "</code>. Última lectura: <span id=\"hora\">" +
            (snapshot.refresh > 0 ? clockText(snapshot.refreshed) : "ninguna todavía") +
            "</span>." +
            "</p>\n<noscript><p>Sin JavaScript la página no se actualiza sola: recárguela."
            "</p></noscript>\n";
    body += "<p id=\"nota\"" + std::string(shown->sinceNote.empty() ? " hidden" : "") + ">" +
            html(shown->sinceNote) + "</p>\n";
    const bool cut = shown->listed < shown->total;
    body += "<p id=\"recorte\"" + std::string(cut ? "" : " hidden") + ">Se muestran los " +
            std::to_string(shown->listed) + " primeros de los " + std::to_string(shown->total) +
            " registros de puesto, como en la ventana; todos están en <a href=\"/api/status\">"
            "/api/status</a>.</p>\n";
    body += "<table id=\"estaciones\">\n<thead><tr>";
    for (const std::u16string_view heading : ui::kHeadings) {
        body += "<th>" + html(heading) + "</th>";
    }
    body += "<th>Conectado desde</th></tr></thead>\n<tbody>\n";
    std::size_t size = body.size();
    for (const std::string& row : shown->rowHtml) {
        size += row.size();
    }
    body.reserve(size + 64);
    for (const std::string& row : shown->rowHtml) {
        body += row;
    }
    body += "</tbody>\n</table>\n</main>\n";
    return page("Estaciones", body, "/estatico/directo.js",
                !snapshot.running ? "detenido"
                : shown->outage   ? "sin-acceso"
                                  : "");
}

std::string LivePage::event(const Snapshot& snapshot, std::optional<std::uint64_t> shown,
                            std::uint64_t& brings) {
    const std::shared_ptr<const LiveView> now = view(snapshot);
    brings = now->version;
    std::string data;
    JsonWriter json(data);
    json.beginObject();
    writeRefresh(json, snapshot);
    const char* kind = "lectura";
    if (!shown || *shown != now->version) {
        const bool changes = shown && now->from == *shown;
        kind = changes ? "cambio" : "estado";
        json.key("version").number(now->version);
        json.key("caption").string(now->caption);
        json.key("outage").boolean(now->outage);
        json.key("warning").string(now->warning);
        json.key("note").string(now->sinceNote);
        json.key("listed").number(now->listed);
        json.key("total").number(now->total);
        json.key(changes ? "changes" : "rows")
            .written(changes ? now->changedRowsJson : now->allRowsJson);
    }
    json.endObject();
    return std::string("event: ") + kind + "\ndata: " + data + "\n\n";
}

} // namespace orvendal::web
