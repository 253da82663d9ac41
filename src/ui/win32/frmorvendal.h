#pragma once

#include "monitorframe.h"
#include "stationlistview.h"
#include "windowsettings.h"

#include <windows.h>

#include <atomic>
#include <optional>
#include <string>
#include <utility>

namespace orvendal::ui {

// The monitor's only window on plain Win32 and common controls: the station list, the
// "AutoRefresh" box and the timer that refreshes the list twice a second. show() loads it: the
// first refresh, then always-on-top. Its handlers are the shared frame's; the station file is
// read beside the window's thread.
// frmOrvendal, MLP_Show, Form_Load and the like are the window's own names, kept on purpose
// against this codebase's usual naming.
class frmOrvendal final : private FrontEnd {
public:
    // Creates the window hidden, with its design values, or with the size, place and column
    // widths the user left it with, as kept under `settingsKey`; the timer starts counting now.
    explicit frmOrvendal(std::wstring settingsKey = WindowSettings::kKey);
    ~frmOrvendal() override;
    frmOrvendal(const frmOrvendal&) = delete;
    frmOrvendal& operator=(const frmOrvendal&) = delete;

    void MLP_Show();
    void MLP_SetFileName(std::string fileName);

    // Loads the window the first time (Form_Load) and shows it, unless an error ended the program
    // meanwhile.
    void show();
    // Runs the window's events until it is closed or an error ends the program; returns the
    // program's exit status: 0 once closed, 1 after an error that left an event handler.
    int run();

    HWND handle() const { return window_; }
    // The exit status once an error that left an event handler has been reported.
    std::optional<int> endStatus() const {
        return frame_.ended() ? std::optional<int>(1) : std::nullopt;
    }

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT listNotification(const NMHDR& header, LPARAM lParam);
    // Whether the loop hands a message straight to the list, past the dialog handling that would
    // turn Return and Escape into commands: every key going down in it but Tab, which moves the
    // focus as in a dialog.
    bool isListKey(const MSG& message) const;
    // The list's own procedure, which runs the key-down handler once the list has acted on a key.
    static LRESULT CALLBACK listProcedure(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR id, DWORD_PTR self);
    void listKeyHandled(WPARAM key);
    // The saved size, place and column widths, over the design values; a place on no monitor
    // gives way to the design place.
    void restoreSettings();
    void saveSettings() const noexcept;

    void Form_Load();
    void Form_Resize() noexcept;

    void setCaption(const std::u16string& caption) override;
    void showWindow() override;
    void messageBox(const std::u16string& text) override;
    bool markerFileExists() const override;
    void postRefreshFinished() override;
    void publishRows() override;
    void setTimerEnabled(bool enabled) override;
    int autoRefreshValue() const override;
    void endProgram(int status) override;

    // Runs an event handler through the frame, which reports an error that leaves it.
    template <typename Handler> void dispatch(Handler&& handler) noexcept {
        frame_.dispatch(std::forward<Handler>(handler));
    }

    // The controls' design places and the fonts, for the DPI of the window's monitor.
    void applyDpi();
    // Window geometry is given in twips, 1/1440 inch, at the DPI of the window's monitor.
    int pixels(float twips) const;
    void moveControl(HWND control, float left, float top, float width, float height);

    HWND window_ = nullptr;
    // The window the refresh driver's worker posts to: read on that thread.
    std::atomic<HWND> finishedTo_ = nullptr;
    HWND CheckTimer = nullptr;
    StationListView ListView1;
    // The list's font, and the box's, made to fit its caption.
    HFONT font_ = nullptr;
    HFONT boxFont_ = nullptr;
    // The control that had the focus when the window was last deactivated.
    HWND focus_ = nullptr;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
    bool timerEnabled_ = false;
    std::wstring settingsKey_;
    MonitorFrame frame_;
    bool loaded_ = false;
    // A refresh has set the caption: until then the window shows nothing, not even its design
    // caption, and a show asked for by the load waits for the first refresh to end.
    bool captioned_ = false;
    bool showPending_ = false;
};

} // namespace orvendal::ui
