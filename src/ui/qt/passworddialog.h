#pragma once

#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace orvendal::ui {

// Asks for the password of `user` for the station file at `location`, over `parent`: the
// password, or nothing when the user cancels.
using PasswordDialogFunction = std::function<std::optional<QString>(
    QWidget* parent, const QString& location, const QString& user)>;

std::optional<QString> passwordDialog(QWidget* parent, const QString& location,
                                      const QString& user);

// Puts `function` in the place of the real dialog (tests answer it without a user) and returns
// what it replaced.
PasswordDialogFunction replacePasswordDialog(PasswordDialogFunction function);

// The real dialog: modal, the text typed hidden.
std::optional<QString> showPasswordDialog(QWidget* parent, const QString& location,
                                          const QString& user);

// While it lives, a server that refuses the log-on asks the user through passwordDialog() over
// `parent`; the answer stays in the core's memory only. The file layer may ask from a worker
// thread: the dialog then runs on the GUI thread while the worker waits for its answer.
class PasswordPromptScope {
public:
    explicit PasswordPromptScope(QWidget* parent);
    ~PasswordPromptScope();
    PasswordPromptScope(const PasswordPromptScope&) = delete;
    PasswordPromptScope& operator=(const PasswordPromptScope&) = delete;
};

} // namespace orvendal::ui
