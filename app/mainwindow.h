// The tool's one window: start-up, connection, capture, identification
// readout, update file loading and the programming sequence, each in its slots.
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QMessageBox>
#include <QString>
#include <cstdint>

#include "exchange.h"
#include "flash_history.h"
#include "update_file.h"

class QLabel;
class QTimer;

// Lets a periodic timer's tick through once per period. After a slot of
// another timer has blocked the event loop, Qt delivers an overdue timer
// twice in a row; a due tick fires once and missed periods are not made up.
class TickGate {
public:
    bool admit(int intervalMs)
    {
        if (last_.isValid() && last_.elapsed() < intervalMs / 2)
            return false;
        last_.start();
        return true;
    }

private:
    QElapsedTimer last_;
};

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

private slots:
    void LiberaMemoria();
    void ConnectInterface();
    void TesterPresentFnc();
    void SendTesterAddressClaim();
    void ReadECUInfo();
    void UpdateHWInterfaceStatus();
    void on_pushButton_clicked();
    void on_pushButton_Capture_clicked();
    void SendCaptureMessage();
    void CancelCapture(int);
    void CheckECUPresence();
    void on_pushButton_ConnectToECU_clicked();
    void on_pushButton_BrowseFile_clicked();
    void LoadUpdateFile(QString path);
    void EnableUpdate();
    void on_pushButton_Update_clicked();
    void UpdateRoutine();
    void CalcolaSecurityKey(unsigned char* seed, unsigned char* key);
    void InitGUI();
    void ResetGUI();
    void on_progressBar_valueChanged(int value);

private:
    Ui::MainWindow* ui;
    QMessageBox msgBox;
    QTimer* CaptureTimer = nullptr;
    QTimer* TesterPresentTimer = nullptr;
    QTimer* AddressClaimTimer = nullptr;
    QTimer* SequenceTimer = nullptr;
    QTimer* UpdateStatusTimer = nullptr;
    sector_T* update_sector_start = nullptr;
    sector_T* current_sector = nullptr;
    uint32_t sectors_tot_len = 0;
    uint32_t hw_id = 0xFFFFFFFFu;  // "not programmed": no ECU reports it, so nothing matches it
    uint8_t update_file_ok = 0;
    uint8_t file_fw_checksum[10] = {};
    uint32_t file_fw_hw_compatibility = 0;
    uint16_t max_packet_lenght = 128;
    bool update_allowed = false;
    uint8_t security_key[5] = {};
    bool update_success = false;
    int hw_interface_baudrate = 250;
    char browse_file_path[500] = {};
    uint8_t phys_ECU_addr = 0x22;
    uint32_t kwp_can_send_id = 0;
    uint32_t kwp_can_rec_id = 0;

    // A programming run in progress, and the state its start took from the
    // widgets it locks (Browse and Capture must not change the sector list or
    // rebind the sequence timer under a run).
    // The update file the name field shows: the one reloaded after a
    // readout, checked and programmed, also when its path is too long to be
    // remembered in browse_file_path and hyst.dat.
    QString chosen_file;
    // Set when a capture interrupts the readout: its next step starts again
    // at 0. Set at first too: the step counter outlives a window (tests open
    // many in one process), and a window's first readout starts at step 0.
    bool readout_restart = true;
    // Likewise for the programming run: a window's first run starts at the
    // seed request, also after an earlier window was closed in a run.
    bool run_restart = true;
    // conf.dat's optional third line: the sequence tick between block transfers.
    int block_interval_ms = 100;
    TickGate claim_gate, capture_gate, presence_gate;
    // The one message box, shown modally; a second box while one is open is
    // refused (NoButton) instead of re-entering it.
    int showMessage(const QString& text, QMessageBox::StandardButtons buttons);
    // No box is open and no exec() of the box is still on the stack: a box
    // may be shown now.
    bool messageBoxFree() const;
    int box_depth = 0;  // exec() calls of msgBox in progress
    void stopReadout();

    // The label of identification item 0 to 5, and the texts the form gives
    // them before any readout ("not read").
    QLabel* itemLabel(int item) const;
    QString unread_texts[6];
    // The ECU in front of the tool is not identified (yet): its hardware id is
    // "not programmed", so no file matches it; no tick and no Update.
    void forgetEcuIdentity();
    // No image is held: the sector list is freed and the file's values cleared.
    void dropImage();
    // The content the image was loaded from (size and SHA-256): at Update
    // the file must still hold it, or it is loaded and checked again.
    qint64 loaded_file_size = -1;
    QByteArray loaded_file_sha256;
    bool fileStillAsLoaded() const;

    // Every request to the ECU and its own answer; it also tells when more
    // than one ECU answers.
    exchange::Exchanger exchanger;
    // More than one ECU answers: nothing read is shown as the ECU's, and
    // Update stays off until a new capture.
    void moreThanOneEcuAnswers();

    bool run_in_progress = false;
    bool run_saved_update_group = false;
    bool run_saved_capture = false;
    int run_rejected_keys = 0;  // a run gives up after three rejected keys
    void BeginRun();
    void EndRun();

    // The flash history ("history.csv" in the working directory) and what
    // the run in progress records there when it ends.
    FlashHistory history;
    QString loaded_file_path;  // the update file the sector list came from
    QDateTime run_started;
    QString run_bus_log;  // relative to the working directory; empty when none
    QElapsedTimer run_clock;
    QString run_outcome;
    double run_seconds = 0;
    uint32_t run_bytes = 0;
    uint32_t run_blocks = 0;
    void NoteRunOutcome(const QString& text);
    void RecordRun();
    bool hwMatches() const;

    friend class MainWindowProbe;  // window tests read the members
};

#endif
