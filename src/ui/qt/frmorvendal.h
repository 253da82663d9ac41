#pragma once

#include "monitorframe.h"
#include "passworddialog.h"
#include "windowplacement.h"

#include <QWidget>

#include <cstdint>
#include <string>
#include <utility>

class QCheckBox;
class QTimer;

namespace orvendal::ui {

class StationListView;

// The monitor's only window: the station list, the "AutoRefresh" box and the timer that refreshes
// the list twice a second. The first show() loads it: the first refresh, then always-on-top.
// Its handlers are the shared frame's; the station file is read beside the window's thread.
// frmOrvendal, MLP_Show, Form_Load and the like are the window's own names, kept on purpose
// against this codebase's usual naming.
class frmOrvendal final : public QWidget, private FrontEnd {
    Q_OBJECT

public:
    explicit frmOrvendal(QWidget* parent = nullptr);

    void MLP_Show();
    void MLP_SetFileName(std::string fileName);

    void setVisible(bool visible) override;

signals:
    // An error left an event handler and has been reported: the program is to end with this
    // status.
    void ended(int exitStatus);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    void Form_Resize() noexcept;

    void setCaption(const std::u16string& caption) override;
    void showWindow() override;
    void messageBox(const std::u16string& text) override;
    bool markerFileExists() const override;
    // Shows the window if it was asked to show before a refresh had set its caption.
    void showIfPending();
    void postRefreshFinished() override;
    void publishRows() override;
    void setTimerEnabled(bool enabled) override;
    int autoRefreshValue() const override;
    void endProgram(int status) override;

    // Runs an event handler through the frame, which reports an error that leaves it.
    template <typename Handler> void dispatch(Handler&& handler) noexcept {
        frame_.dispatch(std::forward<Handler>(handler));
    }

    // Window geometry is given in twips, 1/1440 inch.
    int pixelsX(float twips) const;
    int pixelsY(float twips) const;
    void moveControl(QWidget& control, float left, float top, float width, float height);

    // A server that wants a password it was not given asks for it over this window.
    PasswordPromptScope passwordPrompt_{this};
    StationListView* ListView1;
    QCheckBox* CheckTimer;
    QTimer* Timer1;
    MonitorFrame frame_;
    WindowPlacement placement_;
    QSize outerSize_;
    bool loaded_ = false;
    // A refresh has set the caption: until then the window shows the design caption, and is
    // kept hidden.
    bool captionSet_ = false;
    bool showPending_ = false;
};

} // namespace orvendal::ui
