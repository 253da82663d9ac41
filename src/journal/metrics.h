#pragma once

#include "events.h"

#include <string>

namespace orvendal::journal {

// The watcher's state in Prometheus's text exposition format, as node_exporter's and
// windows_exporter's textfile collectors read it. During an outage orvendal_up is 0 and the
// stations keep the values of the last good reading.
std::string renderMetrics(const StationTracker& tracker, WallClock::time_point lastRefresh,
                          double refreshSeconds);

// Whether the watcher's journal has committed every transition so far, for a watcher that keeps
// one: 0 while it fails and they wait in memory.
std::string renderJournalMetrics(bool up);

} // namespace orvendal::journal
