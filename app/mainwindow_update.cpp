// The programming sequence: one step per tick of the sequence timer.
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "kwp.h"
#include "mainwindow.h"
#include "run_logs.h"
#include "ui_mainwindow.h"

namespace {

enum Fase : uint8_t {
    SeedRequest,
    KeySend,
    SessionOpen,
    EraseStart,
    ErasePoll,
    DownloadRequest,
    TransferPreparation,
    BlockTransfer,
    TransferExit,
    ChecksumStart,
    ChecksumPoll,
    OutcomeReport,
    EcuReset,
    RunEnd,
    // A box that ends the run, waiting for another box to close.
    AbortReport,
    EraseErrorReport,
    EraseTimeoutReport,
};

constexpr int kMaxErasePolls = 25;
constexpr int kMaxRejectedKeys = 3;

KWP_msg_T request(uint8_t sid, std::initializer_list<uint8_t> params)
{
    KWP_msg_T m;
    m.SID = sid;
    m.len = static_cast<uint32_t>(1 + params.size());
    int i = 0;
    for (uint8_t b : params)
        m.payload[i++] = b;
    return m;
}

sector_T* firstWithData(sector_T* s)
{
    while (s && s->len == 0)
        s = s->next;
    return s;
}

}  // namespace

void MainWindow::BeginRun()
{
    run_in_progress = true;
    run_rejected_keys = 0;
    run_started = QDateTime::currentDateTime();
    // The run's frames, the ECU's restart after the outcome included.
    run_bus_log = runlogs::start(run_started, ui->label_HWID->text().trimmed());
    run_clock.start();
    run_outcome.clear();
    run_bytes = run_blocks = 0;
    run_saved_update_group = ui->group_UpdateFile->isEnabled();
    run_saved_capture = ui->pushButton_Capture->isEnabled();
    ui->group_UpdateFile->setEnabled(false);
    ui->pushButton_Capture->setEnabled(false);
}

void MainWindow::EndRun()
{
    if (!run_in_progress)
        return;
    run_in_progress = false;
    RecordRun();
    runlogs::stop();
    ui->group_UpdateFile->setEnabled(run_saved_update_group);
    ui->pushButton_Capture->setEnabled(run_saved_capture);
}

