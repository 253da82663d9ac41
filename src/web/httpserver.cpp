#include "httpserver.h"

#include "requeststream.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

namespace orvendal::web {
namespace {

// Set while a connection past the limit is handed to process_and_close_socket on the accepting
// thread, which then refuses it.
thread_local bool tRefusing = false;

// The request the current thread serves, for the routes to reach its connection.
struct Serving {
    RequestStream* stream = nullptr;
    bool close = false;
};
thread_local Serving* tServing = nullptr;

// The answer to a connection past the limit, written without reading its request.
const std::string& tooManyConnections() {
    static const std::string answer = [] {
        const std::string body =
            "Demasiadas conexiones a la vez con el vigilante; vuelva a intentarlo.\n";
        return "HTTP/1.1 503 Service Unavailable\r\n"
               "Content-Type: text/plain; charset=utf-8\r\n"
               "X-Content-Type-Options: nosniff\r\n"
               "Retry-After: 5\r\n"
               "Connection: close\r\n"
               "Content-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }();
    return answer;
}

// One thread per connection, started when none is idle, up to `limit`; a connection beyond
// that is refused on the accepting thread, so that a flood never queues.
class ConnectionPool final : public httplib::TaskQueue {
public:
    explicit ConnectionPool(std::size_t limit) : limit_(limit) {}

    void enqueue(std::function<void()> job) override {
        {
            std::unique_lock lock(mutex_);
            if (busy_ + jobs_.size() < limit_ && !stopping_) {
                jobs_.push_back(std::move(job));
                // Each idle thread takes one job: more jobs than that need one more thread.
                if (jobs_.size() > idle_) {
                    threads_.emplace_back([this] { work(); });
                }
                lock.unlock();
                wake_.notify_one();
                return;
            }
        }
        tRefusing = true;
        job();
        tRefusing = false;
    }

    void shutdown() override {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) {
            t.join();
        }
    }

private:
    void work() {
        yieldToTheWatcher();
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) {
                return;
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            ++busy_;
            lock.unlock();
            job();
            lock.lock();
            --busy_;
        }
    }

    const std::size_t limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t busy_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

// What a request may ask of the server's work, decided before any route: cpp-httplib would
// compress with brotli at its highest quality (0.7 s for a page of 1,000 stations, a gift to a
// flood) and cut a page into as many ranges as asked. gzip stays; ranges go, every page is
// small and made anew. The request is cpp-httplib's own object, const only to the routes.
void moderate(httplib::Request& request) {
    const bool gzip = request.get_header_value("Accept-Encoding").find("gzip") != std::string::npos;
    request.headers.erase("Accept-Encoding");
    if (gzip) {
        request.headers.emplace("Accept-Encoding", "gzip");
    }
    request.ranges.clear();
}

} // namespace

HttpServer::HttpServer(const Limits& limits, Counters& counters, std::shared_ptr<TlsAcceptor> tls)
    : limits_(limits), counters_(counters), tls_(std::move(tls)) {
    new_task_queue = [this] { return new ConnectionPool(limits_.connections); };
    // The accepted sockets' own time-outs: a TLS read or write waits no longer than these.
    set_read_timeout(limits_.readTimeout);
    set_write_timeout(limits_.writeTimeout);
    // The figures of the Keep-Alive header; process_and_close_socket keeps to them.
    set_keep_alive_timeout(std::chrono::ceil<std::chrono::seconds>(limits_.keepAlive).count());
    set_keep_alive_max_count(limits_.requestsPerConnection);
    set_payload_max_length(0);
    // A response is its headers, then its body: Nagle's algorithm would hold the body's last
    // segment until the client's delayed acknowledgement of the headers, 40 ms later.
    set_tcp_nodelay(true);
}

HttpServer::~HttpServer() = default;

int HttpServer::bind(const std::string& host, int port) {
    if (port == 0) {
        return bind_to_any_port(host);
    }
    return bind_to_port(host, port) ? port : -1;
}

void HttpServer::serve() {
    yieldToTheWatcher();
    listen_after_bind();
}

void HttpServer::halt() {
    {
        const std::lock_guard lock(open_);
        halting_ = true;
        for (const socket_t sock : sockets_) {
            shutDownSocket(sock);
        }
    }
    stop();
}

void HttpServer::guard(HandlerWithResponse gate) {
    set_pre_routing_handler([this, gate = std::move(gate)](const httplib::Request& request,
                                                           httplib::Response& response) {
        if (tServing != nullptr) {
            tServing->stream->headDone();
        }
        moderate(const_cast<httplib::Request&>(request));
        const std::string length = request.get_header_value("Content-Length");
        if ((!length.empty() && length != "0") || request.has_header("Transfer-Encoding")) {
            counters_.count(Refusal::RequestSize);
            // The body is never read: the connection cannot serve another request after it.
            closeAfterResponse();
            response.status = 413;
            response.set_content("El vigilante no acepta peticiones con cuerpo.\n",
                                 "text/plain; charset=utf-8");
            return HandlerResponse::Handled;
        }
        return gate(request, response);
    });
}

void HttpServer::closeAfterResponse() {
    if (tServing != nullptr) {
        tServing->close = true;
    }
}

bool HttpServer::enter(socket_t sock) {
    const std::lock_guard lock(open_);
    if (halting_) {
        return false;
    }
    sockets_.insert(sock);
    ++counters_.connections;
    return true;
}

void HttpServer::leave(socket_t sock) {
    const std::lock_guard lock(open_);
    sockets_.erase(sock);
    --counters_.connections;
}

bool HttpServer::process_and_close_socket(socket_t sock) {
    if (tRefusing) {
        counters_.count(Refusal::Connections);
        // A TLS client cannot read a plain answer: it only sees the connection close.
        refuseSocket(sock, tls_ ? std::string_view() : std::string_view(tooManyConnections()));
        return false;
    }
    if (!enter(sock)) {
        closeSocket(sock);
        return false;
    }
    bool served = false;
    {
        std::unique_ptr<Channel> channel =
            tls_ ? tls_->accept(sock, limits_.headTime) : std::make_unique<Channel>(sock);
        if (!channel) {
            counters_.count(Refusal::Handshake);
        } else {
            RequestStream stream(*channel, limits_, counters_);
            for (std::size_t left = limits_.requestsPerConnection;
                 left > 0 && svr_sock_ != INVALID_SOCKET &&
                 stream.waitForRequest(limits_.keepAlive);
                 --left) {
                stream.beginRequest();
                Serving serving{&stream};
                tServing = &serving;
                bool closed = false;
                served = process_request(stream, left == 1, closed, nullptr);
                tServing = nullptr;
                if (!served || closed || serving.close || stream.cutOff()) {
                    break;
                }
            }
        }
    }
    leave(sock);
    closeSocket(sock);
    return served;
}

} // namespace orvendal::web
