#include "listenaddress.h"

#include "usageerror.h"

#include <httplib.h>

#include <charconv>
#include <cstring>

namespace orvendal::web {
namespace {

[[noreturn]] void refuse(std::string_view text, const std::string& why) {
    throw UsageError("--listen " + std::string(text) + ": " + why);
}

} // namespace

std::string ListenAddress::text(int boundPort) const {
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(boundPort);
}

ListenAddress parseListenAddress(std::string_view text) {
    ListenAddress address;
    std::string_view port = text;
    address.host = "127.0.0.1";
    if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        std::string_view host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.starts_with('[') && host.ends_with(']')) {
            host = host.substr(1, host.size() - 2);
            address.ipv6 = true;
        } else if (host.find(':') != std::string_view::npos) {
            refuse(text, "escriba una dirección IPv6 entre corchetes: [::1]:PUERTO");
        }
        if (host.empty()) {
            refuse(text, "falta la dirección antes de «:»");
        }
        address.host = host;
    }
    int number = -1;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || number < 0 ||
        number > 65535) {
        refuse(text, "el puerto debe ser un número de 1 a 65535 (0: uno libre cualquiera)");
    }
    address.port = number;

    // The system's own parser of numeric addresses, never a name look-up.
    addrinfo hints{};
    hints.ai_family = address.ipv6 ? AF_INET6 : AF_INET;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        refuse(text, address.ipv6 ? "«" + address.host + "» no es una dirección IPv6"
                                  : "«" + address.host +
                                        "» no es una dirección IPv4 numérica (un nombre no vale)");
    }
    if (found->ai_family == AF_INET) {
        sockaddr_in in{};
        std::memcpy(&in, found->ai_addr, sizeof in);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&in.sin_addr);
        address.loopback = bytes[0] == 127;
    } else {
        sockaddr_in6 in6{};
        std::memcpy(&in6, found->ai_addr, sizeof in6);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&in6.sin6_addr);
        static constexpr unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                        0, 0, 0, 0, 0, 0, 0, 1};
        address.loopback = std::memcmp(bytes, kLoopback, 16) == 0;
    }
    ::freeaddrinfo(found);
    return address;
}

} // namespace orvendal::web
