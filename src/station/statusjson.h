#pragma once

#include "json.h"
#include "stationreader.h"

namespace orvendal::station {

// What a refresh read, as the status command and the web's /api/status give it: {"tally": N,
// "lock": BOOL, "rows": [{"rec", "lc", "connected", "station", "connection", "name", "tally"}],
// "total": N}, the texts in their whole stored width. `lock`: whether the marker file exists.
void writeStatusJson(JsonWriter& json, const StationReading& reading, bool lock);

} // namespace orvendal::station
