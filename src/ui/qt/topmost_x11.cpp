#include "topmost.h"

#include <QWidget>
#include <QWindow>

namespace orvendal::ui {

void makeTopmost(QWidget& window) noexcept {
    // setWindowFlag() on a visible window unmaps it and gives it a new X window. Overriding the
    // widget's flags and handing them to its QWindow keeps it mapped and asks the window manager
    // for _NET_WM_STATE_ABOVE at once; a window not created yet takes the flags when it is.
    const Qt::WindowFlags flags = window.windowFlags() | Qt::WindowStaysOnTopHint;
    window.overrideWindowFlags(flags);
    if (QWindow* handle = window.windowHandle()) {
        handle->setFlags(flags);
    }
}

} // namespace orvendal::ui
