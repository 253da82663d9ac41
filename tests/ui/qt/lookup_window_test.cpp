// The double-click look-up in the real window, against the real SQLite ODBC driver.
#include "frmorvendal.h"
#include "messagebox.h"
#include "odbcsandbox.h"
#include "tempdir.h"
#include "uitesting.h"

#include <QCheckBox>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <memory>

namespace orvendal::ui {
namespace {

using lookup::testing::Backend;
using lookup::testing::OdbcSandbox;

struct Box {
    QString text;
    bool timerRunning;
};

class LookupWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.resetTable();
        sandbox.exec("INSERT INTO GenUsu VALUES (7, 'ANA'), (3, 'Íñigo Sáenz  '), (5, NULL)");
        testing::writeStationFile(dir.file("MARLOVEN.SIT"), 9, 1);
        window = std::make_unique<frmOrvendal>();
        window->MLP_SetFileName(dir.file("MARLOVEN.SIT"));
        previous = replaceMessageBox([this](QWidget*, const QString& text) {
            boxes.push_back({text, timer().isActive()});
        });
        window->show();
        window->resize(500, 400);
    }
    void TearDown() override { replaceMessageBox(std::move(previous)); }

    QTreeView& list() { return *window->findChild<QTreeView*>(QStringLiteral("ListView1")); }
    QCheckBox& checkBox() { return *window->findChild<QCheckBox*>(QStringLiteral("CheckTimer")); }
    QTimer& timer() { return *window->findChild<QTimer*>(QStringLiteral("Timer1")); }

    // A double-click as a user makes it: the first click selects the row.
    void doubleClickRow(int row) {
        const QPoint at = list().visualRect(list().model()->index(row - 1, 2)).center();
        QTest::mouseClick(list().viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list().viewport(), Qt::LeftButton, {}, at);
    }

    OdbcSandbox sandbox{Backend::SQLite};
    testing::TempDir dir;
    std::unique_ptr<frmOrvendal> window;
    std::vector<Box> boxes;
    MessageBoxFunction previous;
};

TEST_F(LookupWindowTest, AnswerComesWithTheTimerHeldAndThenFollowsTheBox) {
    for (const bool ticked : {true, false}) {
        SCOPED_TRACE(ticked ? "AutoRefresh ticked" : "AutoRefresh cleared");
        boxes.clear();
        checkBox().setChecked(ticked);
        doubleClickRow(7);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, QStringLiteral("7-ANA"));
        EXPECT_FALSE(boxes[0].timerRunning);
        EXPECT_EQ(timer().isActive(), ticked);
    }
    boxes.clear();
    doubleClickRow(3);
    doubleClickRow(8);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, QStringLiteral("3-Íñigo Sáenz  "));
    EXPECT_EQ(boxes[1].text, QStringLiteral("8-No existe en TABLA"));
}

TEST_F(LookupWindowTest, FailedLookUpShowsTheErrorThenAnEmptyAnswerAndTheNextOneWorks) {
    doubleClickRow(5);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(boxes[0].text.startsWith(QStringLiteral("1005."))) << boxes[0].text.toStdString();
    EXPECT_EQ(boxes[1].text, QString());
    EXPECT_FALSE(boxes[0].timerRunning);
    EXPECT_FALSE(boxes[1].timerRunning);
    EXPECT_TRUE(timer().isActive());

    doubleClickRow(7);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2].text, QStringLiteral("7-ANA"));
}

TEST_F(LookupWindowTest, OnlyTheLeftButtonLooksUp) {
    const QPoint at = list().visualRect(list().model()->index(6, 2)).center();
    QTest::mouseClick(list().viewport(), Qt::LeftButton, {}, at);
    for (const Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
        SCOPED_TRACE(button == Qt::RightButton ? "right" : "middle");
        QTest::mouseClick(list().viewport(), button, {}, at);
        QTest::mouseDClick(list().viewport(), button, {}, at);
        EXPECT_TRUE(boxes.empty());
        EXPECT_TRUE(timer().isActive());
    }
    QTest::mouseDClick(list().viewport(), Qt::LeftButton, {}, at);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QStringLiteral("7-ANA"));
}

TEST_F(LookupWindowTest, DoubleClickWithNoSelectedRowTouchesNothing) {
    // A data source whose driver does not exist: any look-up would show an error box.
    sandbox.writeOdbcIni("[MARLOVEN]\nDriver=Missing\n");
    const QPoint belowTheRows(20, list().viewport()->height() - 5);
    ASSERT_FALSE(list().indexAt(belowTheRows).isValid());
    for (const bool ticked : {true, false}) {
        checkBox().setChecked(ticked);
        QTest::mouseDClick(list().viewport(), Qt::LeftButton, {}, belowTheRows);
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(timer().isActive(), ticked);
    }
}

} // namespace
} // namespace orvendal::ui
