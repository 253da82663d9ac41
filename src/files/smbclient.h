#pragma once

#include "smbfile.h"
#include "smbwatchdog.h"

#include <libsmbclient.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <utility>

namespace orvendal::files::smb {

// What a log-on sent, and the share it was for (a share may refuse a user the server accepts):
// refused ones are remembered so that they are not sent again.
using LoginKey = std::tuple<std::string, std::string, std::string, std::string, std::string>;

LoginKey loginKey(const SmbLocation& location, const SmbCredentials& credentials);

// What tells a credentials file changed since it was read, without reading it.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> stampOf(const std::string& path);

// The process's one SMB client. libsmbclient's context is not safe to share between threads, so
// every call goes through `mutex`; the auth callback runs inside those calls and reads `current`.
class SmbClient {
public:
    static SmbClient& instance();

    SmbClient(const SmbClient&) = delete;
    SmbClient& operator=(const SmbClient&) = delete;
    ~SmbClient();

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

    void start();

    static void authenticate(SMBCCTX* context, const char* server, const char* share,
                             char* workgroup, int workgroupLength, char* user, int userLength,
                             char* password, int passwordLength);

    // Destroyed after the context, whose freeing may still send requests.
    SmbWatchdog watchdog_;
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

// What the URL's user part, the credentials file and earlier answers of the prompt give.
SmbCredentials credentialsFor(const SmbClient& client, const SmbLocation& location);

} // namespace orvendal::files::smb
