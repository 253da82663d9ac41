#pragma once

#include "refreshdriver.h"
#include "sharedfile.h"
#include "stationlist.h"
#include "stationmonitor.h"
#include "userdirectory.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace orvendal::ui {

// What the frame asks of a window front end, besides the refresh's side of the window.
class FrontEnd : public MonitorWindow {
public:
    // Called on the refresh driver's worker: wakes the window's thread, which then calls
    // MonitorFrame::refreshFinished(). Must be safe from any thread.
    virtual void postRefreshFinished() = 0;
    // Shows the rows a refresh has added, all at once.
    virtual void publishRows() = 0;
    // Enabling a timer that runs already keeps its rhythm; a stopped one ticks 500 ms later.
    virtual void setTimerEnabled(bool enabled) = 0;
    // The "AutoRefresh" box: 0 cleared, 1 ticked, 2 greyed.
    virtual int autoRefreshValue() const = 0;
    // Ends the program with `status`, after the error that ended it has been shown.
    virtual void endProgram(int status) = 0;
};

// The event handlers both windows share, over the station monitor, the refresh driver and the
// user look-up: a front end only binds its controls' events to them. Runs on the window's
// thread, except what the driver's worker reads.
//
// Form_Unload, CheckTimer_Click, Timer1_Timer, ListView1_DblClick and the like are the window's own
// event and procedure names, kept on purpose against this codebase's usual naming.
class MonitorFrame {
public:
    // How long the public refresh waits for the station file before it lets the refresh end in
    // the background: a local file is read well within it, a silent server never freezes the
    // window for longer.
    static constexpr std::chrono::milliseconds kShowWait{500};
    // How long closing the window waits for the station file to close.
    static constexpr std::chrono::milliseconds kCloseWait{500};

    MonitorFrame(FrontEnd& window, StationList& list);

    // Runs an event handler. An error that leaves it is shown and ends the program: nothing ever
    // escapes into the platform's event loop, and no handler runs after it.
    template <typename Handler> void dispatch(Handler&& handler) noexcept {
        if (ended_) {
            return;
        }
        const files::WindowThreadScope windowThread;
        try {
            std::forward<Handler>(handler)();
        } catch (...) {
            endWithError(std::current_exception());
        }
    }
    bool ended() const { return ended_; }

    // One refresh: shown before it returns when the station file answers within kShowWait,
    // otherwise when it ends. Refreshes never nest: while one waits in a box of its own, this does
    // nothing.
    void MLP_Show();
    void MLP_SetFileName(std::string fileName) { monitor_.MLP_SetFileName(std::move(fileName)); }

    void Form_Unload();
    void CheckTimer_Click();
    // Starts a refresh, unless one is in flight or being shown: ticks never nest.
    void Timer1_Timer();
    void ListView1_Click() { monitor_.ListView1_Click(); }
    // Called after the list has acted on the key (a Down key has moved the selection).
    void ListView1_KeyDown(std::int16_t keyCode, std::int16_t shift) {
        monitor_.ListView1_KeyDown(keyCode, shift);
    }
    void ListView1_DblClick();
    // On the window's thread, once the driver's worker has told it: shows the finished refresh.
    void refreshFinished();

    const StationMonitor& monitor() const { return monitor_; }

private:
    void show(const station::StationReading& reading);
    void endWithError(std::exception_ptr failure) noexcept;

    FrontEnd& window_;
    StationList& list_;
    StationMonitor monitor_;
    // Holds the database connection from the first look-up on.
    lookup::UserDirectory users_;
    // Last: it goes first, so no worker reports to a frame that is going.
    station::RefreshDriver driver_;
    // A refresh is being shown, and may wait in one of its boxes.
    bool showing_ = false;
    // A look-up holds the timer; no refresh may rebuild the list under its boxes.
    bool holding_ = false;
    bool ended_ = false;
};

} // namespace orvendal::ui
