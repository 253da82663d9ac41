#include "messagebox.h"
#include "uitesting.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace orvendal::ui {
namespace {

TEST(MessageBox, RealBoxShowsItsTextAsPlainTextAndWaitsUntilItsOkButtonIsClicked) {
    QWidget owner;
    owner.show();
    // A server's message about a path, as a user or a server may write them.
    const QString text = QStringLiteral("2-No such file or directory: /srv/<h1>AVISO</h1><img "
                                        "src=\"/etc/passwd\"><a href=\"x\">aquí</a>");
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::Information;
        qsizetype buttons = 0;
        Qt::TextFormat format = Qt::RichText;
        std::vector<std::pair<QString, Qt::TextFormat>> labels;
        bool clicked = false;
        QString okText;
    } seen;
    const auto driver = testing::answerModal<QMessageBox>([&](QMessageBox* box) {
        seen = {box->windowTitle(), box->text(), box->icon(), box->buttons().size(),
                box->textFormat(),  {},          true,        {}};
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            seen.labels.emplace_back(label->text(), label->textFormat());
        }
        ASSERT_NE(box->button(QMessageBox::Ok), nullptr);
        seen.okText = box->button(QMessageBox::Ok)->text().remove(u'&');
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });

    messageBox(&owner, text);

    EXPECT_TRUE(seen.clicked) << "returned before its button was clicked";
    EXPECT_EQ(seen.title, QStringLiteral("Orvendal"));
    EXPECT_EQ(seen.text, text);
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.buttons, 1);
    EXPECT_EQ(seen.okText, QStringLiteral("Aceptar")) << "run under LC_ALL=C.UTF-8 too";
    EXPECT_EQ(seen.format, Qt::PlainText);
    const auto shown = std::find_if(seen.labels.begin(), seen.labels.end(),
                                    [&](const auto& label) { return label.first == text; });
    ASSERT_NE(shown, seen.labels.end()) << "no label shows the text whole";
    EXPECT_EQ(shown->second, Qt::PlainText);
}

} // namespace
} // namespace orvendal::ui
