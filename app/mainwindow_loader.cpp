// Choosing and loading the update file, and deciding the Update button.
#include <QFile>
#include <QFileDialog>
#include <cstring>

#include "mainwindow.h"
#include "regular_file.h"
#include "settings_files.h"
#include "ui_mainwindow.h"

void MainWindow::on_pushButton_BrowseFile_clicked()
{
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open File"), hystDecode(QByteArray(browse_file_path)),
        tr("Firmware update file (*.hx1)"));
    if (path.isEmpty())
        return;
    ui->lineEdit_FileName->setText(path);
    chosen_file = path;
    const QByteArray encoded = hystEncode(path);
    // A path longer than the 499 bytes kept is loaded, but never stored cut.
    if (encoded.size() < static_cast<int>(sizeof browse_file_path)) {
        writeHystFile(encoded);
        std::memcpy(browse_file_path, encoded.constData(), static_cast<std::size_t>(encoded.size()));
        browse_file_path[encoded.size()] = '\0';
    }
    LoadUpdateFile(path);
    EnableUpdate();
}

void MainWindow::dropImage()
{
    image.drop();
    ui->label_check_HWID_compatibility->setPixmap(QPixmap());
    ui->label_HWIDcompatibility->setText(tr("- - -"));
    ui->pushButton_Update->setEnabled(false);
}

void MainWindow::LoadUpdateFile(QString path)
{
    dropImage();

    auto report = [this](const QString& message) {
        showMessage(message, QMessageBox::Ok);
        ui->label_ActionBar->setText(QString());
    };

    ui->label_ActionBar->setText(tr("Opening file..."));
    QFile file;
    if (!openRegularFile(path, file)) {
        report(UpdateImage::loadText(UpdateImage::Load::CannotOpen));
        return;
    }
    ui->label_ActionBar->setText(tr("Loading file..."));
    const QByteArray content = file.readAll();
    file.close();

    const UpdateImage::Load outcome = image.loadContent(path, content, readout.identity().blockLength);
    if (outcome != UpdateImage::Load::Loaded) {
        report(UpdateImage::loadText(outcome));
        return;
    }
    ui->label_HWIDcompatibility->setText(QString::asprintf("%d", static_cast<int32_t>(image.hwCompatibility())));
    ui->label_check_HWID_compatibility->setPixmap(
        QPixmap(hwMatches() ? ":/images/check.png" : ":/images/red_cross.png"));
    ui->label_ActionBar->setText(tr("File successfully loaded"));
}

// The file is meant for the ECU identified, and for no other.
bool MainWindow::hwMatches() const
{
    return image.fits(readout.identity().hwId, exchanger.moreThanOneEcu());
}

bool MainWindow::fileStillAsLoaded() const
{
    return image.stillAsLoaded();
}

void MainWindow::EnableUpdate()
{
    if (!image.loaded()) {
        ui->pushButton_Update->setEnabled(false);
        ui->label_check_HWID_compatibility->setPixmap(QPixmap());
    } else if (hwMatches()) {
        update_allowed = true;
        ui->pushButton_Update->setEnabled(true);
        ui->label_check_HWID_compatibility->setPixmap(QPixmap(":/images/check.png"));
    } else {
        ui->pushButton_Update->setEnabled(false);
        ui->label_check_HWID_compatibility->setPixmap(QPixmap(":/images/red_cross.png"));
    }
}
