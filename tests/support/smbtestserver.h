#pragma once

// A private Samba server for one test (or one suite), started and stopped by the test itself
// through scripts/smb-test-server.sh; link orvendal_smb_test_support to use it.
//
//   if (const auto why = SmbTestServer::unavailable()) GTEST_SKIP() << *why;
//   SmbTestServer server;                         // or SmbTestServer({"posix locking = no"})
//   writeBytes(server.localFile("MARLOVEN.SIT"), ...);   // the file on the server's own disk
//   server.url("MARLOVEN.SIT")   // "smb://127.0.0.1:PORT/station/MARLOVEN.SIT"
//   server.port(), share() ("station"), user(), password(): what a client logs in with
//   server.byteRangeLocks()      // `smbstatus -B` of that server: the locks its sessions hold
//
// Each object is its own smbd on its own port, so test processes that CTest runs in parallel
// never meet. The user maps to the account nobody and works on the share as root: files the
// test writes there need no particular owner or mode.

#include "tempdir.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace orvendal::testing {

// A pipe whose ends no program the test starts inherits.
inline void makePipe(int (&ends)[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

// Starts `argv` with `in`, `out` and `err` as its standard input, output and error (-1 keeps the
// test's own) and no other descriptor: a server it starts outlives it and must hold none of the
// test's open.
inline pid_t spawn(const std::vector<std::string>& argv, int in, int out, int err) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        for (const auto& [from, to] :
             {std::pair{in, STDIN_FILENO}, {out, STDOUT_FILENO}, {err, STDERR_FILENO}}) {
            if (from >= 0) {
                ::dup2(from, to);
            }
        }
        ::close_range(3, ~0U, 0);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// Runs `argv` to its end; returns its exit status (or 128 + signal) and what it wrote to its
// standard output and error together.
inline std::pair<int, std::string> runToEnd(const std::vector<std::string>& argv) {
    int out[2];
    makePipe(out);
    const pid_t pid = spawn(argv, -1, out[1], out[1]);
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) != 0) {
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), text};
}

class SmbTestServer {
public:
    // Why no server can run here, or nothing when one can.
    static std::optional<std::string> unavailable() {
        if (::geteuid() != 0) {
            return "smbd runs as root only and these tests do not run as root";
        }
        for (const char* program : {"/usr/sbin/smbd", "/usr/bin/smbpasswd", "/usr/bin/smbclient",
                                    "/usr/bin/smbstatus", "/usr/bin/python3"}) {
            if (::access(program, X_OK) != 0) {
                return std::string(program) + " is not installed";
            }
        }
        return std::nullopt;
    }

    // Starts the server; each of `shareParameters` ("name = value") goes into the share's section.
    explicit SmbTestServer(const std::vector<std::string>& shareParameters = {}) {
        std::vector<std::string> argv{"/bin/bash", ORVENDAL_SMB_TEST_SERVER, "start", state()};
        argv.insert(argv.end(), shareParameters.begin(), shareParameters.end());
        const auto [status, output] = runToEnd(argv);
        if (status != 0) {
            stop();
            throw std::runtime_error("the SMB test server did not start: " + output);
        }
        port_ = std::stoi(value("port"));
        share_ = value("share");
        path_ = value("path");
        user_ = value("user");
        password_ = value("password");
        conf_ = value("conf");
    }
    SmbTestServer(const SmbTestServer&) = delete;
    SmbTestServer& operator=(const SmbTestServer&) = delete;
    ~SmbTestServer() { stop(); }

    int port() const { return port_; }
    const std::string& share() const { return share_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // The server's smb.conf, for smbclient -s or smbstatus -s.
    const std::string& conf() const { return conf_; }
    // The shared folder on this machine's disk.
    const std::filesystem::path& path() const { return path_; }
    std::string localFile(const std::string& name) const { return (path_ / name).string(); }
    std::string url(const std::string& name) const {
        return "smb://127.0.0.1:" + std::to_string(port_) + "/" + share_ + "/" + name;
    }

    // `smbstatus -B`: the byte-range locks the server's sessions hold, as the server lists them.
    std::string byteRangeLocks() const {
        const auto [status, output] = runToEnd({"/usr/bin/smbstatus", "-s", conf_, "-B"});
        if (status != 0) {
            throw std::runtime_error("smbstatus failed: " + output);
        }
        return output;
    }

    // Log-ons the server refused for a wrong password: smbd's auth audit (log level
    // auth_audit:3) writes one NT_STATUS_WRONG_PASSWORD line for each.
    int failedLogOns() const { return logLines("NT_STATUS_WRONG_PASSWORD"); }

    // The lines of the log of all of the server's processes that hold `text`.
    int logLines(const std::string& text) const {
        std::ifstream in(std::filesystem::path(conf_).parent_path() / "smbd.log");
        int count = 0;
        for (std::string line; std::getline(in, line);) {
            count += line.find(text) != std::string::npos;
        }
        return count;
    }

    // The main smbd process, which leads the process group of all of this server's processes.
    pid_t pid() const { return std::stoi(value("pid")); }

private:
    std::string state() const { return dir_.file("state"); }
    std::string value(const std::string& name) const {
        std::ifstream in(dir_.path() / "state" / name);
        std::string line;
        if (!std::getline(in, line)) {
            throw std::runtime_error("the SMB test server left no " + name);
        }
        return line;
    }
    void stop() { runToEnd({"/bin/bash", ORVENDAL_SMB_TEST_SERVER, "stop", state()}); }

    TempDir dir_;
    int port_ = 0;
    std::string share_;
    std::filesystem::path path_;
    std::string user_;
    std::string password_;
    std::string conf_;
};

} // namespace orvendal::testing
