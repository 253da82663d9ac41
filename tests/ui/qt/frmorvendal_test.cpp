#include "frmorvendal.h"
#include "lockholder.h"
#include "messagebox.h"
#include "spanishlocale.h"
#include "tempdir.h"
#include "uitesting.h"
#include "windowplacement.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <sys/stat.h>

namespace orvendal::ui {
namespace {

using testing::LockHolder;
using testing::waitUntil;

const QString kOutageCaption = QStringLiteral("Conexiones activas: sin acceso");

// Notes the window's caption when it is first shown.
class ShowWatcher : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && !captionAtShow) {
            captionAtShow = static_cast<QWidget*>(watched)->windowTitle();
        }
        return false;
    }
    std::optional<QString> captionAtShow;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("MARLOVEN.SIT");
        // Each test's window starts at its design values.
        std::filesystem::remove(windowSettingsPath());
        previous = replaceMessageBox([this](QWidget*, const QString& text) {
            boxes.push_back(text);
            if (onBox) {
                onBox(text);
            }
        });
    }
    void TearDown() override { replaceMessageBox(std::move(previous)); }

    std::unique_ptr<frmOrvendal> create() {
        auto window = std::make_unique<frmOrvendal>();
        window->MLP_SetFileName(path);
        return window;
    }
    // The window loaded and shown as the program does it.
    std::unique_ptr<frmOrvendal> open() {
        auto window = create();
        window->show();
        return window;
    }

    static QTreeView& list(frmOrvendal& window) {
        return *window.findChild<QTreeView*>(QStringLiteral("ListView1"));
    }
    static QCheckBox& checkBox(frmOrvendal& window) {
        return *window.findChild<QCheckBox*>(QStringLiteral("CheckTimer"));
    }
    static QTimer& timer(frmOrvendal& window) {
        return *window.findChild<QTimer*>(QStringLiteral("Timer1"));
    }
    static std::optional<int> selectedRow(QTreeView& view) {
        const auto selected = view.selectionModel()->selectedRows();
        return selected.isEmpty() ? std::nullopt : std::optional<int>(selected.front().row());
    }
    static void clickRow(QTreeView& view, int row) {
        const QRect cell = view.visualRect(view.model()->index(row, 2));
        QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, cell.center());
    }

    testing::TempDir dir;
    std::string path;
    std::vector<QString> boxes;
    std::function<void(const QString&)> onBox;
    MessageBoxFunction previous;
};

