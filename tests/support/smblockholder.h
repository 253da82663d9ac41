#pragma once

// Byte-range locks held through an SMB2 session of their own, as a Windows workstation holds its
// record on a Samba server: tests/support/smblockholder.py in its own process.
//
//   SmbLockHolder holder(server, "MARLOVEN.SIT",
//                        {SmbLockHolder::exclusive(81, 81), SmbLockHolder::shared(162, 81)});
//   holder.lock(SmbLockHolder::exclusive(243, 81));   // false when the server refuses it
//   holder.unlock(243, 81);
//   holder.cycle(1000, SmbLockHolder::Kind::Exclusive, {{324, 81}})   // the refusals counted
//
// The constructor returns once every lock is held, and throws when one is refused; destruction
// ends the session, and with it every lock it still holds.

#include "smbtestserver.h"

#include <csignal>
#include <cstdint>
#include <poll.h>

namespace orvendal::testing {

class SmbLockHolder {
public:
    enum class Kind { Exclusive, Shared };
    struct Range {
        std::uint64_t start;
        std::uint64_t length;
    };
    struct Lock {
        Kind kind;
        Range range;
    };
    static Lock exclusive(std::uint64_t start, std::uint64_t length) {
        return {Kind::Exclusive, {start, length}};
    }
    static Lock shared(std::uint64_t start, std::uint64_t length) {
        return {Kind::Shared, {start, length}};
    }

    // How the holder's open shares the file with other opens.
    enum class Sharing { All, Nothing };

    // Logs in to `server`, opens `name` on its share for reading and writing, and takes `locks`.
    SmbLockHolder(const SmbTestServer& server, const std::string& name,
                  const std::vector<Lock>& locks = {}, Sharing sharing = Sharing::All) {
        std::vector<std::string> argv{"/usr/bin/python3", ORVENDAL_SMB_LOCK_HOLDER,
                                      "--port",           std::to_string(server.port()),
                                      "--user",           server.user(),
                                      "--password",       server.password(),
                                      "--share",          server.share(),
                                      "--file",           name};
        if (sharing == Sharing::Nothing) {
            argv.push_back("--share-nothing");
        }
        for (const auto& lock : locks) {
            argv.push_back("--lock");
            argv.push_back(std::string(letter(lock.kind)) + ":" + std::to_string(lock.range.start) +
                           ":" + std::to_string(lock.range.length));
        }
        start(argv);
        const std::string ready = readLine();
        if (ready.rfind("ready ", 0) != 0) {
            stop();
            throw std::runtime_error("the SMB lock holder did not take its locks on " + name +
                                     ": " + (ready.empty() ? "no answer" : ready));
        }
    }
    SmbLockHolder(const SmbLockHolder&) = delete;
    SmbLockHolder& operator=(const SmbLockHolder&) = delete;
    ~SmbLockHolder() { stop(); }

    pid_t pid() const { return pid_; }

    // Whether the server granted the lock.
    bool lock(const Lock& lock) {
        return ask(std::string("lock ") + letter(lock.kind) + " " + numbers(lock.range)) ==
               "locked";
    }
    bool unlock(std::uint64_t start, std::uint64_t length) {
        return ask("unlock " + numbers({start, length})) == "unlocked";
    }
    // `rounds` times: locks every range, then unlocks those granted. Returns how many locks and
    // unlocks the server refused.
    int cycle(int rounds, Kind kind, const std::vector<Range>& ranges) {
        std::string command = "cycle " + std::to_string(rounds) + " " + letter(kind);
        for (const auto& r : ranges) {
            command += " " + std::to_string(r.start) + ":" + std::to_string(r.length);
        }
        const std::string answer = ask(command);
        const std::string prefix = "cycled " + std::to_string(rounds) + " refusals ";
        if (answer.rfind(prefix, 0) != 0) {
            throw std::runtime_error("the SMB lock holder answered \"" + answer + "\" to cycle");
        }
        return std::stoi(answer.substr(prefix.size()));
    }

private:
    static const char* letter(Kind kind) { return kind == Kind::Exclusive ? "x" : "s"; }
    static std::string numbers(const Range& r) {
        return std::to_string(r.start) + " " + std::to_string(r.length);
    }

    void start(const std::vector<std::string>& argv) {
        int in[2], out[2];
        makePipe(in);
        makePipe(out);
        pid_ = spawn(argv, in[0], out[1], -1);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }

    std::string ask(const std::string& command) {
        const std::string line = command + "\n";
        if (::write(input_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            throw std::runtime_error("the SMB lock holder has gone");
        }
        return readLine();
    }

    std::string readLine() {
        std::string line;
        char c;
        ssize_t n;
        while ((n = ::read(output_, &c, 1)) != 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 || c == '\n') {
                break;
            }
            line += c;
        }
        return line;
    }

    // Closing its input ends it; one that does not end within 5 s is killed.
    void stop() {
        for (int* fd : {&input_, &output_}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
        if (pid_ <= 0) {
            return;
        }
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 500 && !ended; ++i) {
            ended = ::waitpid(pid_, &status, WNOHANG) != 0;
            if (!ended) {
                ::poll(nullptr, 0, 10);
            }
        }
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

} // namespace orvendal::testing
