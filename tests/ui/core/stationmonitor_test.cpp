#include "error.h"
#include "lockholder.h"
#include "puestobloquedos.h"
#include "stationmonitor.h"
#include "stationtexts.h"
#include "tempdir.h"
#include "text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <unistd.h>

namespace orvendal::ui {
namespace {

using station::ClearRecord;
using station::encodeRecord;
using station::kTrue;
using station::PuestoBloquedos;
using testing::LockHolder;
using testing::TempDir;

// A list that records what the monitor does to it and fails on a chosen member for a chosen row.
class RecordingList : public StationList {
public:
    struct Row {
        std::u16string text;
        std::map<int, std::u16string> subItems;
    };

    int columnHeaderCount() const override { return static_cast<int>(headings.size()); }
    void clearColumnHeaders() override { headings.clear(); }
    void addColumnHeader(std::u16string_view text) override {
        fail("addColumnHeader", static_cast<int>(headings.size()));
        headings.emplace_back(text);
    }
    void clearListItems() override {
        rows.clear();
        selected.reset();
    }
    Item addListItem(std::u16string_view text) override {
        rows.push_back({std::u16string(text), {}});
        return static_cast<Item>(rows.size() - 1);
    }
    void setSubItem(Item item, int index, std::u16string_view text) override {
        fail("setSubItem", item);
        rows.at(item).subItems[index] = std::u16string(text);
    }
    void setView(int v) override { view = v; }
    void setLabelEdit(int mode) override { labelEdit = mode; }
    void setFullRowSelect(bool on) override { fullRowSelect = on; }
    void setSelectedItem(Item item) override { selected = item; }
    std::optional<Item> selectedItem() const override { return selected; }
    void ensureVisible(Item item) override {
        fail("ensureVisible", item);
        visible.push_back(item);
    }
    std::u16string itemText(Item item) const override { return rows.at(item).text; }

    std::u16string cell(int row, int index) const { return rows.at(row - 1).subItems.at(index); }

    std::vector<std::u16string> headings;
    std::vector<Row> rows;
    int view = 0;
    int labelEdit = 0;
    bool fullRowSelect = false;
    std::optional<Item> selected;
    std::vector<Item> visible;
    std::string failingMember;
    int failingAt = -1;
    int failuresLeft = 0;

private:
    void fail(const std::string& member, int at) {
        if (member == failingMember && at == failingAt && failuresLeft > 0) {
            --failuresLeft;
            throw Error(errnoCode(EIO), "Input/output error");
        }
    }
};

class RecordingWindow : public MonitorWindow {
public:
    void setCaption(const std::u16string& c) override { title = c; }
    void showWindow() override { ++shown; }
    void messageBox(const std::u16string& text) override { messages.push_back(toUtf8(text)); }
    bool markerFileExists() const override { return lockMarkerExists(); }

    std::u16string title = u"Conexiónes Reales Activas";
    int shown = 0;
    std::vector<std::string> messages;
};

std::vector<unsigned char> record(std::uint8_t tally, std::int32_t station,
                                  const std::string& name) {
    PuestoBloquedos r;
    ClearRecord(r);
    r.Lc[0] = u'L';
    r.Tally = tally;
    r.StationNumber = station;
    r.Connected = kTrue; // what the file says is never shown
    const std::u16string wide = fromUtf8(name);
    std::copy(wide.begin(), wide.end(), r.StationName.begin());
    const auto bytes = encodeRecord(r);
    return {bytes.begin(), bytes.end()};
}

std::vector<unsigned char> stationFile(std::uint8_t headerTally, int stations) {
    std::vector<unsigned char> bytes = record(headerTally, 0, "");
    for (int i = 1; i <= stations; ++i) {
        const auto r = record(static_cast<std::uint8_t>(i), 100 + i, "Puesto " + std::to_string(i));
        bytes.insert(bytes.end(), r.begin(), r.end());
    }
    return bytes;
}

class StationMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        monitor.MLP_SetFileName(path);
    }
    void TearDown() override { std::filesystem::current_path(previous_); }

    std::u16string caption(const std::string& tail) const {
        return std::u16string(kCaptionLabel) + fromUtf8(tail);
    }
    void clickRow(int row) {
        list.selected = row - 1;
        monitor.ListView1_Click();
    }

    TempDir dir;
    std::string path = dir.file("MARLOVEN.SIT");
    RecordingList list;
    RecordingWindow window;
    StationMonitor monitor{window, list};

private:
    std::filesystem::path previous_;
};

