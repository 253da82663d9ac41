#pragma once

#include <chrono>

namespace orvendal {

// The wall clock tells when something happened (what the journal and the events show); the
// monotonic one measures how long, unmoved by a change of the system's time.
using WallClock = std::chrono::system_clock;
using SteadyClock = std::chrono::steady_clock;

} // namespace orvendal
