#pragma once

#include "fileaccess.h"
#include "smbclient.h"
#include "smberrors.h"

#include <cstring>
#include <fcntl.h>
#include <optional>
#include <span>

namespace orvendal::files::smb {

// A station file on an SMB server. Locks there are mandatory for reads: a record of which another
// session locks any byte exclusively cannot be read, and that failure is the only way to see the
// lock without taking it. A shared lock stops writes only, on Windows too, so it does not show.
class SmbFileAccess final : public FileAccess {
public:
    SmbFileAccess(SmbClient& client, SMBCFILE* file, std::uint64_t length, SmbLocation location)
        : FileAccess(length, LockDetection::ReadFailure), client_(client), file_(file),
          location_(std::move(location)) {}
    ~SmbFileAccess() override {
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
            throw smbError(errnoCode(err), std::strerror(err), location_);
        }
    }

    std::optional<std::size_t> read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        const std::lock_guard lock(client_.mutex);
        SMBCCTX* context = client_.context();
        if (file_ == nullptr) {
            throw Error(errnoCode(EBADF), "el fichero no está abierto: " + location_.shown());
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
        throw Error(errnoCode(ENOTSUP),
                    "un fichero servido por SMB no admite consultas de bloqueos: " +
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
            throw Error(errnoCode(EBADF), "el fichero no está abierto: " + location_.shown());
        }
        const auto fstat = smbc_getFunctionFstat(context);
        struct stat st {};
        if (client_.bounded(location_, [&] { return fstat(context, file_, &st); }) != 0) {
            const int err = errno;
            lost_ = true;
            if (isConnectionLoss(err)) {
                throw connectionError(err, location_);
            }
            throw smbError(errnoCode(err),
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
        throw smbError(errnoCode(err), std::strerror(err), location_);
    }

    SmbClient& client_;
    SMBCFILE* file_;
    SmbLocation location_;
    bool lost_ = false;
};

} // namespace orvendal::files::smb
