#pragma once

class QWidget;

namespace orvendal::ui {

// Puts the top-level `window` above every window that is not topmost, without moving, resizing,
// hiding or re-creating it. Failing changes nothing and is not reported. One implementation per
// window system, picked by the build.
void makeTopmost(QWidget& window) noexcept;

} // namespace orvendal::ui
