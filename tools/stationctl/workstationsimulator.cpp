#include "workstationsimulator.h"

#include "cksum.h"
#include "error.h"
#include "stationfile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace orvendal::stationctl {
namespace {

using station::kRecordLength;
using station::PuestoBloquedos;

constexpr const char* kMarkerFile = "out.vrl";
constexpr std::uint64_t kTallyOffset = 3; // of the header's Tally byte

// The simulation keeps the whole file in memory.
constexpr std::uint64_t kMaxRecords = 100'000;

template <std::size_t N> void setText(station::FixedText<N>& field, std::string_view ascii) {
    field.fill(u' ');
    std::copy_n(ascii.begin(), std::min(N, ascii.size()), field.begin());
}

template <std::size_t N> bool isBlank(const station::FixedText<N>& field) {
    return std::all_of(field.begin(), field.end(), [](char16_t c) { return c == u' ' || c == 0; });
}

std::vector<std::uint8_t> readWhole(const std::string& path) {
    files::WorkstationFile file =
        files::WorkstationFile::open(path, files::WorkstationFile::Access::ReadOnly);
    const std::uint64_t length = file.length();
    if (station::recordCount(length) > kMaxRecords) {
        throw Error(errnoCode(EFBIG), path + " tiene más de " + std::to_string(kMaxRecords) +
                                          " registros; simulate guarda todo el fichero en memoria");
    }
    std::vector<std::uint8_t> bytes(length);
    bytes.resize(file.readAt(0, bytes));
    return bytes;
}

void writeNewFile(const std::string& path, int flags, std::span<const std::uint8_t> bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | flags, 0666);
    if (fd < 0) {
        throw Error::fromErrno(errno, path);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno != EINTR) {
            const int err = errno;
            ::close(fd);
            throw Error::fromErrno(err, path);
        }
        done += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    }
    // Without O_TRUNC a file that someone else made meanwhile may be longer than ours.
    if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || ::close(fd) != 0) {
        throw Error::fromErrno(errno, path);
    }
}

} // namespace

WorkstationSimulator::WorkstationSimulator(std::string path, std::uint64_t seed, bool churn)
    : path_(std::move(path)), seed_(seed), random_(seed), image_(readWhole(path_)),
      workstations_(churn ? std::max<std::uint64_t>(4, stationRecords() * 3 / 2)
                          : stationRecords()),
      maxRecords_(
          std::clamp<std::uint64_t>(2 * station::recordCount(image_.size()), 16, kMaxRecords)),
      markerAtStart_(files::regularFileExists(kMarkerFile)), markerPresent_(markerAtStart_) {}

std::uint64_t WorkstationSimulator::stationRecords() const {
    const std::uint64_t records = station::recordCount(image_.size());
    return records == 0 ? 0 : records - 1;
}

std::size_t WorkstationSimulator::connectedCount() const {
    return static_cast<std::size_t>(
        std::count_if(workstations_.begin(), workstations_.end(),
                      [](const auto& w) { return w.file.has_value(); }));
}

std::uint64_t WorkstationSimulator::pick(std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(random_);
}

std::string WorkstationSimulator::connectionText() {
    return "10.20." + std::to_string(pick(0, 9)) + "." + std::to_string(pick(2, 254)) + ":" +
           std::to_string(pick(1024, 65000));
}

bool WorkstationSimulator::heldBySimulation(std::uint64_t record) const {
    if (record == 1 && headerHolder_) {
        return true;
    }
    return std::any_of(workstations_.begin(), workstations_.end(),
                       [&](const auto& w) { return w.file && w.record == record; });
}

bool WorkstationSimulator::lock(files::WorkstationFile& file, std::uint64_t record) {
    ++counts_.lockAttempts;
    if (station::lockRecord(file, record, files::WorkstationFile::LockKind::Write)) {
        return true;
    }
    ++(heldBySimulation(record) ? counts_.refusalsHeld : counts_.refusalsUnheld);
    return false;
}

void WorkstationSimulator::write(files::WorkstationFile& file, std::uint64_t offset,
                                 std::span<const std::uint8_t> bytes) {
    file.writeAt(offset, bytes);
    // As the kernel does: writing past the end fills the gap with zero bytes.
    if (image_.size() < offset + bytes.size()) {
        image_.resize(offset + bytes.size(), 0);
    }
    std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(offset));
}

void WorkstationSimulator::writeRecord(files::WorkstationFile& file, std::uint64_t number,
                                       const PuestoBloquedos& record) {
    write(file, station::recordOffset(number), station::encodeRecord(record));
}

void WorkstationSimulator::writeHeaderTally(files::WorkstationFile& file) {
    const std::array<std::uint8_t, 1> tally{static_cast<std::uint8_t>(connectedCount() & 0xFF)};
    write(file, kTallyOffset, tally);
}

