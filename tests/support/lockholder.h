#pragma once

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace orvendal::testing {

// Locks held by another process, as a workstation holds them: the monitor must see locks of
// other processes, so the tests never take them in their own.
class LockHolder {
public:
    enum class Kind { ClassicWrite, ClassicRead, OfdWrite, OfdRead, Flock };
    struct Range {
        std::uint64_t start;
        std::uint64_t length;
    };

    // Forks a child that opens `path` read-write, takes every lock, and holds them until destroyed.
    LockHolder(const std::string& path, const std::vector<Range>& ranges,
               Kind kind = Kind::ClassicWrite)
        : LockHolder([&] { return holdLocks(path, ranges, kind); }) {}

    // Forks a child that runs `take`, which answers whether it took every lock it meant to, and
    // holds what it took until destroyed.
    explicit LockHolder(const std::function<bool()>& take) {
        // Close-on-exec: a program the test starts later must not hold these ends open.
        int ready[2];
        int release[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            // Only its own two ends: one inherited from another holder would keep that holder
            // from seeing its release while this one lives.
            const auto [low, high] = std::minmax(ready[1], release[0]);
            ::close_range(3, static_cast<unsigned>(low) - 1, 0);
            ::close_range(static_cast<unsigned>(low) + 1, static_cast<unsigned>(high) - 1, 0);
            ::close_range(static_cast<unsigned>(high) + 1, ~0U, 0);
            const char status = take() ? 'y' : 'n';
            (void)!::write(ready[1], &status, 1);
            char byte;
            while (::read(release[0], &byte, 1) < 0 && errno == EINTR) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char status = 'n';
        const bool answered = ::read(ready[0], &status, 1) == 1;
        ::close(ready[0]);
        if (!answered || status != 'y') {
            stop();
            throw std::runtime_error("the lock holder could not take its locks");
        }
    }

    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    ~LockHolder() { stop(); }

    void stop() {
        if (release_ >= 0) {
            ::close(release_);
            release_ = -1;
        }
        if (pid_ > 0) {
            int status;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

private:
    static bool holdLocks(const std::string& path, const std::vector<Range>& ranges, Kind kind) {
        const int fd = ::open(path.c_str(), O_RDWR);
        if (fd < 0) {
            return false;
        }
        for (const auto& r : ranges) {
            if (kind == Kind::Flock) {
                if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                    return false;
                }
                continue;
            }
            struct flock fl {};
            fl.l_type = kind == Kind::ClassicRead || kind == Kind::OfdRead ? F_RDLCK : F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_start = static_cast<off_t>(r.start);
            fl.l_len = static_cast<off_t>(r.length);
            const bool ofd = kind == Kind::OfdWrite || kind == Kind::OfdRead;
            if (::fcntl(fd, ofd ? F_OFD_SETLK : F_SETLK, &fl) != 0) {
                return false;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int release_ = -1;
};

} // namespace orvendal::testing
