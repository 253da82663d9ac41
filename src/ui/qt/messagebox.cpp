#include "messagebox.h"

#include <QGuiApplication>
#include <QMessageBox>

#include <utility>

namespace orvendal::ui {
namespace {

MessageBoxFunction& currentBox() {
    static MessageBoxFunction box = showModalBox;
    return box;
}

} // namespace

void messageBox(QWidget* parent, const QString& text) {
    currentBox()(parent, text);
}

MessageBoxFunction replaceMessageBox(MessageBoxFunction function) {
    return std::exchange(currentBox(), std::move(function));
}

void showModalBox(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    // The texts carry paths, user names and servers' messages: shown as rich text, "<img src=...>"
    // would load a local file and "<h1>" would dress up as a notice of ours.
    box.setTextFormat(Qt::PlainText);
    // The window may still be hidden, waiting for its first refresh: closing the box alone on
    // screen must not end the program.
    box.setAttribute(Qt::WA_QuitOnClose, false);
    box.exec();
}

} // namespace orvendal::ui
