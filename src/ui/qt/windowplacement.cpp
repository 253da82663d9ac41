#include "windowplacement.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QWidget>

namespace orvendal::ui {
namespace {

// A saved number beyond this is no size or width of a real window: the file has been damaged.
constexpr int kLargest = 32767;

const QString kSize = QStringLiteral("size");
const QString kPosition = QStringLiteral("position");
const QString kColumns = QStringLiteral("columns");

bool inRange(int value, int least) {
    return value >= least && value <= kLargest;
}

} // namespace

QString windowSettingsPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/orvendal/window.conf");
}

WindowPlacement::WindowPlacement() {
    const QSettings saved(windowSettingsPath(), QSettings::IniFormat);
    const QSize size = saved.value(kSize).toSize();
    if (inRange(size.width(), 1) && inRange(size.height(), 1)) {
        size_ = size;
    }
    const QVariant position = saved.value(kPosition);
    if (position.canConvert<QPoint>()) {
        const QPoint point = position.toPoint();
        if (inRange(point.x(), -kLargest) && inRange(point.y(), -kLargest)) {
            position_ = point;
        }
    }
    for (const QString& text : saved.value(kColumns).toStringList()) {
        bool number = false;
        const int width = text.toInt(&number);
        if (!number || !inRange(width, 1)) {
            columns_.clear();
            break;
        }
        columns_.push_back(width);
    }
}

void WindowPlacement::restoreWindow(QWidget& window) const {
    if (size_) {
        window.resize(*size_);
    }
    if (!position_) {
        return;
    }
    const QPoint grip(position_->x() + window.width() / 2, position_->y() + 1);
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen->geometry().contains(grip)) {
            window.move(*position_);
            return;
        }
    }
}

void WindowPlacement::restoreColumns(QHeaderView& header) {
    if (columnsRestored_ || header.count() == 0) {
        return;
    }
    columnsRestored_ = true;
    if (header.count() != columns_.size()) {
        return;
    }
    for (int column = 0; column < header.count(); ++column) {
        header.resizeSection(column, columns_[column]);
    }
}

void WindowPlacement::save(const QWidget& window, const QHeaderView& header) const {
    // A maximised window is remembered at the size and place it is restored to. The place is the
    // frame's, as move() takes it.
    const QRect normal = window.normalGeometry();
    const QPoint position = normal.topLeft() - (window.geometry().topLeft() - window.pos());
    QList<int> columns;
    for (int column = 0; column < header.count(); ++column) {
        columns.push_back(header.sectionSize(column));
    }
    // A list that never got its columns (a file with no station) leaves the saved widths alone.
    if (columns.isEmpty()) {
        columns = columns_;
    }
    if (size_ == normal.size() && position_ == position && columns == columns_) {
        return;
    }
    QSettings saved(windowSettingsPath(), QSettings::IniFormat);
    saved.setValue(kSize, normal.size());
    saved.setValue(kPosition, position);
    QStringList widths;
    for (const int width : columns) {
        widths.push_back(QString::number(width));
    }
    saved.setValue(kColumns, widths);
}

} // namespace orvendal::ui
