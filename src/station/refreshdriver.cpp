#include "refreshdriver.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace orvendal::station {
namespace {

std::atomic<int> runningWorkers{0};

} // namespace

// What the window's thread and a worker share; `busy` is set by whoever starts a worker. A worker
// keeps it alive, so a worker that outlives its driver still has a reader to finish with and a
// mutex to report under.
struct RefreshDriver::Shared {
    std::mutex mutex;
    std::condition_variable ended;
    std::shared_ptr<StationReader> reader;
    Finished finished; // cleared when the driver goes
    bool busy = false;
    bool closing = false;
    std::optional<StationReading> reading;
};

RefreshDriver::RefreshDriver(std::shared_ptr<StationReader> reader, Finished finished)
    : shared_(std::make_shared<Shared>()) {
    shared_->reader = std::move(reader);
    shared_->finished = std::move(finished);
}

RefreshDriver::~RefreshDriver() {
    const std::lock_guard lock(shared_->mutex);
    shared_->finished = nullptr;
    shared_->closing = true;
}

bool RefreshDriver::start(const std::string& fileName) {
    {
        const std::lock_guard lock(shared_->mutex);
        if (shared_->busy || shared_->closing) {
            return false;
        }
        shared_->busy = true;
        shared_->reading.reset();
    }
    run([fileName](Shared& shared) {
        StationReading reading = shared.reader->read(fileName);
        const std::lock_guard lock(shared.mutex);
        shared.reading = std::move(reading);
    });
    return true;
}

bool RefreshDriver::inFlight() const {
    const std::lock_guard lock(shared_->mutex);
    return shared_->busy;
}

std::optional<StationReading> RefreshDriver::take() {
    const std::lock_guard lock(shared_->mutex);
    return std::exchange(shared_->reading, std::nullopt);
}

std::optional<StationReading> RefreshDriver::waitFor(std::chrono::milliseconds limit) {
    std::unique_lock lock(shared_->mutex);
    shared_->ended.wait_for(lock, limit, [this] { return !shared_->busy; });
    return std::exchange(shared_->reading, std::nullopt);
}

void RefreshDriver::close(std::chrono::milliseconds limit) {
    {
        const std::lock_guard lock(shared_->mutex);
        const bool closeNow = !shared_->busy && !shared_->closing;
        shared_->closing = true;
        // A refresh in flight closes the file when it ends; nothing waits for it.
        if (!closeNow) {
            return;
        }
        shared_->busy = true;
    }
    run([](Shared& shared) { shared.reader->CloseStationFile(); });
    std::unique_lock lock(shared_->mutex);
    shared_->ended.wait_for(lock, limit, [this] { return !shared_->busy; });
}

bool RefreshDriver::workersRunning() {
    return runningWorkers.load() > 0;
}

void RefreshDriver::run(std::function<void(Shared&)> work) {
    ++runningWorkers;
    try {
        // A thread of its own for each refresh: twice a second costs nothing next to the file's
        // I/O, and a worker stuck on a silent server is simply left behind.
        std::thread([shared = shared_, work = std::move(work)] {
            try {
                work(*shared);
            } catch (...) {
                // The reader tells its failures in the reading; a close that fails leaves
                // nothing open all the same.
            }
            std::unique_lock lock(shared->mutex);
            if (shared->closing && shared->reader->stationFileNumber() != 0) {
                // The window closed while this refresh was in flight: nothing else will close
                // the file. Not under the lock, which the window's thread may be waiting for.
                lock.unlock();
                try {
                    shared->reader->CloseStationFile();
                } catch (...) {
                }
                lock.lock();
            }
            shared->busy = false;
            shared->ended.notify_all();
            if (shared->finished) {
                shared->finished();
            }
            --runningWorkers;
        }).detach();
    } catch (...) {
        --runningWorkers;
        const std::lock_guard lock(shared_->mutex);
        shared_->busy = false;
        throw;
    }
}

} // namespace orvendal::station
