#include "socketio.h"

#include <cstdlib>

namespace orvendal::web {

bool waitSocket(socket_t sock, bool forWriting, std::chrono::milliseconds timeout) {
    WSAPOLLFD entry{sock, static_cast<SHORT>(forWriting ? POLLOUT : POLLIN), 0};
    const int ready = ::WSAPoll(&entry, 1, static_cast<INT>(timeout.count()));
    return ready > 0 && (entry.revents & (forWriting ? POLLOUT : (POLLIN | POLLHUP))) != 0;
}

long receiveSome(socket_t sock, char* data, std::size_t size) {
    return ::recv(sock, data, static_cast<int>(size), 0);
}

long sendSome(socket_t sock, const char* data, std::size_t size) {
    return ::send(sock, data, static_cast<int>(size), 0);
}

void closeSocket(socket_t sock) {
    ::shutdown(sock, SD_BOTH);
    ::closesocket(sock);
}

void shutDownSocket(socket_t sock) {
    ::shutdown(sock, SD_BOTH);
}

void refuseSocket(socket_t sock, std::string_view response) {
    u_long nonBlocking = 1;
    ::ioctlsocket(sock, FIONBIO, &nonBlocking);
    (void)::send(sock, response.data(), static_cast<int>(response.size()), 0);
    ::shutdown(sock, SD_SEND);
    ::closesocket(sock);
}

void yieldToTheWatcher() {
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

Error bindFailure() {
    const int err = ::WSAGetLastError();
    const std::error_code code(err, std::system_category());
    switch (err) {
    case WSAEADDRINUSE:
        return Error(code, "otro programa ya usa ese puerto");
    case WSAEACCES:
        return Error(code, "no hay permiso (el puerto está reservado o lo usa otro programa)");
    case WSAEADDRNOTAVAIL:
        return Error(code, "esa dirección no es de este equipo");
    default:
        return Error(code, "error de Windows Sockets " + std::to_string(err));
    }
}

void socketAddress(socket_t sock, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    int length = sizeof address;
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
