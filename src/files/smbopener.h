#pragma once

#include "smbclient.h"
#include "smberrors.h"
#include "smbfileaccess.h"
#include "smbsecrets.h"

#include <fcntl.h>
#include <memory>
#include <string_view>

namespace orvendal::files::smb {

// A cached connection that fails faster than this met a server that restarted or went away,
// not one that stopped answering: worth one more try on a new connection.
constexpr auto kFastFailure = std::chrono::milliseconds(1000);
// An open this soon after a call that waited the whole time-out belongs to the same refresh, or
// to the next one: it reports the silence rather than wait for it again.
constexpr auto kSameRefresh = std::chrono::milliseconds(1000);

// A station file's first contact: one open or one query of an smb:// URL, with the client's
// lock held and the log-on's credentials chosen for it.
class SmbOpener {
public:
    SmbOpener(SmbClient& client, std::string_view url)
        : client_(client), location_(parseSmbPath(url)), lock_(client.mutex) {
        context_ = client_.context();
        client_.refreshCredentialsFile();
        client_.current = credentialsFor(client_, location_);
        client_.usePort(location_.server, location_.port);
    }
    ~SmbOpener() { client_.current = {}; }
    SmbOpener(const SmbOpener&) = delete;
    SmbOpener& operator=(const SmbOpener&) = delete;

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
        return std::make_unique<SmbFileAccess>(client_, file,
                                               static_cast<std::uint64_t>(st.st_size), location_);
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
        return smbError(errnoCode(err),
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
        if (answered) {
            keepSecretsOutOfCoreDumps();
        }
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
                       ? smbError(errnoCode(EACCES), "sin permiso para abrir el fichero", location_)
                       : loginRefusedError(location_);
        case ENOENT:
        case ENODEV:
            return client_.connectedToShare(location_)
                       ? smbError(errnoCode(ENOENT), "no existe el fichero o su carpeta", location_)
                       : smbError(errnoCode(ENOENT),
                                  "el servidor no tiene el recurso compartido \"" +
                                      location_.share + "\"",
                                  location_);
        case EISDIR:
            return smbError(errc::NotRegularFile, "no es un fichero normal", location_);
        case EBUSY:
            return smbError(errnoCode(EBUSY),
                            "otro equipo tiene el fichero abierto sin compartirlo; se volverá "
                            "a intentar en cada refresco",
                            location_);
        case EINVAL:
            if (!client_.connectedToShare(location_) && serverNameUnknown(location_.server)) {
                return smbError(errnoCode(EHOSTUNREACH),
                                "no se encuentra el servidor \"" + location_.server +
                                    "\" (su nombre no se resuelve)",
                                location_);
            }
            [[fallthrough]];
        default:
            return smbError(errnoCode(err), std::strerror(err), location_);
        }
    }

    SmbClient& client_;
    SmbLocation location_;
    std::unique_lock<std::mutex> lock_;
    SMBCCTX* context_ = nullptr;
};

} // namespace orvendal::files::smb
