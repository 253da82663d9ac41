#pragma once

#include <string>
#include <string_view>

namespace orvendal::web {

// Where the watcher's web page listens: a numeric address and a port.
struct ListenAddress {
    // Without brackets: "127.0.0.1", "::1", "0.0.0.0".
    std::string host;
    // 0 asks the system for a free one, which the listener then tells.
    int port = 0;
    bool ipv6 = false;
    // 127.0.0.0/8 or ::1: only this computer reaches it, and only under its loopback names.
    bool loopback = false;

    // "127.0.0.1:8468", "[::1]:8468", as a browser's address takes it.
    std::string text(int boundPort) const;
};

// "[ADDR:]PORT": PORT alone listens on 127.0.0.1 only; ADDR is a numeric IPv4 address, or an
// IPv6 one in brackets ("[::1]:8468"). Names are refused: a name could resolve to an address
// other than the one meant. Throws UsageError.
ListenAddress parseListenAddress(std::string_view text);

} // namespace orvendal::web