TEST_F(StationMonitorTest, RefreshListsEveryRecordWithItsLockState) {
    auto bytes = stationFile(7, 3);
    bytes[81 * 3 + 3] = 255; // record 4: Tally 255
    std::fill(bytes.begin() + 81 * 3 + 7, bytes.begin() + 81 * 3 + 11, 0xFF);
    bytes[81 * 3 + 7] = 0xFB; // StationNumber -5
    std::fill(bytes.begin() + 81 * 3 + 31, bytes.begin() + 81 * 4, ' ');
    testing::writeBytes(path, bytes);
    LockHolder holder(path, {{81 * 2 + 80, 1}}); // the last byte of record 3 only

    monitor.MLP_Show();

    EXPECT_EQ(window.title, caption("7"));
    EXPECT_EQ(list.headings,
              (std::vector<std::u16string>{u"Rec", u"LC", u"Conectado", u"Puesto", u"Conexión",
                                           u"Nombre Puesto", u"Contador"}));
    EXPECT_EQ(list.view, StationList::kReportView);
    EXPECT_EQ(list.labelEdit, StationList::kLabelEditManual);
    EXPECT_TRUE(list.fullRowSelect);
    ASSERT_EQ(list.rows.size(), 3u);
    EXPECT_EQ(list.rows[0].text, u"1");
    EXPECT_EQ(list.cell(1, 1), u"L");
    EXPECT_EQ(list.cell(1, 2), u"Falso");
    EXPECT_EQ(list.cell(1, 3), u"101");
    EXPECT_EQ(list.cell(1, 4), std::u16string(20, u' '));
    EXPECT_EQ(list.cell(1, 5), u"Puesto 1" + std::u16string(42, u' '));
    EXPECT_EQ(list.cell(1, 6), u"1");
    // The locked record: connected, blank texts and zero numbers.
    EXPECT_EQ(list.cell(2, 1), u" ");
    EXPECT_EQ(list.cell(2, 2), u"Verdadero");
    EXPECT_EQ(list.cell(2, 3), u"0");
    EXPECT_EQ(list.cell(2, 5), std::u16string(50, u' '));
    EXPECT_EQ(list.cell(2, 6), u"0");
    EXPECT_EQ(list.cell(3, 3), u"-5");
    EXPECT_EQ(list.cell(3, 5), std::u16string(50, u' '));
    EXPECT_EQ(list.cell(3, 6), u"255");
    EXPECT_EQ(window.shown, 3);
    EXPECT_TRUE(window.messages.empty());

    holder.stop();
    monitor.MLP_Show();
    EXPECT_EQ(list.headings.size(), 7u);
    EXPECT_EQ(list.cell(2, 2), u"Falso");
    EXPECT_EQ(list.cell(2, 3), u"102");
}

TEST_F(StationMonitorTest, RowsFollowTheFileLength) {
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        std::vector<std::u16string> rows;
        std::string caption;
    };
    auto partial = stationFile(3, 2);
    partial.resize(partial.size() + 10, 'x');
    const Case cases[] = {
        {"empty file", {}, {}, "0"},
        {"one byte", std::vector<unsigned char>{'L'}, {}, "0"},
        {"80 bytes", std::vector<unsigned char>(80, 7), {}, "7"},
        {"header only", stationFile(9, 0), {}, "9"},
        {"82 bytes", std::vector<unsigned char>(82, 5), {u"1"}, "5"},
        {"three whole records", stationFile(3, 2), {u"1", u"2"}, "3"},
        {"a partial header", std::vector<unsigned char>{'L', 0, 0, 200}, {}, "200"},
        {"a partial fourth record", partial, {u"1", u"2", u"3"}, "3"},
    };
    for (const auto& c : cases) {
        testing::writeBytes(path, c.bytes);
        monitor.MLP_Show();
        std::vector<std::u16string> rows;
        for (const auto& row : list.rows) {
            rows.push_back(row.text);
        }
        EXPECT_EQ(rows, c.rows) << c.what;
        EXPECT_EQ(window.title, caption(c.caption)) << c.what;
    }
    EXPECT_EQ(list.cell(3, 1), u"x");
    EXPECT_EQ(list.cell(3, 3), u"7895160") << "three of the four bytes exist";
    EXPECT_EQ(list.cell(3, 4), std::u16string(20, u' '));
    EXPECT_EQ(list.cell(3, 6), u"120");
}

TEST_F(StationMonitorTest, MissingFileIsCreatedAndNoRefreshWritesIt) {
    monitor.MLP_Show();
    ASSERT_TRUE(std::filesystem::is_regular_file(path));
    EXPECT_EQ(window.title, caption("0"));
    EXPECT_TRUE(list.headings.empty()) << "no station record, so the list is not set up";
    EXPECT_EQ(window.shown, 0);

    testing::writeBytes(path, stationFile(1, 4));
    const auto before = std::filesystem::last_write_time(path);
    for (int i = 0; i < 10; ++i) {
        monitor.MLP_Show();
    }
    EXPECT_EQ(testing::readBytes(path), stationFile(1, 4));
    EXPECT_EQ(std::filesystem::last_write_time(path), before);
}