bool WorkstationSimulator::connect(Workstation& workstation, std::uint64_t record) {
    files::WorkstationFile file = files::WorkstationFile::open(path_);
    if (!lock(file, record)) {
        return false;
    }
    // The workstation announces itself in its record, then keeps it locked while connected.
    PuestoBloquedos fields = station::readRecord(file, record);
    const auto row = std::to_string(record - 1);
    if (isBlank(fields.StationName)) {
        setText(fields.StationName, "Puesto " + row);
    }
    if (isBlank(fields.ConnectionText)) {
        setText(fields.ConnectionText, connectionText());
    }
    if (fields.StationNumber == 0) {
        fields.StationNumber = static_cast<std::int32_t>(record - 1);
    }
    fields.Connected = station::kTrue;
    ++fields.Tally;
    writeRecord(file, record, fields);
    workstation.file = std::move(file);
    workstation.record = record;
    ++counts_.connects;
    return true;
}

void WorkstationSimulator::disconnect(Workstation& workstation) {
    files::WorkstationFile& file = *workstation.file;
    PuestoBloquedos fields = station::readRecord(file, workstation.record);
    fields.Connected = station::kFalse;
    writeRecord(file, workstation.record, fields);
    station::unlockRecord(file, workstation.record);
    workstation.file.reset();
    ++counts_.disconnects;
}

void WorkstationSimulator::dropAll() {
    for (auto& workstation : workstations_) {
        if (workstation.file) {
            workstation.file.reset();
            ++counts_.disconnects;
        }
    }
    headerHolder_.reset();
}

void WorkstationSimulator::toggleRandomStation() {
    ++counts_.actions;
    const std::uint64_t stations = stationRecords();
    if (stations == 0) {
        return;
    }
    const std::uint64_t record = pick(2, stations + 1);
    auto holder = std::find_if(workstations_.begin(), workstations_.end(),
                               [&](const auto& w) { return w.file && w.record == record; });
    if (holder != workstations_.end()) {
        disconnect(*holder);
    } else {
        auto idle = std::find_if(workstations_.begin(), workstations_.end(),
                                 [](const auto& w) { return !w.file; });
        if (idle == workstations_.end() || !connect(*idle, record)) {
            return;
        }
    }
    announceConnections();
}

void WorkstationSimulator::announceConnections() {
    // Written without a lock: a header lock, however short, is an outage to the monitor. One
    // byte written with one call is never seen half done.
    files::WorkstationFile header = files::WorkstationFile::open(path_);
    writeHeaderTally(header);
}

void WorkstationSimulator::churnOnce(Clock::time_point now) {
    ++counts_.actions;
    if (headerHolder_ && now >= headerRelease_) {
        headerHolder_.reset();
    }
    // Weights of the actions: mostly workstations coming and going and records being written.
    constexpr std::array<unsigned, 10> kWeights = {24, 20, 18, 7, 7, 2, 2, 2, 8, 6};
    std::discrete_distribution<unsigned> choose(kWeights.begin(), kWeights.end());
    switch (choose(random_)) {
    case 0: {
        const auto idle = std::find_if(workstations_.begin(), workstations_.end(),
                                       [](const auto& w) { return !w.file; });
        if (idle != workstations_.end() && stationRecords() > 0) {
            connect(*idle, pick(2, stationRecords() + 1));
        }
        break;
    }
    case 1: {
        std::vector<Workstation*> connected;
        for (auto& w : workstations_) {
            if (w.file) {
                connected.push_back(&w);
            }
        }
        if (!connected.empty()) {
            disconnect(*connected[pick(0, connected.size() - 1)]);
        }
        break;
    }
    case 2:
        rewrite();
        break;
    case 3:
        grow();
        break;
    case 4:
        shrink();
        break;
    case 5:
        replaceByRename();
        break;
    case 6:
        deleteAndRecreate();
        break;
    case 7:
        lockHeader(now);
        break;
    case 8:
        toggleMarker();
        break;
    default: {
        // A workstation already connected updates its own record.
        for (auto& w : workstations_) {
            if (w.file) {
                PuestoBloquedos fields = station::readRecord(*w.file, w.record);
                setText(fields.ConnectionText, connectionText());
                writeRecord(*w.file, w.record, fields);
                ++counts_.rewrites;
                break;
            }
        }
        break;
    }
    }
}

void WorkstationSimulator::rewrite() {
    if (stationRecords() == 0) {
        return;
    }
    // Someone else's program writing a record under a lock of its own for a moment.
    const std::uint64_t record = pick(2, stationRecords() + 1);
    files::WorkstationFile file = files::WorkstationFile::open(path_);
    if (!lock(file, record)) {
        return;
    }
    PuestoBloquedos fields = station::readRecord(file, record);
    setText(fields.ConnectionText, connectionText());
    fields.Lc[0] = static_cast<char16_t>(u'A' + pick(0, 25));
    writeRecord(file, record, fields);
    station::unlockRecord(file, record);
    ++counts_.rewrites;
}

