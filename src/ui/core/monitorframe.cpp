#include "monitorframe.h"

#include "error.h"
#include "text.h"
#include "usercode.h"

#include <optional>

namespace orvendal::ui {
namespace {

// Sets a flag for as long as it lives, however the scope ends.
class Raised {
public:
    explicit Raised(bool& flag) : flag_(flag) { flag_ = true; }
    ~Raised() { flag_ = false; }
    Raised(const Raised&) = delete;
    Raised& operator=(const Raised&) = delete;

private:
    bool& flag_;
};

} // namespace

MonitorFrame::MonitorFrame(FrontEnd& window, StationList& list)
    : window_(window), list_(list), monitor_(window, list),
      driver_(monitor_.reader(), [&window] { window.postRefreshFinished(); }) {}

void MonitorFrame::MLP_Show() {
    if (showing_) {
        return;
    }
    // A refresh that a tick started already is the one waited for.
    if (!driver_.inFlight()) {
        driver_.start(monitor_.stationFileName());
    }
    if (const auto reading = driver_.waitFor(kShowWait)) {
        show(*reading);
    }
}

void MonitorFrame::Form_Unload() {
    // Closing cannot wait on a silent server: a refresh in flight closes the file when it ends.
    driver_.close(kCloseWait);
}

void MonitorFrame::CheckTimer_Click() {
    // Only a ticked box runs the timer; a greyed one stops it too.
    window_.setTimerEnabled(window_.autoRefreshValue() == 1);
}

void MonitorFrame::Timer1_Timer() {
    if (!showing_) {
        driver_.start(monitor_.stationFileName());
    }
}

void MonitorFrame::refreshFinished() {
    std::optional<station::StationReading> reading = driver_.take();
    // A refresh that ends under a look-up's boxes is stale by the time they close; the timer
    // refreshes again once they have.
    if (reading && !holding_ && !showing_) {
        show(*reading);
    }
}

void MonitorFrame::ListView1_DblClick() {
    const auto selected = list_.selectedItem();
    if (!selected) {
        return;
    }
    const Raised holding(holding_);
    // No refresh rebuilds the list while the look-up or its answer is on screen.
    window_.setTimerEnabled(false);
    const std::int32_t code = lookup::userCodeFromRowText(list_.itemText(*selected));
    const std::u16string answer = users_.LookupUserName(
        code, [this](const std::u16string& error) { window_.messageBox(error); });
    window_.messageBox(answer);
    CheckTimer_Click();
}

void MonitorFrame::show(const station::StationReading& reading) {
    const Raised showing(showing_);
    try {
        monitor_.show(reading);
    } catch (...) {
        window_.publishRows();
        throw;
    }
    window_.publishRows();
}

void MonitorFrame::endWithError(std::exception_ptr failure) noexcept {
    ended_ = true;
    try {
        window_.setTimerEnabled(false);
        const Error error = toError(std::move(failure));
        window_.messageBox(u"Error " + decimal16(error.code().value()) + u": " +
                           fromUtf8(error.description()));
    } catch (...) {
        // Nothing is left to report it with; the program ends all the same.
    }
    window_.endProgram(1);
}

} // namespace orvendal::ui
