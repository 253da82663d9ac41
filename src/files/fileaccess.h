#pragma once

#include "sharedfile.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What SharedFile asks of each way of reaching a file: one implementation per OS or file system.
namespace orvendal::files {

class FileAccess {
public:
    FileAccess(std::uint64_t length, LockDetection detection)
        : length_(length), detection_(detection) {}
    virtual ~FileAccess() = default;
    FileAccess(const FileAccess&) = delete;
    FileAccess& operator=(const FileAccess&) = delete;

    std::uint64_t length() const { return length_; }
    LockDetection lockDetection() const { return detection_; }

    // Closes the file; after it nothing is open, whatever it reports.
    virtual void close() = 0;
    // Reads until `buffer` is full or the file ends: the bytes read, or nothing when a lock of
    // another owner stops the read. Throws Error for any other failure.
    virtual std::optional<std::size_t> read(std::uint64_t offset,
                                            std::span<std::uint8_t> buffer) = 0;
    // Only for LockDetection::Probe.
    virtual std::optional<ByteRange> findLock(std::uint64_t start, std::uint64_t length) = 0;
    // Where the kernel's table of locks lists every lock on the file; NotHere elsewhere.
    virtual LockTable lockTable(std::size_t /*maxOwnLocks*/) { return {}; }
    // Called after reads that failed as locks: throws Error unless the connection those reads
    // went over is still alive, so that a connection lost mid-refresh never reads as locked
    // records. Nothing to check where a failed read can only mean a lock.
    virtual void confirmLocksSeen() {}

private:
    std::uint64_t length_;
    LockDetection detection_;
};

// The way of reaching `path`, picked by the OS the build is for and, within it, by the path.
// Throws Error.
std::unique_ptr<FileAccess> openFileAccess(const std::string& path, Missing missing);

} // namespace orvendal::files
