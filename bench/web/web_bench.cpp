// A watcher's web page under load, from outside: CLIENTS live pages follow its events while
// requests for / and /metrics arrive at RATE a second over keep-alive connections, and this
// process locks and unlocks one station record every two refreshes. Prints, as JSON: the
// requests' latency under that load; the refresh cadence the events show (the gaps between
// consecutive refreshes' instants); and the delay of the event that shows each lock change, at
// every live page, from the end of the refresh that found it, and from the lock itself.
//   web_bench HOST PORT STATIONFILE ROW CLIENTS RATE SECONDS INTERVAL_MS
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::system_clock;
using nlohmann::json;

double millisecondsSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

json summary(const std::vector<double>& values) {
    return {{"count", values.size()},
            {"p50_ms", percentile(values, 0.50)},
            {"p99_ms", percentile(values, 0.99)},
            {"max_ms", values.empty() ? 0 : *std::max_element(values.begin(), values.end())}};
}

struct Shared {
    std::mutex mutex;
    std::vector<double> latencies;
    std::vector<double> gaps;               // between consecutive refreshes, one page's view
    std::vector<double> fromRefresh;        // refresh's end → event at a page
    std::vector<double> fromLock;           // lock change → event at a page
    std::vector<Clock::time_point> changes; // when the row was locked or unlocked, in turn
    std::atomic<bool> stop = false;
    int failures = 0;
    // Refreshes the first page never got an event for: it fell behind.
    std::int64_t skipped = 0;
};

// One live page: reads the stream, notes when the row's state changes.
void follow(const std::string& host, int port, int row, bool measureCadence, Shared& shared) {
    httplib::Client client(host, port);
    client.set_read_timeout(std::chrono::seconds(30));
    std::string pending;
    std::optional<bool> connected;
    std::int64_t lastRefresh = -1;
    std::int64_t lastAt = 0;
    client.Get("/api/eventos", [&](const char* data, std::size_t length) {
        const auto arrived = Clock::now();
        pending.append(data, length);
        for (std::size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
            const std::string block = pending.substr(0, end);
            pending.erase(0, end + 2);
            const auto at = block.find("data: ");
            if (at == std::string::npos) {
                continue;
            }
            const json event = json::parse(block.substr(at + 6));
            const std::int64_t refresh = event["refresh"];
            const std::int64_t instant = event["at"];
            std::optional<bool> now;
            if (event.contains("rows")) {
                now = event["rows"][row - 1][7].get<bool>();
            } else if (event.contains("changes")) {
                for (const auto& change : event["changes"]) {
                    if (change[0] == row - 1) {
                        now = change[1][7].get<bool>();
                    }
                }
            }
            const std::lock_guard lock(shared.mutex);
            if (measureCadence && lastRefresh >= 0) {
                if (refresh == lastRefresh + 1) {
                    shared.gaps.push_back(static_cast<double>(instant - lastAt));
                } else if (refresh > lastRefresh + 1) {
                    shared.skipped += refresh - lastRefresh - 1;
                }
            }
            lastRefresh = refresh;
            lastAt = instant;
            if (now && connected && *now != *connected) {
                const Clock::time_point refreshed{std::chrono::milliseconds(instant)};
                shared.fromRefresh.push_back(millisecondsSince(refreshed, arrived));
                // The change this state answers: the latest before the refresh's end that
                // leaves the row so (locks are the even ones, unlocks the odd ones).
                for (std::size_t k = shared.changes.size(); k-- > 0;) {
                    if (shared.changes[k] <= refreshed && (k % 2 == 0) == *now) {
                        shared.fromLock.push_back(millisecondsSince(shared.changes[k], arrived));
                        break;
                    }
                }
            }
            if (now) {
                connected = now;
            }
        }
        return !shared.stop;
    });
}

// Requests for / and /metrics in turn, `rate` a second on this connection.
void load(const std::string& host, int port, double rate, Shared& shared) {
    httplib::Client client(host, port);
    client.set_keep_alive(true);
    const auto step = std::chrono::duration<double>(1.0 / rate);
    auto next = std::chrono::steady_clock::now();
    std::vector<double> mine;
    int failed = 0;
    for (int n = 0; !shared.stop; ++n) {
        next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(step);
        std::this_thread::sleep_until(next);
        const auto start = Clock::now();
        const auto result = client.Get(n % 2 ? "/metrics" : "/");
        if (!result || result->status != 200) {
            ++failed;
            continue;
        }
        mine.push_back(millisecondsSince(start, Clock::now()));
    }
    const std::lock_guard lock(shared.mutex);
    shared.latencies.insert(shared.latencies.end(), mine.begin(), mine.end());
    shared.failures += failed;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 9) {
        std::cerr << "usage: web_bench HOST PORT STATIONFILE ROW CLIENTS RATE SECONDS "
                     "INTERVAL_MS\n";
        return 2;
    }
    const std::string host = argv[1];
    const int port = std::stoi(argv[2]);
    const int row = std::stoi(argv[4]);
    const int clients = std::stoi(argv[5]);
    const double rate = std::stod(argv[6]);
    const int seconds = std::stoi(argv[7]);
    const int interval = std::stoi(argv[8]);
    const int fd = ::open(argv[3], O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror(argv[3]);
        return 1;
    }
    Shared shared;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back(follow, host, port, row, i == 0, std::ref(shared));
    }
    constexpr int kLoaders = 4;
    for (int i = 0; i < kLoaders; ++i) {
        threads.emplace_back(load, host, port, rate / kLoaders, std::ref(shared));
    }
    // The row's record, locked and unlocked by this process as a workstation would.
    struct flock range {};
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(81) * row;
    range.l_len = 81;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool locked = false;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * interval + interval / 3));
        locked = !locked;
        range.l_type = locked ? F_WRLCK : F_UNLCK;
        if (::fcntl(fd, F_OFD_SETLK, &range) != 0) {
            std::perror("the row's lock");
            return 1;
        }
        const std::lock_guard lock(shared.mutex);
        shared.changes.push_back(Clock::now());
    }
    shared.stop = true;
    // Each stream ends at its next event.
    for (std::thread& t : threads) {
        t.join();
    }
    const json report = {{"clients", clients},
                         {"rate", rate},
                         {"seconds", seconds},
                         {"requests", summary(shared.latencies)},
                         {"failed_requests", shared.failures},
                         {"refresh_gaps", summary(shared.gaps)},
                         {"refreshes_skipped", shared.skipped},
                         {"event_after_refresh", summary(shared.fromRefresh)},
                         {"event_after_lock", summary(shared.fromLock)},
                         {"lock_changes", shared.changes.size()}};
    std::cout << report.dump(2) << '\n';
    return 0;
}
