#include "stationfilechooser.h"

#include "error.h"
#include "messagebox.h"
#include "smburl.h"
#include "stationfilesetting.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvendal::ui {

StationFileChooser::StationFileChooser(const QString& problem, QWidget* parent)
    : QDialog(parent), edit_(new QLineEdit(this)) {
    setWindowTitle(QGuiApplication::applicationDisplayName());
    // The problem names a path, which anyone may have chosen: plain text, never rich text.
    auto* label = new QLabel(
        QStringLiteral("No se puede abrir el fichero de estaciones junto al programa:\n%1\n\n"
                       "Indique el fichero de estaciones que se vigilará: una ruta, o una URL "
                       "smb://servidor/recurso/carpeta/MARLOVEN.SIT. La respuesta se recordará "
                       "para las próximas veces.")
            .arg(problem),
        this);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    edit_->setPlaceholderText(QStringLiteral("/ruta/MARLOVEN.SIT o smb://servidor/recurso/"
                                             "MARLOVEN.SIT"));
    edit_->setMinimumWidth(420);
    auto* browse = new QPushButton(QStringLiteral("Examinar…"), this);
    // Return in the line edit accepts the dialog, not a click on "Examinar…".
    browse->setAutoDefault(false);
    connect(browse, &QPushButton::clicked, this, &StationFileChooser::browse);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(QStringLiteral("Aceptar"));
    ok->setEnabled(false);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancelar"));
    connect(edit_, &QLineEdit::textChanged, ok,
            [ok](const QString& text) { ok->setEnabled(!text.trimmed().isEmpty()); });
    connect(buttons, &QDialogButtonBox::accepted, this, &StationFileChooser::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &StationFileChooser::reject);

    auto* row = new QHBoxLayout;
    row->addWidget(edit_);
    row->addWidget(browse);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addLayout(row);
    layout->addWidget(buttons);
}

QString StationFileChooser::stationFile() const {
    const QString text = edit_->text().trimmed();
    if (text.isEmpty() || files::isSmbPath(text.toStdString())) {
        return text;
    }
    return QFileInfo(text).absoluteFilePath();
}

void StationFileChooser::accept() {
    if (stationFile().isEmpty()) {
        return;
    }
    try {
        files::requireStationFileValue(stationFile().toStdString());
    } catch (const Error& e) {
        messageBox(this, QString::fromStdString(e.description()));
        return;
    }
    QDialog::accept();
}

void StationFileChooser::browse() {
    QFileDialog dialog(this, QStringLiteral("Fichero de estaciones"), QDir::homePath(),
                       QStringLiteral("Ficheros de estaciones (*.SIT *.sit);;"
                                      "Todos los ficheros (*)"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("Buscar en:"));
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("Nombre:"));
    dialog.setLabelText(QFileDialog::FileType, QStringLiteral("Tipo:"));
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Abrir"));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("Cancelar"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        edit_->setText(dialog.selectedFiles().constFirst());
    }
}

std::optional<std::string> askForStationFile(const QString& problem) {
    StationFileChooser chooser(problem);
    if (chooser.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const std::string stationFile = chooser.stationFile().toStdString();
    try {
        files::rememberStationFile(stationFile);
    } catch (const Error& e) {
        messageBox(nullptr, QStringLiteral("No se ha podido guardar el fichero de estaciones "
                                           "elegido para las próximas veces: %1")
                                .arg(QString::fromStdString(e.description())));
    }
    return stationFile;
}

} // namespace orvendal::ui
