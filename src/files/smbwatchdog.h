#pragma once

#include "smberrors.h"
#include "smburl.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace orvendal::files::smb {

// libsmbclient's time-out applies to each request, and one call can make several: a close sends
// CLOSE and then TREE_DISCONNECT, an open on a cached connection may send ECHO and then NEGPROT
// on a new one. A call still running at its deadline has its connections shut down, so whatever
// it still sends fails at once: no call waits more than one time-out.
class SmbWatchdog {
public:
    SmbWatchdog() = default;
    SmbWatchdog(const SmbWatchdog&) = delete;
    SmbWatchdog& operator=(const SmbWatchdog&) = delete;
    ~SmbWatchdog() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void arm(const SmbLocation& location) {
        const std::lock_guard lock(mutex_);
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run(); });
        }
        deadline_ = Clock::now() + kTimeout;
        server_ = location.server;
        port_ = location.port;
        fired_ = false;
        // Calls come a few thousand a refresh: the thread is woken only when it would otherwise
        // sleep past this deadline. Waking early, it finds the later deadline and sleeps again.
        if (!sleepsUntil_ || *sleepsUntil_ > *deadline_) {
            wake_.notify_one();
        }
    }

    // Whether the deadline cut the call short.
    bool disarm() {
        const std::lock_guard lock(mutex_);
        deadline_.reset();
        return std::exchange(fired_, false);
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (!deadline_) {
                sleepsUntil_.reset();
                wake_.wait(lock);
            } else if (Clock::now() < *deadline_) {
                sleepsUntil_ = deadline_;
                wake_.wait_until(lock, *sleepsUntil_);
            } else {
                deadline_.reset();
                fired_ = true;
                shutDownConnections(server_, port_);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Clock::time_point> deadline_;
    // When the thread wakes next by itself; nothing while it waits for a call.
    std::optional<Clock::time_point> sleepsUntil_;
    std::string server_;
    int port_ = 0;
    bool fired_ = false;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace orvendal::files::smb
