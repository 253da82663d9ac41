#include "messagebox.h"
#include "uitesting.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace orvendal::ui {
namespace {

TEST(MessageBox, RealBoxWaitsUntilItsOkButtonIsClicked) {
    QWidget owner;
    owner.show();
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::Information;
        qsizetype buttons = 0;
        bool clicked = false;
    } seen;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || seen.clicked) {
            return;
        }
        seen = {box->windowTitle(), box->text(), box->icon(), box->buttons().size(), true};
        ASSERT_NE(box->button(QMessageBox::Ok), nullptr);
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    driver.start(20);

    messageBox(&owner, QStringLiteral("2-No such file or directory"));

    EXPECT_TRUE(seen.clicked) << "returned before its button was clicked";
    EXPECT_EQ(seen.title, QStringLiteral("Orvendal"));
    EXPECT_EQ(seen.text, QStringLiteral("2-No such file or directory"));
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.buttons, 1);
}

} // namespace
} // namespace orvendal::ui
