#include "frmorvendal.h"

#include "error.h"
#include "messagebox.h"
#include "resources.h"
#include "stationtexts.h"
#include "text.h"
#include "win32error.h"

#include <cmath>
#include <utility>
#include <vector>

namespace orvendal::ui {
namespace {

constexpr wchar_t kWindowClass[] = L"OrvendalMonitor";
// Not 1 or 2: the dialog keys Enter and Escape send IDOK and IDCANCEL as commands.
constexpr int kListId = 101;
constexpr int kCheckBoxId = 102;
constexpr UINT_PTR kTimerId = 1;
// Posted by the refresh driver's worker when a refresh has ended.
constexpr UINT kRefreshFinished = WM_APP + 1;
constexpr UINT kTimerInterval = 500;

constexpr float kTwipsPerInch = 1440.0f;
// The list ends this far above the window's outer bottom edge.
constexpr float kListGap = 600.0f;
// A heading's width when it is added, as the list control gives it by default.
constexpr float kColumnWidth = 1440.0f;
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;

void registerWindowClass(WNDPROC procedure) {
    static const bool registered = [procedure] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = kWindowClass;
        if (::RegisterClassExW(&windowClass) == 0) {
            throw files::lastWindowsError("RegisterClassExW");
        }
        return true;
    }();
    (void)registered;
}

HICON loadIcon(int metric, UINT dpi) {
    const int size = ::GetSystemMetricsForDpi(metric, dpi);
    return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr),
                                           MAKEINTRESOURCEW(ORVENDAL_ICON_ID), IMAGE_ICON, size,
                                           size, LR_DEFAULTCOLOR));
}

// The key-down event's shift state: 1 Shift, 2 Ctrl, 4 Alt.
std::int16_t shiftState() {
    const auto down = [](int key) { return (::GetKeyState(key) & 0x8000) != 0; };
    return static_cast<std::int16_t>((down(VK_SHIFT) ? 1 : 0) | (down(VK_CONTROL) ? 2 : 0) |
                                     (down(VK_MENU) ? 4 : 0));
}

} // namespace

