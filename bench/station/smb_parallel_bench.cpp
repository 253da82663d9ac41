// Whether several reads in flight pay over a slow link: the station file read through the
// latency proxy over several SMB connections at once, each its own libsmbclient context (its own
// TCP connection, session and log-on), each taking a contiguous slice of the records.
// libsmbclient's calls are synchronous, so one context never has more than one request out, and
// contexts on threads of one process abort in Samba's talloc stack frames ("Freed frame ...,
// expected ..."): each connection lives in a process of its own here. A prototype for measuring
// only: the monitor reads over one connection.
// Arguments: station records, the share connected (%), connections. Each iteration times, in
// turns, every connection opening the file, reading its slice and closing it:
//   floor   one 81-byte read of every record;
//   steady  the lock finder over the slice, starting from the previous answer.
#include "smbbench.h"
#include "stationfile.h"

#include <benchmark/benchmark.h>
#include <libsmbclient.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace orvendal;
using Clock = std::chrono::steady_clock;

// One SMB connection of its own: a context that caches its own connection to the server.
class Connection {
public:
    Connection(std::string user, std::string password)
        : user_(std::move(user)), password_(std::move(password)) {
        context_ = smbc_new_context();
        smbc_setOptionUserData(context_, this);
        smbc_setFunctionAuthDataWithContext(context_, &Connection::authenticate);
        smbc_setOptionOpenShareMode(context_, SMBC_SHAREMODE_DENY_NONE);
        smbc_setOptionUseKerberos(context_, 0);
        smbc_setTimeout(context_, 10000);
        if (smbc_init_context(context_) == nullptr) {
            throw std::runtime_error("no SMB context");
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { smbc_free_context(context_, 1); }

    // Opens `url`, runs `work` with a reader of it, and closes it.
    template <class Work> void withFile(const std::string& url, Work work) {
        SMBCFILE* file = smbc_getFunctionOpen(context_)(context_, url.c_str(), O_RDONLY, 0);
        if (file == nullptr) {
            throw std::runtime_error("open failed");
        }
        const station::RangeReader read =
            [&](std::uint64_t offset,
                std::span<std::uint8_t> buffer) -> std::optional<std::size_t> {
            smbc_getFunctionLseek(context_)(context_, file, static_cast<off_t>(offset), SEEK_SET);
            const ssize_t n =
                smbc_getFunctionRead(context_)(context_, file, buffer.data(), buffer.size());
            if (n < 0) {
                return std::nullopt;
            }
            return static_cast<std::size_t>(n);
        };
        work(read);
        smbc_getFunctionClose(context_)(context_, file);
    }

private:
    static void authenticate(SMBCCTX* context, const char*, const char*, char*, int, char* user,
                             int userLength, char* password, int passwordLength) {
        const auto* self = static_cast<Connection*>(smbc_getOptionUserData(context));
        std::snprintf(user, static_cast<std::size_t>(userLength), "%s", self->user_.c_str());
        std::snprintf(password, static_cast<std::size_t>(passwordLength), "%s",
                      self->password_.c_str());
    }

    std::string user_;
    std::string password_;
    SMBCCTX* context_ = nullptr;
};

// One connection in a child process, which reads its slice of the records when asked: 'f' for
// one read per record, 's' for the lock finder from the previous answer. It answers with its
// reads and the locks it found, one byte a record.
class Worker {
public:
    Worker(const bench::SmbStationSetup& setup, std::uint64_t first, std::uint64_t count)
        : first_(first), count_(count) {
        int ask[2], answer[2];
        testing::makePipe(ask);
        testing::makePipe(answer);
        pid_ = ::fork();
        if (pid_ == 0) {
            // Nothing of the parent's, so that closing a worker's pipe ends that worker.
            const int askCopy = ::fcntl(ask[0], F_DUPFD, 100);
            const int answerCopy = ::fcntl(answer[1], F_DUPFD, 100);
            ::dup2(askCopy, 3);
            ::dup2(answerCopy, 4);
            ::close_range(5, ~0U, 0);
            try {
                serve(setup, 3, 4);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "worker: %s\n", e.what());
                ::_exit(1);
            }
            ::_exit(0);
        }
        ::close(ask[0]);
        ::close(answer[1]);
        ask_ = ask[1];
        answer_ = answer[0];
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() {
        ::close(ask_);
        ::close(answer_);
        ::waitpid(pid_, nullptr, 0);
    }

    void start(char what) {
        if (::write(ask_, &what, 1) != 1) {
            throw std::runtime_error("a worker has gone");
        }
    }

    // The reads of the last pass; its locks go into `found`.
    long finish(std::vector<bool>& found) {
        long reads = 0;
        std::vector<char> locks(count_);
        readAll(answer_, &reads, sizeof reads);
        readAll(answer_, locks.data(), locks.size());
        for (std::uint64_t k = 0; k < count_; ++k) {
            found[first_ + k] = locks[k] != 0;
        }
        return reads;
    }

private:
    static void readAll(int fd, void* to, std::size_t size) {
        auto* at = static_cast<char*>(to);
        while (size > 0) {
            const ssize_t n = ::read(fd, at, size);
            if (n <= 0) {
                throw std::runtime_error("a worker has gone");
            }
            at += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    void serve(const bench::SmbStationSetup& setup, int ask, int answer) {
        Connection connection(setup.server.user(), setup.server.password());
        const std::string url = setup.url(true);
        const std::vector<bool> previous(setup.locked.begin() + static_cast<long>(first_),
                                         setup.locked.begin() + static_cast<long>(first_ + count_));
        std::vector<std::uint8_t> bytes(count_ * station::kRecordLength);
        char what;
        while (::read(ask, &what, 1) == 1) {
            long reads = 0;
            std::vector<char> locks(count_, 0);
            connection.withFile(url, [&](const station::RangeReader& read) {
                const station::RangeReader counting = [&](std::uint64_t offset,
                                                          std::span<std::uint8_t> buffer) {
                    ++reads;
                    return read(offset, buffer);
                };
                if (what == 'f') {
                    for (std::uint64_t k = 0; k < count_; ++k) {
                        const std::uint64_t offset = (first_ + k) * station::kRecordLength;
                        locks[k] =
                            !counting(offset, std::span(bytes).first(station::kRecordLength));
                    }
                } else {
                    std::vector<bool> locked;
                    station::readRecordsFindingLocks(counting, first_ + 1, count_, bytes, locked,
                                                     &previous);
                    std::copy(locked.begin(), locked.end(), locks.begin());
                }
            });
            // A worker that cannot answer ends: its parent then reads "a worker has gone".
            if (::write(answer, &reads, sizeof reads) != static_cast<ssize_t>(sizeof reads) ||
                ::write(answer, locks.data(), locks.size()) != static_cast<ssize_t>(locks.size())) {
                ::_exit(1);
            }
        }
    }

    std::uint64_t first_;
    std::uint64_t count_;
    pid_t pid_ = -1;
    int ask_ = -1;
    int answer_ = -1;
};

// Every worker reads its slice at once; returns the reads of all.
long pass(std::vector<std::unique_ptr<Worker>>& workers, char what, std::vector<bool>& found) {
    for (auto& worker : workers) {
        worker->start(what);
    }
    long reads = 0;
    for (auto& worker : workers) {
        reads += worker->finish(found);
    }
    return reads;
}

void smbParallel(benchmark::State& state) {
    if (const auto why = bench::SmbTestServer::unavailable()) {
        state.SkipWithError(why->c_str());
        return;
    }
    const bench::SmbStationSetup& setup =
        bench::SmbStationSetup::get(state.range(0), state.range(1));
    const std::uint64_t records = setup.locked.size();
    const auto connections = static_cast<std::uint64_t>(state.range(2));
    const std::uint64_t share = (records + connections - 1) / connections;
    std::vector<std::unique_ptr<Worker>> workers;
    for (std::uint64_t first = 0; first < records; first += share) {
        workers.push_back(std::make_unique<Worker>(setup, first, std::min(share, records - first)));
    }
    std::vector<bool> floorFound(records), steadyFound(records);
    // The first pass logs on; a monitor would keep its connections between refreshes.
    pass(workers, 'f', floorFound);

    Clock::duration floorTime{}, steadyTime{};
    long floorReads = 0, steadyReads = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        floorReads = pass(workers, 'f', floorFound);
        const auto t1 = Clock::now();
        steadyReads = pass(workers, 's', steadyFound);
        const auto t2 = Clock::now();
        floorTime += t1 - t0;
        steadyTime += t2 - t1;
    }
    workers.clear();
    if (floorFound != setup.locked || steadyFound != setup.locked) {
        state.SkipWithError("the slices did not find the locked records exactly");
        return;
    }
    const auto average = [](Clock::duration d) {
        return benchmark::Counter(std::chrono::duration<double, std::milli>(d).count(),
                                  benchmark::Counter::kAvgIterations);
    };
    state.counters["floor_ms"] = average(floorTime);
    state.counters["steady_ms"] = average(steadyTime);
    state.counters["floor_reads"] = static_cast<double>(floorReads);
    state.counters["steady_reads"] = static_cast<double>(steadyReads);
}

} // namespace

BENCHMARK(smbParallel)
    ->ArgsProduct({{1000, 10000}, {10, 50}, {1, 2, 4, 8}})
    ->ArgNames({"stations", "connected", "connections"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(1);
BENCHMARK_MAIN();
