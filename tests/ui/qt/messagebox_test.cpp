#include "messagebox.h"
#include "uitesting.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

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

TEST(MessageBox, RealBoxShowsItsTextAsPlainText) {
    QWidget owner;
    owner.show();
    // A path and a server's message, as a user or a server may write them.
    const QString text = QStringLiteral("2-No such file or directory: /srv/<h1>AVISO</h1><img "
                                        "src=\"/etc/passwd\"><a href=\"x\">aquí</a>");
    struct Seen {
        Qt::TextFormat box = Qt::RichText;
        std::vector<std::pair<QString, Qt::TextFormat>> labels;
        bool clicked = false;
    } seen;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || seen.clicked) {
            return;
        }
        seen.box = box->textFormat();
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            seen.labels.emplace_back(label->text(), label->textFormat());
        }
        seen.clicked = true;
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    driver.start(20);

    messageBox(&owner, text);

    ASSERT_TRUE(seen.clicked);
    EXPECT_EQ(seen.box, Qt::PlainText);
    const auto shown = std::find_if(seen.labels.begin(), seen.labels.end(),
                                    [&](const auto& label) { return label.first == text; });
    ASSERT_NE(shown, seen.labels.end()) << "no label shows the text whole";
    EXPECT_EQ(shown->second, Qt::PlainText);
}

} // namespace
} // namespace orvendal::ui
