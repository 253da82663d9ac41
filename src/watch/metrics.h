#pragma once

#include "events.h"
#include "stationreader.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace orvendal::watch {

// The watcher's state in Prometheus's text exposition format, as node_exporter's and
// windows_exporter's textfile collectors read it. Every series carries file="STATIONFILE", so
// the textfiles of several watchers can share one collector. During an outage orvendal_up is 0
// and the stations keep the values of the last good reading; once the watcher stops (`running`
// false) orvendal_up and orvendal_running are 0. Only the first `listedStations` stations get
// series of their own, by default as many as the window lists: one stray write far into a
// station file makes it a million records of nothing, two million series rewritten at every
// change. The totals count every station, and orvendal_stations_omitted those left out.
std::string renderMetrics(const station::StationTracker& tracker, std::string_view stationFile,
                          WallClock::time_point lastRefresh, double refreshSeconds, bool running,
                          std::uint64_t listedStations = station::kWindowReadLimit.stations);

// The label every series carries, file="STATIONFILE", its value escaped as the format wants.
std::string fileLabel(std::string_view stationFile);

// Whether the watcher's journal has committed every transition so far, for a watcher that keeps
// one: 0 while it fails and they wait in memory. Labelled with the station file as above.
std::string renderJournalMetrics(std::string_view stationFile, bool up);

} // namespace orvendal::watch
