#pragma once

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace orvendal::testing {

// The real stationctl, run in its own process: its exit status, standard output and error.
struct Outcome {
    int status = -1; // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// A running stationctl with pipes to its standard input and from its standard output.
class Stationctl {
public:
    // Starts `stationctl args...` in the folder `cwd` (the test's own when empty); `program` is
    // the executable's path, a link to it for instance.
    explicit Stationctl(const std::vector<std::string>& args, const std::string& cwd = {},
                        const std::string& program = STATIONCTL_PATH) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            // Nothing else of the test's leaks into it: a pipe end held open there would keep
            // another helper of the test waiting for its end.
            ::close_range(3, ~0U, 0);
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
                ::_exit(127);
            }
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        input_ = in[1];
        output_ = out[0];
        errors_ = err[0];
    }
    Stationctl(const Stationctl&) = delete;
    Stationctl& operator=(const Stationctl&) = delete;
    ~Stationctl() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            finish();
        }
        for (const int fd : {input_, output_, errors_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    pid_t pid() const { return pid_; }
    // Whether it has not ended yet. Asked without reaping it: finish() still collects its status.
    // (A process that has ended answers kill(pid, 0) until it is reaped.)
    bool running() const {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }

    // The next line of standard output without its newline; empty at the end of output.
    std::string readLine() {
        std::string line;
        char c;
        while (::read(output_, &c, 1) == 1) {
            result_.out += c;
            if (c == '\n') {
                return line;
            }
            line += c;
        }
        return line;
    }

    // The next line of standard output, or nothing when none ends within `limit` (what came of
    // a line is kept for the next call).
    std::optional<std::string> readLineWithin(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (true) {
            if (const auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{output_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char buffer[4096];
            const ssize_t n = ::read(output_, buffer, sizeof buffer);
            if (n <= 0) {
                return std::nullopt;
            }
            result_.out.append(buffer, static_cast<std::size_t>(n));
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }

    void closeInput() {
        ::close(input_);
        input_ = -1;
    }
    void signal(int number) { ::kill(pid_, number); }

    // Closes its input, collects all its output, and waits for it to end.
    Outcome finish() {
        if (input_ >= 0) {
            closeInput();
        }
        std::array<pollfd, 2> fds{{{output_, POLLIN, 0}, {errors_, POLLIN, 0}}};
        std::array<std::string*, 2> sinks{&result_.out, &result_.err};
        int open = 2;
        while (open > 0) {
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
                break;
            }
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].fd >= 0 && fds[i].revents != 0) {
                    char buffer[4096];
                    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                    if (n > 0) {
                        sinks[i]->append(buffer, static_cast<std::size_t>(n));
                    } else {
                        fds[i].fd = -1;
                        --open;
                    }
                }
            }
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return result_;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int errors_ = -1;
    Outcome result_;
    std::string pending_;
};

// Runs `stationctl args...` to its end with an empty standard input.
inline Outcome stationctl(const std::vector<std::string>& args, const std::string& cwd = {}) {
    return Stationctl(args, cwd).finish();
}

// `stationctl status FILE --json`, parsed; fails the test when status fails.
inline nlohmann::json statusJson(const std::string& path, const std::string& cwd = {}) {
    const Outcome run = stationctl({"status", path, "--json"}, cwd);
    if (run.status != 0) {
        throw std::runtime_error("status failed: " + run.err);
    }
    return nlohmann::json::parse(run.out);
}

// A station file of `stations` blank records made by stationctl create.
inline void createStationFile(const std::string& path, int stations) {
    const Outcome run = stationctl({"create", path, "--stations", std::to_string(stations)});
    if (run.status != 0) {
        throw std::runtime_error("create failed: " + run.err);
    }
}

// A watcher's next event, parsed; fails the test when none comes in time.
inline nlohmann::json nextEvent(Stationctl& watch,
                                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto line = watch.readLineWithin(limit);
    if (!line) {
        throw std::runtime_error("no event from watch within the limit");
    }
    return nlohmann::json::parse(*line);
}

// Holds rows locked in another process, as a connected workstation does.
struct Holding {
    Stationctl process;
    Holding(const std::string& path, const std::vector<std::string>& rows)
        : process([&] {
              std::vector<std::string> args{"connect", path};
              args.insert(args.end(), rows.begin(), rows.end());
              return args;
          }()) {
        if (process.readLine().rfind("connected", 0) != 0) {
            throw std::runtime_error("connect failed");
        }
    }
    void release() { process.finish(); }
};

// `stationctl history ARGS... --json`, parsed; fails the test when history fails.
inline nlohmann::json historyJson(const std::vector<std::string>& args) {
    std::vector<std::string> all{"history"};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back("--json");
    const Outcome run = stationctl(all);
    if (run.status != 0) {
        throw std::runtime_error("history failed: " + run.err);
    }
    return nlohmann::json::parse(run.out);
}

} // namespace orvendal::testing
