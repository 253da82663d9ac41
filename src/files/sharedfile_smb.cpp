#include "error.h"
#include "smbfile.h"
#include "smburl.h"

#include <libsmbclient.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <utility>

namespace orvendal::files {
namespace {

using Clock = std::chrono::steady_clock;

// How long a call waits for a server that stopped answering: long enough for a slow link, short
// enough that the window is not frozen for long when the network goes.
constexpr int kTimeoutMs = 5000;
constexpr auto kTimeout = std::chrono::milliseconds(kTimeoutMs);
// A cached connection that fails faster than this met a server that restarted or went away,
// not one that stopped answering: worth one more try on a new connection.
constexpr auto kFastFailure = std::chrono::milliseconds(1000);
// An open this soon after a call that waited the whole time-out belongs to the same refresh, or
// to the next one: it reports the silence rather than wait for it again.
constexpr auto kSameRefresh = std::chrono::milliseconds(1000);

// Another session's lock on a byte of the range: Samba and Windows answer a READ with
// STATUS_FILE_LOCK_CONFLICT, which libsmbclient reports as EINVAL, or with
// STATUS_LOCK_NOT_GRANTED, reported as EACCES. A tree connection the server has closed also
// gives EINVAL: confirmLocksSeen() tells the two apart.
bool isLockConflict(int err) {
    return err == EINVAL || err == EACCES;
}

// The server or the way to it is gone; libsmbclient keeps a dead connection cached until told.
bool isConnectionLoss(int err) {
    switch (err) {
    case ECONNRESET:
    case ECONNABORTED:
    case ECONNREFUSED:
    case ETIMEDOUT:
    case EPIPE:
    case ENOTCONN:
    case EIO:
    case EHOSTUNREACH:
    case EHOSTDOWN:
    case ENETUNREACH:
    case ENETDOWN:
    case ENETRESET:
        return true;
    default:
        return false;
    }
}

// libsmbclient answers EACCES both for a refused log-on and for a refused file (measured
// against Samba 4.17, with and without the anonymous fallback).
bool isRefusal(int err) {
    return err == EACCES || err == EPERM;
}

Error smbError(int err, const std::string& what, const SmbLocation& location) {
    return Error(err, what + ": " + location.shown());
}

Error connectionError(int err, const SmbLocation& location) {
    if (err == ETIMEDOUT) {
        return smbError(ETIMEDOUT,
                        "el servidor no contesta (sin respuesta en " +
                            std::to_string(kTimeoutMs / 1000) + " s)",
                        location);
    }
    return smbError(err, "sin conexión con el servidor (" + std::string(std::strerror(err)) + ")",
                    location);
}

Error loginRefusedError(const SmbLocation& location) {
    return smbError(EACCES,
                    "el servidor no acepta el usuario o la contraseña de la conexión (no se "
                    "volverán a enviar hasta que cambien)",
                    location);
}

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string lowered(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// A name that does not resolve: libsmbclient says EINVAL, as for much else.
bool serverNameUnknown(const std::string& server) {
    const int err = errno;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(server.c_str(), nullptr, &hints, &found);
    if (found != nullptr) {
        ::freeaddrinfo(found);
    }
    errno = err;
    return result == EAI_NONAME || result == EAI_FAIL || result == EAI_NODATA;
}

std::string serverKey(const SmbLocation& location) {
    return lowered(location.server) + ":" + std::to_string(location.port);
}

// Shuts down this process's TCP connections to the server: its address where the URL gives
// one, and the SMB port (445 or 139 by default). libsmbclient keeps its sockets to itself, and
// a request on a shut socket fails at once instead of waiting out its time-out.
void shutDownConnections(const std::string& server, int port) {
    in6_addr wanted6{};
    in_addr wanted4{};
    const bool is4 = ::inet_pton(AF_INET, server.c_str(), &wanted4) == 1;
    const bool is6 = !is4 && ::inet_pton(AF_INET6, server.c_str(), &wanted6) == 1;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == ::dirfd(dir)) {
            continue;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
            continue;
        }
        int peerPort = 0;
        bool sameAddress = !is4 && !is6;
        if (peer.ss_family == AF_INET) {
            const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
            peerPort = ntohs(in.sin_port);
            sameAddress = sameAddress || (is4 && in.sin_addr.s_addr == wanted4.s_addr);
        } else if (peer.ss_family == AF_INET6) {
            const auto& in = reinterpret_cast<const sockaddr_in6&>(peer);
            peerPort = ntohs(in.sin6_port);
            sameAddress =
                sameAddress || (is6 && std::memcmp(&in.sin6_addr, &wanted6, sizeof wanted6) == 0);
        } else {
            continue;
        }
        const bool samePort = port != 0 ? peerPort == port : peerPort == 445 || peerPort == 139;
        if (samePort && sameAddress) {
            ::shutdown(static_cast<int>(fd), SHUT_RDWR);
        }
    }
    ::closedir(dir);
}

// libsmbclient's time-out applies to each request, and one call can make several: a close sends
// CLOSE and then TREE_DISCONNECT, an open on a cached connection may send ECHO and then NEGPROT
// on a new one. A call still running at its deadline has its connections shut down, so whatever
// it still sends fails at once: no call waits more than one time-out.
class Watchdog {
public:
    Watchdog() = default;
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void arm(const SmbLocation& location) {
        const std::lock_guard lock(mutex_);
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { run(); });
        }
        deadline_ = Clock::now() + kTimeout;
        server_ = location.server;
        port_ = location.port;
        fired_ = false;
        // Calls come a few thousand a refresh: the thread is woken only when it would otherwise
        // sleep past this deadline. Waking early, it finds the later deadline and sleeps again.
        if (!sleepsUntil_ || *sleepsUntil_ > *deadline_) {
            wake_.notify_one();
        }
    }

    // Whether the deadline cut the call short.
    bool disarm() {
        const std::lock_guard lock(mutex_);
        deadline_.reset();
        return std::exchange(fired_, false);
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (!deadline_) {
                sleepsUntil_.reset();
                wake_.wait(lock);
            } else if (Clock::now() < *deadline_) {
                sleepsUntil_ = deadline_;
                wake_.wait_until(lock, *sleepsUntil_);
            } else {
                deadline_.reset();
                fired_ = true;
                shutDownConnections(server_, port_);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<Clock::time_point> deadline_;
    // When the thread wakes next by itself; nothing while it waits for a call.
    std::optional<Clock::time_point> sleepsUntil_;
    std::string server_;
    int port_ = 0;
    bool fired_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// What a log-on sent, and the share it was for (a share may refuse a user the server accepts):
// refused ones are remembered so that they are not sent again.
using LoginKey = std::tuple<std::string, std::string, std::string, std::string, std::string>;

LoginKey loginKey(const SmbLocation& location, const SmbCredentials& credentials) {
    return {serverKey(location), lowered(location.share), lowered(credentials.domain),
            lowered(credentials.user), credentials.password};
}

// What tells a credentials file changed since it was read, without reading it.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileStamp{st.st_dev, st.st_ino, st.st_size,
                     st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec,
                     st.st_ctim.tv_sec * 1'000'000'000LL + st.st_ctim.tv_nsec};
}

// The process's one SMB client. libsmbclient's context is not safe to share between threads, so
// every call goes through `mutex`; the auth callback runs inside those calls and reads `current`.
class SmbClient {
public:
    static SmbClient& instance() {
        static SmbClient client;
        return client;
    }

    SmbClient(const SmbClient&) = delete;
    SmbClient& operator=(const SmbClient&) = delete;
    ~SmbClient() {
        if (context_ != nullptr) {
            // Freeing closes every file and connection with requests, which a silent server
            // would make wait; at exit the server does the same when the connections end.
            for (const auto& [server, port] : ports_) {
                shutDownConnections(server, port);
            }
            smbc_free_context(context_, 1);
        }
    }

    SMBCCTX* context() {
        if (context_ == nullptr) {
            start();
        }
        return context_;
    }

    // Runs one libsmbclient call within the time-out; errno is ETIMEDOUT when the time ran out.
    // After a time-out the server's connections are shut down, so that nothing waits on them
    // again.
    template <typename Call> auto bounded(const SmbLocation& location, Call call) {
        watchdog_.arm(location);
        auto result = call();
        int err = errno;
        if (watchdog_.disarm()) {
            err = ETIMEDOUT;
        } else if (err == ETIMEDOUT) {
            shutDownConnections(location.server, location.port);
        }
        if (err == ETIMEDOUT) {
            timedOutAt[serverKey(location)] = Clock::now();
        }
        errno = err;
        return result;
    }

    // Drops cached connections no open file uses, so the next call connects afresh.
    void dropDeadConnections() {
        if (context_ != nullptr) {
            smbc_getFunctionPurgeCachedServers(context_)(context_);
        }
    }

    // Whether a tree connection to the location's share is cached: after a refused open it tells
    // a refused file (logged on and connected) from a refused log-on, with no request.
    bool connectedToShare(const SmbLocation& location) {
        return context_ != nullptr && smbc_getFunctionGetCachedServer(context_)(
                                          context_, location.server.c_str(), location.share.c_str(),
                                          usedWorkgroup_.c_str(), usedUser_.c_str()) != nullptr;
    }

    // libsmbclient finds a cached connection by server name alone, whatever its port: a
    // connection to another port of the same server is dropped before it could be taken.
    void usePort(const std::string& server, int port) {
        const auto [known, added] = ports_.try_emplace(server, port);
        if (!added && known->second != port) {
            dropDeadConnections();
            known->second = port;
        }
    }

    // A front end registers its prompt, or takes it away while closing: never waiting for a call
    // on a silent server, so under a lock of its own. Answers and offers made through an earlier
    // prompt are forgotten at the next open.
    void setPrompt(PasswordPrompt prompt) {
        const std::lock_guard lock(promptMutex_);
        prompt_ = std::move(prompt);
        ++promptGeneration_;
    }

    // The prompt to offer, or none; called with `mutex` held.
    PasswordPrompt prompt() {
        const std::lock_guard lock(promptMutex_);
        if (promptGeneration_ != promptSeen_) {
            promptSeen_ = promptGeneration_;
            answers.clear();
            for (auto& [refusal, offered] : refusals) {
                offered = false;
            }
        }
        return prompt_;
    }

    // Reads the credentials file again when it changed since it was last read.
    void refreshCredentialsFile() {
        if (!credentialsPath_) {
            return;
        }
        const auto stamp = stampOf(*credentialsPath_);
        if (!stamp || stamp != credentialsStamp_) {
            fileCredentials = readCredentialsFile(*credentialsPath_);
            credentialsStamp_ = stamp;
        }
    }

    void useCredentialsFile(const std::string& path) {
        const auto stamp = stampOf(path);
        fileCredentials = readCredentialsFile(path);
        credentialsPath_ = path;
        credentialsStamp_ = stamp;
    }

    std::mutex mutex;
    std::optional<SmbCredentials> fileCredentials;
    // Answers of the prompt by server and user; nothing where the user declined.
    std::map<std::pair<std::string, std::string>, std::optional<std::string>> answers;
    // Log-ons the server refused, and whether the prompt has been offered for each since.
    std::map<LoginKey, bool> refusals;
    SmbCredentials current;
    // The last call that waited out the time-out, by server.
    std::map<std::string, Clock::time_point> timedOutAt;

private:
    SmbClient() = default;

    void start() {
        // A connection the server broke, or one the watchdog shut, must come back from a write as
        // EPIPE, an outage, not end the whole program with SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
        SMBCCTX* context = smbc_new_context();
        if (context == nullptr) {
            throw Error(errno, "no se puede crear el cliente SMB");
        }
        smbc_setOptionUserData(context, this);
        smbc_setFunctionAuthDataWithContext(context, &SmbClient::authenticate);
        // A Kerberos ticket of the user's is used where there is one; otherwise the user and the
        // password from the URL, the credentials file or the prompt.
        smbc_setOptionUseKerberos(context, 1);
        smbc_setOptionFallbackAfterKerberos(context, 1);
        // A refused password must be told, not replaced by an anonymous session that may read the
        // file as a guest or fail later as a refused share.
        smbc_setOptionNoAutoAnonymousLogin(context, 1);
        // Workstations write and lock the file while we read it. libsmbclient has no mode that
        // shares delete too: while the file is open here, a rename or delete of it is refused.
        smbc_setOptionOpenShareMode(context, SMBC_SHAREMODE_DENY_NONE);
        smbc_setTimeout(context, kTimeoutMs);
        if (smbc_init_context(context) == nullptr) {
            const int err = errno;
            smbc_free_context(context, 0);
            throw Error(err, "no se puede iniciar el cliente SMB");
        }
        context_ = context;
    }

    static void authenticate(SMBCCTX* context, const char*, const char*, char* workgroup,
                             int workgroupLength, char* user, int userLength, char* password,
                             int passwordLength) {
        auto* client = static_cast<SmbClient*>(smbc_getOptionUserData(context));
        const SmbCredentials& given = client->current;
        if (!given.domain.empty()) {
            std::snprintf(workgroup, static_cast<std::size_t>(workgroupLength), "%s",
                          given.domain.c_str());
        }
        if (!given.user.empty()) {
            std::snprintf(user, static_cast<std::size_t>(userLength), "%s", given.user.c_str());
        }
        std::snprintf(password, static_cast<std::size_t>(passwordLength), "%s",
                      given.password.c_str());
        // The names libsmbclient caches the connection under.
        client->usedWorkgroup_ = workgroup;
        client->usedUser_ = user;
    }

    // Destroyed after the context, whose freeing may still send requests.
    Watchdog watchdog_;
    SMBCCTX* context_ = nullptr;
    std::map<std::string, int> ports_;
    std::string usedWorkgroup_;
    std::string usedUser_;
    std::optional<std::string> credentialsPath_;
    std::optional<FileStamp> credentialsStamp_;
    std::mutex promptMutex_;
    PasswordPrompt prompt_;
    unsigned promptGeneration_ = 0;
    unsigned promptSeen_ = 0;
};

// A station file on an SMB server. Locks there are mandatory for reads: a record of which another
// session locks any byte exclusively cannot be read, and that failure is the only way to see the
// lock without taking it. A shared lock stops writes only, on Windows too, so it does not show.
class SmbFile final : public FileAccess {
public:
    SmbFile(SmbClient& client, SMBCFILE* file, std::uint64_t length, SmbLocation location)
        : FileAccess(length, LockDetection::ReadFailure), client_(client), file_(file),
          location_(std::move(location)) {}
    ~SmbFile() override {
        try {
            close();
        } catch (...) {
        }
    }

    void close() override {
        const std::lock_guard lock(client_.mutex);
        SMBCFILE* file = std::exchange(file_, nullptr);
        if (file == nullptr) {
            return;
        }
        SMBCCTX* context = client_.context();
        // A handle on a connection known dead is dropped with it: its connection is shut down
        // first, so the close sends nothing and cannot wait.
        if (lost_) {
            shutDownConnections(location_.server, location_.port);
        }
        const auto close = smbc_getFunctionClose(context);
        const int err =
            client_.bounded(location_, [&] { return close(context, file); }) == 0 ? 0 : errno;
        // A handle on a lost connection is gone with it, on the server too: nothing to report,
        // and the next open tells the outage.
        if (lost_ || isConnectionLoss(err)) {
            client_.dropDeadConnections();
        } else if (err != 0) {
            throw smbError(err, std::strerror(err), location_);
        }
    }

    std::optional<std::size_t> read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        const std::lock_guard lock(client_.mutex);
        SMBCCTX* context = client_.context();
        if (file_ == nullptr) {
            throw Error(EBADF, "el fichero no está abierto: " + location_.shown());
        }
        const auto seek = smbc_getFunctionLseek(context);
        const auto readAt = smbc_getFunctionRead(context);
        std::size_t done = 0;
        while (done < buffer.size()) {
            if (seek(context, file_, static_cast<off_t>(offset + done), SEEK_SET) < 0) {
                fail(errno);
            }
            const ssize_t n = client_.bounded(location_, [&] {
                return readAt(context, file_, buffer.data() + done, buffer.size() - done);
            });
            if (n < 0) {
                if (isLockConflict(errno)) {
                    return std::nullopt;
                }
                fail(errno);
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    std::optional<ByteRange> findLock(std::uint64_t, std::uint64_t) override {
        throw Error(ENOTSUP, "un fichero servido por SMB no admite consultas de bloqueos: " +
                                 location_.shown());
    }

    // libsmbclient reports any status it has no errno for as EINVAL, the lock conflict's own,
    // and so does a read on a tree connection the server has closed. A query on the handle, which
    // no lock stops, tells them apart: a session the server has ended must never read as a list
    // of connected stations.
    void confirmLocksSeen() override {
        const std::lock_guard lock(client_.mutex);
        SMBCCTX* context = client_.context();
        if (file_ == nullptr) {
            throw Error(EBADF, "el fichero no está abierto: " + location_.shown());
        }
        const auto fstat = smbc_getFunctionFstat(context);
        struct stat st {};
        if (client_.bounded(location_, [&] { return fstat(context, file_, &st); }) != 0) {
            const int err = errno;
            lost_ = true;
            if (isConnectionLoss(err)) {
                throw connectionError(err, location_);
            }
            throw smbError(err,
                           "sin conexión con el fichero: el servidor ha cerrado la conexión al "
                           "recurso compartido",
                           location_);
        }
    }

private:
    [[noreturn]] void fail(int err) {
        if (isConnectionLoss(err)) {
            lost_ = true;
            throw connectionError(err, location_);
        }
        throw smbError(err, std::strerror(err), location_);
    }

    SmbClient& client_;
    SMBCFILE* file_;
    SmbLocation location_;
    bool lost_ = false;
};

// What the URL's user part, the credentials file and earlier answers of the prompt give.
SmbCredentials credentialsFor(const SmbClient& client, const SmbLocation& location) {
    SmbCredentials given{location.domain, location.user, {}};
    // A file's password is its user's: a URL that names another user does not get it. User
    // names are compared as Windows does, ignoring case.
    const auto& file = client.fileCredentials;
    if (file &&
        (given.user.empty() || file->user.empty() || equalIgnoringCase(file->user, given.user))) {
        given.domain = given.domain.empty() ? file->domain : given.domain;
        given.user = given.user.empty() ? file->user : given.user;
        given.password = file->password;
    }
    if (given.password.empty()) {
        const auto answer = client.answers.find({serverKey(location), lowered(given.user)});
        if (answer != client.answers.end() && answer->second) {
            given.password = *answer->second;
        }
    }
    return given;
}

class Opener {
public:
    Opener(SmbClient& client, std::string_view url)
        : client_(client), location_(parseSmbPath(url)), lock_(client.mutex) {
        context_ = client_.context();
        client_.refreshCredentialsFile();
        client_.current = credentialsFor(client_, location_);
        client_.usePort(location_.server, location_.port);
    }
    ~Opener() { client_.current = {}; }
    Opener(const Opener&) = delete;
    Opener& operator=(const Opener&) = delete;

    std::unique_ptr<FileAccess> open() {
        requireNotJustSilent();
        SMBCFILE* file = logOnAndOpen(O_RDONLY);
        // A missing file is created empty as the local layer does: creating asks the server for
        // the right to add a file to the folder and writes nothing. O_EXCL: when a workstation
        // creates it first we open theirs.
        for (int round = 0; file == nullptr && errno == ENOENT && round < 3; ++round) {
            if (!client_.connectedToShare(location_)) {
                throw failure(ENOENT);
            }
            SMBCFILE* created = logOnAndOpen(O_RDONLY | O_CREAT | O_EXCL);
            if (created != nullptr) {
                closeQuietly(created);
            } else if (isRefusal(errno) || errno == EROFS) {
                throw creationRefused(errno);
            } else if (errno == ENOENT) {
                // Samba answers a create on a read-only share as if the folder were missing.
                throw folderExists() ? creationRefused(EACCES) : failure(ENOENT);
            } else if (errno != EEXIST) {
                throw failure(errno);
            }
            file = logOnAndOpen(O_RDONLY);
        }
        if (file == nullptr) {
            throw failure(errno);
        }
        struct stat st {};
        const auto fstat = smbc_getFunctionFstat(context_);
        if (client_.bounded(location_, [&] { return fstat(context_, file, &st); }) != 0) {
            const int err = errno;
            closeQuietly(file);
            throw failure(err);
        }
        if (!S_ISREG(st.st_mode)) {
            closeQuietly(file);
            throw smbError(errc::NotRegularFile, "no es un fichero normal", location_);
        }
        return std::make_unique<SmbFile>(client_, file, static_cast<std::uint64_t>(st.st_size),
                                         location_);
    }

    void requireRegularFile() {
        requireNotJustSilent();
        struct stat st {};
        const std::string url = location_.clientUrl();
        const auto stat = smbc_getFunctionStat(context_);
        if (!loggedOn([&] { return stat(context_, url.c_str(), &st) == 0; })) {
            throw failure(errno);
        }
        if (!S_ISREG(st.st_mode)) {
            throw smbError(errc::NotRegularFile, "no es un fichero normal", location_);
        }
    }

private:
    void requireNotJustSilent() {
        const auto silent = client_.timedOutAt.find(serverKey(location_));
        if (silent == client_.timedOutAt.end()) {
            return;
        }
        const bool sameRefresh = Clock::now() - silent->second < kSameRefresh;
        client_.timedOutAt.erase(silent);
        if (sameRefresh) {
            throw connectionError(ETIMEDOUT, location_);
        }
    }

    bool refused() const { return client_.refusals.contains(loginKey(location_, client_.current)); }

    // Whether a call that failed with `err` was refused at the log-on, which leaves no
    // connection to the share behind (a refused file leaves one). Without a password
    // libsmbclient sends no log-on at all and says EINVAL (measured, Samba 4.17).
    bool refusedLogOn(int err) {
        if (client_.connectedToShare(location_)) {
            errno = err;
            return false;
        }
        const bool noPassword = client_.current.password.empty() && err == EINVAL &&
                                !serverNameUnknown(location_.server);
        if (!isRefusal(err) && !noPassword) {
            errno = err;
            return false;
        }
        client_.refusals.try_emplace(loginKey(location_, client_.current), false);
        return true;
    }

    // Runs `call` with the credentials at hand, never sending a user and password the server
    // has refused before; asks for a password at most once per refusal and once per call.
    template <typename Call> bool loggedOn(Call call) {
        for (bool asked = false;;) {
            if (refused()) {
                if (asked || !askPassword()) {
                    throw loginRefusedError(location_);
                }
                asked = true;
                continue;
            }
            if (retriedOnce(call)) {
                return true;
            }
            if (!refusedLogOn(errno)) {
                return false;
            }
        }
    }

    SMBCFILE* logOnAndOpen(int flags) {
        const std::string url = location_.clientUrl();
        const auto open = smbc_getFunctionOpen(context_);
        SMBCFILE* file = nullptr;
        loggedOn([&] {
            file = open(context_, url.c_str(), flags, 0666);
            return file != nullptr;
        });
        return file;
    }

    // A connection that died since the last call (a server restarted between two refreshes)
    // fails at once while still cached; it is dropped and the call tried again on a new one.
    // A call that waited out the time-out is not tried again: that would double the wait.
    template <typename Call> bool retriedOnce(Call call) {
        const auto started = Clock::now();
        if (client_.bounded(location_, call)) {
            return true;
        }
        int err = errno;
        if (!isConnectionLoss(err)) {
            return false;
        }
        client_.dropDeadConnections();
        if (err != ETIMEDOUT && Clock::now() - started < kFastFailure) {
            if (client_.bounded(location_, call)) {
                return true;
            }
            err = errno;
            if (isConnectionLoss(err)) {
                client_.dropDeadConnections();
            }
        }
        errno = err;
        return false;
    }

    void closeQuietly(SMBCFILE* file) {
        const int err = errno;
        const auto close = smbc_getFunctionClose(context_);
        client_.bounded(location_, [&] { return close(context_, file); });
        errno = err;
    }

    bool folderExists() {
        const std::string url = location_.clientUrl();
        const std::string folder = url.substr(0, url.rfind('/') + 1);
        struct stat st {};
        const auto stat = smbc_getFunctionStat(context_);
        return client_.bounded(location_, [&] { return stat(context_, folder.c_str(), &st); }) ==
                   0 &&
               S_ISDIR(st.st_mode);
    }

    Error creationRefused(int err) {
        return smbError(err,
                        "el fichero no existe y el servidor no deja crearlo (hace falta permiso "
                        "de escritura en su carpeta)",
                        location_);
    }

    // Offers the front end's prompt once for the refusal of the credentials at hand, with the
    // lock let go: the prompt waits for the user, and other threads must not wait with it.
    // Answers whether there are new credentials to try.
    bool askPassword() {
        const LoginKey refusal = loginKey(location_, client_.current);
        const PasswordPrompt prompt = client_.prompt();
        auto offered = client_.refusals.find(refusal);
        if (!prompt || offered == client_.refusals.end() || offered->second) {
            return false;
        }
        offered->second = true;
        const char* defaultUser = smbc_getUser(context_);
        const std::string given = client_.current.user;
        const std::string user = !given.empty() ? given : defaultUser != nullptr ? defaultUser : "";
        lock_.unlock();
        std::optional<std::string> answer;
        try {
            answer = prompt(location_.shown(), user);
        } catch (...) {
            lock_.lock();
            throw;
        }
        lock_.lock();
        const bool answered = answer && !answer->empty();
        client_.answers[{serverKey(location_), lowered(given)}] = std::move(answer);
        client_.refreshCredentialsFile();
        client_.current = credentialsFor(client_, location_);
        return answered;
    }

    Error failure(int err) {
        if (isConnectionLoss(err)) {
            return connectionError(err, location_);
        }
        switch (err) {
        case EACCES:
        case EPERM:
            return client_.connectedToShare(location_)
                       ? smbError(EACCES, "sin permiso para abrir el fichero", location_)
                       : loginRefusedError(location_);
        case ENOENT:
        case ENODEV:
            return client_.connectedToShare(location_)
                       ? smbError(ENOENT, "no existe el fichero o su carpeta", location_)
                       : smbError(ENOENT,
                                  "el servidor no tiene el recurso compartido \"" +
                                      location_.share + "\"",
                                  location_);
        case EISDIR:
            return smbError(errc::NotRegularFile, "no es un fichero normal", location_);
        case EBUSY:
            return smbError(EBUSY,
                            "otro equipo tiene el fichero abierto sin compartirlo; se volverá "
                            "a intentar en cada refresco",
                            location_);
        case EINVAL:
            if (!client_.connectedToShare(location_) && serverNameUnknown(location_.server)) {
                return smbError(EHOSTUNREACH,
                                "no se encuentra el servidor \"" + location_.server +
                                    "\" (su nombre no se resuelve)",
                                location_);
            }
            [[fallthrough]];
        default:
            return smbError(err, std::strerror(err), location_);
        }
    }

    SmbClient& client_;
    SmbLocation location_;
    std::unique_lock<std::mutex> lock_;
    SMBCCTX* context_ = nullptr;
};

} // namespace

void useCredentialsFile(const std::string& path) {
    SmbClient& client = SmbClient::instance();
    const std::lock_guard lock(client.mutex);
    client.useCredentialsFile(path);
}

void setPasswordPrompt(PasswordPrompt prompt) {
    SmbClient::instance().setPrompt(std::move(prompt));
}

std::unique_ptr<FileAccess> openSmbFile(const std::string& url) {
    return Opener(SmbClient::instance(), url).open();
}

void requireSmbRegularFile(const std::string& url) {
    Opener(SmbClient::instance(), url).requireRegularFile();
}

} // namespace orvendal::files
