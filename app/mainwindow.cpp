// The window's life: start-up, teardown, the widget resets, the progress
// label, and the connection to the CAN interface with its periodic messages.
#include "mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "brivex.h"
#include "capture.h"
#include "kwp.h"
#include "settings_files.h"
#include "ui_mainwindow.h"
#include "window_legibility.h"

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), msgBox(),
      history(QDir::current().absoluteFilePath(QStringLiteral("history.csv")))
{
    ui->setupUi(this);
    for (int item = 0; item < 6; ++item)
        unread_texts[item] = itemLabel(item)->text();
    // The title carries the build's version, the one the package and the tools report.
    setWindowTitle(QStringLiteral("Tavelin v" TAVELIN_VERSION));
    setFixedSize(width(), height());
    // The geometry is fixed in pixels, the fonts are the platform's: pick a
    // font in which every text fits, and give the form the tool bar's height.
    chooseLegibleFont(this);
    makeRoomForForm(this);

    const Settings s = readConfFile();
    hw_interface_baudrate = checkedBaudrate(s.baudrate);
    phys_ECU_addr = s.ecuAddress;
    block_interval_ms = s.blockIntervalMs;
    ui->label_BitrateValue->setText(QString::asprintf("%d [kbit/s]", hw_interface_baudrate));
    ui->label_AddressValue->setText(QString::asprintf("%X [HEX]", phys_ECU_addr));

    const QByteArray path = readHystFile();
    std::memcpy(browse_file_path, path.constData(), static_cast<std::size_t>(path.size()));
    browse_file_path[path.size()] = '\0';
    // Stored in UTF-8 (an older file: in the 8-bit code page), so that a
    // path the tool wrote is shown and found again in any script.
    chosen_file = hystDecode(path);
    ui->lineEdit_FileName->setText(chosen_file);

    kwp_can_send_id = 0x18DA00F9u | static_cast<uint32_t>(phys_ECU_addr) << 8;
    kwp_can_rec_id = 0x18DAF900u | phys_ECU_addr;
    exchanger.setIds(kwp_can_send_id, kwp_can_rec_id);

    // Nobody should program ECUs that the history never records: a folder
    // the tool cannot write is said in the status line and the trace.
    const QString unwritable = workingFolderProblem();
    if (!unwritable.isEmpty()) {
        ui->label_ActionBar->setText(tr("Working folder not writable"));
        std::printf("\ntavelin: %s\n", qPrintable(unwritable));
        std::fflush(stdout);
    }

    ConnectInterface();
    connect(ui->actionConnect, SIGNAL(triggered()), this, SLOT(ConnectInterface()));
}

MainWindow::~MainWindow()
{
    if (run.inProgress()) {
        // Once the run's outcome is known (its box was shown or is waiting
        // to be), that outcome is what the history records.
        if (run.outcome().isEmpty())
            NoteRunOutcome(tr("Window closed during the run (status: %1)").arg(ui->label_ActionBar->text()));
        EndRun();
    }
    LiberaMemoria();
    delete ui;
}

void MainWindow::LiberaMemoria()
{
    image.freeSectors();
}

void MainWindow::InitGUI()
{
    ui->progressBar->setValue(0);
    ui->label_ActionBar->setText(QString());
    ui->pushButton_Update->setEnabled(false);
    ui->lineEdit_FileName->setText(QString());
    ui->label_HWIDcompatibility->setText(tr("- - -"));
    ui->label_check_HWID_compatibility->setPixmap(QPixmap());
    ui->group_UpdateFile->setEnabled(false);
    ui->group_InfoBootloader->setEnabled(false);
    ui->group_InfoApplication->setEnabled(false);
    ui->pushButton_Capture->setEnabled(true);
}

void MainWindow::ResetGUI()
{
    ui->progressBar->setValue(0);
    ui->label_ActionBar->setText(QString());
    ui->pushButton_Update->setEnabled(false);
    ui->group_UpdateFile->setEnabled(false);
    ui->group_InfoBootloader->setEnabled(false);
    ui->group_InfoApplication->setEnabled(false);
    ui->pushButton_Capture->setEnabled(true);
}

