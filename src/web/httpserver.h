#pragma once

#include "channel.h"
#include "weblimits.h"

#include <httplib.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace orvendal::web {

// cpp-httplib's server with the watcher's limits on its connections: each connection is served
// on a thread of its own up to Limits::connections and turned away past it at once, without a
// byte read; requests are read through RequestStream, over TLS when the listener has it; only
// GET and HEAD requests without a body reach the routes. cpp-httplib still parses every request.
class HttpServer final : public httplib::Server {
public:
    HttpServer(const Limits& limits, Counters& counters, std::shared_ptr<TlsAcceptor> tls);
    ~HttpServer() override;

    // Binds to `host` and `port` (0: a free one); the port bound, or -1 with errno set.
    int bind(const std::string& host, int port);
    // Accepts and serves connections until halt(); run on a thread of its own.
    void serve();
    // Ends serve(): no new connection, and every open one's wait ends at once.
    void halt();

    // Runs `gate` before any route, once the request's head is whole and found to carry no
    // body (a body is refused with 413: nothing served takes one).
    void guard(HandlerWithResponse gate);

    // Called from a route: the connection closes after the response under way.
    static void closeAfterResponse();

private:
    bool process_and_close_socket(socket_t sock) override;
    // Whether the connection may go on; false once halt() began.
    bool enter(socket_t sock);
    void leave(socket_t sock);

    const Limits& limits_;
    Counters& counters_;
    std::shared_ptr<TlsAcceptor> tls_;
    std::mutex open_;
    std::set<socket_t> sockets_;
    bool halting_ = false;
};

} // namespace orvendal::web