TEST_F(StationMonitorTest, MarkerFileInTheCurrentFolderAddsLock) {
    testing::writeBytes(path, stationFile(2, 1));
    monitor.MLP_Show();
    EXPECT_EQ(window.title, caption("2"));

    std::filesystem::create_directory("out.vrl");
    monitor.MLP_Show();
    EXPECT_EQ(window.title, caption("2")) << "a folder named out.vrl does not count";
    std::filesystem::remove("out.vrl");

    testing::writeBytes("out.vrl", {});
    monitor.MLP_Show();
    monitor.MLP_Show();
    EXPECT_EQ(window.title, caption("2 LOCK"));

    std::filesystem::remove("out.vrl");
    monitor.MLP_Show();
    EXPECT_EQ(window.title, caption("2"));
}

TEST_F(StationMonitorTest, SelectionSurvivesRefreshesAndShrinking) {
    testing::writeBytes(path, stationFile(0, 9));
    monitor.MLP_Show();
    EXPECT_FALSE(list.selected) << "nothing is selected before the user selects";

    monitor.ListView1_Click();
    EXPECT_EQ(monitor.selectedRecord(), 0) << "a click with no selected row changes nothing";

    clickRow(7);
    EXPECT_EQ(monitor.selectedRecord(), 7);
    list.selected = 2;
    monitor.MLP_Show();
    EXPECT_EQ(list.selected, 6);
    EXPECT_EQ(list.visible.back(), 6);

    testing::writeBytes(path, stationFile(0, 5));
    monitor.MLP_Show();
    EXPECT_FALSE(list.selected) << "row 7 is gone";
    testing::writeBytes(path, stationFile(0, 8));
    monitor.MLP_Show();
    EXPECT_EQ(list.selected, 6) << "row 7 is back and selected without a click";

    list.selected = 4;
    monitor.ListView1_KeyDown(40, 0);
    EXPECT_EQ(monitor.selectedRecord(), 5)
        << "any key remembers the row selected once the list has acted on it";

    list.rows[2].text = u"abc";
    list.selected = 2;
    monitor.ListView1_Click();
    EXPECT_EQ(monitor.selectedRecord(), 5) << "a text that is no number changes nothing";
}

TEST_F(StationMonitorTest, RowErrorIsShownOnceAndTheRefreshGoesOn) {
    testing::writeBytes(path, stationFile(0, 3));
    list.failingMember = "setSubItem";
    list.failingAt = 1;
    list.failuresLeft = 1;
    monitor.MLP_Show();

    EXPECT_EQ(window.messages,
              std::vector<std::string>{std::to_string(EIO) + "-Input/output error"});
    ASSERT_EQ(list.rows.size(), 3u);
    EXPECT_TRUE(list.rows[1].subItems.empty()) << "the failed row stays as far as it was filled";
    EXPECT_EQ(list.cell(3, 6), u"3");
    EXPECT_EQ(window.shown, 2) << "the failed row does not show the window";
}

TEST_F(StationMonitorTest, SetUpIsRunAgainOnlyWhenItStoppedBeforeThreeHeadings) {
    testing::writeBytes(path, stationFile(0, 2));
    list.failingMember = "addColumnHeader";
    list.failingAt = 1;
    list.failuresLeft = 1;
    monitor.MLP_Show();
    EXPECT_EQ(window.messages.size(), 1u);
    EXPECT_EQ(list.headings.size(), 7u) << "the second row ran the set-up again";
    EXPECT_EQ(list.rows.size(), 1u) << "the set-up cleared the rows, then added row 2";

    list.headings.clear();
    list.failingAt = 4;
    list.failuresLeft = 1;
    monitor.MLP_Show();
    EXPECT_EQ(list.headings.size(), 4u) << "a set-up stopped after 4 headings is not resumed";
    EXPECT_EQ(list.rows.size(), 1u);
}

TEST_F(StationMonitorTest, UnreadableHeaderIsAnOutageShownOnce) {
    testing::writeBytes(path, stationFile(4, 2));
    monitor.MLP_Show();
    {
        LockHolder holder(path, {{10, 1}});
        monitor.MLP_Show();
        monitor.MLP_Show();
        EXPECT_EQ(window.messages,
                  std::vector<std::string>{Error::of(errc::RecordLocked).text('-')});
        EXPECT_EQ(window.title, caption("sin acceso"));
        EXPECT_EQ(list.rows.size(), 2u) << "the list stays as the last good refresh left it";
        EXPECT_TRUE(monitor.inOutage());
    }
    monitor.MLP_Show();
    EXPECT_EQ(window.title, caption("4"));
    EXPECT_FALSE(monitor.inOutage());
    EXPECT_EQ(window.messages.size(), 1u) << "the outage ends silently";
}

