#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace orvendal::ui {

// Every box the program shows goes through messageBox(): modal, the text, an OK button only, no
// icon, titled with the application's name, over `parent`.
using MessageBoxFunction = std::function<void(QWidget* parent, const QString& text)>;

void messageBox(QWidget* parent, const QString& text);

// Puts `function` in the place of the real box (tests record the texts instead of waiting for a
// user) and returns what it replaced.
MessageBoxFunction replaceMessageBox(MessageBoxFunction function);

// The real box.
void showModalBox(QWidget* parent, const QString& text);

} // namespace orvendal::ui
