// The full refresh as the user sees it: MLP_Show into the window's real list, with the remembered
// row re-selected and scrolled into view, and the paint that follows. Arguments: station records;
// 1 when every other record is locked by another process; 0 for the window's size when it opens,
// 1 for a window of 800 x 600 pixels. Runs on offscreen Qt.
#include "frmorvendal.h"
#include "lockholder.h"
#include "stationfiles.h"
#include "tempdir.h"

#include <QApplication>
#include <QCheckBox>
#include <QTest>
#include <QTreeView>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using namespace orvendal;

// Counts the list's paints, to check that each measured refresh was drawn.
class PaintCounter : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
    int paints = 0;
};

void BM_WindowRefresh(benchmark::State& state) {
    const auto stations = static_cast<int>(state.range(0));
    testing::TempDir dir;
    const std::string path = dir.file("MARLOVEN.SIT");
    testing::writeStationFile(path, stations, 12);
    std::unique_ptr<testing::LockHolder> holder;
    if (state.range(1) != 0) {
        std::vector<testing::LockHolder::Range> ranges;
        for (int record = 2; record <= stations + 1; record += 2) {
            ranges.push_back({static_cast<std::uint64_t>(record - 1) * 81, 81});
        }
        holder = std::make_unique<testing::LockHolder>(path, ranges);
    }

    ui::frmOrvendal window;
    window.MLP_SetFileName(path);
    window.show();
    if (state.range(2) != 0) {
        window.resize(800, 600);
    }
    // Refreshes come from the benchmark only.
    window.findChild<QCheckBox*>(QStringLiteral("CheckTimer"))->setCheckState(Qt::Unchecked);
    auto& view = *window.findChild<QTreeView*>(QStringLiteral("ListView1"));
    // The user selects the middle row; any key remembers it.
    view.setCurrentIndex(view.model()->index(stations / 2, 0));
    QTest::keyClick(&view, Qt::Key_Shift);
    PaintCounter counter;
    view.viewport()->installEventFilter(&counter);

    for (auto _ : state) {
        state.PauseTiming();
        view.scrollToTop();
        QApplication::processEvents();
        counter.paints = 0;
        state.ResumeTiming();

        window.MLP_Show();
        // Offscreen Qt paints a dirty window only when a later timer fires: paint it now, into
        // its backing store, as the event loop would.
        window.repaint();

        state.PauseTiming();
        if (counter.paints == 0 || view.selectionModel()->selectedRows().size() != 1) {
            state.SkipWithError("the refresh was not drawn or did not select the row");
        }
        state.ResumeTiming();
    }
    state.counters["rows"] = view.model()->rowCount();
}

BENCHMARK(BM_WindowRefresh)
    ->ArgsProduct({{100, 1000, 10000}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvendal"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
