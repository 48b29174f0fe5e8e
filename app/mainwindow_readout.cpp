// The ECU's identification, read one item per tick of the sequence timer.
#include <QFile>
#include <QTimer>

#include "kwp.h"
#include "mainwindow.h"
#include "run_logs.h"
#include "regular_file.h"
#include "ui_mainwindow.h"

namespace {

QString numberText(const uint8_t* d)
{
    const uint32_t v = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
    return QString::asprintf("%07d", static_cast<int32_t>(v));
}

QString versionText(const uint8_t* d)
{
    return QString::asprintf("%02d.%02d.%02d.%02d", d[0], d[1], d[2], d[3]);
}

}  // namespace

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
    hw_id = 0xFFFFFFFFu;
    update_allowed = false;
    ui->pushButton_Update->setEnabled(false);
    ui->label_check_HWID_compatibility->setPixmap(QPixmap());
}

void MainWindow::moreThanOneEcuAnswers()
{
    // What was read may come from either ECU: none of it is shown as the ECU's.
    for (int item = 0; item < 6; ++item)
        itemLabel(item)->setText(tr("n.a."));
    forgetEcuIdentity();
    ui->label_ActionBar->setText(tr("More than one ECU is answering"));
}

void MainWindow::ReadECUInfo()
{
    static uint8_t fase = 0;
    // A step that opens a message box (a failed reload) runs a nested event
    // loop in which the timer keeps firing: one step at a time.
    static bool busy = false;
    if (busy)
        return;
    busy = true;
    if (readout_restart) {
        fase = 0;
        readout_restart = false;
    }

    if (fase == 0) {
        // A readout from its first step, whoever starts it, identifies the
        // ECU anew: nothing read from an earlier ECU is kept or shown, and
        // until step 0 reads its hardware id the ECU matches no file.
        forgetEcuIdentity();
        for (int item = 0; item < 6; ++item)
            itemLabel(item)->setText(unread_texts[item]);
    }

    if (fase <= 6) {
        KWP_msg_T request;
        request.SID = 0x22;
        request.len = 5;
        request.payload[0] = 0xFF;
        request.payload[1] = fase;
        request.payload[2] = 0x00;
        request.payload[3] = 0x00;
        KWP_msg_T answer;
        answer.len = 0;
        // Its own answer only: 62 FF nn for this item (after a 7F 22 78, the
        // data that follows), never an answer to another item or one queued
        // before the request. A readout from step 0 thus starts with an
        // empty queue.
        const int r = exchanger.exchange(request, answer, 20000);
        if (r == exchange::kMoreThanOneEcu) {
            moreThanOneEcuAnswers();
            max_packet_lenght = 128;  // as when the ECU does not say
            fase = 7;  // nothing more is asked; the readout ends at the next tick
            busy = false;
            return;
        }
        // A positive answer must hold the bytes the step reads (after the
        // echoed FF nn): a shorter one is a failure, never bytes left over.
        const uint32_t needed = fase == 6 ? 2 : 4;
        const bool ok = r == 0 && answer.len >= 3 + needed;
        const uint8_t* d = &answer.payload[2];
        const bool blank = ok && d[0] == 0xFF && d[1] == 0xFF && d[2] == 0xFF && d[3] == 0xFF;
        QLabel* target = itemLabel(fase);
        if (fase == 6) {
            max_packet_lenght = ok ? static_cast<uint16_t>(d[0] + d[1] * 256) : 128;
        } else if (!ok) {
            target->setText(tr("n.a."));
        } else if (blank) {
            target->setText(tr("- - -"));
        } else if (fase == 0 || fase == 4) {
            target->setText(numberText(d));
            if (fase == 0)
                hw_id = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
        } else {
            target->setText(versionText(d));
        }
        ++fase;
        busy = false;
        return;
    }

    // A second ECU that answers later than the first may have answered by now.
    exchanger.drain();
    if (exchanger.moreThanOneEcu()) {
        moreThanOneEcuAnswers();
        max_packet_lenght = 128;
    }
    ui->group_InfoBootloader->setEnabled(true);
    ui->group_InfoApplication->setEnabled(true);
    ui->label_ActionBar->setText(tr("Capture OK"));
    runlogs::stop();  // the capture's log ends with the identification
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
    fase = 0;
    SequenceTimer->stop();
    busy = false;
}
