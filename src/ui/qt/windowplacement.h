#pragma once

#include <QList>
#include <QPoint>
#include <QSize>

#include <optional>
#include <string>

class QHeaderView;
class QWidget;

namespace orvendal::ui {

// The window's size, place and column widths from one session to the next, kept in
// $XDG_CONFIG_HOME/orvendal/window.conf: the settings file beside it is the administrator's and
// stays as they wrote it. Without a saved value the window keeps its design value. A window.conf
// that cannot be read or written safely is left alone, with a line on standard error.
class WindowPlacement {
public:
    // Reads the saved values; a value that is missing or out of range counts as not saved.
    WindowPlacement();

    // Sizes the window as saved, and moves it to its saved place while that place is on a screen
    // (the top middle of its frame, where it is grabbed): a monitor that has gone leaves the
    // placing to the window system.
    void restoreWindow(QWidget& window) const;
    // Gives the list's columns their saved widths, once, when the list has as many columns as
    // were saved.
    void restoreColumns(QHeaderView& header);
    // Writes what has changed since the window was opened; nothing when nothing has.
    void save(const QWidget& window, const QHeaderView& header) const;

private:
    std::optional<QSize> size_;
    std::optional<QPoint> position_;
    QList<int> columns_;
    bool columnsRestored_ = false;
};

// The file the window's placement is kept in. Throws Error when the user's home folder is unknown.
std::string windowSettingsPath();

} // namespace orvendal::ui
