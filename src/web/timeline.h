#pragma once

#include "history.h"

#include <string>

namespace orvendal::web {

// The pictures of a range, drawn by the server as inline SVG over one time axis: a lane per
// station with a bar per session from its start to its end (one connected when watching began,
// one still connected, and the part of one that began or ended unseen during an outage each
// drawn apart), the outages and the times nobody watched shaded across every lane.
std::string timelineSvg(const HistoryRange& history, WallClock::time_point now);

// The number connected over the range as a line, its peak marked.
std::string curveSvg(const HistoryRange& history, const std::vector<Step>& steps, const Peak& peak,
                     WallClock::time_point now);

// The key to the pictures' marks.
std::string timelineLegend();

} // namespace orvendal::web
