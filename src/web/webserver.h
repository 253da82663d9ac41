#pragma once

#include "board.h"
#include "listenaddress.h"
#include "stationreader.h"
#include "watchstate.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace orvendal::web {

// What `stationctl watch --listen` asks of the web side.
struct WebOptions {
    ListenAddress listen;
    // The exporters' web configuration file (--web-config).
    std::optional<std::string> webConfig;
    std::string stationFile;
    std::optional<std::string> journal;
    // Stations with series of their own in /metrics, as in the textfile (renderMetrics).
    std::uint64_t listedStations = station::kWindowReadLimit.stations;
};

// The watcher on the web, read-only: the live page, the history, /metrics and /api/*, served on
// threads of its own from copies of the watcher's state. It is one more state sink of the
// watcher: told after every refresh, it never makes the watcher wait.
class WebServer final : public watch::StateSink {
public:
    // Reads the web configuration, binds the address and serves: a bad file or an address that
    // cannot be had is refused here, before the watcher starts (Error; UsageError where the
    // option cannot be used at all). Until the watcher's first refresh the pages say so.
    WebServer(const WebOptions& options, const watch::Clock& clock);
    ~WebServer() override;
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // The page's address, "http://127.0.0.1:8468/", with the port bound.
    std::string url() const;
    // Ends every stream and connection and waits for the server's threads.
    void stop();

    void update(const watch::WatchState& state) override;
    void reopen() override {}

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    std::thread serving_;
};

} // namespace orvendal::web
