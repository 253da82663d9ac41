// A TCP proxy on loopback that delays every byte by a fixed time each way, as a network link
// would (this kernel has no netem), and counts the SMB2 requests that pass through it.
//
//   latency_proxy TARGET_PORT DELAY_MS
//
// Listens on a free port of 127.0.0.1 and prints "port N" once it accepts; each connection goes
// to 127.0.0.1:TARGET_PORT. Each chunk is sent on DELAY_MS after it arrived, in arrival order, in
// both directions, so a round trip costs twice DELAY_MS. A line "count" on standard input is
// answered "reads R requests Q": the SMB2 READ requests and all SMB2 requests so far. It ends
// when its standard input closes.
#include "smb2requests.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long> smbReads{0};
std::atomic<long> smbRequests{0};

// Counts the SMB2 commands of each message of the client's stream, the parts of compound requests
// included.
class RequestCounter {
public:
    void feed(const std::uint8_t* data, std::size_t size) {
        stream_.feed({data, size}, [](auto, std::span<const std::uint8_t> message) {
            for (const unsigned command : orvendal::testing::smb2Commands(message)) {
                ++smbRequests;
                smbReads += command == orvendal::testing::kSmb2Read;
            }
        });
    }

private:
    orvendal::testing::Smb2MessageStream stream_;
};

// Forwards `from` to `to`, each chunk `delay` after it arrived.
void pump(int from, int to, Clock::duration delay, RequestCounter* counter) {
    struct Chunk {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes; // empty: the other side closed
    };
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Chunk> queue;
    std::thread sender([&] {
        for (;;) {
            std::unique_lock lock(mutex);
            ready.wait(lock, [&] { return !queue.empty(); });
            Chunk chunk = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            if (chunk.bytes.empty()) {
                break;
            }
            std::this_thread::sleep_until(chunk.due);
            std::size_t sent = 0;
            while (sent < chunk.bytes.size()) {
                const ssize_t n =
                    ::send(to, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    ::shutdown(from, SHUT_RD);
                    return;
                }
                sent += static_cast<std::size_t>(n);
            }
        }
        ::shutdown(to, SHUT_WR);
    });
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
        const auto arrived = Clock::now();
        Chunk chunk{arrived + delay, {}};
        if (n > 0) {
            chunk.bytes.assign(buffer.begin(), buffer.begin() + n);
            if (counter != nullptr) {
                counter->feed(buffer.data(), static_cast<std::size_t>(n));
            }
        }
        {
            const std::lock_guard lock(mutex);
            queue.push_back(std::move(chunk));
        }
        ready.notify_one();
        if (n <= 0) {
            break;
        }
    }
    sender.join();
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void serve(int client, int targetPort, Clock::duration delay) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(targetPort);
    if (::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(server);
        ::close(client);
        return;
    }
    const int on = 1;
    for (const int fd : {client, server}) {
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    RequestCounter counter;
    std::thread upstream(pump, client, server, delay, &counter);
    pump(server, client, delay, nullptr);
    upstream.join();
    ::close(client);
    ::close(server);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TARGET_PORT DELAY_MS\n", argv[0]);
        return 2;
    }
    // The kernel's default 50 µs of timer slack would come on top of every delay.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    const int targetPort = std::atoi(argv[1]);
    const auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(std::atof(argv[2])));

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("latency_proxy");
        return 1;
    }
    std::thread([=] {
        for (;;) {
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                std::thread(serve, client, targetPort, delay).detach();
            }
        }
    }).detach();
    std::cout << "port " << ntohs(address.sin_port) << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "count") {
            std::cout << "reads " << smbReads << " requests " << smbRequests << std::endl;
        }
    }
    return 0;
}
