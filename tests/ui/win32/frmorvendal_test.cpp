#include "wintesting.h"

#include "puestobloquedos.h"

#include <atomic>
#include <cmath>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace orvendal::testing {
namespace {

const std::u16string kOutageCaption = u"Conexiones activas: sin acceso";

using WindowTest = WindowFixture;

// Twips at the DPI the system gave the window: 96 on a desktop at 100 %, 144 at 150 %.
int pixels(float twips, UINT dpi) {
    return static_cast<int>(std::lround(twips * static_cast<float>(dpi) / 1440.0f));
}

TEST_F(WindowTest, DesignValuesBeforeTheFirstShow) {
    const auto window = create();
    const HWND frame = window->handle();
    const UINT dpi = ::GetDpiForWindow(frame);
    EXPECT_EQ(windowText(frame), u"Conexiónes Reales Activas");
    RECT client;
    ::GetClientRect(frame, &client);
    // 312 x 206 pixels at 96 DPI.
    EXPECT_EQ(client.right, pixels(4680, dpi));
    EXPECT_EQ(client.bottom, pixels(3090, dpi));
    const RECT listPlace = placeInParent(list(*window));
    EXPECT_EQ(listPlace.left, 0);
    EXPECT_EQ(listPlace.top, 0);
    EXPECT_EQ(listPlace.right, pixels(4635, dpi));
    EXPECT_EQ(listPlace.bottom, pixels(3075, dpi));
    // 206, -2, 85, 13 at 96 DPI.
    const RECT boxPlace = placeInParent(checkBox(*window));
    EXPECT_EQ(boxPlace.left, pixels(3090, dpi));
    EXPECT_EQ(boxPlace.top, pixels(-30, dpi));
    EXPECT_EQ(boxPlace.right - boxPlace.left, pixels(1275, dpi));
    EXPECT_EQ(boxPlace.bottom - boxPlace.top, pixels(195, dpi));
    EXPECT_EQ(windowText(checkBox(*window)), u"AutoRefresh");
    EXPECT_EQ(::SendMessageW(checkBox(*window), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_FALSE(::IsWindowVisible(frame));
    // The box lies in front of the list, and the list is first to hold the focus.
    EXPECT_EQ(::GetWindow(frame, GW_CHILD), checkBox(*window));
    EXPECT_EQ(::GetWindowLongPtrW(list(*window), GWL_STYLE) & WS_CLIPSIBLINGS, WS_CLIPSIBLINGS);

    // The caption fits the box at the font the window gave it.
    const HDC screen = ::GetDC(checkBox(*window));
    const HGDIOBJ font = ::SelectObject(
        screen, reinterpret_cast<HGDIOBJ>(::SendMessageW(checkBox(*window), WM_GETFONT, 0, 0)));
    SIZE caption{};
    ::GetTextExtentPoint32W(screen, L"AutoRefresh", 11, &caption);
    ::SelectObject(screen, font);
    ::ReleaseDC(checkBox(*window), screen);
    EXPECT_LE(caption.cx + ::GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi), pixels(1275, dpi))
        << "the caption is cut off";

    // The icon: a 4 x 4 grid of the 16 standard colours, each square followed by a black line.
    const auto icon = reinterpret_cast<HICON>(::SendMessageW(frame, WM_GETICON, ICON_BIG, 0));
    ASSERT_NE(icon, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(::GetIconInfo(icon, &info));
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    // The icon as large as the window's DPI asks: the 32-pixel drawing, scaled.
    BITMAP image{};
    ASSERT_TRUE(::GetObjectW(info.hbmColor, sizeof image, &image));
    const int size = image.bmWidth;
    EXPECT_EQ(size, ::GetSystemMetricsForDpi(SM_CXICON, dpi));
    format.bmiHeader.biWidth = size;
    format.bmiHeader.biHeight = -size;
    std::vector<DWORD> bits(static_cast<std::size_t>(size * size));
    const HDC dc = ::GetDC(nullptr);
    const int lines = ::GetDIBits(dc, info.hbmColor, 0, size, bits.data(), &format, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, dc);
    ::DeleteObject(info.hbmColor);
    ::DeleteObject(info.hbmMask);
    ASSERT_EQ(lines, size);
    const DWORD palette[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                               0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                               0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    // The pixel of the drawing's (x, y), at the middle of where the scaling put it.
    const auto pixel = [&](int x, int y) {
        return bits[static_cast<std::size_t>((2 * y + 1) * size / 64 * size +
                                             (2 * x + 1) * size / 64)] &
               0xFFFFFF;
    };
    for (int i = 0; i < 16; ++i) {
        const int left = (i % 4) * 8;
        const int top = (i / 4) * 8;
        EXPECT_EQ(pixel(left, top), palette[i]) << "colour " << i;
        EXPECT_EQ(pixel(left + 6, top + 6), palette[i]) << "colour " << i;
        EXPECT_EQ(pixel(left + 7, top), 0u) << "line after colour " << i;
        EXPECT_EQ(pixel(left, top + 7), 0u) << "line below colour " << i;
    }
}

TEST_F(WindowTest, FirstRefreshFillsTheListAndMakesTheWindowTopmost) {
    const std::u16string headings[] = {
        u"Rec", u"LC", u"Conectado", u"Puesto", u"Conexión", u"Nombre Puesto", u"Contador"};
    for (const int stations : {3, 0}) {
        SCOPED_TRACE(stations);
        writeStationFile(path, stations, 2);
        const auto window = open();
        const HWND frame = window->handle();
        EXPECT_TRUE(boxes.empty());
        EXPECT_TRUE(::IsWindowVisible(frame));
        EXPECT_EQ(windowText(frame), u"Conexiones activas: 2");
        EXPECT_EQ(::GetWindowLongPtrW(frame, GWL_EXSTYLE) & WS_EX_TOPMOST, WS_EX_TOPMOST);
        const HWND rows = list(*window);
        // The list holds the focus when the window opens.
        EXPECT_TRUE(waitUntil([&] { return ::GetFocus() == rows; }, 2000));
        ASSERT_EQ(rowCount(rows), stations);
        if (stations == 0) {
            // Nothing set the list up: no headings, no report view.
            EXPECT_EQ(Header_GetItemCount(ListView_GetHeader(rows)), 0);
            continue;
        }
        EXPECT_EQ(::GetWindowLongPtrW(rows, GWL_STYLE) & LVS_TYPEMASK, LVS_REPORT);
        EXPECT_EQ(ListView_GetExtendedListViewStyle(rows) & LVS_EX_FULLROWSELECT,
                  static_cast<DWORD>(LVS_EX_FULLROWSELECT));
        EXPECT_EQ(::GetWindowLongPtrW(rows, GWL_STYLE) & LVS_EDITLABELS, 0);
        const HWND header = ListView_GetHeader(rows);
        ASSERT_EQ(Header_GetItemCount(header), 7);
        for (int column = 0; column < 7; ++column) {
            wchar_t text[64] = {};
            HDITEMW item{};
            item.mask = HDI_TEXT | HDI_WIDTH;
            item.pszText = text;
            item.cchTextMax = 64;
            ASSERT_TRUE(
                ::SendMessageW(header, HDM_GETITEMW, column, reinterpret_cast<LPARAM>(&item)));
            EXPECT_EQ(std::u16string(text, text + wcslen(text)), headings[column]);
            EXPECT_EQ(item.cxy, static_cast<int>(::GetDpiForWindow(frame)))
                << "a heading's default width is an inch";
        }
        for (int row = 0; row < 3; ++row) {
            const std::u16string number(1, static_cast<char16_t>(u'1' + row));
            EXPECT_EQ(cellText(rows, row, 0), number);
            EXPECT_EQ(cellText(rows, row, 1), u"A");
            EXPECT_EQ(cellText(rows, row, 2), u"Falso");
            EXPECT_EQ(cellText(rows, row, 3), u"10" + number);
            EXPECT_EQ(cellText(rows, row, 4), (u"TERM" + number).append(15, u' '));
            EXPECT_EQ(cellText(rows, row, 5), (u"Caja " + number).append(44, u' '));
            EXPECT_EQ(cellText(rows, row, 6), number);
        }
        EXPECT_EQ(cellText(rows, 3, 0), u"") << "past the last row";
    }
}

// A file server that answers late: the worker's open of the station file waits until released.
// The test program's own import of CreateFileW is redirected, and the window's thread passes
// through.
class LateStationFile {
public:
    explicit LateStationFile(DWORD windowThread) {
        state().window = windowThread;
        state().gate = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        slot_ = importSlot(reinterpret_cast<void*>(&::CreateFileW));
        if (slot_ != nullptr) {
            state().real = &::CreateFileW;
            write(reinterpret_cast<void*>(&createFile));
        }
    }
    LateStationFile(const LateStationFile&) = delete;
    LateStationFile& operator=(const LateStationFile&) = delete;
    ~LateStationFile() {
        release();
        if (slot_ != nullptr) {
            write(reinterpret_cast<void*>(state().real));
        }
        ::CloseHandle(state().gate);
    }
    bool hooked() const { return slot_ != nullptr; }
    bool held() const { return state().held.load(); }
    void release() { ::SetEvent(state().gate); }

private:
    struct State {
        DWORD window = 0;
        HANDLE gate = nullptr;
        decltype(&::CreateFileW) real = nullptr;
        std::atomic<bool> held = false;
    };
    static State& state() {
        static State shared;
        return shared;
    }
    static HANDLE WINAPI createFile(LPCWSTR name, DWORD access, DWORD share,
                                    LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                    HANDLE model) {
        if (::GetCurrentThreadId() != state().window && name != nullptr &&
            std::wstring_view(name).ends_with(L"MARLOVEN.SIT")) {
            state().held = true;
            ::WaitForSingleObject(state().gate, INFINITE);
        }
        return state().real(name, access, share, security, disposition, flags, model);
    }
    // The program's import table entry that holds `function`.
    static void** importSlot(void* function) {
        auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const auto& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* module =
                 reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             module->Name != 0; ++module) {
            for (auto* entry = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
                 entry->u1.Function != 0; ++entry) {
                if (reinterpret_cast<void*>(entry->u1.Function) == function) {
                    return reinterpret_cast<void**>(&entry->u1.Function);
                }
            }
        }
        return nullptr;
    }
    void write(void* value) {
        DWORD previous = 0;
        ::VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &previous);
        *slot_ = value;
        ::VirtualProtect(slot_, sizeof *slot_, previous, &previous);
    }

    void** slot_ = nullptr;
};

// Records the captions the window shows: the one it has when it becomes visible, and every one
// it is given while visible.
LRESULT CALLBACK recordCaptions(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                DWORD_PTR seen) {
    auto& captions = *reinterpret_cast<std::vector<std::u16string>*>(seen);
    if (message == WM_SETTEXT && ::IsWindowVisible(window)) {
        const auto* text = reinterpret_cast<const wchar_t*>(lParam);
        captions.emplace_back(text, text + wcslen(text));
    } else if (message == WM_WINDOWPOSCHANGED &&
               (reinterpret_cast<const WINDOWPOS*>(lParam)->flags & SWP_SHOWWINDOW) != 0) {
        captions.push_back(windowText(window));
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}

// The design caption is never seen: whether the first refresh ends within the load's wait or
// long after it, the window comes up with the refresh's caption.
TEST_F(WindowTest, TheDesignCaptionIsNeverSeen) {
    struct Case {
        const char* name;
        bool late;
        int stations; // -1: the file's folder is missing
        std::u16string caption;
    };
    const Case cases[] = {
        {"in time", false, 3, u"Conexiones activas: 2"},
        {"late", true, 3, u"Conexiones activas: 2"},
        {"late, no station", true, 0, u"Conexiones activas: 2"},
        {"late, out of reach", true, -1, kOutageCaption},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        path = dir.file(c.stations < 0 ? L"missing\\MARLOVEN.SIT" : L"MARLOVEN.SIT");
        if (c.stations >= 0) {
            writeStationFile(path, c.stations, 2);
        }
        const auto window = create();
        std::vector<std::u16string> seen;
        ASSERT_TRUE(::SetWindowSubclass(window->handle(), recordCaptions, 1,
                                        reinterpret_cast<DWORD_PTR>(&seen)));
        std::vector<bool> visibleAtBox;
        onBox = [&](const std::u16string&) {
            visibleAtBox.push_back(::IsWindowVisible(window->handle()));
        };
        {
            std::optional<LateStationFile> late;
            if (c.late) {
                late.emplace(::GetCurrentThreadId());
                ASSERT_TRUE(late->hooked());
            }
            window->show();
            if (late) {
                ASSERT_TRUE(late->held()) << "the first refresh was not held";
                // The load's wait is over: nothing is shown while the refresh waits on.
                pumpFor(300);
                EXPECT_FALSE(::IsWindowVisible(window->handle()));
            }
        }
        ASSERT_TRUE(waitUntil([&] { return ::IsWindowVisible(window->handle()) == TRUE; }));
        pumpFor(100);
        ::RemoveWindowSubclass(window->handle(), recordCaptions, 1);
        onBox = nullptr;
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front(), c.caption);
        for (const auto& caption : seen) {
            EXPECT_NE(caption, u"Conexiónes Reales Activas");
        }
        EXPECT_EQ(visibleAtBox, std::vector<bool>(c.stations < 0 ? 1 : 0, false));
    }
}

// Registry values as another program, or the user, may have left them.
void plantSettings(const std::wstring& key,
                   std::initializer_list<std::pair<const wchar_t*, DWORD>> values) {
    HKEY settings = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                nullptr, &settings, nullptr),
              ERROR_SUCCESS);
    for (const auto& [name, value] : values) {
        ::RegSetValueExW(settings, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                         sizeof value);
    }
    ::RegCloseKey(settings);
}

