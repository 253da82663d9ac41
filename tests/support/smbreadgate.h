#pragma once

// A TCP proxy on loopback between an SMB client of the test and a server, which counts the
// client's READ requests and can stop the client's stream just before one of them until the test
// lets it go: a fault made while it waits falls between two known reads of the client, whatever
// the machine's load.
//
//   SmbReadGate gate(server.port());     // the client connects to 127.0.0.1:gate.port()
//   gate.holdBeforeRead(gate.reads() + 5);
//   ... the client's fifth READ from now waits; gate.isHolding() tells ...
//   gate.release();

#include "smb2requests.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace orvendal::testing {

class SmbReadGate {
public:
    explicit SmbReadGate(int targetPort) : target_(targetPort) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ::close(listener_);
            throw std::runtime_error("the SMB read gate cannot listen");
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { accept(); });
    }
    SmbReadGate(const SmbReadGate&) = delete;
    SmbReadGate& operator=(const SmbReadGate&) = delete;
    ~SmbReadGate() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        // Wakes the blocked accept(); the connections' sockets are shut down to end their pumps.
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (const int fd : sockets_) {
            ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& pump : pumps_) {
            pump.join();
        }
        for (const int fd : sockets_) {
            ::close(fd);
        }
        ::close(listener_);
    }

    int port() const { return port_; }

    // READ requests of every connection so far, a held one included.
    long reads() const {
        const std::lock_guard lock(mutex_);
        return reads_;
    }

    // Stops the client's stream before the request that makes its `nth` READ (counted as reads()
    // counts), until release().
    void holdBeforeRead(long nth) {
        const std::lock_guard lock(mutex_);
        holdAt_ = nth;
    }

    // Waits until a READ is held (true) or `going()` answers false (false), whichever comes
    // first; `going()` is asked every few milliseconds.
    bool awaitHold(const std::function<bool()>& going) {
        std::unique_lock lock(mutex_);
        while (!holding_) {
            if (!going()) {
                return false;
            }
            changed_.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }

    bool isHolding() const {
        const std::lock_guard lock(mutex_);
        return holding_;
    }

    // Sends the held request on, if any, and holds nothing more.
    void release() {
        {
            const std::lock_guard lock(mutex_);
            holdAt_ = 0;
            holding_ = false;
        }
        changed_.notify_all();
    }

private:
    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    static bool sendAll(int fd, std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
        return true;
    }

    void accept() {
        for (;;) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                const std::lock_guard lock(mutex_);
                if (stopping_) {
                    return;
                }
                continue;
            }
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in address = loopback(target_);
            const int on = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            sockets_.push_back(client);
            sockets_.push_back(server);
            if (::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0) {
                ::shutdown(client, SHUT_RDWR);
                continue;
            }
            pumps_.emplace_back([this, client, server] { forwardRequests(client, server); });
            pumps_.emplace_back([client, server] { forwardReplies(server, client); });
        }
    }

    // Either side's end ends the connection both ways, as a broken link does.
    static void endConnection(int client, int server) {
        ::shutdown(client, SHUT_RDWR);
        ::shutdown(server, SHUT_RDWR);
    }

    static void forwardReplies(int server, int client) {
        std::vector<std::uint8_t> buffer(1 << 16);
        ssize_t n;
        while ((n = ::recv(server, buffer.data(), buffer.size(), 0)) > 0 &&
               sendAll(client, {buffer.data(), static_cast<std::size_t>(n)})) {
        }
        endConnection(client, server);
    }

    // Passes on whole messages only, so a held one has not reached the server in part.
    void forwardRequests(int client, int server) {
        Smb2MessageStream stream;
        std::vector<std::uint8_t> buffer(1 << 16);
        bool open = true;
        while (open) {
            const ssize_t n = ::recv(client, buffer.data(), buffer.size(), 0);
            if (n <= 0) {
                break;
            }
            stream.feed(
                {buffer.data(), static_cast<std::size_t>(n)},
                [&](std::span<const std::uint8_t> framed, std::span<const std::uint8_t> message) {
                    if (open) {
                        passRead(message);
                        open = sendAll(server, framed);
                    }
                });
        }
        endConnection(client, server);
    }

    // Counts the message's READs and waits there when it holds the one to hold.
    void passRead(std::span<const std::uint8_t> message) {
        long count = 0;
        for (const unsigned command : smb2Commands(message)) {
            count += command == kSmb2Read;
        }
        std::unique_lock lock(mutex_);
        const long before = reads_;
        reads_ += count;
        if (holdAt_ > before && holdAt_ <= reads_) {
            holding_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return !holding_ || stopping_; });
        }
    }

    int target_;
    int listener_ = -1;
    int port_ = 0;
    std::thread acceptor_;
    // Touched by the acceptor only until it has been joined.
    std::vector<int> sockets_;
    std::vector<std::thread> pumps_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    long reads_ = 0;
    long holdAt_ = 0;
    bool holding_ = false;
    bool stopping_ = false;
};

} // namespace orvendal::testing