frmOrvendal::frmOrvendal(std::wstring settingsKey)
    : settingsKey_(std::move(settingsKey)), frame_(*this, ListView1) {
    registerWindowClass(windowProcedure);
    // The window is created hidden with its design values; the first refresh replaces this
    // caption before the window is first shown.
    if (::CreateWindowExW(0, kWindowClass, L"Conexiónes Reales Activas", kStyle, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                          ::GetModuleHandleW(nullptr), this) == nullptr) {
        throw files::lastWindowsError("CreateWindowExW");
    }
    finishedTo_ = window_;
    dpi_ = ::GetDpiForWindow(window_);
    ListView1.setColumnWidth(pixels(kColumnWidth));
    ListView1.create(window_, kListId, {0, 0, pixels(4635), pixels(3075)});
    CheckTimer = ::CreateWindowExW(
        0, WC_BUTTONW, L"AutoRefresh", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 0,
        0, 0, window_, reinterpret_cast<HMENU>(kCheckBoxId), ::GetModuleHandleW(nullptr), nullptr);
    if (CheckTimer == nullptr) {
        throw files::lastWindowsError("CreateWindowExW " WC_BUTTONA);
    }
    ::SendMessageW(CheckTimer, BM_SETCHECK, BST_CHECKED, 0);
    // The box lies over the list's heading row, in front of it.
    ::SetWindowPos(CheckTimer, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    applyDpi();

    RECT client{0, 0, pixels(4680), pixels(3090)};
    ::AdjustWindowRectExForDpi(&client, kStyle, FALSE, 0, dpi_);
    ::SetWindowPos(window_, nullptr, 0, 0, client.right - client.left, client.bottom - client.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    restoreSettings();
    if (!::SetWindowSubclass(ListView1.handle(), listProcedure, 0,
                             reinterpret_cast<DWORD_PTR>(this))) {
        throw files::lastWindowsError("SetWindowSubclass");
    }
    setTimerEnabled(true);
}

frmOrvendal::~frmOrvendal() {
    if (window_ != nullptr) {
        ::DestroyWindow(window_);
    }
    for (HICON icon : {bigIcon_, smallIcon_}) {
        if (icon != nullptr) {
            ::DestroyIcon(icon);
        }
    }
    if (font_ != nullptr) {
        ::DeleteObject(font_);
    }
    if (boxFont_ != nullptr) {
        ::DeleteObject(boxFont_);
    }
}

void frmOrvendal::MLP_Show() {
    frame_.MLP_Show();
}

void frmOrvendal::MLP_SetFileName(std::string fileName) {
    frame_.MLP_SetFileName(std::move(fileName));
}

void frmOrvendal::show() {
    if (!loaded_) {
        loaded_ = true;
        dispatch([this] { Form_Load(); });
        if (frame_.ended()) {
            return;
        }
    }
    // A first refresh that outlasts the load's wait shows the window when it ends.
    if (!captioned_) {
        showPending_ = true;
        return;
    }
    showWindow();
}

int frmOrvendal::run() {
    MSG message;
    while (window_ != nullptr && !frame_.ended() && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (isListKey(message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        } else if (!::IsDialogMessageW(window_, &message)) {
            // Tab and the space bar move between and work the controls as in a dialog.
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    return frame_.ended() ? 1 : 0;
}

bool frmOrvendal::isListKey(const MSG& message) const {
    return message.hwnd == ListView1.handle() &&
           (message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) &&
           message.wParam != VK_TAB;
}

LRESULT CALLBACK frmOrvendal::listProcedure(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT_PTR id, DWORD_PTR self) {
    if (message == WM_NCDESTROY) {
        ::RemoveWindowSubclass(list, listProcedure, id);
        return ::DefSubclassProc(list, message, wParam, lParam);
    }
    const LRESULT result = ::DefSubclassProc(list, message, wParam, lParam);
    // Every key counts, Alt+key (WM_SYSKEYDOWN) too, which the list tells its parent nothing of.
    if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) {
        reinterpret_cast<frmOrvendal*>(self)->listKeyHandled(wParam);
    }
    return result;
}

void frmOrvendal::listKeyHandled(WPARAM key) {
    // The characters a key makes are part of it: the list's type-ahead selects on them. They wait
    // in the queue already, put there as the loop translated the key.
    MSG character;
    while (::PeekMessageW(&character, ListView1.handle(), WM_CHAR, WM_DEADCHAR, PM_REMOVE) ||
           ::PeekMessageW(&character, ListView1.handle(), WM_SYSCHAR, WM_SYSDEADCHAR, PM_REMOVE)) {
        ::DispatchMessageW(&character);
    }
    // The row remembered is the one the key left selected.
    const auto code = static_cast<std::int16_t>(key);
    dispatch([this, code] { frame_.ListView1_KeyDown(code, shiftState()); });
}

LRESULT CALLBACK frmOrvendal::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<frmOrvendal*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<frmOrvendal*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->window_ = nullptr;
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    return self->onMessage(message, wParam, lParam);
}

LRESULT frmOrvendal::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        // A hidden window keeps its design layout; the first show lays it out.
        if (::IsWindowVisible(window_)) {
            Form_Resize();
        }
        return 0;
    case WM_DPICHANGED: {
        const UINT previous = std::exchange(dpi_, HIWORD(wParam));
        ListView1.scaleColumns(previous, dpi_);
        applyDpi();
        const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
        ::SetWindowPos(window_, nullptr, suggested.left, suggested.top,
                       suggested.right - suggested.left, suggested.bottom - suggested.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case WM_ACTIVATE:
        // The control that had the focus gets it back when the window is activated again.
        if (LOWORD(wParam) == WA_INACTIVE) {
            const HWND focus = ::GetFocus();
            if (focus == CheckTimer || focus == ListView1.handle()) {
                focus_ = focus;
            }
        }
        // The system then gives the window the focus, which WM_SETFOCUS hands on.
        break;
    case WM_SETFOCUS:
        ::SetFocus(focus_ != nullptr ? focus_ : ListView1.handle());
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kCheckBoxId && HIWORD(wParam) == BN_CLICKED) {
            dispatch([this] { frame_.CheckTimer_Click(); });
            return 0;
        }
        break;
    case WM_TIMER:
        if (wParam == kTimerId) {
            dispatch([this] { frame_.Timer1_Timer(); });
            return 0;
        }
        break;
    case kRefreshFinished:
        dispatch([this] { frame_.refreshFinished(); });
        if (showPending_ && captioned_ && !frame_.ended()) {
            showPending_ = false;
            showWindow();
        }
        return 0;
    case WM_NOTIFY: {
        const NMHDR& header = *reinterpret_cast<const NMHDR*>(lParam);
        if (header.hwndFrom == ListView1.handle()) {
            return listNotification(header, lParam);
        }
        break;
    }
    case WM_SYSCOLORCHANGE:
    case WM_SETTINGCHANGE:
        // Common controls learn of new colours and settings only from their parent.
        ::SendMessageW(ListView1.handle(), message, wParam, lParam);
        break;
    case WM_CLOSE:
        saveSettings();
        dispatch([this] { frame_.Form_Unload(); });
        // Closing cannot be refused; the timer ends with the window.
        setTimerEnabled(false);
        ::DestroyWindow(window_);
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(window_, message, wParam, lParam);
}

LRESULT frmOrvendal::listNotification(const NMHDR& header, LPARAM lParam) {
    switch (header.code) {
    case LVN_GETDISPINFOW:
        ListView1.supplyText(*reinterpret_cast<NMLVDISPINFOW*>(lParam));
        break;
    // The list tells the left button's click and double-click only; the other buttons have
    // notifications of their own, which nothing handles.
    case NM_CLICK:
        dispatch([this] { frame_.ListView1_Click(); });
        break;
    case NM_DBLCLK:
        dispatch([this] { frame_.ListView1_DblClick(); });
        break;
    case LVN_ODFINDITEMW:
        // Type-ahead: the row whose number starts with what was typed.
        return ListView1.findItem(*reinterpret_cast<const NMLVFINDITEMW*>(lParam));
    default:
        break;
    }
    return 0;
}

void frmOrvendal::Form_Load() {
    frame_.MLP_Show();
    ::SetWindowPos(window_, HWND_TOPMOST, -1, -1, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void frmOrvendal::Form_Resize() noexcept {
    try {
        RECT outer;
        if (!::GetWindowRect(window_, &outer)) {
            return;
        }
        const float width =
            static_cast<float>(outer.right - outer.left) * kTwipsPerInch / static_cast<float>(dpi_);
        const float height =
            static_cast<float>(outer.bottom - outer.top) * kTwipsPerInch / static_cast<float>(dpi_);
        moveControl(ListView1.handle(), 0, 0, width, height - kListGap);
    } catch (...) {
        // Layout errors are ignored: a window dragged shorter than the gap, or minimised, keeps
        // the list as it was until a resize that succeeds.
    }
}

void frmOrvendal::setCaption(const std::u16string& caption) {
    ::SetWindowTextW(window_, reinterpret_cast<const wchar_t*>(caption.c_str()));
    captioned_ = true;
}

void frmOrvendal::showWindow() {
    if (!::IsWindowVisible(window_)) {
        // Showing paints the list, so it must see the rows added so far.
        ListView1.publishRows();
        ::ShowWindow(window_, SW_SHOW);
        Form_Resize();
    }
}

void frmOrvendal::messageBox(const std::u16string& text) {
    // The box runs the window's events, which must not see a refill half published.
    ListView1.publishRows();
    ui::messageBox(window_, text);
}

bool frmOrvendal::markerFileExists() const {
    return lockMarkerExists();
}

void frmOrvendal::postRefreshFinished() {
    // A window already gone refuses the message, which is all that is needed then.
    ::PostMessageW(finishedTo_.load(), kRefreshFinished, 0, 0);
}

void frmOrvendal::publishRows() {
    ListView1.publishRows();
}

int frmOrvendal::autoRefreshValue() const {
    switch (::SendMessageW(CheckTimer, BM_GETCHECK, 0, 0)) {
    case BST_CHECKED:
        return 1;
    case BST_INDETERMINATE:
        return 2;
    default:
        return 0;
    }
}

void frmOrvendal::endProgram(int status) {
    // Ends every message loop, a box's that the error came through included.
    ::PostQuitMessage(status);
}

void frmOrvendal::setTimerEnabled(bool enabled) {
    // A timer already running keeps its rhythm; a stopped one ticks 500 ms from now.
    if (enabled && !timerEnabled_) {
        timerEnabled_ = ::SetTimer(window_, kTimerId, kTimerInterval, nullptr) != 0;
    } else if (!enabled && timerEnabled_) {
        ::KillTimer(window_, kTimerId);
        timerEnabled_ = false;
    }
}

void frmOrvendal::applyDpi() {
    for (HICON* icon : {&bigIcon_, &smallIcon_}) {
        if (*icon != nullptr) {
            ::DestroyIcon(*icon);
        }
    }
    bigIcon_ = loadIcon(SM_CXICON, dpi_);
    smallIcon_ = loadIcon(SM_CXSMICON, dpi_);
    ::SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    ::SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ::SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi_);
    const HFONT font = ::CreateFontIndirectW(&metrics.lfMessageFont);
    ::SendMessageW(ListView1.handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (font_ != nullptr) {
        ::DeleteObject(font_);
    }
    font_ = font;

    // The box keeps its design width, which was made for a narrower system font than many
    // desktops have: its caption's font is made smaller until the caption fits whole.
    const int width = pixels(1275);
    const int mark = ::GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi_) + pixels(60);
    LOGFONTW fitted = metrics.lfMessageFont;
    HFONT boxFont = nullptr;
    const HDC screen = ::GetDC(CheckTimer);
    for (;;) {
        boxFont = ::CreateFontIndirectW(&fitted);
        const HGDIOBJ previous = ::SelectObject(screen, boxFont);
        SIZE text{};
        ::GetTextExtentPoint32W(screen, L"AutoRefresh", 11, &text);
        ::SelectObject(screen, previous);
        if (mark + text.cx <= width || std::abs(fitted.lfHeight) <= pixels(90)) {
            break;
        }
        ::DeleteObject(boxFont);
        fitted.lfHeight += fitted.lfHeight < 0 ? 1 : -1;
    }
    ::ReleaseDC(CheckTimer, screen);
    ::SendMessageW(CheckTimer, WM_SETFONT, reinterpret_cast<WPARAM>(boxFont), TRUE);
    if (boxFont_ != nullptr) {
        ::DeleteObject(boxFont_);
    }
    boxFont_ = boxFont;
    ::MoveWindow(CheckTimer, pixels(3090), pixels(-30), pixels(1275), pixels(195), TRUE);
}

void frmOrvendal::restoreSettings() {
    const auto saved = WindowSettings::load(settingsKey_);
    if (!saved) {
        return;
    }
    const auto scale = [&](int value) {
        return ::MulDiv(value, static_cast<int>(dpi_), static_cast<int>(saved->dpi));
    };
    std::vector<int> widths;
    for (const int width : saved->columnWidths) {
        widths.push_back(scale(width));
    }
    ListView1.setColumnWidths(std::move(widths));
    const int width = scale(saved->place.right - saved->place.left);
    const int height = scale(saved->place.bottom - saved->place.top);
    // A monitor since removed or moved leaves the place out of reach: the system places the
    // window then, as the first time.
    if (::MonitorFromRect(&saved->place, MONITOR_DEFAULTTONULL) == nullptr) {
        ::SetWindowPos(window_, nullptr, 0, 0, width, height,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        return;
    }
    // The placement's rectangle is in workspace coordinates, as it was saved.
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    ::GetWindowPlacement(window_, &placement);
    placement.showCmd = SW_HIDE;
    placement.rcNormalPosition = {saved->place.left, saved->place.top, saved->place.left + width,
                                  saved->place.top + height};
    ::SetWindowPlacement(window_, &placement);
}

void frmOrvendal::saveSettings() const noexcept {
    try {
        WindowSettings settings;
        // The restored rectangle, also when the window is closed minimised or maximised.
        WINDOWPLACEMENT placement{};
        placement.length = sizeof placement;
        if (!::GetWindowPlacement(window_, &placement)) {
            return;
        }
        settings.place = placement.rcNormalPosition;
        settings.dpi = dpi_;
        settings.columnWidths = ListView1.columnWidths();
        settings.save(settingsKey_);
    } catch (...) {
        // Closing goes on without the size noted: the next start has the design values.
    }
}

int frmOrvendal::pixels(float twips) const {
    return static_cast<int>(std::lround(twips * static_cast<float>(dpi_) / kTwipsPerInch));
}

void frmOrvendal::moveControl(HWND control, float left, float top, float width, float height) {
    if (width < 0 || height < 0) {
        throw Error::of(errc::InvalidValue);
    }
    ::MoveWindow(control, pixels(left), pixels(top), pixels(width), pixels(height), TRUE);
}

} // namespace orvendal::ui
