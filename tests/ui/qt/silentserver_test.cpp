// The window over smb:// while its file server stops answering: the window's thread never waits
// on the server, and closing never waits for a refresh in flight.
#include "frmorvendal.h"
#include "messagebox.h"
#include "refreshdriver.h"
#include "smbfile.h"
#include "smbstation.h"
#include "uitesting.h"

#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <vector>

namespace orvendal::ui {
namespace {

using testing::SmbTestServer;
using testing::waitUntil;

TEST(SilentServerWindowTest, TheWindowAnswersAndClosesAtOnceWhileTheServerIsSilent) {
    if (const auto why = SmbTestServer::unavailable()) {
        GTEST_SKIP() << *why;
    }
    testing::TempDir dir;
    SmbTestServer server;
    testing::writeStationFile(server.localFile("MARLOVEN.SIT"), 5, 3);
    std::vector<QString> boxes;
    auto previousBox =
        replaceMessageBox([&](QWidget*, const QString& text) { boxes.push_back(text); });
    files::useCredentialsFile(testing::writeCredentials(dir, server, server.password()));

    auto window = std::make_unique<frmOrvendal>();
    window->MLP_SetFileName(server.url("MARLOVEN.SIT"));
    window->show();
    // The first refresh ends on its worker, however busy the machine.
    ASSERT_TRUE(waitUntil(
        [&] { return window->windowTitle() == QStringLiteral("Conexiones activas: 3"); }, 30000))
        << window->windowTitle().toStdString();

    // Every process of the server stops: requests go unanswered, as from a server that hangs.
    ASSERT_EQ(::kill(-server.pid(), SIGSTOP), 0);
    // The next tick starts a refresh that waits on the server. Meanwhile the window's events run:
    // a 100 ms timer fires, again and again, and the window is resized. A thread that waited on
    // the server would be held for its whole time-out (5 s); a busy machine delays far less.
    ASSERT_TRUE(waitUntil([] { return station::RefreshDriver::workersRunning(); }, 30000))
        << "a refresh waits on the server";
    constexpr qint64 kHeld = 2500;
    qint64 latest = 0;
    for (int i = 0; i < 20; ++i) {
        QElapsedTimer clock;
        clock.start();
        bool fired = false;
        QTimer::singleShot(100, [&] { fired = true; });
        ASSERT_TRUE(waitUntil([&] { return fired; }, 10000));
        latest = std::max(latest, clock.elapsed());
    }
    EXPECT_LT(latest, kHeld) << "the window's thread was held";
    window->resize(500, 300);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->size(), QSize(500, 300));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Conexiones activas: 3"))
        << "the list keeps its last refresh until one ends";

    // Closing does not wait for the refresh in flight: it is abandoned.
    QElapsedTimer closing;
    closing.start();
    window->close();
    window.reset();
    EXPECT_LT(closing.elapsed(), kHeld);
    EXPECT_TRUE(station::RefreshDriver::workersRunning());

    // The abandoned refresh ends once the server answers again, and reports to nobody.
    ASSERT_EQ(::kill(-server.pid(), SIGCONT), 0);
    EXPECT_TRUE(waitUntil([] { return !station::RefreshDriver::workersRunning(); }, 30000));
    replaceMessageBox(std::move(previousBox));
}

} // namespace
} // namespace orvendal::ui
