#pragma once

#include "puestobloquedos.h"

#include <cstdint>
#include <span>
#include <string>

namespace orvendal::stationctl {

// Station files as the workstations use them: opened for writing, records locked as a connected
// workstation locks its own. The locks belong to this open file, not to the process (fcntl
// open-file-description locks on POSIX, LockFileEx on Windows), so closing another open file of
// the same path never drops them, and two RecordFiles of one process conflict with each other as
// two workstations would.
class RecordFile {
public:
    enum class Access { ReadOnly, ReadWrite };
    enum class LockKind { Read, Write };

    // Opens an existing station file; never creates one. Refuses anything but a regular file with
    // a message that says what the path is. Throws Error.
    static RecordFile open(const std::string& path, Access access = Access::ReadWrite);
    // Creates a new file; refuses to replace an existing one. Throws Error.
    static RecordFile create(const std::string& path);

    RecordFile(RecordFile&& other) noexcept;
    RecordFile& operator=(RecordFile&& other) noexcept;
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;
    ~RecordFile();

    // Locks record `number` (1 is the header) without waiting; false when another owner holds a
    // conflicting lock on any byte of it.
    bool tryLock(std::uint64_t number, LockKind kind);
    void unlock(std::uint64_t number);

    std::uint64_t length() const;
    void resize(std::uint64_t length);
    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const;
    void writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);

    // Record `number` as stored, over blanks where the file ends before it does.
    station::PuestoBloquedos readRecord(std::uint64_t number) const;
    void writeRecord(std::uint64_t number, const station::PuestoBloquedos& record);

private:
    // The OS's file descriptor or HANDLE; -1 (INVALID_HANDLE_VALUE on Windows) when none.
    explicit RecordFile(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_ = -1;
};

constexpr std::uint64_t recordOffset(std::uint64_t number) {
    return (number - 1) * station::kRecordLength;
}

// A record as a freshly made file holds it: blank texts, zero numbers.
station::PuestoBloquedos blankRecord();

// Throws Error unless `path` is an existing regular file: says whether it is missing, a folder,
// or something else.
void requireRegularFile(const std::string& path);

} // namespace orvendal::stationctl