std::vector<int> columnWidths(HWND list) {
    std::vector<int> widths;
    for (int column = 0; column < Header_GetItemCount(ListView_GetHeader(list)); ++column) {
        widths.push_back(ListView_GetColumnWidth(list, column));
    }
    return widths;
}

// The window comes back as the user closed it: size, place and column widths; a place on no
// monitor, or values out of reason, give way to the design values.
TEST_F(WindowTest, TheWindowComesBackAsItWasClosed) {
    writeStationFile(path, 3, 1);
    const auto outer = [](const ui::frmOrvendal& window) {
        RECT place;
        ::GetWindowRect(window.handle(), &place);
        return place;
    };
    UINT dpi = 0;
    RECT design{};
    {
        const auto window = open();
        dpi = ::GetDpiForWindow(window->handle());
        design = outer(*window);
        ::SetWindowPos(window->handle(), nullptr, 150, 120, 500, 400, SWP_NOZORDER);
        ListView_SetColumnWidth(list(*window), 1, 37);
        ListView_SetColumnWidth(list(*window), 5, 222);
        ::PostMessageW(window->handle(), WM_CLOSE, 0, 0);
        ASSERT_EQ(window->run(), 0);
    }
    const int inch = static_cast<int>(dpi);
    const std::vector<int> widths = {inch, 37, inch, inch, inch, 222, inch};
    {
        const auto window = open();
        const RECT place = outer(*window);
        EXPECT_EQ(place.left, 150);
        EXPECT_EQ(place.top, 120);
        EXPECT_EQ(place.right - place.left, 500);
        EXPECT_EQ(place.bottom - place.top, 400);
        EXPECT_EQ(columnWidths(list(*window)), widths);
        // Closed again unchanged, and a list without headings: the widths stay as they were.
        writeStationFile(path, 0, 1);
        window->MLP_Show();
        ::PostMessageW(window->handle(), WM_CLOSE, 0, 0);
        ASSERT_EQ(window->run(), 0);
    }
    writeStationFile(path, 3, 1);
    {
        // Far off any monitor: the system places the window, which keeps its size.
        plantSettings(settingsKey, {{L"Left", 20000}, {L"Top", 20000}});
        const auto window = open();
        const RECT place = outer(*window);
        EXPECT_NE(::MonitorFromRect(&place, MONITOR_DEFAULTTONULL), nullptr);
        EXPECT_EQ(place.right - place.left, 500);
        EXPECT_EQ(place.bottom - place.top, 400);
        EXPECT_EQ(columnWidths(list(*window)), widths);
    }
    {
        // No size at all: the design values, the widths included.
        plantSettings(settingsKey, {{L"Left", 150}, {L"Top", 120}, {L"Width", 0}});
        const auto window = open();
        const RECT place = outer(*window);
        EXPECT_EQ(place.right - place.left, design.right - design.left);
        EXPECT_EQ(place.bottom - place.top, design.bottom - design.top);
        EXPECT_EQ(columnWidths(list(*window)), std::vector<int>(7, inch));
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowTest, ListFollowsTheOuterSizeLessTheGap) {
    writeStationFile(path, 2, 1);
    const auto window = open();
    const HWND frame = window->handle();
    const auto listSize = [&] {
        const RECT place = placeInParent(list(*window));
        return std::pair(place.right - place.left, place.bottom - place.top);
    };
    const auto outerSize = [&] {
        RECT outer;
        ::GetWindowRect(frame, &outer);
        return std::pair(outer.right - outer.left, outer.bottom - outer.top);
    };
    const UINT dpi = ::GetDpiForWindow(frame);
    // Shown, the list fills the window's outer width and its outer height less 600 twips.
    const int gap = pixels(600, dpi);
    EXPECT_EQ(listSize(), std::pair(outerSize().first, outerSize().second - gap));
    for (const auto& size : {std::pair(500, 400), std::pair(260, 300)}) {
        ::SetWindowPos(frame, nullptr, 0, 0, size.first, size.second, SWP_NOMOVE | SWP_NOZORDER);
        EXPECT_EQ(listSize(), std::pair(outerSize().first, outerSize().second - gap));
        const RECT boxPlace = placeInParent(checkBox(*window));
        EXPECT_EQ(boxPlace.left, pixels(3090, dpi)) << "the box never moves";
    }
    const auto laidOut = listSize();
    ::ShowWindow(frame, SW_MINIMIZE);
    pumpFor(100);
    EXPECT_EQ(listSize(), laidOut) << "a minimised window is shorter than the gap";
    ::ShowWindow(frame, SW_RESTORE);
    pumpFor(100);
    EXPECT_EQ(listSize(), std::pair(outerSize().first, outerSize().second - gap));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowTest, SelectionSurvivesRefreshesAndScrollPositionIsKept) {
    writeStationFile(path, 300, 1);
    const auto window = open();
    ::SendMessageW(checkBox(*window), BM_CLICK, 0, 0);
    const HWND rows = list(*window);
    ::SetWindowPos(window->handle(), nullptr, 0, 0, 400, 300, SWP_NOMOVE | SWP_NOZORDER);

    // Without a remembered row, a refresh keeps the list where the user scrolled it.
    ListView_Scroll(rows, 0, 40 * ListView_GetItemSpacing(rows, TRUE) / 65536 + 400);
    const int top = ListView_GetTopIndex(rows);
    ASSERT_GT(top, 10);
    window->MLP_Show();
    pumpFor(50);
    EXPECT_EQ(ListView_GetTopIndex(rows), top);
    EXPECT_EQ(selectedRow(rows), -1);

    // A right click remembers nothing; a left click remembers the selected row's number.
    selectRow(rows, 19);
    notifyFromList(window->handle(), NM_RCLICK, 19);
    window->MLP_Show();
    EXPECT_EQ(selectedRow(rows), -1);
    selectRow(rows, 19);
    notifyFromList(window->handle(), NM_CLICK, 19);
    ListView_EnsureVisible(rows, 250, FALSE);
    for (int refresh = 0; refresh < 3; ++refresh) {
        window->MLP_Show();
        pumpFor(20);
        EXPECT_EQ(selectedRow(rows), 19);
    }
    // The refresh brings the remembered row back into view.
    EXPECT_LE(ListView_GetTopIndex(rows), 19);

    // A key sent to the list past the window's loop remembers the row the list moved on to.
    selectRow(rows, 40);
    ::SendMessageW(rows, WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(selectedRow(rows), 41);
    selectRow(rows, 40);
    window->MLP_Show();
    EXPECT_EQ(selectedRow(rows), 41);
    EXPECT_EQ(rowCount(rows), 300);
    EXPECT_EQ(cellText(rows, 299, 0), u"300");
}

TEST_F(WindowTest, TimerRunsExactlyWhenTheBoxIsTicked) {
    writeStationFile(path, 1, 4);
    const auto window = open();
    const HWND frame = window->handle();
    const HWND box = checkBox(*window);
    // Every refresh sets the caption: whether one ran shows in it.
    const auto refreshedWithin = [&](DWORD ms) {
        ::SetWindowTextW(frame, L"espera");
        return waitUntil([&] { return windowText(frame) != u"espera"; }, ms);
    };
    EXPECT_TRUE(refreshedWithin(1500));
    const auto setBox = [&](WPARAM value) {
        ::SendMessageW(box, BM_SETCHECK, value, 0);
        ::SendMessageW(frame, WM_COMMAND, MAKEWPARAM(kCheckBoxId, BN_CLICKED),
                       reinterpret_cast<LPARAM>(box));
    };
    struct Step {
        WPARAM value;
        bool running;
    };
    // A two-state box: the greyed value 2 never arises.
    for (const Step step : {Step{BST_UNCHECKED, false}, Step{BST_CHECKED, true},
                            Step{BST_UNCHECKED, false}, Step{BST_CHECKED, true}}) {
        SCOPED_TRACE(step.value);
        setBox(step.value);
        EXPECT_EQ(refreshedWithin(1200), step.running);
    }
    // A click of the user's unticks the box and stops the refreshes at once.
    ::SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(::SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_FALSE(refreshedWithin(1200));
    EXPECT_EQ(windowText(frame), u"espera");
    ::SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_TRUE(refreshedWithin(1500));
    EXPECT_EQ(windowText(frame), u"Conexiones activas: 4");
}

TEST_F(WindowTest, NoRefreshStartsWhileABoxWaits) {
    enum class When { StartUp, Tick };
    for (const When when : {When::StartUp, When::Tick}) {
        SCOPED_TRACE(when == When::StartUp ? "a box of the first refresh" : "a box at a tick");
        boxes.clear();
        const std::filesystem::path folder = dir.file(when == When::StartUp ? L"missing" : L"here");
        path = (folder / "MARLOVEN.SIT").string();
        if (when == When::Tick) {
            std::filesystem::create_directory(folder);
            writeStationFile(path, 3, 4);
        }
        const auto window = create();
        std::optional<std::u16string> captionAfterWait;
        onBox = [&](const std::u16string&) {
            ::SetWindowTextW(window->handle(), L"espera");
            pumpFor(1300);
            captionAfterWait = windowText(window->handle());
        };
        window->show();
        if (when == When::Tick) {
            EXPECT_TRUE(boxes.empty());
            std::filesystem::rename(folder, dir.file(L"away"));
            EXPECT_TRUE(waitUntil([&] { return !boxes.empty(); }));
        }
        onBox = nullptr;
        EXPECT_EQ(captionAfterWait, u"espera");
        EXPECT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(::IsWindowVisible(window->handle()));
        // The refreshes go on once the box is answered, with no box of their own.
        EXPECT_TRUE(waitUntil([&] { return windowText(window->handle()) == kOutageCaption; }));
        EXPECT_EQ(boxes.size(), 1u);
    }
}

TEST_F(WindowTest, AnOutageKeepsTheListAndIsReportedOnce) {
    const std::filesystem::path folder = dir.file(L"stations");
    std::filesystem::create_directory(folder);
    path = (folder / "MARLOVEN.SIT").string();
    writeStationFile(path, 3, 5);
    const auto window = open();
    ::SendMessageW(checkBox(*window), BM_CLICK, 0, 0);
    const std::u16string good = u"Conexiones activas: 5";
    ASSERT_EQ(windowText(window->handle()), good);
    struct Step {
        const char* name;
        std::function<void()> change;
        std::u16string caption;
        std::size_t boxes;
    };
    const Step steps[] = {
        {"file out of reach", [&] { std::filesystem::rename(folder, dir.file(L"away")); },
         kOutageCaption, 1},
        {"still out of reach", [] {}, kOutageCaption, 1},
        {"file back", [&] { std::filesystem::rename(dir.file(L"away"), folder); }, good, 1},
        {"a folder in the file's place",
         [&] {
             // The monitor holds the file open: it can be renamed, not yet removed.
             std::filesystem::rename(path, path + ".old");
             std::filesystem::create_directory(path);
         },
         kOutageCaption, 2},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.change();
        window->MLP_Show();
        EXPECT_EQ(windowText(window->handle()), step.caption);
        EXPECT_EQ(rowCount(list(*window)), 3);
        EXPECT_EQ(boxes.size(), step.boxes);
    }
    // The system's own number and description of the missing folder.
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0].substr(0, 2), u"3-") << toUtf8(boxes[0]);
}

// A list control that refuses new headings: each row's set-up fails, and each failure is shown
// in its own box while the refresh goes on.
LRESULT CALLBACK refuseHeadings(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                DWORD_PTR) {
    if (message == LVM_INSERTCOLUMNW) {
        return -1;
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}

TEST_F(WindowTest, ARowThatCannotBeListedIsReportedInItsOwnBox) {
    writeStationFile(path, 2, 7);
    const auto window = create();
    ASSERT_TRUE(::SetWindowSubclass(list(*window), refuseHeadings, 1, 0));
    window->show();
    ASSERT_EQ(boxes.size(), 2u);
    for (const auto& box : boxes) {
        EXPECT_EQ(box, u"1099-fallo inesperado: LVM_INSERTCOLUMNW");
    }
    EXPECT_FALSE(window->endStatus());
    EXPECT_EQ(windowText(window->handle()), u"Conexiones activas: 7");
    EXPECT_TRUE(::IsWindowVisible(window->handle()));
    ::RemoveWindowSubclass(list(*window), refuseHeadings, 1);
    window->MLP_Show();
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(rowCount(list(*window)), 2);
    EXPECT_EQ(cellText(list(*window), 1, 5).substr(0, 6), u"Caja 2");
}

TEST_F(WindowTest, AnErrorLeavingAHandlerIsReportedAndEndsTheProgram) {
    path = dir.file(L"missing\\MARLOVEN.SIT");
    const auto window = create();
    // The station file's own box fails: its error leaves the first refresh unhandled.
    onBox = [&](const std::u16string& text) {
        if (boxes.size() == 1) {
            throw std::runtime_error("no box today " + toUtf8(text));
        }
    };
    window->show();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].rfind(u"Error 1099: fallo inesperado: no box today 3-", 0), 0u)
        << toUtf8(boxes[1]);
    EXPECT_EQ(window->endStatus(), 1);
    EXPECT_EQ(window->run(), 1);
    MSG quit;
    ASSERT_TRUE(::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(quit.wParam, 1u);
    EXPECT_FALSE(::IsWindowVisible(window->handle()));
    EXPECT_EQ(::GetWindowLongPtrW(window->handle(), GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    // The caption tells the outage before its box comes up.
    EXPECT_EQ(windowText(window->handle()), kOutageCaption);
    // Nothing runs any more: no tick refreshes the window.
    pumpFor(1200);
    EXPECT_EQ(boxes.size(), 2u);
}

TEST_F(WindowTest, ClosingClosesTheStationFileAndEndsTheLoop) {
    writeStationFile(path, 2, 1);
    const auto openAlone = [&] {
        const HANDLE file = ::CreateFileW(wide(path).c_str(), GENERIC_READ, 0, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        ::CloseHandle(file);
        return true;
    };
    const auto window = open();
    EXPECT_FALSE(openAlone()) << "the monitor holds the file open";
    ::PostMessageW(window->handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(window->run(), 0);
    EXPECT_EQ(window->handle(), nullptr);
    EXPECT_TRUE(openAlone());
    EXPECT_TRUE(boxes.empty());
}

// The real box, as a user sees it: titled "Orvendal", answered with the keyboard through the X
// display by xdotool, which Wine starts as it starts any program.
TEST_F(WindowTest, TheRealBoxIsTitledWithTheProgramsName) {
    if (!runningUnderWine()) {
        GTEST_SKIP() << "answers the box with xdotool on Wine's X display";
    }
    ui::replaceMessageBox(previous);
    writeStationFile(path, 1, 1);
    const auto window = open();
    // Each xdotool in a time limit: a window manager that never confirms an activation would
    // otherwise hold the loop, and the box, for ever.
    ChildProcess answer(
        L"/bin/sh",
        {"-c", "for i in $(seq 150); do "
               "w=$(timeout 5 xdotool search --onlyvisible --name '^Orvendal$' | head -1); "
               "if [ -n \"$w\" ]; then seen=1; "
               "timeout 5 xdotool windowactivate --sync $w key Return "
               "2>/dev/null; "
               "elif [ -n \"$seen\" ]; then exit 0; fi; sleep 0.2; done"});
    const ULONGLONG start = ::GetTickCount64();
    ui::showModalBox(window->handle(), u"Conexión de prueba");
    EXPECT_LT(::GetTickCount64() - start, 20000u);
}

} // namespace
} // namespace orvendal::testing
