#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The operating system's side of the station file. One implementation per OS or kind of file
// system, picked by the build or by the path; nothing outside this header's implementations knows
// which one it runs on.
namespace orvendal::files {

// A locked byte range [start, end); a lock that runs to the end of every file has end = max.
struct ByteRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

// How a file shows that another owner holds a lock on a range.
enum class LockDetection {
    // A lock probe answers without taking anything (fcntl F_OFD_GETLK on a local file).
    Probe,
    // Only a read of the range fails: files reached over SMB, and every file on Windows, where
    // byte-range locks are mandatory and nothing can ask about a lock without taking it.
    ReadFailure,
};

// What one read of the kernel's table of locks gave.
struct LockTable {
    enum class Outcome {
        // `locks` holds the locks of other owners on the file.
        Listed,
        // The table may not hold every holder's lock here: a network or FUSE file system, a /proc
        // of another pid namespace, Windows. Only findLock() can tell.
        NotHere,
        // Given up: too many lines, of other files or of this one.
        TooLarge,
        // Given up: too long on pages that hold none of this file's locks.
        TooSlow,
        // /proc/locks could not be read, or said something of this file that makes no sense.
        Unreadable,
    };
    Outcome outcome = Outcome::NotHere;
    std::vector<ByteRange> locks;
    // Why it was given up, for a person; empty when listed or not here.
    std::string problem;
};

class FileAccess;

// What opening does with a station file that does not exist.
enum class Missing {
    // Creates it empty, as the workstations' first start would find it.
    Create,
    // Refuses it: a file renamed away for a moment must not be replaced by an empty one.
    Refuse,
};

// A station file opened for reading, shared with the workstations that write and lock it. The
// monitor never writes a byte and never takes a lock.
class SharedFile {
public:
    // Opens `path` read-only. A missing local file is created empty first and then opened like
    // any other, unless `missing` refuses it; anything but a regular file is refused. Throws Error.
    static SharedFile open(const std::string& path, Missing missing = Missing::Create);

    explicit SharedFile(std::unique_ptr<FileAccess> access);
    SharedFile(SharedFile&& other) noexcept;
    SharedFile& operator=(SharedFile&& other) noexcept;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    ~SharedFile(); // closes quietly; close() reports a failure

    void close();

    // The file's length when it was opened; the refresh opens the file anew every time.
    std::uint64_t length() const;
    LockDetection lockDetection() const;

    // Reads from `offset` until `buffer` is full or the file ends; returns the bytes read. Throws
    // Error, errc::RecordLocked when a lock of another owner stops the read.
    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const;

    // As readAt(), but answers nothing when a lock of another owner on a byte of the range stops
    // the read (which only happens where lockDetection() is ReadFailure); other failures throw.
    std::optional<std::size_t> tryReadAt(std::uint64_t offset,
                                         std::span<std::uint8_t> buffer) const;

    // A lock that another owner holds on any byte of [start, start + length), or nothing. Only
    // where lockDetection() is Probe; elsewhere it throws Error.
    std::optional<ByteRange> findLock(std::uint64_t start, std::uint64_t length) const;

    // Every lock another owner holds on the file, from one pass over the kernel's table of locks,
    // which costs the same however many records are probed. The kernel hands the table over a
    // page at a time, so a lock held throughout may be missing from it when other locks went
    // meanwhile; a lock it lists may have gone since, as after any probe. The table lists every
    // lock of the machine, any user's, so the read is bounded: it is given up once the lines of
    // other files outnumber this file's by more than a few thousand, once this file has more than
    // `maxOwnLocks` locks, or once the pages that hold none of them take more than a quarter of a
    // second.
    LockTable lockTable(std::size_t maxOwnLocks) const;

    // After tryReadAt() answered nothing for some ranges: throws Error unless those reads were
    // refused by locks on a connection that is still alive (a server that ended the session
    // also refuses reads). One round trip at most, on a file server; nothing on a local file.
    void confirmLocksSeen() const;

private:
    std::unique_ptr<FileAccess> access_;
};

// While it lives, the calling thread runs a window's event handler. A debug build stops at once
// if such a thread opens, reads or closes a station file: a file server that stops answering
// would freeze the window, so that I/O belongs on the refresh driver's worker.
class WindowThreadScope {
public:
    WindowThreadScope();
    ~WindowThreadScope();
    WindowThreadScope(const WindowThreadScope&) = delete;
    WindowThreadScope& operator=(const WindowThreadScope&) = delete;

private:
    bool outer_;
};

// The folder that holds the running executable, resolved from the running image.
std::string executableDirectory();

// The separator that joins a folder and a file name on this OS.
extern const char kPathSeparator;

// True when `path` names a regular file (following symbolic links); a folder does not count.
bool regularFileExists(const std::string& path);

} // namespace orvendal::files
