#include "error.h"
#include "smbfile.h"
#include "smburl.h"

#include <libsmbclient.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <utility>

namespace orvendal::files {
namespace {

// How long a call waits for a server that stopped answering: long enough for a slow link, short
// enough that the window is not frozen for long when the network goes.
constexpr int kTimeoutMs = 5000;

// Another session's lock on a byte of the range: Samba and Windows answer a READ with
// STATUS_FILE_LOCK_CONFLICT, which libsmbclient reports as EINVAL, or with
// STATUS_LOCK_NOT_GRANTED, reported as EACCES.
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

Error smbError(int err, const std::string& what, const SmbLocation& location) {
    return Error(err, what + ": " + location.shown());
}

Error connectionError(int err, const SmbLocation& location) {
    return smbError(err, "sin conexión con el servidor (" + std::string(std::strerror(err)) + ")",
                    location);
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
            smbc_free_context(context_, 1);
        }
    }

    SMBCCTX* context() {
        if (context_ == nullptr) {
            start();
        }
        return context_;
    }

    // Drops cached connections no open file uses, so the next call connects afresh.
    void dropDeadConnections() {
        if (context_ != nullptr) {
            smbc_getFunctionPurgeCachedServers(context_)(context_);
        }
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

    std::mutex mutex;
    std::optional<SmbCredentials> fileCredentials;
    PasswordPrompt prompt;
    // Answers of the prompt by server and user; nothing where the user declined.
    std::map<std::pair<std::string, std::string>, std::optional<std::string>> answers;
    SmbCredentials current;

private:
    SmbClient() = default;

    void start() {
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
        // Workstations write and lock the file while we read it.
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
        const auto* client = static_cast<SmbClient*>(smbc_getOptionUserData(context));
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
    }

    SMBCCTX* context_ = nullptr;
    std::map<std::string, int> ports_;
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
        const int err = smbc_getFunctionClose(context)(context, file) == 0 ? 0 : errno;
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
        std::size_t done = 0;
        while (done < buffer.size()) {
            if (smbc_getFunctionLseek(context)(context, file_, static_cast<off_t>(offset + done),
                                               SEEK_SET) < 0) {
                fail(errno);
            }
            const ssize_t n = smbc_getFunctionRead(context)(context, file_, buffer.data() + done,
                                                            buffer.size() - done);
            if (n < 0) {
                const int err = errno;
                if (isLockConflict(err) && sessionAlive(context)) {
                    return std::nullopt;
                }
                fail(err);
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

private:
    // libsmbclient reports any status it has no errno for as EINVAL, the lock conflict's own.
    // The first conflict of each open is confirmed by a query on the handle, which no lock
    // stops: a session the server has ended must never read as a list of connected stations.
    bool sessionAlive(SMBCCTX* context) {
        if (!conflictConfirmed_) {
            struct stat st {};
            if (smbc_getFunctionFstat(context)(context, file_, &st) != 0) {
                fail(errno);
            }
            conflictConfirmed_ = true;
        }
        return true;
    }

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
    bool conflictConfirmed_ = false;
    bool lost_ = false;
};

std::string serverKey(const SmbLocation& location) {
    return location.server + ":" + std::to_string(location.port);
}

// What the URL's user part, the credentials file and earlier answers of the prompt give.
SmbCredentials credentialsFor(const SmbClient& client, const SmbLocation& location) {
    SmbCredentials given{location.domain, location.user, {}};
    // A file's password is its user's: a URL that names another user does not get it.
    const auto& file = client.fileCredentials;
    if (file && (given.user.empty() || file->user.empty() || file->user == given.user)) {
        given.domain = given.domain.empty() ? file->domain : given.domain;
        given.user = given.user.empty() ? file->user : given.user;
        given.password = file->password;
    }
    if (given.password.empty()) {
        const auto answer = client.answers.find({serverKey(location), given.user});
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
        client_.current = credentialsFor(client_, location_);
        client_.usePort(location_.server, location_.port);
    }
    ~Opener() { client_.current = {}; }
    Opener(const Opener&) = delete;
    Opener& operator=(const Opener&) = delete;

    const SmbLocation& location() const { return location_; }

    std::unique_ptr<FileAccess> open() {
        SMBCFILE* file = openOnce(O_RDONLY);
        if (file == nullptr && errno == EACCES && askPassword()) {
            file = openOnce(O_RDONLY);
        }
        // A missing file is created empty as the local layer does: creating asks the server for
        // the right to add a file to the folder and writes nothing. O_EXCL: when a workstation
        // creates it first we open theirs.
        for (int round = 0; file == nullptr && errno == ENOENT && round < 3; ++round) {
            SMBCFILE* created = openOnce(O_RDONLY | O_CREAT | O_EXCL);
            if (created != nullptr) {
                smbc_getFunctionClose(context_)(context_, created);
            } else if (errno == EACCES || errno == EPERM || errno == EROFS) {
                throw creationRefused(errno);
            } else if (errno == ENOENT) {
                // Samba answers a create on a read-only share as if the folder were missing.
                throw folderExists() ? creationRefused(EACCES) : failure(ENOENT);
            } else if (errno != EEXIST) {
                throw failure(errno);
            }
            file = openOnce(O_RDONLY);
        }
        if (file == nullptr) {
            throw failure(errno);
        }
        struct stat st {};
        if (smbc_getFunctionFstat(context_)(context_, file, &st) != 0) {
            const int err = errno;
            smbc_getFunctionClose(context_)(context_, file);
            throw failure(err);
        }
        if (!S_ISREG(st.st_mode)) {
            smbc_getFunctionClose(context_)(context_, file);
            throw smbError(errc::NotRegularFile, "no es un fichero normal", location_);
        }
        return std::make_unique<SmbFile>(client_, file, static_cast<std::uint64_t>(st.st_size),
                                         location_);
    }

    void requireRegularFile() {
        struct stat st {};
        const std::string url = location_.clientUrl();
        int result = smbc_getFunctionStat(context_)(context_, url.c_str(), &st);
        if (result != 0 && isConnectionLoss(errno)) {
            client_.dropDeadConnections();
            result = smbc_getFunctionStat(context_)(context_, url.c_str(), &st);
        }
        if (result != 0) {
            throw failure(errno);
        }
        if (!S_ISREG(st.st_mode)) {
            throw smbError(errc::NotRegularFile, "no es un fichero normal", location_);
        }
    }

private:
    // A connection that died since the last call (a server restarted between two refreshes)
    // fails once while still cached; it is dropped and the open tried again on a new one.
    SMBCFILE* openOnce(int flags) {
        const std::string url = location_.clientUrl();
        SMBCFILE* file = smbc_getFunctionOpen(context_)(context_, url.c_str(), flags, 0666);
        if (file == nullptr && isConnectionLoss(errno)) {
            client_.dropDeadConnections();
            file = smbc_getFunctionOpen(context_)(context_, url.c_str(), flags, 0666);
            if (file == nullptr && isConnectionLoss(errno)) {
                const int err = errno;
                client_.dropDeadConnections();
                errno = err;
            }
        }
        return file;
    }

    // The share's root answers where the file does not: a refused log-in fails there too, and a
    // missing share is told from a missing folder.
    int shareRootError() {
        struct stat st {};
        const std::string url = location_.shareUrl() + "/";
        return smbc_getFunctionStat(context_)(context_, url.c_str(), &st) == 0 ? 0 : errno;
    }

    bool loginRefused() { return shareRootError() == EACCES; }

    bool folderExists() {
        const std::string url = location_.clientUrl();
        const std::string folder = url.substr(0, url.rfind('/') + 1);
        struct stat st {};
        return smbc_getFunctionStat(context_)(context_, folder.c_str(), &st) == 0 &&
               S_ISDIR(st.st_mode);
    }

    Error creationRefused(int err) {
        return smbError(err,
                        "el fichero no existe y el servidor no deja crearlo (hace falta permiso "
                        "de escritura en su carpeta)",
                        location_);
    }

    // Asks the front end's prompt once per server and user, with the lock let go: the prompt
    // runs an event loop. Answers whether there is a new password to try.
    bool askPassword() {
        SmbCredentials& given = client_.current;
        if (!given.password.empty() || !client_.prompt || !loginRefused()) {
            errno = EACCES;
            return false;
        }
        const char* defaultUser = smbc_getUser(context_);
        const std::string user = !given.user.empty()      ? given.user
                                 : defaultUser != nullptr ? defaultUser
                                                          : "";
        const auto key = std::pair(serverKey(location_), given.user);
        if (client_.answers.contains(key)) {
            errno = EACCES;
            return false;
        }
        const PasswordPrompt prompt = client_.prompt;
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
        client_.answers[key] = std::move(answer);
        client_.current = credentialsFor(client_, location_);
        errno = EACCES;
        return answered;
    }

    Error failure(int err) {
        if (isConnectionLoss(err)) {
            return connectionError(err, location_);
        }
        switch (err) {
        case EACCES:
        case EPERM:
            return loginRefused()
                       ? smbError(EACCES,
                                  "el servidor no acepta el usuario o la contraseña de "
                                  "la conexión",
                                  location_)
                       : smbError(EACCES, "sin permiso para abrir el fichero", location_);
        case ENOENT:
        case ENODEV:
            return shareRootError() == ENOENT
                       ? smbError(ENOENT,
                                  "el servidor no tiene el recurso compartido \"" +
                                      location_.share + "\"",
                                  location_)
                       : smbError(ENOENT, "no existe el fichero o su carpeta", location_);
        case EISDIR:
            return smbError(errc::NotRegularFile, "no es un fichero normal", location_);
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
    SmbCredentials credentials = readCredentialsFile(path);
    SmbClient& client = SmbClient::instance();
    const std::lock_guard lock(client.mutex);
    client.fileCredentials = std::move(credentials);
}

void setPasswordPrompt(PasswordPrompt prompt) {
    SmbClient& client = SmbClient::instance();
    const std::lock_guard lock(client.mutex);
    client.prompt = std::move(prompt);
    client.answers.clear();
}

std::unique_ptr<FileAccess> openSmbFile(const std::string& url) {
    return Opener(SmbClient::instance(), url).open();
}

void requireSmbRegularFile(const std::string& url) {
    Opener(SmbClient::instance(), url).requireRegularFile();
}

} // namespace orvendal::files
