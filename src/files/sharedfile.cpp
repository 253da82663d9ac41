#include "sharedfile.h"

#include "error.h"
#include "fileaccess.h"

#include <cassert>
#include <utility>

namespace orvendal::files {
namespace {

thread_local bool onWindowThread = false;

void requireWorkerThread() {
    assert(!onWindowThread && "station file I/O on a window's thread");
}

} // namespace

WindowThreadScope::WindowThreadScope() : outer_(std::exchange(onWindowThread, true)) {}

WindowThreadScope::~WindowThreadScope() {
    onWindowThread = outer_;
}

SharedFile SharedFile::open(const std::string& path, Missing missing) {
    requireWorkerThread();
    return SharedFile(openFileAccess(path, missing));
}

SharedFile::SharedFile(std::unique_ptr<FileAccess> access) : access_(std::move(access)) {}
SharedFile::SharedFile(SharedFile&& other) noexcept = default;
SharedFile& SharedFile::operator=(SharedFile&& other) noexcept = default;

SharedFile::~SharedFile() {
    if (access_) {
        requireWorkerThread();
        try {
            access_->close();
        } catch (...) {
        }
    }
}

void SharedFile::close() {
    // Let go before closing, so a close that reports an error leaves nothing to close twice.
    if (auto access = std::exchange(access_, nullptr)) {
        requireWorkerThread();
        access->close();
    }
}

std::uint64_t SharedFile::length() const {
    return access_ ? access_->length() : 0;
}

LockDetection SharedFile::lockDetection() const {
    return access_ ? access_->lockDetection() : LockDetection::Probe;
}

std::size_t SharedFile::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    if (const auto n = tryReadAt(offset, buffer)) {
        return *n;
    }
    throw Error::of(errc::RecordLocked);
}

std::optional<std::size_t> SharedFile::tryReadAt(std::uint64_t offset,
                                                 std::span<std::uint8_t> buffer) const {
    if (!access_) {
        throw Error::of(errc::BadFileNumber);
    }
    requireWorkerThread();
    return access_->read(offset, buffer);
}

std::optional<ByteRange> SharedFile::findLock(std::uint64_t start, std::uint64_t length) const {
    if (!access_) {
        throw Error::of(errc::BadFileNumber);
    }
    requireWorkerThread();
    return access_->findLock(start, length);
}

LockTable SharedFile::lockTable(std::size_t maxOwnLocks) const {
    if (!access_) {
        throw Error::of(errc::BadFileNumber);
    }
    requireWorkerThread();
    return access_->lockTable(maxOwnLocks);
}

void SharedFile::confirmLocksSeen() const {
    if (!access_) {
        throw Error::of(errc::BadFileNumber);
    }
    requireWorkerThread();
    access_->confirmLocksSeen();
}

} // namespace orvendal::files
