// The window on a real X server with a window manager, driven by real clicks and keys (XTEST,
// through xdotool): the list's own key handling, which offscreen key events only imitate.
#include "frmorvendal.h"
#include "messagebox.h"
#include "stationfiles.h"
#include "tempdir.h"
#include "uitesting.h"
#include "xserver.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTreeView>
#include <QWindow>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace orvendal::ui {
namespace {

testing::XServer* server = nullptr;

std::optional<int> selectedRow(const QTreeView& view) {
    const auto selected = view.selectionModel()->selectedRows();
    return selected.isEmpty() ? std::nullopt : std::optional<int>(selected.front().row());
}

void xdotool(const std::string& args) {
    testing::run("DISPLAY=" + server->name() + " timeout 10 xdotool " + args);
}

TEST(ListKeysOnX11, TheRowAKeyMovedToIsTheOneRefreshesKeep) {
    struct Case {
        const char* keys;
        int row; // the row number selected once the keys are handled; row N is at position N - 1
    };
    testing::TempDir dir;
    testing::writeStationFile(dir.file("MARLOVEN.SIT"), 12, 1);
    std::vector<QString> boxes;
    const auto previous =
        replaceMessageBox([&](QWidget*, const QString& text) { boxes.push_back(text); });
    for (const Case& c : {Case{"Down", 3}, Case{"Down Down Down", 5}}) {
        SCOPED_TRACE(c.keys);
        const auto window = std::make_unique<frmOrvendal>();
        window->MLP_SetFileName(dir.file("MARLOVEN.SIT"));
        window->show();
        // The window maps once its first refresh has set the caption: on a busy machine Qt's
        // default 5 s may pass before Xvfb and openbox expose it.
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get(), 30000));
        auto& view = *window->findChild<QTreeView*>(QStringLiteral("ListView1"));
        const std::string id = std::to_string(window->windowHandle()->winId());
        xdotool("windowactivate --sync " + id);

        // Click row 2, in its first cell: the others may lie beyond the narrow window.
        const QPoint cell = view.viewport()->mapTo(
            window.get(), view.visualRect(view.model()->index(1, 0)).center());
        xdotool("mousemove --window " + id + " " + std::to_string(cell.x()) + " " +
                std::to_string(cell.y()) + " click 1");
        ASSERT_TRUE(testing::waitUntil([&] { return selectedRow(view) == 1; }))
            << "the click did not select row 2";

        xdotool(std::string("key ") + c.keys);
        ASSERT_TRUE(testing::waitUntil([&] { return selectedRow(view) == c.row - 1; }))
            << "the keys did not move the selection";
        // Each refresh publishes its rows as one reset of the list's model.
        QSignalSpy refreshes(view.model(), &QAbstractItemModel::modelReset);
        ASSERT_TRUE(testing::waitUntil([&] { return refreshes.size() >= 3; }, 10000));
        EXPECT_EQ(selectedRow(view), c.row - 1) << "a refresh went back to another row";
    }
    replaceMessageBox(previous);
    EXPECT_TRUE(boxes.empty());
}

} // namespace
} // namespace orvendal::ui

// Qt on Xvfb with openbox, started here before Qt looks for a display and ended after it.
int main(int argc, char* argv[]) {
    orvendal::testing::XServer x;
    orvendal::ui::server = &x;
    const orvendal::testing::TempDir config;
    ::setenv("DISPLAY", x.name().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    int status = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Orvendal"));
        ::testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
    }
    return status;
}
