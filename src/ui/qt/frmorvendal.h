#pragma once

#include "passworddialog.h"
#include "stationlist.h"
#include "stationmonitor.h"
#include "userdirectory.h"

#include <QWidget>

#include <cstdint>
#include <exception>
#include <string>

class QCheckBox;
class QTimer;

namespace orvendal::ui {

class StationListView;

// The monitor's only window: the station list, the "AutoRefresh" box and the timer that refreshes
// the list twice a second. The first show() loads it: the first refresh, then always-on-top.
class frmOrvendal final : public QWidget, private station::MonitorWindow {
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
    void Form_Unload();
    void CheckTimer_Click();
    void Timer1_Timer();
    void ListView1_Click();
    void ListView1_KeyDown(std::int16_t keyCode, std::int16_t shift);
    void ListView1_DblClick();

    std::u16string caption() const override;
    void setCaption(const std::u16string& caption) override;
    void showWindow() override;
    void messageBox(const std::u16string& text) override;
    bool markerFileExists() const override;

    // Runs an event handler. An error that leaves it is reported in a box and ends the program:
    // nothing ever escapes into Qt's event loop.
    template <typename Handler> void dispatch(Handler&& handler) noexcept;
    void endWithError(std::exception_ptr failure) noexcept;
    void showBox(const QString& text);

    // Window geometry is given in twips, 1/1440 inch.
    int pixelsX(float twips) const;
    int pixelsY(float twips) const;
    void moveControl(QWidget& control, float left, float top, float width, float height);

    // A server that wants a password it was not given asks for it over this window.
    PasswordPromptScope passwordPrompt_{this};
    StationListView* ListView1;
    QCheckBox* CheckTimer;
    QTimer* Timer1;
    station::StationMonitor monitor_;
    // Holds the database connection from the first look-up on.
    lookup::UserDirectory users_;
    QSize outerSize_;
    bool loaded_ = false;
    bool refreshing_ = false;
    bool ended_ = false;
};

} // namespace orvendal::ui
