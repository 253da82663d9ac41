#include "eventjson.h"

#include "json.h"
#include "text.h"
#include "timetext.h"

#include <cstdio>
#include <optional>
#include <sstream>

namespace orvendal::watch {
namespace {

using station::EventKind;
using station::StationFields;

std::string jsonText(const std::optional<StationFields>& f, std::u16string StationFields::*m) {
    return f ? jsonString((*f).*m) : "null";
}

std::string jsonNumber(const std::optional<StationFields>& f, bool station) {
    return f ? std::to_string(station ? f->station : f->tally) : "null";
}

} // namespace

std::string eventJson(const station::Event& e) {
    std::ostringstream out;
    out << "{\"time\": \"" << journal::isoLocalTime(e.time) << "\", \"event\": \""
        << eventName(e.kind) << '"';
    if (e.kind == EventKind::Connected || e.kind == EventKind::Disconnected) {
        out << ", \"rec\": " << e.rec << ", \"lc\": " << jsonText(e.fields, &StationFields::lc)
            << ", \"station\": " << jsonNumber(e.fields, true)
            << ", \"connection\": " << jsonText(e.fields, &StationFields::connection)
            << ", \"name\": " << jsonText(e.fields, &StationFields::name)
            << ", \"tally\": " << jsonNumber(e.fields, false);
    }
    if (e.kind == EventKind::Connected) {
        out << ", \"at_start\": " << (e.atStart ? "true" : "false");
    }
    if (e.kind == EventKind::Disconnected) {
        char seconds[32] = "null";
        if (e.seconds) {
            std::snprintf(seconds, sizeof seconds, "%.3f", *e.seconds);
        }
        out << ", \"seconds\": " << seconds;
    }
    if (e.kind == EventKind::Outage) {
        out << ", \"error\": " << jsonString(fromUtf8(e.error));
    }
    out << '}';
    return out.str();
}

} // namespace orvendal::watch
