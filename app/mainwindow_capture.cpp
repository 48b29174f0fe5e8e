// Capture of a powering-up ECU into its bootloader, and the presence check.
#include <QDateTime>
#include <QTimer>

#include "capture.h"
#include "mainwindow.h"
#include "run_logs.h"
#include "ui_mainwindow.h"

// A capture takes the sequence timer from a readout still in progress, so
// that the readout neither ticks inside the capture's boxes nor re-enables the
// update file and Update while the capture runs.
void MainWindow::stopReadout()
{
    if (run.inProgress() || !SequenceTimer->isActive())
        return;
    SequenceTimer->stop();
    readout.restart();
}

void MainWindow::on_pushButton_Capture_clicked()
{
    if (ui->pushButton_Capture->isChecked()) {
        const bool readoutWasRunning = SequenceTimer->isActive() && !run.inProgress();
        stopReadout();
        ui->group_UpdateFile->setEnabled(false);
        ui->pushButton_Update->setEnabled(false);
        if (showMessage(tr("Please turn the ECU off"), QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok) {
            ui->pushButton_Capture->setChecked(false);
            // No capture took place: the interrupted readout of the ECU that
            // is still there runs again from its start.
            if (readoutWasRunning)
                on_pushButton_ConnectToECU_clicked();
            return;
        }
        // Whatever ECU answers now is identified anew: until its hardware id
        // has been read, it matches no update file, and no tick is shown.
        // Answers are counted afresh, for the ECUs on the bus from now on.
        forgetEcuIdentity();
        exchanger.reset();
        // The capture and the identification that follows, in a log of their own.
        runlogs::start(QDateTime::currentDateTime(), QString());
        CaptureTimer->setInterval(capture::kRequestIntervalMs);
        CaptureTimer->start();
        TesterPresentTimer->setInterval(capture::kPresenceIntervalMs);
        TesterPresentTimer->start();
        ui->label_ActionBar->setText(tr("Waiting for communication..."));
        msgBox.setText(tr("Please turn the ECU on..."));
        msgBox.setStandardButtons(QMessageBox::Cancel);
        connect(&msgBox, SIGNAL(finished(int)), this, SLOT(CancelCapture(int)));
        msgBox.open();
        if (!AddressClaimTimer->isActive())
            AddressClaimTimer->start();
        ui->pushButton_Capture->setText(tr("Stop Capture"));
    } else {
        CaptureTimer->stop();
        ui->pushButton_Capture->setText(tr("Start Capture"));
        TesterPresentTimer->stop();
        disconnect(&msgBox, SIGNAL(finished(int)), this, SLOT(CancelCapture(int)));
        msgBox.close();
    }
}

void MainWindow::SendCaptureMessage()
{
    if (!capture_gate.admit(CaptureTimer->interval()))
        return;
    capture::sendCaptureRequest();
}

void MainWindow::CancelCapture(int)
{
    ui->pushButton_Capture->setChecked(false);
    ui->label_ActionBar->setText(QString());
    on_pushButton_Capture_clicked();
    runlogs::stop();  // the capture was given up before an ECU answered
}

void MainWindow::CheckECUPresence()
{
    if (run.inProgress() || !presence_gate.admit(TesterPresentTimer->interval()))
        return;
    // When more than one ECU answers, the capture ends all the same and the
    // readout says so.
    if (!capture::ecuPresent(exchanger))
        return;
    AddressClaimTimer->stop();
    ui->pushButton_Capture->setChecked(false);
    disconnect(&msgBox, SIGNAL(finished(int)), this, SLOT(CancelCapture(int)));
    msgBox.close();
    on_pushButton_Capture_clicked();
    on_pushButton_ConnectToECU_clicked();
    ui->label_ActionBar->setText(tr("Bootloader active"));
}

void MainWindow::on_pushButton_ConnectToECU_clicked()
{
    if (run.inProgress())
        return;  // the sequence timer belongs to the programming run
    disconnect(SequenceTimer, SIGNAL(timeout()), this, SLOT(UpdateRoutine()));
    // Qt::UniqueConnection: bound once, also after a second capture.
    connect(SequenceTimer, SIGNAL(timeout()), this, SLOT(ReadECUInfo()), Qt::UniqueConnection);
    SequenceTimer->setInterval(10);
    SequenceTimer->start();
}