void WorkstationSimulator::grow() {
    const std::uint64_t records = station::recordCount(image_.size());
    if (records >= maxRecords_) {
        return;
    }
    files::WorkstationFile file = files::WorkstationFile::open(path_);
    // Whole records from the first record boundary at or past the end.
    const std::uint64_t first = records + 1;
    const auto blank = station::encodeRecord(station::blankRecord());
    const std::uint64_t last = std::min(first + pick(0, 3), maxRecords_);
    for (std::uint64_t n = first; n <= last; ++n) {
        write(file, station::recordOffset(n), blank);
    }
    ++counts_.grows;
}

void WorkstationSimulator::shrink() {
    const std::uint64_t records = station::recordCount(image_.size());
    if (records <= 2) {
        return;
    }
    // Now and then a length that leaves a partial record at the end.
    std::uint64_t length = pick(1, records - 1) * kRecordLength;
    if (pick(0, 3) == 0) {
        length += pick(1, kRecordLength - 1);
    }
    files::WorkstationFile file = files::WorkstationFile::open(path_);
    file.resize(length);
    image_.resize(length);
    ++counts_.shrinks;
}

void WorkstationSimulator::replaceByRename() {
    const std::string fresh = path_ + ".stationctl-new";
    writeNewFile(fresh, O_TRUNC, image_);
    if (::rename(fresh.c_str(), path_.c_str()) != 0) {
        const int err = errno;
        ::unlink(fresh.c_str());
        throw Error::fromErrno(err, "no se puede renombrar a " + path_);
    }
    dropAll();
    ++counts_.renames;
}

void WorkstationSimulator::deleteAndRecreate() {
    if (::unlink(path_.c_str()) != 0) {
        throw Error::fromErrno(errno, path_);
    }
    dropAll();
    // Long enough for a monitor's refresh to find the file missing now and then.
    std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, 30)));
    // No O_EXCL: the monitor may have created the file empty meanwhile, as it must.
    writeNewFile(path_, 0, image_);
    ++counts_.recreates;
}

void WorkstationSimulator::lockHeader(Clock::time_point now) {
    if (headerHolder_) {
        return;
    }
    files::WorkstationFile file = files::WorkstationFile::open(path_);
    if (!lock(file, 1)) {
        return;
    }
    writeHeaderTally(file);
    headerHolder_ = std::move(file);
    headerRelease_ = now + std::chrono::milliseconds(pick(20, 150));
    ++counts_.headerLocks;
}

void WorkstationSimulator::toggleMarker() {
    if (markerPresent_) {
        if (::unlink(kMarkerFile) != 0 && errno != ENOENT) {
            throw Error::fromErrno(errno, kMarkerFile);
        }
    } else {
        writeNewFile(kMarkerFile, 0, {});
    }
    markerPresent_ = !markerPresent_;
    ++counts_.markerChanges;
}

void WorkstationSimulator::finish() {
    for (auto& workstation : workstations_) {
        if (workstation.file) {
            disconnect(workstation);
        }
    }
    headerHolder_.reset();
    announceConnections();
    if (markerPresent_ != markerAtStart_) {
        toggleMarker();
    }
}

void WorkstationSimulator::report(std::ostream& out, double seconds) const {
    bool matches = false;
    try {
        matches = readWhole(path_) == image_;
    } catch (const Error&) {
    }
    const auto& c = counts_;
    out << "{\"seed\": " << seed_ << ", \"seconds\": " << seconds << ", \"actions\": " << c.actions
        << ", \"connects\": " << c.connects << ", \"disconnects\": " << c.disconnects
        << ", \"rewrites\": " << c.rewrites << ", \"grows\": " << c.grows
        << ", \"shrinks\": " << c.shrinks << ", \"renames\": " << c.renames
        << ", \"recreates\": " << c.recreates << ", \"header_locks\": " << c.headerLocks
        << ", \"marker_changes\": " << c.markerChanges << ", \"lock_attempts\": " << c.lockAttempts
        << ", \"refusals\": " << c.refusalsHeld + c.refusalsUnheld
        << ", \"refusals_held\": " << c.refusalsHeld
        << ", \"refusals_unheld\": " << c.refusalsUnheld << ", \"errors\": " << c.errors
        << ", \"bytes\": " << image_.size() << ", \"cksum\": " << posixCksum(image_)
        << ", \"file_matches\": " << (matches ? "true" : "false") << "}" << std::endl;
}

} // namespace orvendal::stationctl
