#pragma once

#include <QDialog>
#include <QString>

#include <optional>
#include <string>

class QLineEdit;

namespace orvendal::ui {

// Asks which station file to watch when none is set and the one beside the program cannot be
// opened (`problem` says why): a local file, typed or picked with "Examinar…", or an smb:// URL
// typed in. Spanish texts, all shown as plain text.
class StationFileChooser : public QDialog {
    Q_OBJECT

public:
    explicit StationFileChooser(const QString& problem, QWidget* parent = nullptr);

    // What was typed or picked, a local path made absolute.
    QString stationFile() const;

    void accept() override;

private:
    void browse();

    QLineEdit* edit_;
};

// Shows the chooser; when the user accepts, remembers the answer in the user's settings file (a
// failure to is told in a box, and the answer still used) and returns it. Nothing on cancel.
std::optional<std::string> askForStationFile(const QString& problem);

} // namespace orvendal::ui
