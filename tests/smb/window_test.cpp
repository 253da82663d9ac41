// The real window of a monitor running on the Samba server, its station file locked over SMB.
#include "frmorvendal.h"
#include "messagebox.h"
#include "smblockholder.h"
#include "smbtestserver.h"
#include "uitesting.h"

#include <QTreeView>

#include <gtest/gtest.h>

#include <optional>
#include <set>

namespace orvendal::ui {
namespace {

using testing::SmbLockHolder;
using testing::SmbTestServer;
constexpr std::uint64_t kRecord = 81;

std::set<int> connectedRows(frmOrvendal& window) {
    const auto& model = *window.findChild<QTreeView*>(QStringLiteral("ListView1"))->model();
    std::set<int> connected;
    for (int row = 0; row < model.rowCount(); ++row) {
        if (model.index(row, 2).data().toString() == QStringLiteral("Verdadero")) {
            connected.insert(model.index(row, 0).data().toString().toInt());
        }
    }
    return connected;
}

TEST(WindowOnSambaServer, ListsTheRecordsSmbSessionsLockAndFollowsThemAtEachTick) {
    if (const auto why = SmbTestServer::unavailable()) {
        GTEST_SKIP() << *why;
    }
    std::vector<QString> boxes;
    const auto previous =
        replaceMessageBox([&boxes](QWidget*, const QString& text) { boxes.push_back(text); });
    SmbTestServer server;
    testing::writeStationFile(server.localFile("MARLOVEN.SIT"), 8, 3);
    SmbLockHolder first(server, "MARLOVEN.SIT",
                        {SmbLockHolder::exclusive(1 * kRecord, kRecord),
                         SmbLockHolder::exclusive(4 * kRecord, kRecord)});
    SmbLockHolder second(server, "MARLOVEN.SIT", {SmbLockHolder::shared(6 * kRecord, kRecord)});
    {
        frmOrvendal window;
        window.MLP_SetFileName(server.localFile("MARLOVEN.SIT"));
        window.show();
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Conexiones activas: 3"));
        EXPECT_EQ(connectedRows(window), (std::set<int>{1, 4, 6}));

        ASSERT_TRUE(first.unlock(4 * kRecord, kRecord));
        ASSERT_TRUE(second.lock(SmbLockHolder::exclusive(8 * kRecord, kRecord)));
        const std::set<int> after{1, 6, 8};
        EXPECT_TRUE(testing::waitUntil([&] { return connectedRows(window) == after; }))
            << "the timer's refreshes did not follow the workstations";
    }
    replaceMessageBox(previous);
    EXPECT_TRUE(boxes.empty());
}

} // namespace
} // namespace orvendal::ui
