#pragma once

// Faults of a Samba server as a network meets them, made on the fixture's own smbd: the
// connection's share closed by the server, the process serving the connection killed, the whole
// server stopped without a word.

#include "smbtestserver.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>

namespace orvendal::testing {

// The local ports of this process's TCP connections to `port`.
inline std::set<int> ownConnectionPorts(int port) {
    std::set<int> ports;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in peer{}, local{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
            peer.sin_family != AF_INET || ntohs(peer.sin_port) != port) {
            continue;
        }
        length = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
            ports.insert(ntohs(local.sin_port));
        }
    }
    if (dir != nullptr) {
        ::closedir(dir);
    }
    return ports;
}

// The smbd process that serves this process's connection to `server` (smbd forks one for each
// connection), or -1 when there is no connection.
inline pid_t servingProcess(const SmbTestServer& server) {
    const std::set<int> ours = ownConnectionPorts(server.port());
    const auto [status, output] = runToEnd({"/usr/bin/ss", "-tnpH", "state", "established",
                                            "( sport = :" + std::to_string(server.port()) + " )"});
    // "0 0 127.0.0.1:PORT 127.0.0.1:CLIENT users:(("smbd",pid=N,fd=M))"
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string receive, send, local, peer, users;
        if (!(words >> receive >> send >> local >> peer >> users)) {
            continue;
        }
        const auto pid = users.find("pid=");
        if (pid != std::string::npos &&
            ours.contains(std::stoi(peer.substr(peer.rfind(':') + 1)))) {
            return std::stoi(users.substr(pid + 4));
        }
    }
    return -1;
}

// Has the server end the tree connection of `pid`'s client to the share, as an administrator's
// `smbcontrol close-share` does; the session and its TCP connection stay. smbcontrol only sends
// the request: this waits, up to a minute, until the server logs the connection closed, and
// answers whether it did. Reading the log costs no process, so a client held meanwhile in an
// SmbReadGate waits no longer than the one smbcontrol takes.
inline bool closeShare(const SmbTestServer& server, pid_t pid) {
    const std::string closed = "conn_force_tdis_done: Closing share '" + server.share() + "'";
    const int before = server.logLines(closed);
    runToEnd({"/usr/bin/smbcontrol", "-s", server.conf(), std::to_string(pid), "close-share",
              server.share()});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (server.logLines(closed) == before) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        ::poll(nullptr, 0, 5);
    }
    return true;
}

// Stops every process of the server, which then accepts connections (the kernel does) and never
// answers; destruction lets it go on.
class SilentServer {
public:
    explicit SilentServer(const SmbTestServer& server) : group_(server.pid()) {
        ::kill(-group_, SIGSTOP);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    ~SilentServer() { ::kill(-group_, SIGCONT); }

private:
    pid_t group_;
};

} // namespace orvendal::testing
