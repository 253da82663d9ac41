#include "stationfile.h"

#include "error.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

namespace orvendal::station {
namespace {

constexpr std::uint64_t recordOffset(std::uint64_t number) {
    return (number - 1) * kRecordLength;
}

} // namespace

namespace {

// Marks in `locked` (bit k for record first + k) the records of [from, to) that share a byte
// with `lock`, which may reach past them; returns the ones it marked as [lockedFrom, lockedTo).
std::pair<std::uint64_t, std::uint64_t> markLocked(const files::ByteRange& lock,
                                                   std::uint64_t first, std::uint64_t from,
                                                   std::uint64_t to, std::vector<bool>& locked) {
    const std::uint64_t lockedFrom = std::max(from, lock.start / kRecordLength + 1);
    const std::uint64_t lockedTo = std::min(to, (lock.end - 1) / kRecordLength + 2);
    for (std::uint64_t n = lockedFrom; n < lockedTo; ++n) {
        locked[n - first] = true;
    }
    return {lockedFrom, std::max(lockedFrom, lockedTo)};
}

} // namespace

std::vector<bool> lockedRecordsIn(std::span<const files::ByteRange> locks, std::uint64_t first,
                                  std::uint64_t count) {
    std::vector<bool> locked(count, false);
    for (const files::ByteRange& lock : locks) {
        if (lock.end > lock.start) {
            markLocked(lock, first, first, first + count, locked);
        }
    }
    return locked;
}

std::vector<bool> findLockedRecords(const files::SharedFile& file, std::uint64_t first,
                                    std::uint64_t count) {
    std::vector<bool> locked(count, false);
    // Ranges of record numbers [from, to) still to probe. The kernel returns the first conflicting
    // lock in its own list order, not the lowest one, so both sides of a found lock are probed
    // again.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pending{{first, first + count}};
    while (!pending.empty()) {
        const auto [from, to] = pending.back();
        pending.pop_back();
        const auto lock = file.findLock(recordOffset(from), (to - from) * kRecordLength);
        if (!lock) {
            continue;
        }
        const auto [lockedFrom, lockedTo] = markLocked(*lock, first, from, to, locked);
        if (from < lockedFrom) {
            pending.emplace_back(from, lockedFrom);
        }
        if (lockedTo < to) {
            pending.emplace_back(lockedTo, to);
        }
    }
    return locked;
}

namespace {

// The search behind readRecordsFindingLocks(), in file order. Indexes are of records from `first`.
//
// Why the bound holds: every record is settled by one successful read over it, by its own failed
// read, by lying past the end of the file, or as the one record left unread of a range whose read
// failed. So reads = count - skipped - saved + wasted, where saved sums (records - 1) over the
// successful reads of several records and wasted counts the failed ones that settled nothing. A
// read of several records is only tried while wasted < saved + spare(), where spare() never
// shrinks and is at most kSpareReads; saved never shrinks either, so at the end
// wasted <= saved + spare() and reads <= count + spare().
class LockSearch {
public:
    LockSearch(const RangeReader& read, std::uint64_t first, std::uint64_t count,
               std::span<std::uint8_t> bytes, std::vector<bool>& locked)
        : read_(read), base_(recordOffset(first)), bytes_(bytes), locked_(locked),
          end_(count * kRecordLength) {
        locked_.assign(count, false);
    }

    std::uint64_t end() const { return end_; }

    // Reads record k alone.
    void readOne(std::uint64_t k) { readRange(k, k + 1); }

    // Settles [from, to), first as one read. When that fails, a gap that the last refresh found
    // free most likely holds one new lock, which halving finds; elsewhere nothing is known, and the
    // reads go on from the front, each as long as the locks seen so far make likely to succeed.
    void search(std::uint64_t from, std::uint64_t to, bool wasFree) {
        // [k, failedTo) held a lock when it was read; 0 while no such range is pending.
        std::uint64_t failedTo = 0;
        bool whole = true;
        for (std::uint64_t k = from; k < to && k * kRecordLength < end_;) {
            if (failedTo == k + 1) {
                // All of that range but this record read: the lock is on it.
                settleLocked(k++);
                --wasted_;
                failedTo = 0;
                continue;
            }
            std::uint64_t n = whole          ? to - from
                              : failedTo > k ? (failedTo - k + 1) / 2
                                             : std::min(likelyFree(), to - k);
            if (n > 1 && wasted_ >= saved_ + spare()) {
                n = 1;
            }
            if (readRange(k, k + n)) {
                k += n;
                failedTo = failedTo > k ? failedTo : 0;
            } else if (n == 1) {
                ++k;
                failedTo = 0;
            } else if (!whole || wasFree) {
                failedTo = k + n;
            }
            whole = false;
        }
    }

private:
    // Whether [from, to) read; a record that fails alone is marked locked.
    bool readRange(std::uint64_t from, std::uint64_t to) {
        const std::uint64_t offset = from * kRecordLength;
        if (offset >= end_) {
            return true;
        }
        const std::uint64_t size = std::min(to * kRecordLength, end_) - offset;
        if (const auto n = read_(base_ + offset, bytes_.subspan(offset, size))) {
            if (*n < size) {
                end_ = offset + *n;
            }
            saved_ += to - from - 1;
            free_ += to - from;
            return true;
        }
        if (to - from > 1) {
            ++wasted_;
        } else {
            settleLocked(from);
        }
        return false;
    }

