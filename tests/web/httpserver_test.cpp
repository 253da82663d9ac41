// The listener's limits, met by real clients over loopback: a connection past the limit is
// turned away at once, a head too large or too slow is cut off, a body is refused, and every
// refusal is counted.
#include "httpserver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using namespace orvendal::web;
using namespace std::chrono_literals;

namespace {

class Listener : public ::testing::Test {
protected:
    void SetUp() override {
        limits_.connections = 2;
        limits_.headBytes = 1024;
        limits_.headTime = 500ms;
        limits_.keepAlive = 30s;
        server_.Get("/", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("ok", "text/plain");
        });
        server_.guard([](const httplib::Request&, httplib::Response&) {
            return httplib::Server::HandlerResponse::Unhandled;
        });
        port_ = server_.bind("127.0.0.1", 0);
        ASSERT_GT(port_, 0);
        serving_ = std::thread([this] { server_.serve(); });
    }
    void TearDown() override {
        server_.halt();
        serving_.join();
    }

    // A client connection; -1 when it could not connect.
    int connect() const {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    // Everything the server sends until it closes the connection (or 20 s pass).
    static std::string readToEnd(int fd) {
        std::string got;
        char buffer[4096];
        pollfd entry{fd, POLLIN, 0};
        while (::poll(&entry, 1, 20'000) > 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    // Sends `request` and reads the answer, on a fresh connection.
    std::string ask(const std::string& request) const {
        const int fd = connect();
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        std::string answer = readToEnd(fd);
        ::close(fd);
        return answer;
    }

    std::uint64_t refused(Refusal why) const {
        return counters_.refused[static_cast<std::size_t>(why)].load();
    }

    Limits limits_;
    Counters counters_;
    HttpServer server_{limits_, counters_, nullptr};
    int port_ = 0;
    std::thread serving_;
};

constexpr const char* kGet = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";

TEST_F(Listener, AConnectionPastTheLimitIsAnsweredAtOnceAndTheNextOneServed) {
    // Two idle connections hold both threads; the second is known held once served once.
    const int first = connect();
    const int second = connect();
    const std::string keep = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(second, keep.data(), keep.size(), MSG_NOSIGNAL);
    char buffer[512];
    ASSERT_GT(::recv(second, buffer, sizeof buffer, 0), 0);

    const std::string refusedAnswer = ask(kGet);
    EXPECT_EQ(refusedAnswer.rfind("HTTP/1.1 503", 0), 0u) << refusedAnswer;
    EXPECT_NE(refusedAnswer.find("Demasiadas conexiones"), std::string::npos);
    EXPECT_EQ(refused(Refusal::Connections), 1u);

    ::close(first);
    ::close(second);
    // Their threads are free again once the server sees them closed.
    std::string served;
    for (int attempt = 0; attempt < 200 && served.find(" 200 ") == std::string::npos; ++attempt) {
        served = ask(kGet);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_NE(served.find("\r\n\r\nok"), std::string::npos) << served;
}

TEST_F(Listener, AHeadTooLargeOrTooSlowIsCutOffAndABodyRefused) {
    const std::string large =
        ask("GET / HTTP/1.1\r\nHost: x\r\nX-Relleno: " + std::string(4000, 'a') + "\r\n\r\n");
    EXPECT_EQ(large.find(" 200 "), std::string::npos) << large;
    EXPECT_EQ(refused(Refusal::RequestSize), 1u);

    // One byte every 50 ms: the head would take 2 s, twice its time.
    const int slow = connect();
    const std::string head = "GET / HTTP/1.1\r\nHost: x\r\nX-Lento: " + std::string(20, 'b');
    bool cut = false;
    for (const char c : head) {
        std::this_thread::sleep_for(50ms);
        pollfd entry{slow, POLLIN, 0};
        if (::send(slow, &c, 1, MSG_NOSIGNAL) != 1 || ::poll(&entry, 1, 0) > 0) {
            cut = true;
            break;
        }
    }
    const std::string slowAnswer = readToEnd(slow);
    ::close(slow);
    EXPECT_TRUE(cut) << "the whole head went in: " << slowAnswer;
    EXPECT_EQ(slowAnswer.find(" 200 "), std::string::npos) << slowAnswer;
    EXPECT_EQ(refused(Refusal::SlowRequest), 1u);

    // The body is never read, so the request after it on the connection is not served.
    const std::string body = ask("GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 16\r\n\r\n"
                                 "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(body.rfind("HTTP/1.1 413", 0), 0u) << body;
    EXPECT_EQ(body.find(" 200 "), std::string::npos) << body;
    EXPECT_EQ(refused(Refusal::RequestSize), 2u);
}

} // namespace