void MainWindow::on_progressBar_valueChanged(int value)
{
    ui->label_ProgressBar_value->setText(QString("%1%").arg(value));
}

void MainWindow::ConnectInterface()
{
    if (InitHWInterface(hw_interface_baudrate, phys_ECU_addr) != 0) {
        ui->actionConnect->setChecked(false);
        ui->actionConnect->setEnabled(true);
        ui->label_BusStatusValue->setText(tr("not connected"));
        return;
    }
    ui->actionConnect->setChecked(true);
    ui->actionConnect->setEnabled(false);
    if (CaptureTimer) {
        // The action is disabled once connected, so this is not reached; the
        // timers and their connections exist once.
        ui->pushButton_Capture->setEnabled(true);
        return;
    }
    // The bus timers are precise: a coarse timer may fire 5 % early or late,
    // and the capture and presence periods are what the ECU sees.
    CaptureTimer = new QTimer(this);
    CaptureTimer->setTimerType(Qt::PreciseTimer);
    connect(CaptureTimer, SIGNAL(timeout()), this, SLOT(SendCaptureMessage()));
    TesterPresentTimer = new QTimer(this);
    TesterPresentTimer->setTimerType(Qt::PreciseTimer);
    connect(TesterPresentTimer, SIGNAL(timeout()), this, SLOT(CheckECUPresence()));
    SequenceTimer = new QTimer(this);
    SequenceTimer->setTimerType(Qt::PreciseTimer);
    AddressClaimTimer = new QTimer(this);
    AddressClaimTimer->setTimerType(Qt::PreciseTimer);
    AddressClaimTimer->setInterval(capture::kClaimIntervalMs);
    connect(AddressClaimTimer, SIGNAL(timeout()), this, SLOT(SendTesterAddressClaim()));
    AddressClaimTimer->start();
    UpdateStatusTimer = new QTimer(this);
    UpdateStatusTimer->setInterval(330);
    connect(UpdateStatusTimer, SIGNAL(timeout()), this, SLOT(UpdateHWInterfaceStatus()));
    UpdateStatusTimer->start();
    ui->pushButton_Capture->setEnabled(true);
}

void MainWindow::UpdateHWInterfaceStatus()
{
    char status[100] = {};
    char text[200];
    if (GetHWInterfaceStatus(status) == 0)
        std::snprintf(text, sizeof text, "<font color='green'>%s</font>", status);
    else
        std::snprintf(text, sizeof text, "<font color='red'>%s</font>", status);
    ui->label_BusStatusValue->setText(QString::fromLatin1(text));
}

int MainWindow::showMessage(const QString& text, QMessageBox::StandardButtons buttons)
{
    if (!messageBoxFree()) {
        // Re-entering the open box would replace its question and make its
        // answer count for both; the second message is refused, and said.
        std::fprintf(stderr, "tavelin: not shown while another message is open: %s\n", qPrintable(text));
        std::fflush(stderr);
        return QMessageBox::NoButton;
    }
    msgBox.setText(text);
    msgBox.setStandardButtons(buttons);
    ++box_depth;
    const int answer = msgBox.exec();
    --box_depth;
    return answer;
}

bool MainWindow::messageBoxFree() const
{
    // A box closed inside a nested event loop is hidden before its exec()
    // returns; showing the box again then would re-enter that exec().
    return !msgBox.isVisible() && box_depth == 0;
}

void MainWindow::SendTesterAddressClaim()
{
    if (!claim_gate.admit(AddressClaimTimer->interval()))
        return;
    capture::sendAddressClaim();
}

void MainWindow::TesterPresentFnc()
{
    KWP_msg_T msg;
    msg.SID = 0x3E;
    msg.len = 1;
    KWPonCAN_Send(1, 0x18DAFFF9, &msg);
}

void MainWindow::on_pushButton_clicked()
{
    // Reachable from no widget (the form has no object named pushButton): it
    // reads the S3 records of a chosen file into a local buffer and nothing more.
    const QString name = QFileDialog::getOpenFileName(this, tr("Open File"));
    if (name.isEmpty())
        return;
    QFile f(name);
    if (!f.open(QIODevice::ReadOnly))
        return;
    QByteArray records;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine(500);
        if (line.startsWith("S3"))
            records += line;
    }
}
