#include "passworddialog.h"

#include "smbfile.h"

#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>

#include <utility>

namespace orvendal::ui {
namespace {

PasswordDialogFunction& currentDialog() {
    static PasswordDialogFunction dialog = showPasswordDialog;
    return dialog;
}

} // namespace

std::optional<QString> passwordDialog(QWidget* parent, const QString& location,
                                      const QString& user) {
    return currentDialog()(parent, location, user);
}

PasswordDialogFunction replacePasswordDialog(PasswordDialogFunction function) {
    return std::exchange(currentDialog(), std::move(function));
}

std::optional<QString> showPasswordDialog(QWidget* parent, const QString& location,
                                          const QString& user) {
    bool ok = false;
    QString password = QInputDialog::getText(
        parent, QGuiApplication::applicationDisplayName(),
        QStringLiteral("Contraseña de %1 para abrir\n%2:").arg(user, location), QLineEdit::Password,
        QString(), &ok);
    if (!ok) {
        return std::nullopt;
    }
    return password;
}

PasswordPromptScope::PasswordPromptScope(QWidget* parent) {
    files::setPasswordPrompt([parent](const std::string& location,
                                        const std::string& user) -> std::optional<std::string> {
        const auto answer =
            passwordDialog(parent, QString::fromStdString(location), QString::fromStdString(user));
        if (!answer) {
            return std::nullopt;
        }
        return answer->toStdString();
    });
}

PasswordPromptScope::~PasswordPromptScope() {
    files::setPasswordPrompt({});
}

} // namespace orvendal::ui
