// Fuzzes the refresh: the input makes both the station file and the locks held on it, and every
// refresh must list exactly what one probe and one read per record would show.
//
// Input: byte 0 = number of locks (low 3 bits); then 4 bytes per lock: record, offset in the
// record, length, kind (bit 0: read lock); the rest is the station file.
#include "collectedlist.h"
#include "error.h"
#include "fuzzcheck.h"
#include "puestobloquedos.h"
#include "recordprobe.h"
#include "stationfile.h"
#include "stationmonitor.h"
#include "stationtexts.h"
#include "text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace orvendal;
using namespace orvendal::station;
using namespace orvendal::ui;

using testing::fuzzCheck;

// One scratch folder per fuzzing process, removed when it exits.
const std::string& scratchPath() {
    static std::string folder;
    static const std::string path = [] {
        folder = "/tmp/orvendal-fuzz-XXXXXX";
        if (!::mkdtemp(folder.data())) {
            std::abort();
        }
        std::atexit([] {
            ::unlink((folder + "/MARLOVEN.SIT").c_str());
            ::rmdir(folder.c_str());
        });
        return folder + "/MARLOVEN.SIT";
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t locks = data[0] & 7;
    if (size < 1 + 4 * locks) {
        return 0;
    }
    const std::string& path = scratchPath();
    const std::uint8_t* content = data + 1 + 4 * locks;
    const std::size_t length = size - 1 - 4 * locks;

    // Another open file description holds the locks: its OFD locks conflict with our probes just
    // as the locks of another process do.
    const int holder = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    fuzzCheck(holder >= 0, "cannot open the scratch file");
    fuzzCheck(::write(holder, content, length) == static_cast<ssize_t>(length), "short write");
    for (std::size_t k = 0; k < locks; ++k) {
        const std::uint8_t* lock = data + 1 + 4 * k;
        struct flock fl {};
        fl.l_type = (lock[3] & 1) ? F_RDLCK : F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(lock[0]) * 81 + lock[1] % 81;
        fl.l_len = lock[2] + 1;
        ::fcntl(holder, F_OFD_SETLK, &fl);
    }

    CollectedList list;
    CollectedWindow window;
    StationMonitor monitor(window, list);
    monitor.MLP_SetFileName(path);
    monitor.MLP_Show();

    const auto file = files::SharedFile::open(path);
    PuestoBloquedos header{};
    bool headerReadable = true;
    try {
        testing::probeAndRead(file, 1, header);
    } catch (const Error&) {
        headerReadable = false;
    }
    fuzzCheck(monitor.inOutage() == !headerReadable, "outage iff the header cannot be read");
    if (headerReadable) {
        const std::uint64_t stations = recordCount(length) > 1 ? recordCount(length) - 1 : 0;
        fuzzCheck(list.rows().size() == std::min(stations, StationMonitor::kMaxListedRows),
                  "one row per station record");
        fuzzCheck(
            window.caption().starts_with(std::u16string(kCaptionLabel) + decimal16(header.Tally)),
            "caption shows the header's Tally");
        for (std::size_t row = 0; row < list.rows().size(); ++row) {
            const std::uint64_t number = row + 2;
            PuestoBloquedos expected;
            ClearRecord(expected);
            bool locked = false;
            try {
                testing::probeAndRead(file, number, expected);
            } catch (const Error&) {
                locked = true;
            }
            const CollectedList::Row& shown = list.rows()[row];
            fuzzCheck(shown[0] == decimal16(static_cast<long long>(row + 1)), "row number");
            fuzzCheck(shown[2] == (locked ? kTrueWord : kFalseWord),
                      "Conectado is the lock probe's answer");
            fuzzCheck(shown[3] == decimal16(expected.StationNumber), "Puesto");
            fuzzCheck(shown[5] ==
                          std::u16string(expected.StationName.begin(), expected.StationName.end()),
                      "Nombre Puesto at full width");
            fuzzCheck(shown[6] == decimal16(expected.Tally), "Tally");
        }
    }
    fuzzCheck(window.messages().size() == (headerReadable ? 0u : 1u),
              "one box for an unreadable header");
    ::close(holder);
    return 0;
}
