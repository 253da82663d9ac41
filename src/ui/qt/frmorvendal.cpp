#include "frmorvendal.h"

#include "error.h"
#include "messagebox.h"
#include "stationlistview.h"
#include "stationtexts.h"
#include "topmost.h"
#include "windowicon.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHeaderView>
#include <QIcon>
#include <QMouseEvent>
#include <QPixmap>
#include <QTimer>

#include <utility>

namespace orvendal::ui {
namespace {

constexpr float kTwipsPerInch = 1440.0f;
// The list ends this far above the window's outer bottom edge.
constexpr float kListGap = 600.0f;

// The key-down event's shift state: 1 Shift, 2 Ctrl, 4 Alt.
std::int16_t shiftState(Qt::KeyboardModifiers modifiers) {
    return static_cast<std::int16_t>((modifiers & Qt::ShiftModifier ? 1 : 0) |
                                     (modifiers & Qt::ControlModifier ? 2 : 0) |
                                     (modifiers & Qt::AltModifier ? 4 : 0));
}

// The box keeps its design width, which was made for a narrower system font than many desktops
// have: its caption's font is made smaller until the caption fits whole.
void fitCaptionFont(QCheckBox& box) {
    QFont font = box.font();
    while (box.sizeHint().width() > box.width() && font.pointSizeF() > 6) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        box.setFont(font);
    }
}

} // namespace

frmOrvendal::frmOrvendal(QWidget* parent)
    : QWidget(parent), ListView1(new StationListView(this)),
      CheckTimer(new QCheckBox(QStringLiteral("AutoRefresh"), this)), Timer1(new QTimer(this)),
      frame_(*this, *ListView1) {
    ListView1->setObjectName(QStringLiteral("ListView1"));
    CheckTimer->setObjectName(QStringLiteral("CheckTimer"));
    Timer1->setObjectName(QStringLiteral("Timer1"));

    // The first refresh replaces this caption before the window is first shown.
    setWindowTitle(QStringLiteral("Conexiónes Reales Activas"));
    setWindowIcon(QIcon(QPixmap::fromImage(windowIconImage())));
    resize(pixelsX(4680), pixelsY(3090));
    ListView1->setGeometry(0, 0, pixelsX(4635), pixelsY(3075));
    // The box lies over the list's heading row, in front of it; its own background hides the
    // headings behind it.
    CheckTimer->setGeometry(pixelsX(3090), pixelsY(-30), pixelsX(1275), pixelsY(195));
    fitCaptionFont(*CheckTimer);
    CheckTimer->setCheckState(Qt::Checked);
    CheckTimer->setAutoFillBackground(true);
    CheckTimer->raise();
    // The size and place the user left it at, from the second start on.
    placement_.restoreWindow(*this);
    setTabOrder(ListView1, CheckTimer);
    ListView1->setFocus();

    connect(CheckTimer, &QCheckBox::stateChanged, this,
            [this] { dispatch([this] { frame_.CheckTimer_Click(); }); });
    connect(Timer1, &QTimer::timeout, this,
            [this] { dispatch([this] { frame_.Timer1_Timer(); }); });
    // A key is told once the list has acted on it, so the row it moved to is the one
    // remembered; clicks and double-clicks are seen on the viewport.
    connect(ListView1, &StationListView::keyHandled, this,
            [this](int key, Qt::KeyboardModifiers modifiers) {
                dispatch([this, key, modifiers] {
                    frame_.ListView1_KeyDown(static_cast<std::int16_t>(key), shiftState(modifiers));
                });
            });
    ListView1->viewport()->installEventFilter(this);

    Timer1->setInterval(500);
    Timer1->start();
}

void frmOrvendal::MLP_Show() {
    frame_.MLP_Show();
}

void frmOrvendal::MLP_SetFileName(std::string fileName) {
    frame_.MLP_SetFileName(std::move(fileName));
}

void frmOrvendal::setVisible(bool visible) {
    if (visible && !loaded_) {
        loaded_ = true;
        dispatch([this] { Form_Load(); });
        if (frame_.ended()) {
            return;
        }
    }
    // The window is first seen with a refresh's caption. While the first refresh still waits on
    // its file (a server that asks for a password, a slow one), the window waits with it.
    showPending_ = visible && !captionSet_;
    if (!showPending_) {
        QWidget::setVisible(visible);
    }
}

