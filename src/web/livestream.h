#pragma once

#include "board.h"
#include "livepage.h"
#include "weblimits.h"

#include <httplib.h>

namespace orvendal::web {

// "/api/eventos": the live page's server-sent events, one after every refresh ("estado" with
// every row, "cambio" with the rows changed, "lectura" with the refresh alone) and a comment
// every 15 s without one. At most Limits::liveClients at once; one more is answered 503. Each
// stream waits on the board on its own connection's thread: the watcher never waits for it.
void serveLiveEvents(httplib::Response& response, Board& board, LivePage& page, Counters& counters,
                     const Limits& limits);

} // namespace orvendal::web
