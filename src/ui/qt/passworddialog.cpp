#include "passworddialog.h"

#include "smbfile.h"

#include <QApplication>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMetaObject>
#include <QThread>

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
        const QString where = QString::fromStdString(location);
        const QString who = QString::fromStdString(user);
        std::optional<QString> answer;
        QObject* owner = parent != nullptr ? static_cast<QObject*>(parent) : qApp;
        if (owner->thread() == QThread::currentThread()) {
            answer = passwordDialog(parent, where, who);
        } else {
            // A widget lives on the GUI thread only. Should the window go before the user
            // answers, Qt drops the call and lets this thread go on, with no answer.
            QMetaObject::invokeMethod(
                owner, [&] { answer = passwordDialog(parent, where, who); },
                Qt::BlockingQueuedConnection);
        }
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
