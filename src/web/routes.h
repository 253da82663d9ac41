#pragma once

#include "board.h"
#include "historypage.h"
#include "httpserver.h"
#include "listenaddress.h"
#include "livepage.h"
#include "stationreader.h"
#include "webconfig.h"
#include "weblimits.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace orvendal::web {

// What the routes read and count, owned by the web server.
struct Site {
    Site(ListenAddress address, WebSecurity guard, std::string file,
         std::optional<std::string> journalFile, Board& states, LivePage& livePage,
         HistoryPages& historyPages)
        : listen(std::move(address)), security(std::move(guard)), stationFile(std::move(file)),
          journal(std::move(journalFile)), board(states), live(livePage), history(historyPages) {}

    ListenAddress listen;
    int port = 0;
    WebSecurity security;
    std::string stationFile;
    std::optional<std::string> journal;
    std::uint64_t listedStations = station::kWindowReadLimit.stations;
    Limits limits;
    Counters counters;
    Board& board;
    LivePage& live;
    HistoryPages& history;

    // /metrics' text of the watcher's state, rendered once a snapshot.
    std::mutex metricsMutex;
    std::shared_ptr<const Snapshot> metricsFor;
    std::string metricsText;
    // /api/status' object of the last reading, and the marker test with it.
    std::mutex statusMutex;
    std::shared_ptr<const station::StationReading> statusFor;
    bool statusLock = false;
    std::string statusText;
    // Password checks run one at a time: bcrypt is slow on purpose, and a flood of guesses must
    // leave a core to the watcher.
    std::mutex checking;
};

// Every route of the web side on `server`, behind one gate: a loopback listener answers only
// requests made to its loopback names, every method but GET and HEAD is refused with 405, and
// with users every request needs a password. Every response says nosniff, sends no cookie, and
// carries a Content-Security-Policy that allows only the watcher's own files.
void addRoutes(HttpServer& server, Site& site);

} // namespace orvendal::web
