#include "webserver.h"

#include "error.h"
#include "historypage.h"
#include "httpserver.h"
#include "livepage.h"
#include "routes.h"
#include "socketio.h"

namespace orvendal::web {

struct WebServer::Parts {
    Parts(const WebOptions& options, const watch::Clock& clock)
        : board(clock), live(options.stationFile, options.journal),
          site(options.listen,
               options.webConfig ? readWebConfig(*options.webConfig) : WebSecurity{},
               options.stationFile, options.journal, board, live, history),
          history(options.journal, site.counters),
          server(site.limits, site.counters, site.security.tls) {}

    Board board;
    LivePage live;
    Site site;
    HistoryPages history;
    HttpServer server;
};

WebServer::WebServer(const WebOptions& options, const watch::Clock& clock)
    : parts_(std::make_unique<Parts>(options, clock)) {
    Site& site = parts_->site;
    site.listedStations = options.listedStations;
    site.port = parts_->server.bind(options.listen.host, options.listen.port);
    if (site.port < 0) {
        const Error failure = bindFailure();
        throw Error(failure.code(), "no se puede escuchar en " +
                                        options.listen.text(options.listen.port) + ": " +
                                        failure.description());
    }
    addRoutes(parts_->server, site);
    serving_ = std::thread([this] { parts_->server.serve(); });
}

WebServer::~WebServer() {
    stop();
}

std::string WebServer::url() const {
    const Site& site = parts_->site;
    return (site.security.tls ? "https://" : "http://") + site.listen.text(site.port) + "/";
}

void WebServer::stop() {
    parts_->board.close();
    // The live pages' last event says the watcher stopped; each stream ends once it is sent.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (parts_->site.counters.liveClients > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    parts_->server.halt();
    if (serving_.joinable()) {
        serving_.join();
    }
}

void WebServer::update(const watch::WatchState& state) {
    parts_->board.update(state);
}

} // namespace orvendal::web
