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
#include "programming_run.h"
#include "readout.h"
#include "update_image.h"

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

// The window is the face of the capture, the readout, the update image and
// the programming run, which hold their own state (see capture.h, readout.h,
// update_image.h, programming_run.h): it shows what they report.
class MainWindow : public QMainWindow, private RunFace {
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
    bool update_allowed = false;
    int hw_interface_baudrate = 250;
    char browse_file_path[500] = {};
    uint8_t phys_ECU_addr = 0x22;
    uint32_t kwp_can_send_id = 0;
    uint32_t kwp_can_rec_id = 0;

    // The update file the name field shows: the one reloaded after a
    // readout, checked and programmed, also when its path is too long to be
    // remembered in browse_file_path and hyst.dat.
    QString chosen_file;
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
    // At Update the file must still hold the content loaded, or it is
    // loaded and checked again.
    bool fileStillAsLoaded() const;

    // Every request to the ECU and its own answer; it also tells when more
    // than one ECU answers.
    exchange::Exchanger exchanger;
    // The identification read from the ECU (its hardware id and block length).
    Readout readout{exchanger};
    // The update image loaded, cut for the ECU's block length.
    UpdateImage image;
    // The programming run, stepped by the sequence timer.
    ProgrammingRun run{exchanger, *this};
    // More than one ECU answers: nothing read is shown as the ECU's, and
    // Update stays off until a new capture.
    void moreThanOneEcuAnswers();

    // The state a run's start took from the widgets it locks (Browse and
    // Capture must not change the sector list or rebind the sequence timer
    // under a run).
    bool run_saved_update_group = false;
    bool run_saved_capture = false;
    void BeginRun();
    void EndRun();

    // The flash history ("history.csv" in the working directory), where
    // each run leaves its line when it ends.
    FlashHistory history;
    void NoteRunOutcome(const QString& text);
    void RecordRun();
    bool hwMatches() const;

    // What the programming run reports (RunFace).
    void runStatus(const QString& text) override;
    void runProgress(int percent) override;
    void runBlockWritten(int percent) override;
    void runTickInterval(int ms) override;
    int runAsk(const QString& text, bool okCancel) override;
    void runEnded(End how) override;

    friend class MainWindowProbe;  // window tests read the members
};

#endif
