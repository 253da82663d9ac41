#pragma once

namespace orvendal::stationctl {

// What the Windows service's control handler calls for a stop or a shut-down: every StopSignals
// then reports a stop, as for a Ctrl+C at the console. Safe from any thread.
void requestStop();

} // namespace orvendal::stationctl
