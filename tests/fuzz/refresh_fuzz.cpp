// Fuzzes the refresh: the input makes both the station file and the locks held on it, and every
// refresh must list exactly what one probe and one read per record would show.
//
// Input: byte 0 = number of locks (low 3 bits); then 4 bytes per lock: record, offset in the
// record, length, kind (bit 0: read lock); the rest is the station file.
#include "error.h"
#include "puestobloquedos.h"
#include "stationfile.h"
#include "stationmonitor.h"
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

struct Row {
    std::u16string text;
    std::u16string cells[7];
};

class RecordingList : public StationList {
public:
    int columnHeaderCount() const override { return headings; }
    void clearColumnHeaders() override { headings = 0; }
    void addColumnHeader(std::u16string_view) override { ++headings; }
    void clearListItems() override { rows.clear(); }
    Item addListItem(std::u16string_view text) override {
        rows.push_back({std::u16string(text), {}});
        return static_cast<Item>(rows.size() - 1);
    }
    void setSubItem(Item item, int index, std::u16string_view text) override {
        rows.at(item).cells[index] = std::u16string(text);
    }
    void setView(int) override {}
    void setLabelEdit(int) override {}
    void setFullRowSelect(bool) override {}
    void setSelectedItem(Item) override {}
    std::optional<Item> selectedItem() const override { return std::nullopt; }
    void ensureVisible(Item) override {}
    std::u16string itemText(Item item) const override { return rows.at(item).text; }

    int headings = 0;
    std::vector<Row> rows;
};

class RecordingWindow : public MonitorWindow {
public:
    std::u16string caption() const override { return title; }
    void setCaption(const std::u16string& c) override { title = c; }
    void showWindow() override {}
    void messageBox(const std::u16string&) override { ++messages; }
    bool markerFileExists() const override { return false; }
    std::u16string title;
    int messages = 0;
};

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "refresh fault: %s\n", what);
        std::abort();
    }
}

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
    check(holder >= 0, "cannot open the scratch file");
    check(::write(holder, content, length) == static_cast<ssize_t>(length), "short write");
    for (std::size_t k = 0; k < locks; ++k) {
        const std::uint8_t* spec = data + 1 + 4 * k;
        struct flock fl {};
        fl.l_type = (spec[3] & 1) ? F_RDLCK : F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(spec[0]) * 81 + spec[1] % 81;
        fl.l_len = spec[2] + 1;
        ::fcntl(holder, F_OFD_SETLK, &fl);
    }

    RecordingList list;
    RecordingWindow window;
    StationMonitor monitor(window, list);
    monitor.MLP_SetFileName(path);
    monitor.MLP_Show();

    const auto file = SharedFile::open(path);
    PuestoBloquedos header{};
    bool headerReadable = true;
    try {
        readRecord(file, 1, header);
    } catch (const Error&) {
        headerReadable = false;
    }
    check(monitor.inOutage() == !headerReadable, "outage iff the header cannot be read");
    if (headerReadable) {
        const std::uint64_t stations = recordCount(length) > 1 ? recordCount(length) - 1 : 0;
        check(list.rows.size() == std::min(stations, StationMonitor::kMaxListedRows),
              "one row per station record");
        check(window.title.starts_with(std::u16string(StationMonitor::kCaptionLabel) +
                                       decimal16(header.Tally)),
              "caption shows the header's Tally");
        for (std::size_t row = 0; row < list.rows.size(); ++row) {
            const std::uint64_t number = row + 2;
            PuestoBloquedos expected;
            ClearRecord(expected);
            bool locked = false;
            try {
                readRecord(file, number, expected);
            } catch (const Error&) {
                locked = true;
            }
            const Row& shown = list.rows[row];
            check(shown.text == decimal16(static_cast<long long>(row + 1)), "row number");
            check(shown.cells[2] == (locked ? StationMonitor::kTrueWord : StationMonitor::kFalseWord),
                  "Conectado is the lock probe's answer");
            check(shown.cells[3] == decimal16(expected.StationNumber), "Puesto");
            check(shown.cells[5] == std::u16string(expected.StationName.begin(),
                                                   expected.StationName.end()),
                  "Nombre Puesto at full width");
            check(shown.cells[6] == decimal16(expected.Tally), "Tally");
        }
    }
    check(window.messages == (headerReadable ? 0 : 1), "one box for an unreadable header");
    ::close(holder);
    return 0;
}
