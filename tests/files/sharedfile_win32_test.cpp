#include "collectedlist.h"
#include "error.h"
#include "puestobloquedos.h"
#include "sharedfile.h"
#include "stationmonitor.h"
#include "stationtexts.h"
#include "win32error.h"
#include "windowsprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

namespace orvendal::files {
// The file layer is tested through the refresh that uses it.
using namespace orvendal::station;
using namespace orvendal::ui;
namespace {

using testing::ChildProcess;
using testing::TempFolder;
using testing::utf8;
using testing::wide;

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    const HANDLE file = ::CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD put = 0;
    ASSERT_TRUE(::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
    ::CloseHandle(file);
}

WIN32_FILE_ATTRIBUTE_DATA attributesOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(::GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) << path;
    return data;
}

std::uint64_t sizeOf(const std::string& path) {
    const auto data = attributesOf(path);
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

PuestoBloquedos station(std::int32_t number, std::u16string_view name, std::uint8_t tally = 0) {
    PuestoBloquedos record{};
    ClearRecord(record);
    record.StationNumber = number;
    record.Tally = tally;
    std::copy(name.begin(), name.end(), record.StationName.begin());
    return record;
}

// A station file: a header whose Tally is `tally`, then the given station records.
std::vector<std::uint8_t> stationFile(std::uint8_t tally,
                                      const std::vector<PuestoBloquedos>& stations) {
    std::vector<std::uint8_t> bytes;
    for (const auto& record : stations) {
        const auto stored = encodeRecord(record);
        bytes.insert(bytes.end(), stored.begin(), stored.end());
    }
    const auto header = encodeRecord(station(0, u"", tally));
    bytes.insert(bytes.begin(), header.begin(), header.end());
    return bytes;
}

TEST(WindowsSharedFile, CreatesAMissingFileEmptyAndNeverWritesAFile) {
    TempFolder folder;
    const std::string missing = folder.file(L"MARLOVEN.SIT");
    SharedFile created = SharedFile::open(missing);
    EXPECT_EQ(created.length(), 0u);
    std::array<std::uint8_t, 81> buffer{};
    EXPECT_EQ(created.readAt(0, buffer), 0u);
    created.close();
    EXPECT_EQ(sizeOf(missing), 0u);

    const std::string existing = folder.file(L"existing.sit");
    writeFile(existing, stationFile(7, {station(1, u"Uno")}));
    const auto before = attributesOf(existing);
    {
        SharedFile file = SharedFile::open(existing);
        EXPECT_EQ(file.length(), 2 * kRecordLength);
        EXPECT_EQ(file.readAt(0, buffer), kRecordLength);
    }
    const auto after = attributesOf(existing);
    EXPECT_EQ(sizeOf(existing), 2 * kRecordLength);
    EXPECT_EQ(::CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime), 0);
}

TEST(WindowsSharedFile, RefusesFoldersAndDevices) {
    TempFolder folder;
    const std::string sub = folder.file(L"MARLOVEN.SIT");
    ASSERT_TRUE(::CreateDirectoryW(wide(sub).c_str(), nullptr));
    // A device opens and is refused; a folder cannot even be opened for reading; a console
    // cannot be opened by a process that has none.
    const struct {
        const char* what;
        std::string path;
        std::vector<std::error_code> codes;
    } cases[] = {
        {"the null device", "NUL", {errc::NotRegularFile}},
        {"the console", "CON", {errc::NotRegularFile, win32Code(ERROR_INVALID_HANDLE)}},
        {"a folder", sub, {win32Code(ERROR_ACCESS_DENIED)}},
        {"a folder, with a separator", sub + "\\", {win32Code(ERROR_ACCESS_DENIED)}},
        {"a drive's root", folder.file(L"").substr(0, 3), {win32Code(ERROR_ACCESS_DENIED)}},
        // Windows names a server's file by its UNC path; an smb:// URL is told so, not opened.
        {"an smb:// URL", "smb://server/share/MARLOVEN.SIT", {win32Code(ERROR_NOT_SUPPORTED)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            SharedFile::open(c.path);
            ADD_FAILURE() << c.path << " opened";
        } catch (const Error& e) {
            EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), e.code()), c.codes.end())
                << e.code().category().name() << ' ' << e.text('-');
            EXPECT_NE(e.description().find(c.path), std::string::npos) << e.description();
        }
    }
}

