#include "stationfile.h"

#include "error.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace orvendal::station {
namespace {

constexpr std::uint64_t recordOffset(std::uint64_t number) {
    return (number - 1) * kRecordLength;
}

} // namespace

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
        // Every record that shares a byte with the lock is locked; the lock may reach past the
        // range.
        const std::uint64_t lockedFrom = std::max(from, lock->start / kRecordLength + 1);
        const std::uint64_t lockedTo = std::min(to, (lock->end - 1) / kRecordLength + 2);
        for (std::uint64_t n = lockedFrom; n < lockedTo; ++n) {
            locked[n - first] = true;
        }
        if (from < lockedFrom) {
            pending.emplace_back(from, lockedFrom);
        }
        if (lockedTo < to) {
            pending.emplace_back(lockedTo, to);
        }
    }
    return locked;
}

std::uint64_t readRecordsFindingLocks(const RangeReader& read, std::uint64_t first,
                                      std::uint64_t count, std::span<std::uint8_t> bytes,
                                      std::vector<bool>& locked) {
    // A failed range is split into this many parts: a lone lock is found in a few reads, and
    // where most records are locked the reads stay close to one per record.
    constexpr std::uint64_t kParts = 8;
    locked.assign(count, false);
    // Where the file ends, as the short reads tell: the records' bytes are read from here on.
    std::uint64_t end = count * kRecordLength;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pending{{0, count}};
    while (!pending.empty()) {
        const auto [from, to] = pending.back();
        pending.pop_back();
        const std::uint64_t offset = from * kRecordLength;
        if (offset >= end) {
            continue;
        }
        const std::uint64_t size = std::min(to * kRecordLength, end) - offset;
        if (const auto n = read(recordOffset(first) + offset, bytes.subspan(offset, size))) {
            if (*n < size) {
                end = offset + *n;
            }
            continue;
        }
        if (to - from == 1) {
            locked[from] = true;
            continue;
        }
        // Parts of two records would each fail again where most records are locked.
        std::uint64_t step = (to - from + kParts - 1) / kParts;
        step = step <= 2 ? 1 : step;
        // Pushed last to first, so the ranges are read in file order.
        for (std::uint64_t partEnd = to; partEnd > from;) {
            const std::uint64_t partStart = partEnd - std::min(step, partEnd - from);
            pending.emplace_back(partStart, partEnd);
            partEnd = partStart;
        }
    }
    return end;
}

RecordBlock::RecordBlock(const files::SharedFile& file, std::uint64_t first, std::uint64_t count)
    : first_(first), count_(count) {
    try {
        // Not zeroed first: only the bytes the reads return are ever looked at.
        bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(count * kRecordLength);
        const std::span<std::uint8_t> bytes(bytes_.get(), count * kRecordLength);
        if (file.lockDetection() == files::LockDetection::Probe) {
            locked_ = findLockedRecords(file, first, count);
            length_ = file.readAt(recordOffset(first), bytes);
        } else {
            length_ = readRecordsFindingLocks(
                [&file](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                    return file.tryReadAt(offset, buffer);
                },
                first, count, bytes, locked_);
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
