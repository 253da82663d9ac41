#include "statusjson.h"

namespace orvendal::station {

void writeStatusJson(JsonWriter& json, const StationReading& reading, bool lock) {
    json.beginObject();
    json.key("tally").number(reading.tally);
    json.key("lock").boolean(lock);
    json.key("rows").beginArray();
    std::uint64_t rec = 0;
    for (const PuestoBloquedos& record : reading.stations) {
        json.beginObject();
        json.key("rec").number(++rec);
        json.key("lc").string(fieldText(record.Lc));
        json.key("connected").boolean(record.Connected != kFalse);
        json.key("station").number(record.StationNumber);
        json.key("connection").string(fieldText(record.ConnectionText));
        json.key("name").string(fieldText(record.StationName));
        json.key("tally").number(record.Tally);
        json.endObject();
    }
    json.endArray();
    json.key("total").number(reading.stationRecords());
    json.endObject();
}

} // namespace orvendal::station
