#include "passworddialog.h"
#include "uitesting.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace orvendal::ui {
namespace {

TEST(PasswordDialog, RealDialogShowsTheUserAndLocationAsPlainTextAndHidesTheAnswer) {
    QWidget owner;
    owner.show();
    // Both come from a path anyone may type: smb://<h1>...;<img...>@server/share/file.
    const QString user = QStringLiteral("<h1>ana</h1>");
    const QString location = QStringLiteral("smb://srv/<img src=\"/etc/passwd\">/MARLOVEN.SIT");
    struct Seen {
        QString label;
        Qt::TextFormat format = Qt::RichText;
        QLineEdit::EchoMode echo = QLineEdit::Normal;
        QStringList buttons;
        bool answered = false;
    } seen;
    const auto driver = testing::answerModal<QInputDialog>([&](QInputDialog* dialog) {
        for (const QLabel* label : dialog->findChildren<QLabel*>()) {
            if (label->text().contains(user)) {
                seen.label = label->text();
                seen.format = label->textFormat();
            }
        }
        auto* edit = dialog->findChild<QLineEdit*>();
        ASSERT_NE(edit, nullptr);
        seen.echo = edit->echoMode();
        for (const QAbstractButton* button : dialog->findChild<QDialogButtonBox*>()->buttons()) {
            seen.buttons << button->text().remove(u'&');
        }
        seen.buttons.sort();
        QTest::keyClicks(edit, QStringLiteral("s3cr<b>"));
        seen.answered = true;
        QTest::mouseClick(dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                          Qt::LeftButton);
    });

    const std::optional<QString> answer = showPasswordDialog(&owner, location, user);

    ASSERT_TRUE(seen.answered);
    EXPECT_EQ(seen.label, QStringLiteral("Contraseña de %1 para abrir\n%2:").arg(user, location));
    EXPECT_EQ(seen.format, Qt::PlainText);
    EXPECT_EQ(seen.echo, QLineEdit::Password);
    // Qt's own buttons in Spanish, whatever the locale.
    EXPECT_EQ(seen.buttons, QStringList({"Aceptar", "Cancelar"}));
    EXPECT_EQ(answer, QStringLiteral("s3cr<b>"));
}

} // namespace
} // namespace orvendal::ui
