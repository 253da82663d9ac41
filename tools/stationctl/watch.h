#pragma once

#include "arguments.h"
#include "events.h"

#include <functional>
#include <vector>

namespace orvendal::stationctl {

// Gets each refresh's events after the journal has them, and at the stop the sessions it closes
// (Stopped events, possibly none).
using EventSink = std::function<void(const std::vector<journal::Event>&)>;

// The watch command's run, until a stop request: for the console and for the Windows service,
// which adds the Event Log as a sink.
int runWatch(const Arguments& args, const EventSink& sink);

} // namespace orvendal::stationctl
