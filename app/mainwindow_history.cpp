// What a programming run leaves in the flash history.
#include "mainwindow.h"
#include "ui_mainwindow.h"

// The outcome is the text that ends the run; its duration is taken here, so
// that the time a box waits for its answer does not count.
void MainWindow::NoteRunOutcome(const QString& text)
{
    run_outcome = text;
    run_seconds = run_clock.isValid() ? run_clock.elapsed() / 1000.0 : 0;
}

void MainWindow::RecordRun()
{
    FlashRecord r;
    r.started = run_started;
    r.outcome = run_outcome;
    r.ecuAddress = phys_ECU_addr;
    r.hwId = ui->label_HWID->text().trimmed();
    r.hwVersion = ui->label_HWver->text().trimmed();
    r.bootVersion = ui->label_BOOTver->text().trimmed();
    r.interfaceVersion = ui->label_BOOTinterface->text().trimmed();
    r.appCode = ui->label_FWID->text().trimmed();
    r.appVersion = ui->label_FWver->text().trimmed();
    r.file = loaded_file_path;
    r.fileHwId = static_cast<int32_t>(file_fw_hw_compatibility);
    r.checksum[0] = file_fw_checksum[0];
    r.checksum[1] = file_fw_checksum[1];
    r.bytes = run_bytes;
    r.blocks = run_blocks;
    r.blockLength = max_packet_lenght;
    r.seconds = run_seconds;
    r.fileSha256 = loaded_file_sha256;
    r.busLog = run_bus_log;
    history.append(r);  // reports a failure itself; the run is over either way
}