// Folders made and removed through the \\?\ prefix, which takes a path of any length.
class Folders {
public:
    ~Folders() {
        for (auto folder = made_.rbegin(); folder != made_.rend(); ++folder) {
            for (const wchar_t* name : {L"\\MARLOVEN.SIT", L"\\Espa\u00F1a.SIT"}) {
                ::DeleteFileW((L"\\\\?\\" + *folder + name).c_str());
            }
            ::RemoveDirectoryW((L"\\\\?\\" + *folder).c_str());
        }
    }
    void make(const std::wstring& folder) {
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr)) << utf8(folder);
        made_.push_back(folder);
    }

private:
    std::vector<std::wstring> made_;
};

TEST(WindowsSharedFile, OpensAFileInAFolderOfAnyNameAndLength) {
    TempFolder outer;
    const std::wstring longName(60, L'd');
    const struct {
        const char* what;
        std::vector<std::wstring> folders;
    } cases[] = {
        {"a name beyond ASCII", {L"\u00C1rea de trabajo \u00F1 \u20AC"}},
        {"a path past MAX_PATH",
         {longName + L"1", longName + L"2", longName + L"3", longName + L"4",
          L"\u00C1rea " + longName}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folders made;
        std::wstring folder = outer.path();
        for (const std::wstring& name : c.folders) {
            folder += L"\\" + name;
            made.make(folder);
        }
        const std::string path = utf8(folder + L"\\MARLOVEN.SIT");
        const auto bytes = stationFile(3, {station(1, u"Peña"), station(2, u"Ñandú")});
        writeFile("\\\\?\\" + path, bytes);
        EXPECT_TRUE(regularFileExists(path));

        SharedFile file = SharedFile::open(path);
        ASSERT_EQ(file.length(), bytes.size());
        std::vector<std::uint8_t> read(bytes.size());
        EXPECT_EQ(file.readAt(0, read), bytes.size());
        EXPECT_EQ(read, bytes);
        file.close();

        // A missing file there is created, under the same name.
        const std::wstring fresh = folder + L"\\Espa\u00F1a.SIT";
        SharedFile::open(utf8(fresh)).close();
        EXPECT_NE(::GetFileAttributesW((L"\\\\?\\" + fresh).c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

TEST(WindowsSharedFile, ReadsShortAtTheEnd) {
    TempFolder folder;
    const std::string path = folder.file(L"short.sit");
    std::vector<std::uint8_t> bytes(100);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    writeFile(path, bytes);
    const SharedFile file = SharedFile::open(path);
    EXPECT_EQ(file.lockDetection(), LockDetection::ReadFailure);
    const struct {
        std::uint64_t offset;
        std::size_t wanted;
        std::size_t got;
    } cases[] = {{0, 81, 81}, {81, 81, 19}, {99, 81, 1}, {100, 81, 0}, {5000, 81, 0}, {0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        std::vector<std::uint8_t> buffer(c.wanted, 0xEE);
        const auto got = file.tryReadAt(c.offset, buffer);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, c.got);
        for (std::size_t i = 0; i < *got; ++i) {
            EXPECT_EQ(buffer[i], bytes[c.offset + i]);
        }
    }
    // Nothing on Windows can ask about a lock without taking it.
    EXPECT_THROW(file.findLock(0, 81), Error);
}

TEST(WindowsSharedFile, ExecutableDirectoryHoldsTheRunningProgram) {
    const std::string folder = executableDirectory();
    EXPECT_NE(folder.back(), '\\');
    EXPECT_TRUE(regularFileExists(folder + "\\files_tests.exe")) << folder;
    EXPECT_EQ(defaultStationFileName(), folder + "\\MARLOVEN.SIT");
}

TEST(WindowsSharedFile, RegularFileExistsCountsOnlyPlainFiles) {
    TempFolder folder;
    const struct {
        const wchar_t* name;
        DWORD attributes; // 0: a folder; INVALID_FILE_ATTRIBUTES: nothing there
        bool counts;
    } cases[] = {
        {L"plain", FILE_ATTRIBUTE_NORMAL, true},      {L"read-only", FILE_ATTRIBUTE_READONLY, true},
        {L"archived", FILE_ATTRIBUTE_ARCHIVE, true},  {L"hidden", FILE_ATTRIBUTE_HIDDEN, false},
        {L"system", FILE_ATTRIBUTE_SYSTEM, false},    {L"folder", 0, false},
        {L"missing", INVALID_FILE_ATTRIBUTES, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(utf8(c.name));
        const std::string path = folder.file(c.name);
        if (c.attributes == 0) {
            ASSERT_TRUE(::CreateDirectoryW(wide(path).c_str(), nullptr));
        } else if (c.attributes != INVALID_FILE_ATTRIBUTES) {
            writeFile(path, {1, 2, 3});
            ASSERT_TRUE(::SetFileAttributesW(wide(path).c_str(), c.attributes));
        }
        EXPECT_EQ(regularFileExists(path), c.counts);
    }
}

// Runs the monitor's refresh on `path` with "out.vrl" looked for in `markerFolder`.
void refresh(const std::string& path, const std::wstring& markerFolder, CollectedList& list,
             CollectedWindow& window) {
    wchar_t previous[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(markerFolder.c_str()));
    StationMonitor monitor(window, list);
    monitor.MLP_SetFileName(path);
    monitor.MLP_Show();
    monitor.CloseStationFile();
    ::SetCurrentDirectoryW(previous);
}

TEST(WindowsStationMonitor, ListsACraftedFile) {
    TempFolder folder;
    const std::string path = folder.file(L"MARLOVEN.SIT");
    writeFile(path, stationFile(3, {station(11, u"Peña €", 4), station(12, u"Ñandú")}));
    {
        CollectedList list;
        CollectedWindow window;
        refresh(path, folder.path(), list, window);
        EXPECT_TRUE(window.messages().empty());
        EXPECT_EQ(window.caption(), u"Conexiones activas: 3");
        ASSERT_EQ(list.rows().size(), 2u);
        EXPECT_EQ(list.rows()[0][0], u"1");
        EXPECT_EQ(list.rows()[0][2], kFalseWord);
        EXPECT_EQ(list.rows()[0][3], u"11");
        EXPECT_EQ(list.rows()[0][5].substr(0, 6), u"Peña €");
        EXPECT_EQ(list.rows()[0][6], u"4");
        EXPECT_EQ(list.rows()[1][0], u"2");
        EXPECT_EQ(list.rows()[1][5].substr(0, 5), u"Ñandú");
    }
    writeFile(folder.file(L"out.vrl"), {});
    CollectedList list;
    CollectedWindow window;
    refresh(path, folder.path(), list, window);
    EXPECT_EQ(window.caption(), u"Conexiones activas: 3 LOCK");
}

// Windows' byte-range locks are mandatory and the monitor sees them only through a failed read;
// Wine keeps the locks (another process's LockFileEx is refused) but lets every read through.
TEST(WindowsStationMonitor, RecordLockedByAnotherProcessIsConnected) {
    TempFolder folder;
    const std::string path = folder.file(L"MARLOVEN.SIT");
    writeFile(path,
              stationFile(2, {station(11, u"Uno"), station(12, u"Dos"), station(13, u"Tres")}));
    const std::wstring holder = wide(executableDirectory()) + L"\\orvendal_lock_holder.exe";
    // Record 3, row 2, as the workstation of that row locks it.
    ChildProcess workstation(
        holder, {path, std::to_string(2 * kRecordLength), std::to_string(kRecordLength)});
    ASSERT_EQ(workstation.readLine(), "locked");
    ChildProcess second(holder, {path, std::to_string(2 * kRecordLength + 40), "1"});
    EXPECT_EQ(second.readLine(), "refused");
    EXPECT_EQ(second.finish().second, 1u);

    if (testing::runningUnderWine()) {
        GTEST_SKIP() << "needs Windows: Wine's ReadFile does not fail on a range that another "
                        "process has locked";
    }
    CollectedList list;
    CollectedWindow window;
    refresh(path, folder.path(), list, window);
    EXPECT_TRUE(window.messages().empty());
    ASSERT_EQ(list.rows().size(), 3u);
    const std::u16string_view expected[] = {kFalseWord, kTrueWord, kFalseWord};
    for (std::size_t row = 0; row < 3; ++row) {
        EXPECT_EQ(list.rows()[row][2], expected[row]) << "row " << row + 1;
    }
    // A connected station's fields stay blank: its record could not be read.
    EXPECT_EQ(list.rows()[1][3], u"0");
    EXPECT_EQ(list.rows()[2][3], u"13");
}

} // namespace
} // namespace orvendal::files
