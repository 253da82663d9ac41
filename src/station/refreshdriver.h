#pragma once

#include "stationreader.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace orvendal::station {

// Runs each refresh's file I/O on a worker thread, so that a window's thread never waits on the
// station file: it starts a refresh on a tick and shows a finished one. A file server that stops
// answering then only delays the next list, never the window. A refresh in flight is never waited
// for longer than a caller asks; when the driver goes, it is abandoned.
class RefreshDriver {
public:
    // Called on the worker when a refresh has ended. It must only wake the window's thread (post
    // it an event), which then calls take(); it is never called once the driver is gone.
    using Finished = std::function<void()>;

    RefreshDriver(std::shared_ptr<StationReader> reader, Finished finished);
    ~RefreshDriver();
    RefreshDriver(const RefreshDriver&) = delete;
    RefreshDriver& operator=(const RefreshDriver&) = delete;

    // Starts a refresh of `fileName` (the default path when empty); false, starting nothing,
    // while one is in flight.
    bool start(const std::string& fileName);
    bool inFlight() const;
    // What the refresh that ended read, once; nothing while it is in flight.
    std::optional<StationReading> take();
    // Waits up to `limit` for the refresh in flight to end, then take().
    std::optional<StationReading> waitFor(std::chrono::milliseconds limit);
    // Closes the station file on the worker, waiting up to `limit` for it; a refresh in flight
    // is not waited for and closes the file when it ends. No refresh starts after it.
    void close(std::chrono::milliseconds limit);

    // Whether a worker of any driver is still running: a program that ends then must not wait for
    // it, nor tear down what it may still be using (exit quickly instead).
    static bool workersRunning();

private:
    struct Shared;
    void run(std::function<void(Shared&)> work);

    std::shared_ptr<Shared> shared_;
};

} // namespace orvendal::station
