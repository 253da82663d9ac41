#pragma once

#include "sharedfile.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace orvendal::files {

// The ranges of the record locks that `table`, in the format of Linux's /proc/locks, lists on the
// file `major`:`minor`:`inode`: POSIX and OFD locks, read or write. flock() locks and leases are
// left out, as a lock probe leaves them, and so are the "->" lines of processes still waiting for
// a lock, which hold nothing yet. Nothing when a line of that file has a range it cannot read.
std::optional<std::vector<ByteRange>> recordLocksIn(std::string_view table, unsigned major,
                                                    unsigned minor, std::uint64_t inode);

} // namespace orvendal::files
