#include "eventjson.h"

#include "json.h"
#include "timetext.h"

#include <optional>

namespace orvendal::watch {
namespace {

using station::EventKind;
using station::StationFields;

JsonWriter& text(JsonWriter& json, const std::optional<StationFields>& f,
                 std::u16string StationFields::*m) {
    return f ? json.string((*f).*m) : json.null();
}

template <class Number>
JsonWriter& number(JsonWriter& json, const std::optional<StationFields>& f,
                   Number StationFields::*m) {
    return f ? json.number((*f).*m) : json.null();
}

} // namespace

std::string eventJson(const station::Event& e) {
    std::string out;
    JsonWriter json(out);
    json.beginObject();
    json.key("time").string(journal::isoLocalTime(e.time));
    json.key("event").string(eventName(e.kind));
    if (e.kind == EventKind::Connected || e.kind == EventKind::Disconnected) {
        json.key("rec").number(e.rec);
        text(json.key("lc"), e.fields, &StationFields::lc);
        number(json.key("station"), e.fields, &StationFields::station);
        text(json.key("connection"), e.fields, &StationFields::connection);
        text(json.key("name"), e.fields, &StationFields::name);
        number(json.key("tally"), e.fields, &StationFields::tally);
    }
    if (e.kind == EventKind::Connected) {
        json.key("at_start").boolean(e.atStart);
    }
    if (e.kind == EventKind::Disconnected) {
        json.key("seconds");
        e.seconds ? json.fixed(*e.seconds, 3) : json.null();
    }
    if (e.kind == EventKind::Outage) {
        json.key("error").string(e.error);
    }
    json.endObject();
    return out;
}

} // namespace orvendal::watch
