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

std::vector<bool> findLockedRecords(const SharedFile& file, std::uint64_t first,
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

RecordBlock::RecordBlock(const SharedFile& file, std::uint64_t first, std::uint64_t count)
    : first_(first), count_(count) {
    try {
        locked_ = findLockedRecords(file, first, count);
        // Not zeroed first: only the bytes the read returns are ever looked at.
        bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(count * kRecordLength);
        length_ = file.readAt(recordOffset(first), {bytes_.get(), count * kRecordLength});
    } catch (const Error& e) {
        failure_ = e;
    }
}

void RecordBlock::read(std::uint64_t number, PuestoBloquedos& record) const {
    if (failure_) {
        throw *failure_;
    }
    if (!tryRead(number, record)) {
        throw Error::of(errc::RecordLocked);
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
