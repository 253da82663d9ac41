#pragma once

#include "events.h"
#include "timetext.h"

namespace orvendal::journal {

// The journal records the station's events: its code, and the commands that read it, name them
// as the journal's own.
using orvendal::SteadyClock;
using station::Event;
using station::EventKind;
using station::StationFields;

} // namespace orvendal::journal
