#include "smberrors.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace orvendal::files::smb {

bool isLockConflict(int err) {
    return err == EINVAL || err == EACCES;
}

bool isConnectionLoss(int err) {
    switch (err) {
    case ECONNRESET:
    case ECONNABORTED:
    case ECONNREFUSED:
    case ETIMEDOUT:
    case EPIPE:
    case ENOTCONN:
    case EIO:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ENETDOWN:
    case ENETRESET:
        return true;
    default:
        return false;
    }
}

bool isRefusal(int err) {
    return err == EACCES || err == EPERM;
}

Error smbError(std::error_code code, const std::string& what, const SmbLocation& location) {
    return Error(code, what + ": " + location.shown());
}

Error connectionError(int err, const SmbLocation& location) {
    if (err == ETIMEDOUT) {
        return smbError(errnoCode(ETIMEDOUT),
                        "el servidor no contesta (sin respuesta en " +
                            std::to_string(kTimeoutMs / 1000) + " s)",
                        location);
    }
    return smbError(errnoCode(err),
                    "sin conexión con el servidor (" + std::string(std::strerror(err)) + ")",
                    location);
}

Error loginRefusedError(const SmbLocation& location) {
    return smbError(errnoCode(EACCES),
                    "el servidor no acepta el usuario o la contraseña de la conexión (no se "
                    "volverán a enviar hasta que cambien)",
                    location);
}

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string lowered(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool serverNameUnknown(const std::string& server) {
    const int err = errno;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(server.c_str(), nullptr, &hints, &found);
    if (found != nullptr) {
        ::freeaddrinfo(found);
    }
    errno = err;
    return result == EAI_NONAME || result == EAI_FAIL || result == EAI_NODATA;
}

std::string serverKey(const SmbLocation& location) {
    return lowered(location.server) + ":" + std::to_string(location.port);
}

void shutDownConnections(const std::string& server, int port) {
    in6_addr wanted6{};
    in_addr wanted4{};
    const bool is4 = ::inet_pton(AF_INET, server.c_str(), &wanted4) == 1;
    const bool is6 = !is4 && ::inet_pton(AF_INET6, server.c_str(), &wanted6) == 1;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == ::dirfd(dir)) {
            continue;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
            continue;
        }
        int peerPort = 0;
        bool sameAddress = !is4 && !is6;
        if (peer.ss_family == AF_INET) {
            const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
            peerPort = ntohs(in.sin_port);
            sameAddress = sameAddress || (is4 && in.sin_addr.s_addr == wanted4.s_addr);
        } else if (peer.ss_family == AF_INET6) {
            const auto& in = reinterpret_cast<const sockaddr_in6&>(peer);
            peerPort = ntohs(in.sin6_port);
            sameAddress =
                sameAddress || (is6 && std::memcmp(&in.sin6_addr, &wanted6, sizeof wanted6) == 0);
        } else {
            continue;
        }
        const bool samePort = port != 0 ? peerPort == port : peerPort == 445 || peerPort == 139;
        if (samePort && sameAddress) {
            ::shutdown(static_cast<int>(fd), SHUT_RDWR);
        }
    }
    ::closedir(dir);
}

} // namespace orvendal::files::smb
