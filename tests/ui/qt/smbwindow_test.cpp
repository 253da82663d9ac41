// The window watching a station file on a real Samba server over smb://.
#include "frmorvendal.h"
#include "messagebox.h"
#include "passworddialog.h"
#include "smbfile.h"
#include "smblockholder.h"
#include "smbstation.h"
#include "uitesting.h"

#include <QApplication>
#include <QCheckBox>
#include <QThread>
#include <QTreeView>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

namespace orvendal::ui {
namespace {

using testing::SmbLockHolder;
using testing::SmbTestServer;
using testing::waitUntil;

const QString kDesignCaption = QStringLiteral("Conexiónes Reales Activas");

// Every caption the window shows: the one it is shown with and each later one while visible.
class CaptionWatcher : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const auto* window = static_cast<QWidget*>(watched);
        if (event->type() == QEvent::Show ||
            (event->type() == QEvent::WindowTitleChange && window->isVisible())) {
            seen.push_back(window->windowTitle());
        }
        return false;
    }
    std::vector<QString> seen;
};

class SmbWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = SmbTestServer::unavailable()) {
            GTEST_SKIP() << *why;
        }
        server.emplace();
        testing::writeStationFile(server->localFile("MARLOVEN.SIT"), 5, 3);
        previousBox =
            replaceMessageBox([this](QWidget*, const QString& text) { boxes.push_back(text); });
        previousDialog = replacePasswordDialog(
            [this](QWidget* parent, const QString& location, const QString& user) {
                asked.push_back({parent, location, user, QThread::currentThread(),
                                 parent->isVisible() ? parent->windowTitle() : QString()});
                return answer;
            });
    }
    void TearDown() override {
        if (server) {
            replaceMessageBox(std::move(previousBox));
            replacePasswordDialog(std::move(previousDialog));
        }
    }

    std::unique_ptr<frmOrvendal> open(const std::string& url) {
        auto window = std::make_unique<frmOrvendal>();
        window->MLP_SetFileName(url);
        window->installEventFilter(&captions);
        window->show();
        return window;
    }
    static std::set<int> connectedRows(frmOrvendal& window) {
        const QAbstractItemModel& model =
            *window.findChild<QTreeView*>(QStringLiteral("ListView1"))->model();
        std::set<int> connected;
        for (int row = 0; row < model.rowCount(); ++row) {
            if (model.index(row, 2).data().toString() == QStringLiteral("Verdadero")) {
                connected.insert(model.index(row, 0).data().toInt());
            }
        }
        return connected;
    }

    struct Question {
        QWidget* parent;
        QString location;
        QString user;
        QThread* thread; // the dialog's, which must be the GUI thread whoever asks
        QString behind;  // the caption of the window behind the dialog; empty while it is hidden
    };
    CaptionWatcher captions;
    testing::TempDir dir;
    std::optional<SmbTestServer> server;
    std::vector<QString> boxes;
    std::vector<Question> asked;
    std::optional<QString> answer;
    MessageBoxFunction previousBox;
    PasswordDialogFunction previousDialog;
};

TEST_F(SmbWindowTest, ListsWhatSmbSessionsLockAndFollowsThemAtEachTick) {
    files::useCredentialsFile(testing::writeCredentials(dir, *server, server->password()));
    SmbLockHolder holder(*server, "MARLOVEN.SIT", {SmbLockHolder::exclusive(2 * 81, 81)});
    const auto window = open(server->url("MARLOVEN.SIT"));
    // The first refresh runs beside the window.
    EXPECT_TRUE(waitUntil(
        [&] { return window->windowTitle() == QStringLiteral("Conexiones activas: 3"); }));
    EXPECT_EQ(connectedRows(*window), std::set<int>{2});

    ASSERT_TRUE(holder.lock(SmbLockHolder::exclusive(4 * 81, 81)));
    EXPECT_TRUE(waitUntil([&] { return connectedRows(*window) == std::set<int>{2, 4}; }));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(asked.empty());
}

TEST_F(SmbWindowTest, AsksForThePasswordOnceOverTheWindowAndKeepsIt) {
    const std::string url = "smb://" + server->user() +
                            "@127.0.0.1:" + std::to_string(server->port()) +
                            "/station/MARLOVEN.SIT";
    answer = QString::fromStdString(server->password());
    const auto window = open(url);
    ASSERT_TRUE(waitUntil([&] { return !asked.empty(); }));
    EXPECT_TRUE(waitUntil(
        [&] { return window->windowTitle() == QStringLiteral("Conexiones activas: 3"); }));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].thread, qApp->thread());
    EXPECT_EQ(asked[0].parent, window.get());
    EXPECT_EQ(asked[0].location.toStdString(), url);
    EXPECT_EQ(asked[0].user.toStdString(), server->user());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Conexiones activas: 3"));
    EXPECT_NE(asked[0].behind, kDesignCaption);
    ASSERT_FALSE(captions.seen.empty());
    EXPECT_EQ(captions.seen.front(), QStringLiteral("Conexiones activas: 3"));

    // Ticks go on reopening the file with the password kept in memory.
    SmbLockHolder holder(*server, "MARLOVEN.SIT", {SmbLockHolder::exclusive(81, 81)});
    EXPECT_TRUE(waitUntil([&] { return connectedRows(*window) == std::set<int>{1}; }));
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(SmbWindowTest, ADeclinedPasswordIsOneBoxAndTheWindowKeepsRunning) {
    const std::string url = "smb://" + server->user() +
                            "@127.0.0.1:" + std::to_string(server->port()) +
                            "/station/MARLOVEN.SIT";
    const auto window = open(url);
    QTest::qWait(1200);
    EXPECT_EQ(asked.size(), 1u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].startsWith(QStringLiteral("13-el servidor no acepta")))
        << boxes[0].toStdString();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Conexiones activas: sin acceso"));
    EXPECT_TRUE(window->isVisible());
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].behind, kDesignCaption);
    ASSERT_FALSE(captions.seen.empty());
    EXPECT_EQ(std::count(captions.seen.begin(), captions.seen.end(), kDesignCaption), 0);
    EXPECT_EQ(captions.seen.front(), QStringLiteral("Conexiones activas: sin acceso"));
}

} // namespace
} // namespace orvendal::ui