void MainWindow::on_pushButton_Update_clicked()
{
    // A press during a run leaves the run alone: its timer, the timer's
    // interval (the block interval during the transfer) and its step.
    if (run_in_progress)
        return;
    // Never during a capture: its presence answer would take the sequence
    // timer back for the readout in the middle of the run.
    if (!update_allowed || ui->pushButton_Capture->isChecked() || update_file_ok == 0)
        return;
    if (exchanger.moreThanOneEcu()) {
        moreThanOneEcuAnswers();
        return;
    }
    // The image programmed is the one checked against this ECU: when the
    // file no longer holds what was loaded, it is loaded and checked again.
    if (!fileStillAsLoaded()) {
        LoadUpdateFile(loaded_file_path);
        EnableUpdate();
        if (update_file_ok == 0 || !hwMatches())
            return;
    }
    if (sectors_tot_len == 0) {
        // Erasing the ECU for an image without data would leave it empty.
        showMessage(tr("The update file holds no data to program."), QMessageBox::Ok);
        return;
    }
    for (const sector_T* s = update_sector_start; s; s = s->next) {
        if (s->len > max_packet_lenght) {
            // The ECU would refuse that block after the erase and be left empty.
            showMessage(tr("The update file holds a block of %1 bytes, longer than the ECU accepts (%2 bytes).")
                            .arg(s->len).arg(max_packet_lenght),
                        QMessageBox::Ok);
            return;
        }
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
    key[0] = static_cast<unsigned char>(~seed[1]);
    key[1] = static_cast<unsigned char>(~seed[0]);
    key[2] = 0;
    key[3] = 0;
    key[4] = 0;
}

void MainWindow::UpdateRoutine()
{
    static uint8_t fase = SeedRequest;
    static int rep = 0;
    static int erase_routine_result_rep = 0;
    static uint32_t written_data = 0;
    static sector_T* sector_index = nullptr;
    // Ticks that fall while a tick is in progress (a message box runs a nested
    // event loop in which the timer keeps firing) do nothing.
    static bool busy = false;
    if (busy)
        return;
    busy = true;
    if (run_restart) {
        fase = SeedRequest;
        rep = 0;
        sector_index = nullptr;
        run_restart = false;
    }

    KWP_msg_T msg_rec;
    msg_rec.SID = 0;
    msg_rec.len = 0;
    // One exchange; true only for the request's own positive answer (one that
    // repeats the security access mode, the routine or the session) that
    // carries at least minLen bytes, service byte included. A late answer to
    // an earlier attempt (a seed that came after its request timed out) is
    // passed over while this request's answer is awaited.
    int result = 0;
    auto exchange = [&](KWP_msg_T req, uint32_t timeout, uint32_t minLen) {
        msg_rec.SID = 0;
        msg_rec.len = 0;
        result = exchanger.exchange(req, msg_rec, timeout);
        return result == 0 && msg_rec.len >= minLen;
    };
    // Every box of the sequence ends its run, so none may be lost: while
    // another box is open (or its exec() has not returned yet), the run stays
    // in the box's state and a later tick shows it.
    constexpr int kDeferred = -1;
    auto showBox = [&](const QString& text, QMessageBox::StandardButtons buttons) {
        NoteRunOutcome(text);
        if (!messageBoxFree()) {
            SequenceTimer->setInterval(100);  // no block interval while waiting
            return kDeferred;
        }
        return showMessage(text, buttons);
    };
    auto abortRun = [&]() {
        fase = AbortReport;
        if (showBox(tr("Operation aborted"), QMessageBox::Ok) == kDeferred)
            return;
        fase = SeedRequest;
        rep = 0;
        SequenceTimer->stop();
        ui->progressBar->setValue(0);
        ui->label_ActionBar->setText(QString());
        ui->pushButton_Update->setEnabled(false);
        EndRun();
    };
    // An erase that failed or timed out: the box, then the run stops at the
    // seed request with the window as it is, for a retry after a power cycle.
    auto eraseEnds = [&](Fase report) {
        fase = report;
        rep = 0;
        const QString text =
            report == EraseErrorReport
                ? tr("Error during memory erase. Please turn off and on the ECU and try to repeat the procedure.")
                : tr("Timeout during memory erase. Please turn the ECU off and on and retry.");
        if (showBox(text, QMessageBox::Ok) == kDeferred)
            return;
        fase = SeedRequest;
        SequenceTimer->stop();
        EndRun();
    };

    // More than one ECU answered in the tick before: the exchanger has sent
    // nothing since, and the run ends before anything more is sent.
    if (exchanger.moreThanOneEcu() && fase <= ChecksumPoll) {
        const QString text = tr("More than one ECU is answering");
        NoteRunOutcome(text);
        fase = SeedRequest;
        rep = 0;
        SequenceTimer->stop();
        ui->progressBar->setValue(0);
        moreThanOneEcuAnswers();
        EndRun();
        busy = false;
        return;
    }

    if (fase == AbortReport || rep > 3) {
        abortRun();
        busy = false;
        return;
    }
    ++rep;

    switch (fase) {
    case SeedRequest:
        if (exchange(request(0x27, {0x01}), 200, 4)) {
            CalcolaSecurityKey(&msg_rec.payload[1], security_key);
            fase = KeySend;
            rep = 0;
        }
        break;
    case KeySend:
        if (exchange(request(0x27, {0x02, security_key[0], security_key[1], security_key[2],
                                    security_key[3], security_key[4]}),
                     200, 2)) {
            ui->label_ActionBar->setText(tr("Security access completed"));
            fase = SessionOpen;
            rep = 0;
        } else if (result > 0) {
            // Every key is computed from a fresh seed; an ECU that rejects
            // them all ends the run instead of alternating for ever.
            fase = SeedRequest;
            if (++run_rejected_keys >= kMaxRejectedKeys)
                abortRun();
        }
        break;
    case SessionOpen:
        if (exchange(request(0x10, {0x85}), 200, 1)) {
            ui->label_ActionBar->setText(tr("Programming session opened"));
            fase = EraseStart;
            rep = 0;
        }
        break;
    case EraseStart:
        if (exchange(request(0x31, {0x10}), 200, 1)) {
            ui->label_ActionBar->setText(tr("Erasing memory..."));
            ui->progressBar->setValue(1);
            fase = ErasePoll;
            rep = 0;
            erase_routine_result_rep = 0;
        }
        break;
    case ErasePoll:
        ++erase_routine_result_rep;
        if (exchange(request(0x33, {0x10}), 1000, 3)) {
            if (msg_rec.payload[1] == 0) {
                ui->label_ActionBar->setText(tr("Memory erased"));
                ui->progressBar->setValue(10);
                fase = DownloadRequest;
            } else {
                eraseEnds(EraseErrorReport);
            }
        } else if (result != 0x23 && result != exchange::kMoreThanOneEcu &&
                   erase_routine_result_rep > kMaxErasePolls) {
            eraseEnds(EraseTimeoutReport);
        }
        rep = 0;
        break;
    case EraseErrorReport:
    case EraseTimeoutReport:
        eraseEnds(static_cast<Fase>(fase));
        break;
    case DownloadRequest:
        if (exchange(request(0x34, {}), 200, 1)) {
            fase = TransferPreparation;
            rep = 0;
        }
        break;
    case TransferPreparation:
        written_data = 0;
        sector_index = firstWithData(update_sector_start);
        ui->label_ActionBar->setText(tr("Downloading..."));
        fase = sector_index ? BlockTransfer : TransferExit;
        // The block transfers (and their retries) tick at the configured
        // interval: the ECU answers each block once it is written, so the
        // next one may follow at once. Every other step keeps 100 ms; the
        // erase and checksum polls count 100 ms ticks.
        if (fase == BlockTransfer)
            SequenceTimer->setInterval(block_interval_ms);
        break;
    case BlockTransfer: {
        KWP_msg_T req;
        req.SID = 0x36;
        req.len = sector_index->len + 5;
        req.payload[0] = static_cast<uint8_t>(sector_index->start_address);
        req.payload[1] = static_cast<uint8_t>(sector_index->start_address >> 8);
        req.payload[2] = static_cast<uint8_t>(sector_index->start_address >> 16);
        req.payload[3] = static_cast<uint8_t>(sector_index->start_address >> 24);
        std::memcpy(&req.payload[4], sector_index->sector_payload, sector_index->len);
        if (exchange(req, 3000, 1)) {
            written_data += sector_index->len;
            run_bytes = written_data;
            ++run_blocks;
            const int progress = static_cast<int>(
                static_cast<uint64_t>(written_data) * 80 / sectors_tot_len + 10);
            // The progress shows at once: the bar repaints itself when its
            // figure moves, and so does the percent label here. (A repaint
            // of the whole window per block took about 2 ms, more than a
            // short block's time on the bus.)
            const bool moved = progress != ui->progressBar->value();
            ui->progressBar->setValue(progress);
            std::printf("%d\n", progress);
            std::fflush(stdout);
            if (moved)
                ui->label_ProgressBar_value->repaint();
            rep = 0;
            sector_index = firstWithData(sector_index->next);
            if (!sector_index) {
                fase = TransferExit;
                SequenceTimer->setInterval(100);
            }
        }
        break;
    }
    case TransferExit:
        ui->progressBar->setValue(90);
        ui->label_ActionBar->setText(tr("Download completed"));
        if (exchange(request(0x37, {}), 200, 1)) {
            fase = ChecksumStart;
            rep = 0;
        }
        break;
    case ChecksumStart:
        if (exchange(request(0x31, {0x20, file_fw_checksum[0], file_fw_checksum[1]}), 200, 1)) {
            ui->label_ActionBar->setText(tr("Verifying checksum..."));
            ui->progressBar->setValue(91);
            fase = ChecksumPoll;
            rep = 0;
        }
        break;
    case ChecksumPoll:
        if (exchange(request(0x33, {0x20}), 200, 3)) {
            update_success = msg_rec.payload[1] == 0;
            ui->label_ActionBar->setText(update_success ? tr("Checksum OK") : tr("Checksum error"));
            ui->progressBar->setValue(100);
            fase = OutcomeReport;
            rep = 0;
        } else if (result == 0x23) {
            rep = 0;
        }
        break;
    case OutcomeReport: {
        rep = 0;
        int answer;
        if (update_success)
            answer = showBox(tr("Programming succeeded. Press OK to start the application."),
                             QMessageBox::Ok | QMessageBox::Cancel);
        else
            answer = showBox(tr("WARNING! Update failed. Please verify the update file and try again."),
                             QMessageBox::Ok);
        if (answer == kDeferred)
            break;  // shown at a later tick, once the other box is closed
        fase = answer == QMessageBox::Ok ? EcuReset : RunEnd;
        break;
    }
    case EcuReset:
        exchange(request(0x11, {}), 200, 1);  // the ECU may restart before it answers
        fase = RunEnd;
        break;
    case RunEnd:
    default:
        fase = SeedRequest;
        rep = 0;
        SequenceTimer->stop();
        AddressClaimTimer->start();
        EndRun();
        ResetGUI();
        break;
    }
    busy = false;
}
