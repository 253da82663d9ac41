#pragma once

// What the smb:// benchmarks share: one private Samba server for the run, a station file with
// stations connected at random places (fixed seed), their locks held by another SMB2 session, the
// latency proxy in front of the server, and a file whose reads are counted.

#include "fileaccess.h"
#include "smbfile.h"
#include "smblockholder.h"
#include "smbstation.h"

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvendal::bench {

using testing::SmbLockHolder;
using testing::SmbTestServer;

// bench/station/latency_proxy in front of a server's port: every byte waits `delayMs` each way.
class LatencyProxy {
public:
    LatencyProxy(int serverPort, double delayMs) {
        int in[2], out[2];
        testing::makePipe(in);
        testing::makePipe(out);
        pid_ = testing::spawn(
            {ORVENDAL_LATENCY_PROXY, std::to_string(serverPort), std::to_string(delayMs)}, in[0],
            out[1], -1);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
        const std::string ready = readLine();
        if (ready.rfind("port ", 0) != 0) {
            throw std::runtime_error("the latency proxy did not start");
        }
        port_ = std::stoi(ready.substr(5));
    }
    LatencyProxy(const LatencyProxy&) = delete;
    LatencyProxy& operator=(const LatencyProxy&) = delete;
    ~LatencyProxy() {
        ::close(input_);
        ::close(output_);
        ::waitpid(pid_, nullptr, 0);
    }

    int port() const { return port_; }

    // SMB2 READ requests that went through so far.
    long reads() {
        const std::string ask = "count\n";
        if (::write(input_, ask.data(), ask.size()) != static_cast<ssize_t>(ask.size())) {
            throw std::runtime_error("the latency proxy has gone");
        }
        const std::string answer = readLine();
        return std::stol(answer.substr(answer.find(' ') + 1));
    }

private:
    std::string readLine() {
        std::string line;
        char c;
        while (::read(output_, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    pid_t pid_;
    int input_;
    int output_;
    int port_ = 0;
};

// One server and one proxy for the whole run; the file and its locks change only with the
// arguments, since taking thousands of locks costs a round trip each.
struct SmbStationSetup {
    // Each way; wake-ups on this machine add about 0.1 ms a hop, so a round trip costs about 1 ms.
    static constexpr double kDelayMs = 0.4;

    static SmbStationSetup& get(std::int64_t stations, std::int64_t connectedPercent) {
        static SmbStationSetup setup;
        if (setup.stations != stations || setup.percent != connectedPercent) {
            setup.holder.reset();
            testing::writeBytes(setup.server.localFile("MARLOVEN.SIT"),
                                std::vector<unsigned char>((stations + 1) * 81, ' '));
            setup.locked.assign(static_cast<std::size_t>(stations + 1), false);
            std::fill_n(setup.locked.begin() + 1, stations * connectedPercent / 100, true);
            std::mt19937 random(20261209);
            std::shuffle(setup.locked.begin() + 1, setup.locked.end(), random);
            std::vector<SmbLockHolder::Lock> locks;
            for (std::size_t k = 0; k < setup.locked.size(); ++k) {
                if (setup.locked[k]) {
                    locks.push_back(SmbLockHolder::exclusive(k * 81, 81));
                }
            }
            if (!locks.empty()) {
                setup.holder = std::make_unique<SmbLockHolder>(setup.server, "MARLOVEN.SIT", locks);
            }
            setup.stations = stations;
            setup.percent = connectedPercent;
        }
        return setup;
    }

    std::string url(bool throughProxy) const {
        const int port = throughProxy ? proxy.port() : server.port();
        return "smb://127.0.0.1:" + std::to_string(port) + "/" + server.share() + "/MARLOVEN.SIT";
    }

    SmbTestServer server;
    testing::TempDir dir;
    LatencyProxy proxy{server.port(), kDelayMs};
    std::unique_ptr<SmbLockHolder> holder;
    std::int64_t stations = -1;
    std::int64_t percent = -1;
    // Bit k: record k + 1 is locked; the header never is.
    std::vector<bool> locked;

private:
    SmbStationSetup() {
        files::useCredentialsFile(testing::writeCredentials(dir, server, server.password()));
    }
};

// A file whose reads are counted, for benchmarks that report reads beside times.
class CountingAccess final : public files::FileAccess {
public:
    CountingAccess(std::unique_ptr<files::FileAccess> inner, long& reads)
        : FileAccess(inner->length(), inner->lockDetection()), inner_(std::move(inner)),
          reads_(reads) {}
    void close() override { inner_->close(); }
    std::optional<std::size_t> read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        ++reads_;
        return inner_->read(offset, buffer);
    }
    std::optional<files::ByteRange> findLock(std::uint64_t start, std::uint64_t length) override {
        return inner_->findLock(start, length);
    }
    void confirmLocksSeen() override { inner_->confirmLocksSeen(); }

private:
    std::unique_ptr<files::FileAccess> inner_;
    long& reads_;
};

inline files::SharedFile openCounted(const std::string& url, long& reads) {
    return files::SharedFile(std::make_unique<CountingAccess>(
        files::openFileAccess(url, files::Missing::Create), reads));
}

} // namespace orvendal::bench
