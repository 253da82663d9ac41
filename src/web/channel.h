#pragma once

#include "socketio.h"

#include <chrono>
#include <cstddef>
#include <memory>

namespace orvendal::web {

// The bytes of one accepted connection: the socket itself, or TLS over it.
class Channel {
public:
    explicit Channel(socket_t sock) : sock_(sock) {}
    virtual ~Channel() = default;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Whether bytes can be read within `timeout`: ones already decrypted count.
    virtual bool readable(std::chrono::milliseconds timeout) {
        return waitSocket(sock_, false, timeout);
    }
    // After readable(): bytes read, 0 at the peer's end, negative on failure.
    virtual long read(char* data, std::size_t size) { return receiveSome(sock_, data, size); }
    // Bytes written, negative on failure; waits at most the socket's send time-out.
    virtual long write(const char* data, std::size_t size) { return sendSome(sock_, data, size); }

    socket_t socket() const { return sock_; }

private:
    socket_t sock_;
};

// TLS with one certificate and key, over the connections of a listener.
class TlsAcceptor {
public:
    virtual ~TlsAcceptor() = default;
    // Completes the handshake within `limit`; none when the client does not.
    virtual std::unique_ptr<Channel> accept(socket_t sock, std::chrono::milliseconds limit) = 0;
};

} // namespace orvendal::web
