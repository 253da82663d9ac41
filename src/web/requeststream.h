#pragma once

#include "channel.h"
#include "weblimits.h"

#include <httplib.h>

#include <array>
#include <chrono>

namespace orvendal::web {

// One connection's bytes as cpp-httplib reads and writes them, with the limits its own socket
// stream lacks: a request's line and headers are held to Limits::headBytes and must be whole
// within Limits::headTime, so that neither an endless header nor a client that sends one byte
// per read time-out can hold a thread or memory.
class RequestStream final : public httplib::Stream {
public:
    RequestStream(Channel& channel, const Limits& limits, Counters& counters);

    // Waits up to `timeout` for the next request to begin; false when none comes.
    bool waitForRequest(std::chrono::milliseconds timeout);
    // A request begins: its head's budget and deadline start.
    void beginRequest();
    // The head was read whole: what follows is no longer held to its limits.
    void headDone() { inHead_ = false; }
    // Whether the request's head broke a limit: the connection serves nothing more.
    bool cutOff() const { return refused_; }

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return channel_.socket(); }

private:
    // Why the head failed, counted once a request.
    void refuse(Refusal why);

    Channel& channel_;
    const Limits& limits_;
    Counters& counters_;
    std::array<char, 4096> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool inHead_ = false;
    bool refused_ = false;
    std::size_t headBytes_ = 0;
    std::chrono::steady_clock::time_point headDeadline_{};
};

} // namespace orvendal::web
