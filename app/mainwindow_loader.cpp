// Choosing and loading the update file, and deciding the Update button.
#include <QCryptographicHash>
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
    LiberaMemoria();
    update_file_ok = 0;
    sectors_tot_len = 0;
    loaded_file_path.clear();
    loaded_file_size = -1;
    loaded_file_sha256.clear();
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
        report(tr("Cannot open selected file"));
        return;
    }
    ui->label_ActionBar->setText(tr("Loading file..."));
    const QByteArray content = file.readAll();
    file.close();

    const LoadOutcome outcome =
        parseUpdateFile(content.constData(), static_cast<std::size_t>(content.size()), max_packet_lenght,
                        update_sector_start, current_sector, sectors_tot_len, file_fw_checksum,
                        file_fw_hw_compatibility);
    switch (outcome) {
    case LoadOutcome::Loaded: break;
    case LoadOutcome::ShortFirstLine: report(tr("Formato file non corretto")); return;
    case LoadOutcome::BadFormat: report(tr("Uncorrect file format")); return;
    case LoadOutcome::CriticalError: report(tr("Critical error")); return;
    case LoadOutcome::CorruptedFile: report(tr("Corrupted file")); return;
    }
    update_file_ok = 1;
    loaded_file_path = path;
    loaded_file_size = content.size();
    loaded_file_sha256 = QCryptographicHash::hash(content, QCryptographicHash::Sha256);
    ui->label_HWIDcompatibility->setText(QString::asprintf("%d", static_cast<int32_t>(file_fw_hw_compatibility)));
    ui->label_check_HWID_compatibility->setPixmap(
        QPixmap(hwMatches() ? ":/images/check.png" : ":/images/red_cross.png"));
    ui->label_ActionBar->setText(tr("File successfully loaded"));
}

// The file is meant for this ECU. An identifier of all ones is what an ECU
// without a programmed identifier reports: it matches no file.
// With more than one ECU answering, the id read is nobody's in particular.
bool MainWindow::hwMatches() const
{
    return hw_id == file_fw_hw_compatibility && hw_id != 0xFFFFFFFFu && !exchanger.moreThanOneEcu();
}

bool MainWindow::fileStillAsLoaded() const
{
    QFile file;
    if (loaded_file_size < 0 || !openRegularFile(loaded_file_path, file))
        return false;
    const QByteArray content = file.readAll();
    return content.size() == loaded_file_size &&
           QCryptographicHash::hash(content, QCryptographicHash::Sha256) == loaded_file_sha256;
}

void MainWindow::EnableUpdate()
{
    if (update_file_ok == 0) {
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