void frmOrvendal::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Form_Resize();
}

void frmOrvendal::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // The window manager adds its frame after the window is shown, which changes the outer size
    // without a resize of the window itself.
    if (frameGeometry().size() != outerSize_) {
        Form_Resize();
    }
}

void frmOrvendal::closeEvent(QCloseEvent* event) {
    dispatch([this] { frame_.Form_Unload(); });
    placement_.save(*this, *ListView1->header());
    // Closing cannot be refused; the timer ends with the window.
    Timer1->stop();
    event->accept();
}

bool frmOrvendal::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ListView1->viewport()) {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            dispatch([this] { frame_.ListView1_Click(); });
        } else if (event->type() == QEvent::MouseButtonDblClick &&
                   static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
            dispatch([this] { frame_.ListView1_DblClick(); });
        }
    }
    return QWidget::eventFilter(watched, event);
}

void frmOrvendal::Form_Load() {
    frame_.MLP_Show();
    makeTopmost(*this);
}

void frmOrvendal::Form_Resize() noexcept {
    try {
        outerSize_ = frameGeometry().size();
        const float width = static_cast<float>(outerSize_.width()) * kTwipsPerInch /
                            static_cast<float>(logicalDpiX());
        const float height = static_cast<float>(outerSize_.height()) * kTwipsPerInch /
                             static_cast<float>(logicalDpiY());
        moveControl(*ListView1, 0, 0, width, height - kListGap);
    } catch (...) {
        // Layout errors are ignored: a window dragged shorter than the gap keeps the list as it
        // was until a resize that succeeds.
    }
}

void frmOrvendal::setCaption(const std::u16string& caption) {
    setWindowTitle(QString::fromStdU16String(caption));
    captionSet_ = true;
}

void frmOrvendal::showIfPending() {
    if (showPending_ && captionSet_) {
        show();
    }
}

void frmOrvendal::showWindow() {
    if (!isVisible()) {
        // Showing lays the list out, so it must see the rows added so far.
        ListView1->publishRows();
        show();
    }
}

void frmOrvendal::messageBox(const std::u16string& text) {
    // The box runs the event loop, which must not see a refill half published.
    ListView1->publishRows();
    // An outage's box stands over the window, which shows the outage in its caption by now.
    showIfPending();
    ui::messageBox(this, QString::fromStdU16String(text));
}

bool frmOrvendal::markerFileExists() const {
    return lockMarkerExists();
}

void frmOrvendal::postRefreshFinished() {
    QMetaObject::invokeMethod(
        this, [this] { dispatch([this] { frame_.refreshFinished(); }); }, Qt::QueuedConnection);
}

void frmOrvendal::publishRows() {
    ListView1->publishRows();
    // The first refresh that lists a station gives the list its columns.
    placement_.restoreColumns(*ListView1->header());
    // A refresh has been shown: a window still waiting for its first one appears now, also when
    // it listed no row.
    showIfPending();
}

void frmOrvendal::setTimerEnabled(bool enabled) {
    if (!enabled) {
        Timer1->stop();
    } else if (!Timer1->isActive()) {
        Timer1->start();
    }
}

int frmOrvendal::autoRefreshValue() const {
    // Qt numbers the greyed and the ticked state the other way round.
    switch (CheckTimer->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}

void frmOrvendal::endProgram(int status) {
    emit ended(status);
}

int frmOrvendal::pixelsX(float twips) const {
    return qRound(twips * static_cast<float>(logicalDpiX()) / kTwipsPerInch);
}

int frmOrvendal::pixelsY(float twips) const {
    return qRound(twips * static_cast<float>(logicalDpiY()) / kTwipsPerInch);
}

void frmOrvendal::moveControl(QWidget& control, float left, float top, float width, float height) {
    if (width < 0 || height < 0) {
        throw Error::of(errc::InvalidValue);
    }
    control.setGeometry(pixelsX(left), pixelsY(top), pixelsX(width), pixelsY(height));
}

} // namespace orvendal::ui
