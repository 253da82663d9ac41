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

// While it lives, a server that asks for a password the station core was not given asks the user
// through passwordDialog() over `parent`; the answer stays in the core's memory only.
class PasswordPromptScope {
public:
    explicit PasswordPromptScope(QWidget* parent);
    ~PasswordPromptScope();
    PasswordPromptScope(const PasswordPromptScope&) = delete;
    PasswordPromptScope& operator=(const PasswordPromptScope&) = delete;
};

} // namespace orvendal::ui
