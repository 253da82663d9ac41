#pragma once

#include "clocks.h"

#include <string>

// Instants as the pages write them, in the watcher's local time.
namespace orvendal::web {

// "2026-12-09"
std::string dateText(WallClock::time_point t);
// "08:01:02"
std::string clockText(WallClock::time_point t);
// "las 08:01:02" on the same local day as `reference`, "el 2026-12-08 a las 08:01:02" on
// another: what follows "desde", "antes de", "entre".
std::string atText(WallClock::time_point t, WallClock::time_point reference);

} // namespace orvendal::web
