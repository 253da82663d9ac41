#pragma once

#include "json.h"
#include "stationreader.h"

namespace orvendal::station {

// What a refresh read, as status --json prints it, for every front end to give alike: {"tally": N,
// "lock": BOOL, "rows": [{"rec", "lc", "connected", "station", "connection", "name", "tally"}],
// "total": N}, the texts in their whole stored width. `lock`: whether the marker file exists.
void writeStatusJson(JsonWriter& json, const StationReading& reading, bool lock);

} // namespace orvendal::station
