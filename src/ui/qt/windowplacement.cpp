#include "windowplacement.h"

#include "atomicfile.h"
#include "error.h"
#include "escape.h"
#include "plainfile.h"
#include "stationfilesetting.h"

#include <QGuiApplication>
#include <QHash>
#include <QHeaderView>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>

#include <iostream>
#include <utility>

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

// The file's values by key. It is kept in the INI form that QSettings wrote before, so that either
// version reads the other's: "[General]", then size=@Size(W H), position=@Point(X Y) and
// columns=A, B, C. QSettings itself would follow a link, wait on a FIFO and read any size.
QHash<QString, QString> valuesOf(const QString& text) {
    QHash<QString, QString> values;
    for (const QString& line : text.split(u'\n')) {
        const qsizetype equals = line.indexOf(u'=');
        if (equals > 0) {
            values.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
        }
    }
    return values;
}

// The two numbers of "@Size(W H)" or "@Point(X Y)", as `type` names; nothing for anything else.
std::optional<std::pair<int, int>> numberPair(const QString& value, const QString& type) {
    static const QRegularExpression form(QStringLiteral("^@(\\w+)\\((-?\\d+) (-?\\d+)\\)$"));
    const QRegularExpressionMatch match = form.match(value);
    if (!match.hasMatch() || match.captured(1) != type) {
        return std::nullopt;
    }
    bool first = false;
    bool second = false;
    const int x = match.captured(2).toInt(&first);
    const int y = match.captured(3).toInt(&second);
    if (!first || !second) {
        return std::nullopt;
    }
    return std::pair(x, y);
}

// What window.conf holds, under the rules of the settings file beside it and stricter, since only
// the program writes it: never through a link, a regular file of this user, and a FIFO never
// makes the window wait. Empty when there is none.
QString savedText(const std::string& path) {
    const auto file = files::PlainFile::openForReading(path, files::Owner::Us);
    if (!file) {
        return {};
    }
    return QString::fromStdString(files::readAtMost(file->descriptor(), files::kSettingsFileLimit,
                                                    "el fichero de la ventana", path));
}

} // namespace

std::string windowSettingsPath() {
    return files::userSettingsFile("window.conf");
}

WindowPlacement::WindowPlacement() {
    QHash<QString, QString> saved;
    try {
        saved = valuesOf(savedText(windowSettingsPath()));
    } catch (const Error& e) {
        std::cerr << "orvendal: no se usan el tamaño ni el sitio guardados de la ventana: "
                  << printable(e.description()) << std::endl;
    }
    if (const auto size = numberPair(saved.value(kSize), QStringLiteral("Size"));
        size && inRange(size->first, 1) && inRange(size->second, 1)) {
        size_ = QSize(size->first, size->second);
    }
    if (const auto point = numberPair(saved.value(kPosition), QStringLiteral("Point"));
        point && inRange(point->first, -kLargest) && inRange(point->second, -kLargest)) {
        position_ = QPoint(point->first, point->second);
    }
    for (const QString& text : saved.value(kColumns).split(u',')) {
        bool number = false;
        const int width = text.trimmed().toInt(&number);
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
    QStringList widths;
    for (const int width : columns) {
        widths.push_back(QString::number(width));
    }
    const QString text = QStringLiteral("[General]\nsize=@Size(%1 %2)\nposition=@Point(%3 %4)\n"
                                        "columns=%5\n")
                             .arg(normal.width())
                             .arg(normal.height())
                             .arg(position.x())
                             .arg(position.y())
                             .arg(widths.join(QStringLiteral(", ")));
    try {
        files::makeUserSettingsFolder();
        files::writeFileAtomically(windowSettingsPath(), text.toStdString());
    } catch (const Error& e) {
        std::cerr << "orvendal: no se guardan el tamaño ni el sitio de la ventana: "
                  << printable(e.description()) << std::endl;
    }
}

} // namespace orvendal::ui
