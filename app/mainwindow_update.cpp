// The programming run's face: Update starts it, the sequence timer steps it,
// and what it reports shows in the progress bar, the action bar and the box.
#include <QTimer>
#include <cstdio>

#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::BeginRun()
{
    run.begin(image, readout.identity(), block_interval_ms);
    run_saved_update_group = ui->group_UpdateFile->isEnabled();
    run_saved_capture = ui->pushButton_Capture->isEnabled();
    ui->group_UpdateFile->setEnabled(false);
    ui->pushButton_Capture->setEnabled(false);
}

void MainWindow::EndRun()
{
    if (!run.inProgress())
        return;
    run.end();
    RecordRun();
    ui->group_UpdateFile->setEnabled(run_saved_update_group);
    ui->pushButton_Capture->setEnabled(run_saved_capture);
}

void MainWindow::on_pushButton_Update_clicked()
{
    // A press during a run leaves the run alone: its timer, the timer's
    // interval (the block interval during the transfer) and its step.
    if (run.inProgress())
        return;
    // Never during a capture: its presence answer would take the sequence
    // timer back for the readout in the middle of the run.
    if (!update_allowed || ui->pushButton_Capture->isChecked() || !image.loaded())
        return;
    if (exchanger.moreThanOneEcu()) {
        moreThanOneEcuAnswers();
        return;
    }
    // The image programmed is the one checked against this ECU: when the
    // file no longer holds what was loaded, it is loaded and checked again.
    if (!fileStillAsLoaded()) {
        LoadUpdateFile(image.path());
        EnableUpdate();
        if (!image.loaded() || !hwMatches())
            return;
    }
    // An image without data, or with a block longer than the ECU accepts,
    // would leave the ECU empty after the erase.
    QString refusal;
    if (image.refusal(readout.identity().blockLength, &refusal) != UpdateImage::Refusal::None) {
        showMessage(refusal, QMessageBox::Ok);
        return;
    }
    BeginRun();
    SequenceTimer->stop();
    SequenceTimer->setInterval(100);
    disconnect(SequenceTimer, SIGNAL(timeout()), this, SLOT(ReadECUInfo()));
    connect(SequenceTimer, SIGNAL(timeout()), this, SLOT(UpdateRoutine()), Qt::UniqueConnection);
    SequenceTimer->start();
}

void MainWindow::CalcolaSecurityKey(unsigned char* seed, unsigned char* key)
{
    ProgrammingRun::securityKey(seed, key);
}

void MainWindow::UpdateRoutine()
{
    // Ticks that fall while a tick is in progress (a message box runs a nested
    // event loop in which the timer keeps firing) do nothing.
    static bool busy = false;
    if (busy)
        return;
    busy = true;
    run.step();
    busy = false;
}

void MainWindow::runStatus(const QString& text)
{
    ui->label_ActionBar->setText(text);
}

void MainWindow::runProgress(int percent)
{
    ui->progressBar->setValue(percent);
}

void MainWindow::runBlockWritten(int percent)
{
    // The progress shows at once: the bar repaints itself when its figure
    // moves, and so does the percent label here. (A repaint of the whole
    // window per block took about 2 ms, more than a short block's time on
    // the bus.)
    const bool moved = percent != ui->progressBar->value();
    ui->progressBar->setValue(percent);
    std::printf("%d\n", percent);
    std::fflush(stdout);
    if (moved)
        ui->label_ProgressBar_value->repaint();
}

void MainWindow::runTickInterval(int ms)
{
    SequenceTimer->setInterval(ms);
}

int MainWindow::runAsk(const QString& text, bool okCancel)
{
    // While another box is open (or its exec() has not returned yet), the
    // run waits in the box's state and a later tick shows it.
    if (!messageBoxFree()) {
        SequenceTimer->setInterval(100);  // no block interval while waiting
        return kDeferred;
    }
    const int answer = showMessage(text, okCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok);
    return answer == QMessageBox::Ok ? kOk : kCancel;
}

void MainWindow::runEnded(End how)
{
    SequenceTimer->stop();
    switch (how) {
    case End::MoreThanOneEcu:
        ui->progressBar->setValue(0);
        moreThanOneEcuAnswers();
        EndRun();
        break;
    case End::Aborted:
        ui->progressBar->setValue(0);
        ui->label_ActionBar->setText(QString());
        ui->pushButton_Update->setEnabled(false);
        EndRun();
        break;
    case End::EraseFailed:
        // The window stays as it is, for a retry after a power cycle.
        EndRun();
        break;
    case End::Completed:
        AddressClaimTimer->start();
        EndRun();
        ResetGUI();
        break;
    }
}