    void settleLocked(std::uint64_t k) {
        locked_[k] = true;
        ++lockedCount_;
    }

    // Records that a read from here would find free at even odds or better, from the share of
    // locked records so far, taken as one in two before any is seen.
    std::uint64_t likelyFree() const {
        const double share = (static_cast<double>(lockedCount_) + 1) /
                             (static_cast<double>(lockedCount_ + free_) + 2);
        return std::max<std::uint64_t>(
            1, static_cast<std::uint64_t>(std::log(0.5) / std::log1p(-share)));
    }

    // Failed reads allowed beyond those paid for: one until the free records seen show there is
    // room to save, up to kSpareReads. So a file with few free records costs at most one read more
    // than its records, and a lone lock among thousands is still found in a few dozen.
    std::uint64_t spare() const { return std::min(kSpareReads, 1 + free_ / 32); }

    const RangeReader& read_;
    std::uint64_t base_;
    std::span<std::uint8_t> bytes_;
    std::vector<bool>& locked_;
    // Where the file ends, as the short reads tell: the records' bytes are read up to here.
    std::uint64_t end_;
    std::uint64_t saved_ = 0;
    std::uint64_t wasted_ = 0;
    std::uint64_t free_ = 0;
    std::uint64_t lockedCount_ = 0;
};

} // namespace

std::uint64_t readRecordsFindingLocks(const RangeReader& read, std::uint64_t first,
                                      std::uint64_t count, std::span<std::uint8_t> bytes,
                                      std::vector<bool>& locked,
                                      const std::vector<bool>* previousLocks) {
    LockSearch search(read, first, count, bytes, locked);
    if (previousLocks == nullptr) {
        search.search(0, count, false);
        return search.end();
    }
    const std::uint64_t known = std::min<std::uint64_t>(previousLocks->size(), count);
    for (std::uint64_t k = 0; k < count;) {
        if (k < known && (*previousLocks)[k]) {
            search.readOne(k++);
            continue;
        }
        std::uint64_t gapEnd = k + 1;
        while (gapEnd < known && !(*previousLocks)[gapEnd]) {
            ++gapEnd;
        }
        // Past the last refresh's answer nothing is known: the rest is one gap.
        const bool wasFree = gapEnd < known || known == count;
        if (gapEnd >= known) {
            gapEnd = count;
        }
        search.search(k, gapEnd, wasFree);
        k = gapEnd;
    }
    return search.end();
}

RecordBlock::RecordBlock(const files::SharedFile& file, std::uint64_t first, std::uint64_t count,
                         const std::vector<bool>* previousLocks,
                         const std::vector<files::ByteRange>* lockTable)
    : first_(first), count_(count) {
    try {
        // Not zeroed first: only the bytes the reads return are ever looked at.
        bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(count * kRecordLength);
        const std::span<std::uint8_t> bytes(bytes_.get(), count * kRecordLength);
        if (file.lockDetection() == files::LockDetection::Probe) {
            locked_ = lockTable ? lockedRecordsIn(*lockTable, first, count)
                                : findLockedRecords(file, first, count);
            length_ = file.readAt(recordOffset(first), bytes);
        } else {
            length_ = readRecordsFindingLocks(
                [&file](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                    return file.tryReadAt(offset, buffer);
                },
                first, count, bytes, locked_, previousLocks);
        }
    } catch (const Error& e) {
        failure_ = e;
    }
}

void RecordBlock::read(std::uint64_t number, PuestoBloquedos& record) const {
    requireRead();
    if (!tryRead(number, record)) {
        throw Error::of(errc::RecordLocked);
    }
}

void RecordBlock::requireRead() const {
    if (failure_) {
        throw *failure_;
    }
}

bool RecordBlock::tryRead(std::uint64_t number, PuestoBloquedos& record) const {
    const std::uint64_t index = number - first_;
    if (failure_ || locked_[index]) {
        return false;
    }
    const std::uint64_t offset = std::min(index * kRecordLength, length_);
    decodeRecord({bytes_.get() + offset, std::min(kRecordLength, length_ - offset)}, record);
    return true;
}

} // namespace orvendal::station
