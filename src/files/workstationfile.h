#pragma once

#include "sharedfile.h"

#include <cstdint>
#include <span>
#include <string>

namespace orvendal::files {

// A station file as a workstation opens it: for writing, with byte-range locks like those a
// connected workstation keeps on its own record. The locks belong to this open file, not to the
// process (fcntl open-file-description locks on Linux, LockFileEx on Windows), so closing another
// open file of the same path never drops them, and two WorkstationFiles of one process conflict
// with each other as two workstations would.
class WorkstationFile {
public:
    enum class Access { ReadOnly, ReadWrite };
    enum class LockKind { Read, Write };

    // Opens an existing station file; never creates one. Refuses anything but a regular file with
    // a message that says what the path is. Throws Error.
    static WorkstationFile open(const std::string& path, Access access = Access::ReadWrite);
    // Creates a new file; refuses to replace an existing one. Throws Error.
    static WorkstationFile create(const std::string& path);

    WorkstationFile(WorkstationFile&& other) noexcept;
    WorkstationFile& operator=(WorkstationFile&& other) noexcept;
    WorkstationFile(const WorkstationFile&) = delete;
    WorkstationFile& operator=(const WorkstationFile&) = delete;
    ~WorkstationFile();

    // Locks `range` without waiting; false when another owner holds a conflicting lock on any
    // byte of it. `what` names the range in a failure's message ("el registro 3").
    bool tryLock(ByteRange range, LockKind kind, const std::string& what);
    void unlock(ByteRange range, const std::string& what);

    std::uint64_t length() const;
    void resize(std::uint64_t length);
    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const;
    void writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);

private:
    // The OS's file descriptor or HANDLE; -1 (INVALID_HANDLE_VALUE on Windows) when none.
    explicit WorkstationFile(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_ = -1;
};

// Throws Error unless `path` is an existing regular file: says whether it is missing, a folder,
// or something else.
void requireRegularFile(const std::string& path);

} // namespace orvendal::files
