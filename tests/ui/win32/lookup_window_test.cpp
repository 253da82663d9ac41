#include "wintesting.h"

#include <optional>

namespace orvendal::testing {
namespace {

// The double-click look-up through Wine's odbc32 into the demo's SQLite database, which CTest
// sets up as the data source MARLOVEN before these tests.
class LookupWindowTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        if (IsSkipped()) {
            return;
        }
        writeStationFile(path, 12, 1);
        window = open();
        frame = window->handle();
        rows = list(*window);
    }

    // Every refresh sets the caption: whether one ran shows in it.
    bool refreshedWithin(DWORD ms) {
        ::SetWindowTextW(frame, L"espera");
        return waitUntil([&] { return windowText(frame) != u"espera"; }, ms);
    }

    std::unique_ptr<ui::frmOrvendal> window;
    HWND frame = nullptr;
    HWND rows = nullptr;
};

TEST_F(LookupWindowTest, ADoubleClickShowsTheUsersNameWhileTheTimerIsHeld) {
    selectRow(rows, 0);
    std::optional<bool> refreshedDuringBox;
    onBox = [&](const std::u16string&) { refreshedDuringBox = refreshedWithin(1200); };
    notifyFromList(frame, NM_DBLCLK, 0);
    onBox = nullptr;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], u"1-María José Peña Ortiz");
    EXPECT_EQ(refreshedDuringBox, false) << "no refresh while the answer is on screen";
    EXPECT_TRUE(refreshedWithin(1500)) << "the ticked box runs the timer again";

    // With the box cleared, the timer stays off after the answer.
    ::SendMessageW(checkBox(*window), BM_CLICK, 0, 0);
    selectRow(rows, 11);
    notifyFromList(frame, NM_DBLCLK, 11);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], u"12-Begoña Muñiz Ibáñez");
    EXPECT_FALSE(refreshedWithin(1200));
}

TEST_F(LookupWindowTest, OnlyALeftDoubleClickOnASelectedRowLooksUp) {
    notifyFromList(frame, NM_DBLCLK, -1);
    EXPECT_TRUE(boxes.empty()) << "no row selected";
    selectRow(rows, 2);
    notifyFromList(frame, NM_RDBLCLK, 2);
    EXPECT_TRUE(boxes.empty()) << "the right button";
    notifyFromList(frame, NM_DBLCLK, 2);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], u"3-Íñigo Sáenz   ");
}

TEST_F(LookupWindowTest, AFailedLookUpShowsItsErrorThenTheAnswer) {
    // User 9's name is NULL in the demo database.
    selectRow(rows, 8);
    notifyFromList(frame, NM_DBLCLK, 8);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].rfind(u"1005.", 0), 0u) << toUtf8(boxes[0]);
    EXPECT_EQ(boxes[1], u"");
    EXPECT_FALSE(window->endStatus());
    EXPECT_TRUE(refreshedWithin(1500));
}

} // namespace
} // namespace orvendal::testing
