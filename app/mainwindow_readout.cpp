// The ECU's identification, read one item per tick of the sequence timer.
#include <QFile>
#include <QTimer>

#include "mainwindow.h"
#include "regular_file.h"
#include "ui_mainwindow.h"

QLabel* MainWindow::itemLabel(int item) const
{
    switch (item) {
    case 0: return ui->label_HWID;
    case 1: return ui->label_HWver;
    case 2: return ui->label_BOOTinterface;
    case 3: return ui->label_BOOTver;
    case 4: return ui->label_FWID;
    case 5: return ui->label_FWver;
    default: return nullptr;
    }
}

void MainWindow::forgetEcuIdentity()
{
    readout.identity().forget();
    update_allowed = false;
    ui->pushButton_Update->setEnabled(false);
    ui->label_check_HWID_compatibility->setPixmap(QPixmap());
}

void MainWindow::moreThanOneEcuAnswers()
{
    // What was read may come from either ECU: none of it is shown as the ECU's.
    readout.identity().noneIsTheEcus();
    for (int item = 0; item < 6; ++item)
        itemLabel(item)->setText(readout.identity().items[item]);
    forgetEcuIdentity();
    ui->label_ActionBar->setText(tr("More than one ECU is answering"));
}

void MainWindow::ReadECUInfo()
{
    // A step that opens a message box (a failed reload) runs a nested event
    // loop in which the timer keeps firing: one step at a time.
    static bool busy = false;
    if (busy)
        return;
    busy = true;

    const int item = readout.nextItem();
    if (item == 0) {
        // A readout from its first step, whoever starts it, identifies the
        // ECU anew: nothing read from an earlier ECU is kept or shown, and
        // until step 0 reads its hardware id the ECU matches no file.
        forgetEcuIdentity();
        for (int i = 0; i < 6; ++i)
            itemLabel(i)->setText(unread_texts[i]);
    }
    switch (readout.step()) {
    case Readout::Step::MoreThanOneEcu:
        moreThanOneEcuAnswers();  // nothing more is asked; the readout ends at the next tick
        busy = false;
        return;
    case Readout::Step::ItemRead:
        if (item < EcuIdentity::kItems)
            itemLabel(item)->setText(readout.identity().items[item]);
        busy = false;
        return;
    case Readout::Step::Done:
        break;
    }

    if (exchanger.moreThanOneEcu())
        moreThanOneEcuAnswers();
    ui->group_InfoBootloader->setEnabled(true);
    ui->group_InfoApplication->setEnabled(true);
    ui->label_ActionBar->setText(tr("Capture OK"));
    ui->group_UpdateFile->setEnabled(true);
    if (!chosen_file.isEmpty()) {
        // The file the name field shows, which is the one last chosen also
        // when its path was too long to be remembered. It is cut anew for
        // this ECU's block length; an image that cannot be read again is not
        // kept, so that no earlier image, cut for another ECU, is programmed.
        QFile test;
        if (openRegularFile(chosen_file, test)) {
            LoadUpdateFile(chosen_file);
        } else {
            dropImage();
            ui->label_ActionBar->setText(tr("Cannot open selected file"));
        }
    }
    EnableUpdate();
    if (exchanger.moreThanOneEcu())
        ui->label_ActionBar->setText(tr("More than one ECU is answering"));
    SequenceTimer->stop();
    busy = false;
}
