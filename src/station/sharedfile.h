#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The operating system's side of the station file. One implementation per OS, picked by the
// build; nothing outside this header's implementations knows which OS it runs on.
namespace orvendal::station {

// A locked byte range [start, end); a lock that runs to the end of every file has end = max.
struct ByteRange {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

// A station file opened for reading, shared with the workstations that write and lock it. The
// monitor never writes a byte and never takes a lock.
class SharedFile {
public:
    // Opens `path` read-only. A missing file is created empty first and then opened like any other;
    // anything but a regular file is refused. Throws Error.
    static SharedFile open(const std::string& path);

    SharedFile(SharedFile&& other) noexcept;
    SharedFile& operator=(SharedFile&& other) noexcept;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    ~SharedFile(); // closes quietly; close() reports a failure

    void close();

    // The file's length when it was opened; the refresh opens the file anew every time.
    std::uint64_t length() const { return length_; }

    // Reads from `offset` until `buffer` is full or the file ends; returns the bytes read.
    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const;

    // A lock that another owner holds on any byte of [start, start + length), or nothing.
    std::optional<ByteRange> findLock(std::uint64_t start, std::uint64_t length) const;

private:
    SharedFile(int descriptor, std::uint64_t length) : descriptor_(descriptor), length_(length) {}
    int descriptor_ = -1;
    std::uint64_t length_ = 0;
};

// The folder that holds the running executable, resolved from the running image.
std::string executableDirectory();

// The separator that joins a folder and a file name on this OS.
extern const char kPathSeparator;

// True when `path` names a regular file (following symbolic links); a folder does not count.
bool regularFileExists(const std::string& path);

} // namespace orvendal::station
