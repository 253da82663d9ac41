#pragma once

// What the tests of station files reached over smb:// need beside the Samba fixture: a
// credentials file for its user, and the server stopped and started again on the same port.

#include "smbtestserver.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace orvendal::testing {

// A credentials file in mount.cifs's format for the server's user, mode 0600.
inline std::string writeCredentials(const TempDir& dir, const SmbTestServer& server,
                                    const std::string& password) {
    const std::string path = dir.file("credentials");
    std::ofstream(path, std::ios::trunc)
        << "username=" << server.user() << "\npassword=" << password << "\n";
    ::chmod(path.c_str(), 0600);
    return path;
}

inline bool portAccepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return accepted;
}

// Stops the fixture's smbd and starts another with the same configuration, port, user and
// share, as an administrator restarting the service does. The one it started is stopped with it.
class SmbdRestart {
public:
    explicit SmbdRestart(const SmbTestServer& server) : server_(server) {}
    SmbdRestart(const SmbdRestart&) = delete;
    SmbdRestart& operator=(const SmbdRestart&) = delete;
    ~SmbdRestart() { stop(); }

    void stop() {
        if (started_ > 0) {
            stopGroup(started_, true);
            started_ = -1;
            return;
        }
        // The fixture's smbd is no child of ours: it leads its own process group.
        std::ifstream in(std::filesystem::path(server_.conf()).parent_path() / "pid" / "smbd.pid");
        pid_t pid = 0;
        if (in >> pid && pid > 0) {
            stopGroup(pid, false);
        }
    }

    void start() {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        started_ = spawn({"/usr/sbin/smbd", "-F", "--debug-stdout", "-s", server_.conf()}, null,
                         null, null);
        ::close(null);
        for (int i = 0; i < 500 && !portAccepts(server_.port()); ++i) {
            ::poll(nullptr, 0, 10);
        }
    }

private:
    static void stopGroup(pid_t pid, bool child) {
        ::kill(-pid, SIGTERM);
        for (int i = 0; i < 500 && ::kill(pid, 0) == 0; ++i) {
            if (child && ::waitpid(pid, nullptr, WNOHANG) == pid) {
                break;
            }
            ::poll(nullptr, 0, 10);
        }
        ::kill(-pid, SIGKILL);
        if (child) {
            ::waitpid(pid, nullptr, 0);
        }
    }

    const SmbTestServer& server_;
    pid_t started_ = -1;
};

} // namespace orvendal::testing
