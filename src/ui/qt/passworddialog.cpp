#include "passworddialog.h"

#include "smbfile.h"

#include <QApplication>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPointer>
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
    QInputDialog dialog(parent);
    dialog.setWindowTitle(QGuiApplication::applicationDisplayName());
    dialog.setTextEchoMode(QLineEdit::Password);
    // It is asked while the window waits, hidden, for its first refresh: closing it, alone on
    // screen, must not end the program.
    dialog.setAttribute(Qt::WA_QuitOnClose, false);
    dialog.setLabelText(QStringLiteral("Contraseña de %1 para abrir\n%2:").arg(user, location));
    // The user and the location come from a path anyone may type: plain text, never rich text.
    // QInputDialog has its label from setLabelText() on, and offers no setting of its own for it.
    if (auto* label = dialog.findChild<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return dialog.textValue();
}

PasswordPromptScope::PasswordPromptScope(QWidget* parent) {
    // The file layer may still ask through a copy of this after the window has gone: the window is
    // only looked at on the GUI thread, through a guard that knows.
    const QPointer<QWidget> window(parent);
    files::setPasswordPrompt(
        [window, parented = parent != nullptr](
            const std::string& location, const std::string& user) -> std::optional<std::string> {
            const QString where = QString::fromStdString(location);
            const QString who = QString::fromStdString(user);
            std::optional<QString> answer;
            const auto ask = [&] {
                if (!parented || window) {
                    answer = passwordDialog(window, where, who);
                }
            };
            if (QThread::currentThread() == qApp->thread()) {
                ask();
            } else {
                // Widgets live on the GUI thread only; this thread waits for the answer.
                QMetaObject::invokeMethod(qApp, ask, Qt::BlockingQueuedConnection);
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
