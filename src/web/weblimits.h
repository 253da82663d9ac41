#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvendal::web {

// How much the web side takes on: a flood of clients, slow or large requests, costs the watcher
// nothing beyond these, and every refusal is counted.
struct Limits {
    // Connections served at once, each on its own thread; more are answered 503 and closed.
    std::size_t connections = 256;
    // Live pages following the refreshes at once.
    int liveClients = 128;
    // A request's line and headers: at most so many bytes, arriving within so long.
    std::size_t headBytes = 32 * 1024;
    std::chrono::milliseconds headTime{10'000};
    // Each read and write of a connection, and an idle connection between two requests.
    std::chrono::milliseconds readTimeout{5'000};
    std::chrono::milliseconds writeTimeout{5'000};
    std::chrono::milliseconds keepAlive{5'000};
    std::size_t requestsPerConnection = 100;
};

// Why a request or connection was refused: the label of orvendal_web_refused_total.
enum class Refusal : std::size_t {
    Connections,  // past Limits::connections
    LiveClients,  // past Limits::liveClients
    Method,       // neither GET nor HEAD
    Host,         // a loopback listener asked under another name
    Unauthorized, // no password, or a wrong one
    RequestSize,  // a head past Limits::headBytes, or a body
    SlowRequest,  // a head not whole within Limits::headTime
    Handshake,    // a TLS handshake that failed or was not done within Limits::headTime
    Busy,         // a history asked while others are being drawn
};
inline constexpr std::size_t kRefusals = 9;

// The web side's own measures, for /metrics.
struct Counters {
    std::array<std::atomic<std::uint64_t>, kRefusals> refused{};
    std::atomic<int> connections = 0;
    std::atomic<int> liveClients = 0;

    void count(Refusal why) { ++refused[static_cast<std::size_t>(why)]; }
    // The metrics, in the text exposition format, each series with `labels` ("file=\"...\"").
    std::string render(std::string_view labels) const;
};

} // namespace orvendal::web
