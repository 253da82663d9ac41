#pragma once

#include "clocks.h"

#include <chrono>
#include <ctime>
#include <string>
#include <string_view>

namespace orvendal::journal {

using orvendal::WallClock;
using Milliseconds = std::chrono::milliseconds;

// Milliseconds since the Unix epoch, as the journal stores instants.
inline long long epochMilliseconds(WallClock::time_point time) {
    return std::chrono::duration_cast<Milliseconds>(time.time_since_epoch()).count();
}
inline WallClock::time_point fromEpochMilliseconds(long long ms) {
    return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(Milliseconds(ms)));
}

// `time` in the local time zone as ISO 8601 with milliseconds and its UTC offset:
// "2026-12-09T08:01:02.345+01:00".
std::string isoLocalTime(WallClock::time_point time);

// Reads an instant given on a command line: ISO 8601 ("2026-12-09T08:01", seconds, fractions and
// a "Z" or "+01:00" offset optional) or "2026-12-09 08:01[:02]"; without an offset it is local
// time. A date alone is its local midnight. Throws Error on anything else.
WallClock::time_point parseTime(std::string_view text);

// The broken-down local time of `time` (the OS's conversion, thread-safe).
std::tm localTime(std::time_t time);

} // namespace orvendal::journal