TEST_F(WindowTest, DesignValuesBeforeTheFirstShow) {
    const auto window = create();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Conexiónes Reales Activas"));
    EXPECT_EQ(window->size(), QSize(312, 206));
    EXPECT_EQ(list(*window).geometry(), QRect(0, 0, 309, 205));
    EXPECT_EQ(checkBox(*window).geometry(), QRect(206, -2, 85, 13));
    EXPECT_EQ(checkBox(*window).text(), QStringLiteral("AutoRefresh"));
    EXPECT_LE(checkBox(*window).sizeHint().width(), 85) << "the caption is cut off";
    EXPECT_EQ(checkBox(*window).checkState(), Qt::Checked);
    EXPECT_TRUE(timer(*window).isActive());
    EXPECT_EQ(timer(*window).interval(), 500);
    EXPECT_FALSE(window->isVisible());

    const QImage icon = window->windowIcon().pixmap(32, 32).toImage();
    ASSERT_EQ(icon.size(), QSize(32, 32));
    const QRgb palette[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                              0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                              0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    for (int i = 0; i < 16; ++i) {
        const int left = (i % 4) * 8;
        const int top = (i / 4) * 8;
        for (const QPoint inside : {QPoint(left, top), QPoint(left + 6, top + 6)}) {
            EXPECT_EQ(icon.pixel(inside), 0xFF000000 | palette[i]) << "colour " << i;
        }
        for (const QPoint line : {QPoint(left + 7, top), QPoint(left, top + 7)}) {
            EXPECT_EQ(icon.pixel(line), 0xFF000000) << "line after colour " << i;
        }
    }
}

TEST_F(WindowTest, FirstRefreshSetsCaptionBeforeTheWindowIsShown) {
    const QStringList headings = {"Rec",           "LC",      "Conectado", "Puesto", "Conexión",
                                  "Nombre Puesto", "Contador"};
    struct Case {
        int stations;
        QStringList headings;
    };
    for (const Case& c : {Case{2, headings}, Case{0, {}}}) {
        SCOPED_TRACE(c.stations);
        testing::writeStationFile(path, c.stations, 7);
        ShowWatcher watcher;
        const auto window = create();
        window->installEventFilter(&watcher);
        window->show();

        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(watcher.captionAtShow, QStringLiteral("Conexiones activas: 7"));
        QAbstractItemModel& model = *list(*window).model();
        QStringList shown;
        for (int column = 0; column < model.columnCount(); ++column) {
            shown << model.headerData(column, Qt::Horizontal).toString();
        }
        EXPECT_EQ(shown, c.headings);
        EXPECT_EQ(model.rowCount(), c.stations);
        EXPECT_TRUE(boxes.empty());
    }
}

TEST_F(WindowTest, ListFollowsTheOuterSizeLessTheGap) {
    testing::writeStationFile(path, 3, 1);
    const auto window = open();
    const QSize frame = window->frameGeometry().size() - window->size();
    // Outer sizes; 600 twips are 40 pixels at 96 dpi: below that the list keeps its place and
    // size.
    struct Case {
        QSize outer;
        bool laidOut;
    };
    for (const Case& c : {Case{{400, 300}, true}, Case{{400, 39}, false}, Case{{500, 40}, true},
                          Case{{350, 20}, false}, Case{{450, 220}, true}}) {
        SCOPED_TRACE(::testing::PrintToString(std::make_pair(c.outer.width(), c.outer.height())));
        const QRect before = list(*window).geometry();
        window->resize(c.outer - frame);
        QCoreApplication::processEvents();
        ASSERT_EQ(window->frameGeometry().size(), c.outer);
        EXPECT_EQ(list(*window).geometry(),
                  c.laidOut ? QRect(0, 0, c.outer.width(), c.outer.height() - 40) : before);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowTest, SelectionSurvivesRefreshesAndIsScrolledBackIntoView) {
    struct Case {
        const char* name;
        std::function<void(QTreeView&)> act;
        int rowAfterAct; // positions: row number N is at position N - 1
        int remembered;
    };
    const Case cases[] = {
        {"click on row 7", [](QTreeView& view) { clickRow(view, 6); }, 6, 6},
        {"Down from row 5",
         [](QTreeView& view) {
             clickRow(view, 4);
             QTest::keyClick(&view, Qt::Key_Down);
         },
         5, 5},
    };
    testing::writeStationFile(path, 300, 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto window = open();
        // Refreshes come from this test only.
        checkBox(*window).setCheckState(Qt::Unchecked);
        window->resize(400, 400);
        QTreeView& view = list(*window);

        c.act(view);
        EXPECT_EQ(selectedRow(view), c.rowAfterAct);
        window->MLP_Show();
        EXPECT_EQ(selectedRow(view), c.remembered);

        QScrollBar& scroll = *view.verticalScrollBar();
        scroll.setValue(scroll.maximum());
        window->MLP_Show();
        EXPECT_EQ(selectedRow(view), c.remembered);
        const QRect row = view.visualRect(view.model()->index(c.remembered, 0));
        EXPECT_TRUE(view.viewport()->rect().contains(row)) << "row not scrolled into view";
        EXPECT_LT(scroll.value(), scroll.maximum());
    }
}

TEST_F(WindowTest, RefreshKeepsScrollPositionAndColumnWidthsWithoutARememberedRow) {
    testing::writeStationFile(path, 300, 2);
    const auto window = open();
    checkBox(*window).setCheckState(Qt::Unchecked);
    window->resize(400, 400);
    QCoreApplication::processEvents();
    QTreeView& view = list(*window);
    view.header()->resizeSection(4, 170);
    view.verticalScrollBar()->setValue(120);
    view.horizontalScrollBar()->setValue(30);
    ASSERT_EQ(view.verticalScrollBar()->value(), 120);
    ASSERT_EQ(view.horizontalScrollBar()->value(), 30);

    window->MLP_Show();
    QCoreApplication::processEvents();
    EXPECT_EQ(view.verticalScrollBar()->value(), 120);
    EXPECT_EQ(view.horizontalScrollBar()->value(), 30);
    EXPECT_EQ(view.header()->sectionSize(4), 170);
    EXPECT_EQ(selectedRow(view), std::nullopt);
    EXPECT_EQ(view.model()->rowCount(), 300);
}

TEST_F(WindowTest, RemembersItsSizePlaceAndColumnWidths) {
    testing::writeStationFile(path, 3, 1);
    const auto designPlace = open()->pos();
    ASSERT_FALSE(std::filesystem::exists(windowSettingsPath())) << "written without being closed";
    {
        const auto window = open();
        window->resize(520, 330);
        window->move(designPlace + QPoint(60, 40));
        list(*window).header()->resizeSection(4, 170);
        list(*window).header()->resizeSection(5, 35);
        window->close();
    }
    EXPECT_TRUE(windowSettingsPath().ends_with("/orvendal/window.conf"));
    struct Case {
        const char* name;
        std::optional<QPoint> savedPlace; // written over what the window saved
        QPoint place;
    };
    for (const Case& c : {Case{"as left", std::nullopt, designPlace + QPoint(60, 40)},
                          Case{"on a screen that is gone", QPoint(40000, -9000), designPlace}}) {
        SCOPED_TRACE(c.name);
        if (c.savedPlace) {
            QSettings(QString::fromStdString(windowSettingsPath()), QSettings::IniFormat)
                .setValue(QStringLiteral("position"), *c.savedPlace);
        }
        const auto window = open();
        EXPECT_EQ(window->size(), QSize(520, 330));
        EXPECT_EQ(window->pos(), c.place);
        EXPECT_EQ(list(*window).header()->sectionSize(4), 170);
        EXPECT_EQ(list(*window).header()->sectionSize(5), 35);
        // The list is laid out for the remembered size, not the design one.
        EXPECT_EQ(list(*window).width(), window->frameGeometry().width());
    }
    EXPECT_TRUE(boxes.empty());
}

// window.conf as another user or a damaged disk may leave it: the window starts at its design
// size with one line that says why, and leaves what is there as it was, never written through.
TEST_F(WindowTest, AWindowConfThatIsNoSmallFileOfTheUsersIsLeftAlone) {
    using std::filesystem::file_type;
    testing::writeStationFile(path, 3, 1);
    const std::string conf = windowSettingsPath();
    std::filesystem::create_directories(std::filesystem::path(conf).parent_path());
    const std::string target = dir.file("elsewhere.conf");
    const std::string saved = "[General]\nsize=@Size(520 330)\n";
    std::ofstream(target) << saved;
    const std::pair<file_type, std::string> cases[] = {
        {file_type::symlink, "es un enlace simbólico, que no se sigue: "},
        {file_type::fifo, "es una FIFO, no un fichero normal: "},
        {file_type::regular, "el fichero de la ventana pasa de 65536 bytes: "},
    };
    for (const auto& [type, says] : cases) {
        SCOPED_TRACE(says);
        std::filesystem::remove(conf);
        if (type == file_type::symlink) {
            std::filesystem::create_symlink(target, conf);
        } else if (type == file_type::fifo) {
            ASSERT_EQ(::mkfifo(conf.c_str(), 0600), 0);
        } else {
            std::ofstream(conf) << saved << std::string(64 * 1024, '#');
        }
        std::ostringstream err;
        std::streambuf* const stderrBuffer = std::cerr.rdbuf(err.rdbuf());
        const auto window = open();
        std::cerr.rdbuf(stderrBuffer);
        EXPECT_EQ(window->size(), QSize(312, 206));
        EXPECT_EQ(err.str(),
                  "orvendal: no se usan el tamaño ni el sitio guardados de la ventana: " + says +
                      conf + "\n");
        window->resize(400, 300);
        window->close();
        EXPECT_EQ(std::filesystem::symlink_status(conf).type(), type);
    }
    std::ifstream untouched(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(untouched), {}), saved);
}

TEST_F(WindowTest, TimerRunsExactlyWhenTheBoxIsTicked) {
    testing::writeStationFile(path, 1, 1);
    const auto window = open();
    QCheckBox& box = checkBox(*window);
    // The box's values 0, 1 and 2 are Qt's Unchecked, Checked and PartiallyChecked.
    struct Step {
        Qt::CheckState state;
        bool running;
    };
    for (const Step step : {Step{Qt::Unchecked, false}, Step{Qt::Checked, true},
                            Step{Qt::PartiallyChecked, false}, Step{Qt::Checked, true}}) {
        SCOPED_TRACE(step.state);
        box.setCheckState(step.state);
        EXPECT_EQ(timer(*window).isActive(), step.running);
    }
    QTest::mouseClick(&box, Qt::LeftButton, {}, box.rect().center());
    EXPECT_EQ(box.checkState(), Qt::Unchecked);
    EXPECT_FALSE(timer(*window).isActive());
}

TEST_F(WindowTest, NoRefreshStartsWhileABoxWaits) {
    enum class When { StartUp, Tick };
    for (const When when : {When::StartUp, When::Tick}) {
        SCOPED_TRACE(when == When::StartUp ? "a box of the first refresh" : "a box at a tick");
        boxes.clear();
        const std::string stations = dir.file(when == When::StartUp ? "missing/X.SIT" : "T.SIT");
        path = stations;
        if (when == When::Tick) {
            testing::writeStationFile(path, 3, 4);
        }
        const auto window = create();
        // Every refresh sets the caption: one that ran while the box waited would replace this.
        std::optional<QString> captionAfterWait;
        onBox = [&](const QString&) {
            window->setWindowTitle(QStringLiteral("espera"));
            QTest::qWait(1300);
            captionAfterWait = window->windowTitle();
        };
        window->show();
        std::unique_ptr<LockHolder> header;
        if (when == When::Tick) {
            EXPECT_TRUE(boxes.empty());
            header = std::make_unique<LockHolder>(path, std::vector<LockHolder::Range>{{0, 81}});
            EXPECT_TRUE(waitUntil([&] { return !boxes.empty(); }));
        }
        onBox = nullptr;
        EXPECT_EQ(captionAfterWait, QStringLiteral("espera"));
        EXPECT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(window->isVisible());
        // The refreshes go on once the box is answered, with no box of their own.
        EXPECT_TRUE(waitUntil([&] { return window->windowTitle() == kOutageCaption; }));
        EXPECT_EQ(boxes.size(), 1u);
    }
}

TEST_F(WindowTest, EveryStationConnectedListsEveryRowBlankAndConnected) {
    testing::writeStationFile(path, 4, 3);
    LockHolder holder(path, {{81, 4 * 81}});
    const auto window = open();
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Conexiones activas: 3"));
    const QAbstractItemModel& model = *list(*window).model();
    ASSERT_EQ(model.rowCount(), 4);
    for (int row = 0; row < 4; ++row) {
        SCOPED_TRACE(row + 1);
        const auto cell = [&](int column) { return model.index(row, column).data().toString(); };
        EXPECT_EQ(cell(0), QString::number(row + 1));
        EXPECT_EQ(cell(2), QStringLiteral("Verdadero"));
        EXPECT_EQ(cell(3), QStringLiteral("0"));
        EXPECT_EQ(cell(5).trimmed(), QString());
        EXPECT_EQ(cell(6), QStringLiteral("0"));
    }
}

TEST_F(WindowTest, AnOutageKeepsTheListAndIsReportedOnce) {
    const auto folder = dir.path() / "stations";
    std::filesystem::create_directory(folder);
    path = (folder / "MARLOVEN.SIT").string();
    testing::writeStationFile(path, 3, 5);
    const auto window = open();
    checkBox(*window).setCheckState(Qt::Unchecked);
    QAbstractItemModel& model = *list(*window).model();
    const QString good = QStringLiteral("Conexiones activas: 5");
    ASSERT_EQ(window->windowTitle(), good);

    std::unique_ptr<LockHolder> header;
    struct Step {
        const char* name;
        std::function<void()> change;
        QString caption;
        std::vector<QString> boxPrefixes; // all boxes shown so far
    };
    const Step steps[] = {
        {"header locked by a workstation",
         [&] {
             header = std::make_unique<LockHolder>(path, std::vector<LockHolder::Range>{{0, 81}});
         },
         kOutageCaption,
         {"1001-"}},
        {"still locked", [] {}, kOutageCaption, {"1001-"}},
        {"lock released", [&] { header.reset(); }, good, {"1001-"}},
        {"file out of reach",
         [&] { std::filesystem::rename(folder, dir.path() / "away"); },
         kOutageCaption,
         {"1001-", "2-"}},
        {"still out of reach", [] {}, kOutageCaption, {"1001-", "2-"}},
        {"file back",
         [&] { std::filesystem::rename(dir.path() / "away", folder); },
         good,
         {"1001-", "2-"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.change();
        window->MLP_Show();
        EXPECT_EQ(window->windowTitle(), step.caption);
        EXPECT_EQ(model.rowCount(), 3);
        ASSERT_EQ(boxes.size(), step.boxPrefixes.size());
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_TRUE(boxes[i].startsWith(step.boxPrefixes[i])) << boxes[i].toStdString();
        }
    }
}

TEST_F(WindowTest, AnErrorLeavingAHandlerIsReportedAndEndsTheProgram) {
    path = dir.file("missing/MARLOVEN.SIT");
    const auto window = create();
    QSignalSpy ended(window.get(), &frmOrvendal::ended);
    // The station file's own box fails: its error leaves the first refresh unhandled.
    onBox = [&](const QString& text) {
        if (boxes.size() == 1) {
            throw std::runtime_error("no box today " + text.toStdString());
        }
    };
    window->show();

    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(boxes[1].startsWith("Error 1099: fallo inesperado: no box today 2-"))
        << boxes[1].toStdString();
    ASSERT_EQ(ended.count(), 1);
    EXPECT_EQ(ended.front().front().toInt(), 1);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(timer(*window).isActive());
    // The caption tells the outage before its box comes up.
    EXPECT_EQ(window->windowTitle(), kOutageCaption);
}

// CTest runs this one under LC_ALL=es_ES.UTF-8: the OS's descriptions follow the user's locale,
// which QApplication adopts and nothing of the window resets.
TEST_F(WindowTest, OsErrorsReadInTheUsersLanguage) {
    if (!testing::spanishLocaleInstalled()) {
        GTEST_SKIP() << testing::kNoSpanishLocale;
    }
    const char* wanted = std::getenv("LC_ALL");
    if (wanted == nullptr || std::string(wanted) != "es_ES.UTF-8") {
        GTEST_SKIP() << "run through CTest, which starts this test under LC_ALL=es_ES.UTF-8";
    }
    path = dir.file("missing/MARLOVEN.SIT");
    const auto window = open();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0].toStdString(), "2-No existe el fichero o el directorio: " + path);
}

TEST_F(WindowTest, ClosingClosesTheStationFile) {
    testing::writeStationFile(path, 2, 1);
    const auto openDescriptors = [this] {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ignored;
            count += std::filesystem::read_symlink(entry.path(), ignored) == path ? 1 : 0;
        }
        return count;
    };
    const auto window = open();
    EXPECT_EQ(openDescriptors(), 1);
    EXPECT_TRUE(window->close());
    EXPECT_EQ(openDescriptors(), 0);
    EXPECT_FALSE(timer(*window).isActive());
    EXPECT_TRUE(boxes.empty());
}

} // namespace
} // namespace orvendal::ui