TEST_F(StationMonitorTest, FileThatCannotBeOpenedShowsItsOwnErrorOncePerOutage) {
    testing::writeBytes(path, stationFile(4, 2));
    monitor.MLP_Show();
    const std::string missing = dir.file("gone/MARLOVEN.SIT");
    monitor.MLP_SetFileName(missing);
    EXPECT_EQ(monitor.stationFileNumber(), 1) << "a new name does not close the open file";
    monitor.MLP_Show();
    monitor.MLP_Show();
    EXPECT_EQ(window.messages, std::vector<std::string>{std::to_string(ENOENT) +
                                                        "-No such file or directory: " + missing});
    EXPECT_EQ(window.title, caption("sin acceso"));
    EXPECT_EQ(monitor.stationFileNumber(), 1) << "the handle number stays although nothing is open";
    EXPECT_EQ(list.rows.size(), 2u);

    std::filesystem::create_directory(dir.file("gone"));
    testing::writeBytes(missing, stationFile(6, 1));
    monitor.MLP_Show();
    EXPECT_EQ(window.title, caption("6"));
    EXPECT_EQ(list.rows.size(), 1u);

    monitor.CloseStationFile();
    EXPECT_EQ(monitor.stationFileNumber(), 0);
    monitor.CloseStationFile();
    EXPECT_EQ(monitor.stationFileNumber(), 0);
}

TEST_F(StationMonitorTest, DefaultPathIsBesideTheExecutable) {
    RecordingList otherList;
    RecordingWindow otherWindow;
    StationMonitor fresh(otherWindow, otherList);
    const std::string expected = files::executableDirectory() + "/MARLOVEN.SIT";
    const bool existed = std::filesystem::exists(expected);
    fresh.MLP_Show();
    EXPECT_EQ(fresh.stationFileName(), expected);
    EXPECT_TRUE(std::filesystem::exists(expected));
    fresh.CloseStationFile();
    if (!existed) {
        std::filesystem::remove(expected);
    }
}

// The paths of this process's open descriptors.
std::vector<std::string> openFiles() {
    std::vector<std::string> paths;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(fd.path(), ec);
        if (!ec)
            paths.push_back(target.string());
    }
    return paths;
}

TEST_F(StationMonitorTest, NewFileNameClosesTheOldFileAtTheNextRefresh) {
    const std::string other = dir.file("OTRO.SIT");
    testing::writeBytes(path, stationFile(1, 2));
    testing::writeBytes(other, stationFile(2, 3));
    const auto count = [](const std::vector<std::string>& files, const std::string& file) {
        return std::count(files.begin(), files.end(), file);
    };
    monitor.MLP_Show();
    ASSERT_EQ(count(openFiles(), path), 1);

    monitor.MLP_SetFileName(other);
    EXPECT_EQ(count(openFiles(), path), 1) << "kept open until the next refresh";
    monitor.MLP_Show();
    const auto files = openFiles();
    EXPECT_EQ(count(files, path), 0) << "the old file's descriptor is still open";
    EXPECT_EQ(count(files, other), 1);
    EXPECT_EQ(list.rows.size(), 3u);
}

TEST_F(StationMonitorTest, HugeFileListsAtMostTheLimitAndSaysSo) {
    {
        std::ofstream grow(path, std::ios::binary);
        grow.write(reinterpret_cast<const char*>(stationFile(1, 0).data()), 81);
    }
    const std::uint64_t records = 13'000'000;
    std::filesystem::resize_file(path, records * 81); // sparse: nothing is written to the disk
    monitor.MLP_Show();
    ASSERT_EQ(list.rows.size(), StationMonitor::kMaxListedRows);
    EXPECT_EQ(list.rows.back().text, decimal16(StationMonitor::kMaxListedRows));
    EXPECT_EQ(window.title, caption("1 [10000 de 12999999]"));
}

TEST(ParseRowNumber, AcceptsDecimalTextWithin32Bits) {
    const std::pair<std::u16string, std::optional<std::int32_t>> cases[] = {
        {u"7", 7},
        {u" 12 ", 12},
        {u"-3", -3},
        {u"+4", 4},
        {u"2147483647", 2147483647},
        {u"-2147483648", INT32_MIN},
        {u"2147483648", {}},
        {u"", {}},
        {u"1a", {}},
        {u"- 1", {}},
        {u"12345678901", {}},
        {u"٣", {}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parseRowNumber(text), expected) << toUtf8(text);
    }
}

} // namespace
} // namespace orvendal::ui
