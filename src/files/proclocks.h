#pragma once

#include "sharedfile.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace orvendal::files {

// The lines of Linux's /proc/locks as they come, a page at a time, sorted into the record locks of
// one file, `major`:`minor`:`inode`, and everything else, which is only counted: the table lists
// every lock of the machine, and only the count of the others is worth keeping.
class LockTableLines {
public:
    LockTableLines(unsigned major, unsigned minor, std::uint64_t inode)
        : major_(major), minor_(minor), inode_(inode) {}

    // Takes whole lines, each ended by "\n" but the table's last. False, and nothing taken from
    // that line on, when a line of the file has a range it cannot read.
    bool add(std::string_view lines);

    // The file's POSIX and OFD locks, read or write, so far. flock() locks and leases are left
    // out, as a lock probe leaves them, and so are the "->" lines of processes still waiting for
    // a lock, which hold nothing yet.
    const std::vector<ByteRange>& locks() const { return locks_; }
    std::vector<ByteRange> takeLocks() { return std::move(locks_); }
    // Every other line: other files' locks, flock() locks and leases, waiting processes.
    std::size_t otherLines() const { return otherLines_; }

private:
    unsigned major_;
    unsigned minor_;
    std::uint64_t inode_;
    std::vector<ByteRange> locks_;
    std::size_t otherLines_ = 0;
};

} // namespace orvendal::files
