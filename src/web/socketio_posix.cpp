#include "socketio.h"

#include <cerrno>
#include <cstdlib>
#include <netdb.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvendal::web {

bool waitSocket(socket_t sock, bool forWriting, std::chrono::milliseconds timeout) {
    pollfd entry{sock, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    // A peer that closed reads as readable: the read then finds the end.
    return ready > 0 && (entry.revents & (forWriting ? POLLOUT : (POLLIN | POLLHUP))) != 0;
}

long receiveSome(socket_t sock, char* data, std::size_t size) {
    return ::recv(sock, data, size, 0);
}

long sendSome(socket_t sock, const char* data, std::size_t size) {
    return ::send(sock, data, size, MSG_NOSIGNAL);
}

void closeSocket(socket_t sock) {
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
}

void shutDownSocket(socket_t sock) {
    ::shutdown(sock, SHUT_RDWR);
}

void refuseSocket(socket_t sock, std::string_view response) {
    (void)::send(sock, response.data(), response.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(sock, SHUT_WR);
    ::close(sock);
}

void yieldToTheWatcher() {
    // On Linux a nice value is the thread's own: the rest of the process keeps its priority.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
}

Error bindFailure() {
    const int err = errno;
    switch (err) {
    case EADDRINUSE:
        return Error(errnoCode(err), "otro programa ya usa ese puerto");
    case EACCES:
        return Error(errnoCode(err),
                     "no hay permiso (los puertos por debajo de 1024 son del administrador)");
    case EADDRNOTAVAIL:
        return Error(errnoCode(err), "esa dirección no es de este equipo");
    default:
        return Error::fromErrno(err);
    }
}

void socketAddress(socket_t sock, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if ((peer ? ::getpeername(sock, raw, &length) : ::getsockname(sock, raw, &length)) != 0) {
        return;
    }
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (::getnameinfo(raw, length, host, sizeof host, service, sizeof service,
                      NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

} // namespace orvendal::web
