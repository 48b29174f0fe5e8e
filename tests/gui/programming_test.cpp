// The window against the bench ECU through canhub: capture, identification
// readout and programming runs, with their faults.
#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QtTest>
#include <algorithm>
#include <fstream>
#include <unistd.h>

#include "flash_history.h"
#include "intel_hex_check.h"
#include "window_fixture.h"

namespace {

QString hx1(Bench& b, const QString& name, int size, int hwid = 12345, const std::string& extra = "")
{
    const std::string bin = testbench::binDir() + "/hx1pack";
    const std::string img = b.path(name + ".bin").toStdString(), out = b.path(name).toStdString();
    std::string cmd = bin + " --make-image " + std::to_string(size) + " -o " + img + " && " + bin + " --hwid " +
                      std::to_string(hwid) + " --in " + img + " --base 0x8000 " + extra + " -o " + out;
    if (std::system(cmd.c_str()) != 0)
        qFatal("hx1pack failed");
    return b.path(name);
}

// Presses Capture, confirms the ECU is off, and waits for the readout's end.
bool capture(Bench& b, BoxAnswerer& answers)
{
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Capture")->click();
    return waitFor([&] { return b.text("label_ActionBar") == "Capture OK" ||
                                b.text("label_ActionBar") == "File successfully loaded" ||
                                b.text("label_ActionBar") == "Cannot open selected file"; }, 60000);
}

// Writes path into hyst.dat as the file chosen last.
void rememberFile(Bench& b, const QString& path)
{
    QFile h(b.path("hyst.dat"));
    QVERIFY(h.open(QIODevice::WriteOnly));
    h.write(QFile::encodeName(path));
}

// The ECU's dump must equal what srec_cat reads from the update file.
void checkMemoryMatches(Bench& b, const QString& file, const std::string& summary)
{
    QVERIFY2(summary.find(" 0 framing violations") != std::string::npos, summary.c_str());
    QVERIFY2(summary.find("match") != std::string::npos, summary.c_str());
    QVERIFY(intelhexcheck::sameAsSrecCat(b.path("dump.hex").toStdString(), file.toStdString()));
}

bool idle(Bench& b)
{
    return b.text("label_ActionBar").isEmpty() && b.find<QProgressBar>("progressBar")->value() == 0;
}

// The bench folder's history.csv as Python's csv module reads it: one row per
// run, by column name (the header line names them).
QList<QMap<QString, QString>> history(Bench& b)
{
    QProcess py;
    py.start("/usr/bin/python3", {"-c",
                                  "import csv, json, sys\n"
                                  "print(json.dumps(list(csv.DictReader(open(sys.argv[1], newline='', encoding='utf-8')))))",
                                  b.path("history.csv")});
    QList<QMap<QString, QString>> rows;
    if (!py.waitForFinished(30000) || py.exitCode() != 0)
        return rows;
    for (const QJsonValue& v : QJsonDocument::fromJson(py.readAllStandardOutput()).array()) {
        const QJsonObject o = v.toObject();
        QMap<QString, QString> row;
        for (auto it = o.begin(); it != o.end(); ++it)
            row[it.key()] = it.value().toString();
        rows << row;
    }
    return rows;
}

// What this process writes to its standard error between start and stop.
class StderrCapture {
public:
    StderrCapture()
    {
        file_.open();
        std::fflush(stderr);
        saved_ = ::dup(2);
        ::dup2(file_.handle(), 2);
    }
    ~StderrCapture() { stop(); }
    QString stop()
    {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
        file_.seek(0);
        return QString::fromLocal8Bit(file_.readAll());
    }

private:
    QTemporaryFile file_;
    int saved_ = -1;
};

}  // namespace

class ProgrammingTest : public QObject {
    Q_OBJECT
private slots:
    void captureCancelStopAndPowerOn();
    void readoutShowsTheIdentification();
    void readoutFailuresAndReload();
    void presenceTimersAndNegativeAnswers();
    void captureStopsTheReadoutFirst();
    void cancelledCaptureIdentifiesAnew();
    void readoutShowsOneEcuOnly();
    void pendingIdentityAfterARestart();
    void twoEcusAtOneAddress();
    void wholeRun_data();
    void wholeRun();
    void wholeRunOverABusHeldInAWarningState_data();
    void wholeRunOverABusHeldInAWarningState();
    void outcomeBoxes();
    void eraseErrorLeavesUpdateForARetry();
    void keysRejected();
    void transferFailures();
    void busLostMidRunAborts();
    void runLocksBrowseAndCapture();
    void blockIntervalZero();
    void recoveryAfterPowerCut_data();
    void recoveryAfterPowerCut();
    void emptyImageNeverErases();
    void unreadableFileIsNotProgrammed();
    void runBoxWaitsForTheOpenBox();
    void closingMidRunIsRecorded();
    void closingAfterTheOutcomeKeepsIt();
    void changedFileIsCheckedAgain();
};

void ProgrammingTest::captureCancelStopAndPowerOn()
{
    Bench b;
    QVERIFY(b.startHub());
    // Switched on by the first capture request, this ECU goes straight on to
    // its application (no boot window), which answers 7F 3E.
    QVERIFY(b.startEcu({"--power", "off", "--power-on-after-capture", "100", "--boot-window", "0"}));
    MainWindow* w = b.open();
    BoxAnswerer answers;
    auto* button = b.find<QPushButton>("pushButton_Capture");
    // Cancel in the first box.
    answers.answer("Please turn the ECU off", QMessageBox::Cancel);
    button->click();
    QVERIFY(!button->isChecked());
    QCOMPARE(button->text(), QString("Start Capture"));
    QVERIFY(!b.find<QGroupBox>("group_UpdateFile")->isEnabled());
    QVERIFY(!MainWindowProbe::timer(w, "Capture")->isActive());
    // Ok, then Cancel in the second box: the status line is cleared.
    testbench::RawClient observer;
    QVERIFY(observer.connect(b.hub.port));
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    button->click();
    QCOMPARE(b.text("label_ActionBar"), QString("Waiting for communication..."));
    QCOMPARE(button->text(), QString("Stop Capture"));
    QVERIFY(waitFor([&] { return answers.seen.contains("Please turn the ECU on..."); }));
    int captureFrames = 0;
    QVERIFY(waitFor([&] {
        while (auto f = observer.nextFrame(1))
            if (f->id == 0x18DAFFF9 && f->data[0] == 0x07 && f->data[1] == 0x80 && f->data[2] == 0xA5 && f->data[7] == 0x69)
                ++captureFrames;
        return captureFrames >= 3;
    }));
    answers.answer("Please turn the ECU on...", QMessageBox::Cancel);
    QVERIFY(waitFor([&] { return !button->isChecked(); }));
    QCOMPARE(b.text("label_ActionBar"), QString());
    QVERIFY(!MainWindowProbe::timer(w, "TesterPresent")->isActive());
    // The ECU, switched on by that capture request, has gone on to its
    // application, which answers 7F 3E: not taken as present. Stop with the button.
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    button->click();
    int presence = 0;
    QVERIFY(waitFor([&] {
        while (auto f = observer.nextFrame(1))
            presence += f->id == 0x18DA22F9 && f->data[1] == 0x3E;
        return presence >= 2;
    }));
    QCOMPARE(b.text("label_ActionBar"), QString("Waiting for communication..."));
    button->click();  // the box is window-modal; click() reaches the button all the same
    QVERIFY(!button->isChecked());
    QCOMPARE(b.text("label_ActionBar"), QString("Waiting for communication..."));
    QVERIFY(!MainWindowProbe::timer(w, "Capture")->isActive());
    // A freshly powered ECU is captured.
    b.ecu->stop();
    QVERIFY(b.startEcu({"--power", "off", "--power-on-after-capture", "100"}));
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    button->click();
    QVERIFY(waitFor([&] { return b.text("label_ActionBar") == "Bootloader active"; }, 30000));
    QVERIFY(!MainWindowProbe::timer(w, "AddressClaim")->isActive());
    QVERIFY(waitFor([&] { return b.text("label_ActionBar") == "Capture OK"; }));
    QVERIFY(!answers.seen.isEmpty() && answers.seen.last() == "Please turn the ECU on...");
    QCOMPARE(b.text("label_HWID"), QString("0012345"));
    QVERIFY(b.find<QGroupBox>("group_UpdateFile")->isEnabled());
    // A second capture starts the address claim again.
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    button->click();
    QVERIFY(MainWindowProbe::timer(w, "AddressClaim")->isActive());
    answers.answer("Please turn the ECU on...", QMessageBox::Cancel);
    QVERIFY(waitFor([&] { return !button->isChecked(); }));
}

void ProgrammingTest::readoutShowsTheIdentification()
{
    Bench b;
    QVERIFY(b.startHub());
    QVERIFY(b.startEcu({"--power", "boot", "--set", "item.0=39 30 00 00", "--set", "hw_version=1.2.10.99",
                        "--set", "item.2=nrc 31", "--set", "item.4=00 00 00 80", "--set", "item.5=01 02",
                        "--set", "item.3=FF FF FF FF", "--set", "item.6=00 01"}));
    MainWindow* w = b.open();
    BoxAnswerer answers;
    QVERIFY(capture(b, answers));
    QCOMPARE(b.text("label_HWID"), QString("0012345"));
    QCOMPARE(MainWindowProbe::hwId(w), 12345u);
    QCOMPARE(b.text("label_HWver"), QString("01.02.10.99"));
    QCOMPARE(b.text("label_BOOTinterface"), QString("n.a."));
    QCOMPARE(b.text("label_BOOTver"), QString("- - -"));  // not programmed
    QCOMPARE(b.text("label_FWID"), QString("-2147483648"));
    QCOMPARE(b.text("label_FWver"), QString("n.a."));  // a positive answer too short
    QCOMPARE(MainWindowProbe::maxPacket(w), uint16_t(256));
    QVERIFY(b.find<QGroupBox>("group_InfoBootloader")->isEnabled());
    QVERIFY(b.find<QGroupBox>("group_InfoApplication")->isEnabled());
    QVERIFY(!b.find<QPushButton>("pushButton_Update")->isEnabled());  // no file chosen
    QVERIFY(!MainWindowProbe::timer(w, "Sequence")->isActive());
}

void ProgrammingTest::readoutFailuresAndReload()
{
    Bench b;
    QVERIFY(b.startHub());
    QVERIFY(b.startEcu({"--power", "boot", "--set", "block_length=64"}));
    QString file = hx1(b, "fw.hx1", 1000);
    QFile h(b.path("hyst.dat"));
    QVERIFY(h.open(QIODevice::WriteOnly));
    h.write(QFile::encodeName(file));
    h.close();
    MainWindow* w = b.open();
    BoxAnswerer answers;
    QVERIFY(capture(b, answers));
    // The chosen file is reloaded, cut with the block length just read.
    QCOMPARE(b.text("label_ActionBar"), QString("File successfully loaded"));
    auto sectors = MainWindowProbe::sectors(w);
    QCOMPARE(sectors.size(), size_t(1 + 16));
    QCOMPARE(sectors[1], (std::pair<uint32_t, uint32_t>{0x8000, 64}));
    QVERIFY(b.find<QPushButton>("pushButton_Update")->isEnabled());
    // A file whose path is too long to be remembered: the next readout
    // reloads it, the one the name field shows, not the one remembered.
    const QString longDir = QString(240, 'd') + "/" + QString(240, 'e');
    QVERIFY(QDir().mkpath(b.path(longDir)));
    const QString longFile = hx1(b, longDir + "/long.hx1", 500);
    answers.chooseFile(longFile);
    b.find<QPushButton>("pushButton_BrowseFile")->click();
    QCOMPARE(MainWindowProbe::totalLength(w), 500u);
    QVERIFY(capture(b, answers));
    QCOMPARE(b.text("label_ActionBar"), QString("File successfully loaded"));
    QCOMPARE(b.find<QLineEdit>("lineEdit_FileName")->text(), longFile);
    QCOMPARE(MainWindowProbe::totalLength(w), 500u);
    // An ECU whose identifier and block length cannot be read: "n.a.", no
    // identifier inherited from the ECU before, block length 128. The file
    // shown was deleted meanwhile, so it is not reloaded, and the image held
    // is dropped.
    b.ecu->stop();
    QVERIFY(b.startEcu({"--power", "boot", "--set", "item.0=nrc 31", "--set", "item.6=nrc 31"}));
    QFile::remove(longFile);
    QVERIFY(capture(b, answers));
    QCOMPARE(b.text("label_HWID"), QString("n.a."));
    QCOMPARE(MainWindowProbe::hwId(w), 0xFFFFFFFFu);
    QCOMPARE(MainWindowProbe::maxPacket(w), uint16_t(128));
    QCOMPARE(b.text("label_ActionBar"), QString("Cannot open selected file"));
    QCOMPARE(MainWindowProbe::totalLength(w), 0u);
    QVERIFY(b.find<QGroupBox>("group_UpdateFile")->isEnabled());
    QVERIFY(!b.find<QPushButton>("pushButton_Update")->isEnabled());
}

// Frames of interest seen by an observer on the bus, with the hub's times.
struct BusLog {
    testbench::RawClient observer;
    std::vector<double> claims, captures, presence, erasePolls;
    unsigned transfers = 0;
    void drain()
    {
        while (auto f = observer.nextTimedFrame(1)) {
            const wire::Frame& fr = f->first;
            if (fr.id == 0x18EEFFF9)
                claims.push_back(f->second);
            else if (fr.id == 0x18DAFFF9)
                captures.push_back(f->second);
            else if (fr.id == 0x18DA22F9 && fr.data[0] == 0x01 && fr.data[1] == 0x3E)
                presence.push_back(f->second);
            else if (fr.id == 0x18DA22F9 && fr.data[0] == 0x02 && fr.data[1] == 0x33 && fr.data[2] == 0x10)
                erasePolls.push_back(f->second);
            else if (fr.id == 0x18DA22F9 && fr.data[0] >> 4 == 1 && fr.data[2] == 0x36)
                transfers++;
        }
    }
    static double minGap(const std::vector<double>& t)
    {
        double m = 1e9;
        for (std::size_t i = 1; i < t.size(); ++i)
            m = std::min(m, t[i] - t[i - 1]);
        return m;
    }
};

void ProgrammingTest::presenceTimersAndNegativeAnswers()
{
    Bench b;
    QVERIFY(b.startHub());
    MainWindow* w = b.open();
    BoxAnswerer answers;
    BusLog bus;
    QVERIFY(bus.observer.connect(b.hub.port));
    double okAt = 0;
    answers.onBox = [&](const QString& text) {
        if (text == "Please turn the ECU off")
            okAt = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    };
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Capture")->click();
    // No ECU: each presence request waits 500 ms in vain. Then the address
    // claim and the capture request go out once each, never twice in a row,
    // and the presence requests keep their period of 2 s from the Ok.
    QVERIFY(waitFor([&] { bus.drain(); return bus.presence.size() >= 3; }));
    QVERIFY2(BusLog::minGap(bus.claims) > 0.05, qPrintable(QString::number(BusLog::minGap(bus.claims))));
    QVERIFY2(BusLog::minGap(bus.captures) > 0.05, qPrintable(QString::number(BusLog::minGap(bus.captures))));
    for (std::size_t k = 0; k < bus.presence.size(); ++k)
        QVERIFY2(bus.presence[k] - okAt >= 2.0 * (k + 1) - 0.003,
                 qPrintable(QString("presence request %1 at %2 s").arg(k + 1).arg(bus.presence[k] - okAt)));
    // A bootloader answering 7F 3E 00 is not present: the capture goes on.
    QVERIFY(b.startEcu({"--power", "boot", "--nrc", "3E:00"}));
    const std::size_t before = bus.presence.size();
    QVERIFY(waitFor([&] { bus.drain(); return bus.presence.size() >= before + 2; }));
    QCOMPARE(b.text("label_ActionBar"), QString("Waiting for communication..."));
    QVERIFY(MainWindowProbe::timer(w, "Capture")->isActive());
    answers.answer("Please turn the ECU on...", QMessageBox::Cancel);
    QVERIFY(waitFor([&] { return !b.find<QPushButton>("pushButton_Capture")->isChecked(); }));
}

void ProgrammingTest::captureStopsTheReadoutFirst()
{
    Bench b;
    QVERIFY(b.startHub());
    // This bootloader leaves one item unanswered: the readout waits there.
    QVERIFY(b.startEcu({"--power", "boot", "--set", "item.2=none"}));
    const QString file = hx1(b, "fw.hx1", 1000);
    QFile h(b.path("hyst.dat"));
    QVERIFY(h.open(QIODevice::WriteOnly));
    h.write(QFile::encodeName(file));
    h.close();
    MainWindow* w = b.open();
    BoxAnswerer answers;
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Capture")->click();
    QVERIFY(waitFor([&] { return b.text("label_ActionBar") == "Bootloader active"; }));
    // A new capture while that readout runs (another ECU is put on the
    // bench meanwhile): the readout stops before the first box, neither
    // ticks nor enables Update inside the capture, and runs again from its
    // first step for the ECU captured.
    bool readoutTicking = true, updateEnabled = true;
    answers.onBox = [&](const QString& text) {
        if (text == "Please turn the ECU off") {
            readoutTicking = MainWindowProbe::timer(w, "Sequence")->isActive();
            b.ecu->stop();
            QVERIFY(b.startEcu({"--power", "boot"}));
        } else if (text == "Please turn the ECU on...") {
            updateEnabled = b.find<QPushButton>("pushButton_Update")->isEnabled();
        }
    };
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Capture")->click();
    QVERIFY(waitFor([&] { return b.text("label_ActionBar") == "File successfully loaded"; }, 60000));
    QVERIFY(!readoutTicking);
    QVERIFY(!updateEnabled);
    QCOMPARE(b.text("label_BOOTinterface"), QString("02.00.00.00"));
    QVERIFY(b.find<QPushButton>("pushButton_Update")->isEnabled());
    QVERIFY(!MainWindowProbe::timer(w, "Sequence")->isActive());
    QCOMPARE(answers.seen.count("Please turn the ECU off"), 2);
}

// A capture interrupts the readout of ECU A, ECU B is put on the bench and
// the first box is cancelled: the readout runs again from its first step,
// for B, whose hardware id cannot be read. B is never taken for A.
void ProgrammingTest::cancelledCaptureIdentifiesAnew()
{
    Bench b;
    QVERIFY(b.startHub());
    // A answers its hardware id (12345); the next item goes unanswered.
    QVERIFY(b.startEcu({"--power", "boot", "--set", "item.1=none"}));
    rememberFile(b, hx1(b, "fw.hx1", 1000));  // for hardware 12345
    MainWindow* w = b.open();
    BoxAnswerer answers;
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    auto* capture = b.find<QPushButton>("pushButton_Capture");
    capture->click();
    QVERIFY(waitFor([&] { return b.text("label_HWID") == "0012345"; }, 30000));
    QVERIFY(MainWindowProbe::timer(w, "Sequence")->isActive());  // A's readout goes on
    answers.onBox = [&](const QString& text) {
        if (text == "Please turn the ECU off") {
            b.ecu->stop();
            QVERIFY(b.startEcu({"--power", "boot", "--set", "item.0=nrc 31", "-v"}));
        }
    };
    answers.answer("Please turn the ECU off", QMessageBox::Cancel);
    capture->click();
    QVERIFY(waitFor([&] { return b.text("label_ActionBar") == "File successfully loaded"; }, 60000));
    QCOMPARE(b.text("label_HWID"), QString("n.a."));
    QCOMPARE(MainWindowProbe::hwId(w), 0xFFFFFFFFu);
    QVERIFY(!MainWindowProbe::updateAllowed(w));
    auto* update = b.find<QPushButton>("pushButton_Update");
    QVERIFY(!update->isEnabled());
    QCOMPARE(b.find<QLabel>("label_check_HWID_compatibility")->pixmap().size(), QSize(25, 25));  // the red cross
    update->click();
    QVERIFY(!MainWindowProbe::timer(w, "Sequence")->isActive());
    QVERIFY(b.ecu->err().find("27 01") == std::string::npos);
}

// ECU B is captured after ECU A: from the first step of B's readout the
// window shows nothing read from A, and A's tick goes with the capture.
void ProgrammingTest::readoutShowsOneEcuOnly()
{
    Bench b;
    QVERIFY(b.startHub());
    QVERIFY(b.startEcu({"--power", "boot", "--set", "hw_version=9.9.9.9", "--set", "boot_interface_version=8.8.8.8",
                        "--set", "boot_version=7.7.7.7", "--set", "app_id=4242", "--set", "app_version=6.6.6.6"}));
    rememberFile(b, hx1(b, "fw.hx1", 1000));
    MainWindow* w = b.open();
    BoxAnswerer answers;
    QVERIFY(capture(b, answers));
    auto* check = b.find<QLabel>("label_check_HWID_compatibility");
    QCOMPARE(check->pixmap().size(), QSize(25, 24));  // the tick
    QCOMPARE(b.text("label_FWID"), QString("0004242"));
    // B: another hardware; its second item goes unanswered.
    b.ecu->stop();
    QVERIFY(b.startEcu({"--power", "boot", "--set", "hw_id=777", "--set", "item.1=none"}));
    bool tickWhileCapturing = true;
    answers.onBox = [&](const QString& text) {
        if (text == "Please turn the ECU on...")
            tickWhileCapturing = !check->pixmap().isNull();
    };
    auto* capture = b.find<QPushButton>("pushButton_Capture");
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    capture->click();
    QVERIFY(waitFor([&] { return b.text("label_HWID") == "0000777"; }, 30000));
    QVERIFY(!tickWhileCapturing);
    // A capture interrupts B's readout and is stopped.
    answers.onBox = nullptr;
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    capture->click();
    QCOMPARE(capture->text(), QString("Stop Capture"));
    capture->click();
    QVERIFY(!capture->isChecked());
    QCOMPARE(b.text("label_HWID"), QString("0000777"));
    QVERIFY(b.text("label_HWver") == "- - - " || b.text("label_HWver") == "n.a.");
    const QStringList notRead = {b.text("label_BOOTinterface"), b.text("label_BOOTver"), b.text("label_FWID"),
                                 b.text("label_FWver")};
    QCOMPARE(notRead, (QStringList{"- - -", "- - - ", "- - -", "- - -"}));
    QVERIFY(check->pixmap().isNull());
    QVERIFY(!b.find<QPushButton>("pushButton_Update")->isEnabled());
    QCOMPARE(MainWindowProbe::hwId(w), 0xFFFFFFFFu);
}

// ECU A gives its hardware id 300 ms after 7F 22 78. A capture is started
// once that first step is over and cancelled after A's id has come, with B
// on the bench instead: the readout that starts again shows B, never A's id.
void ProgrammingTest::pendingIdentityAfterARestart()
{
    Bench b;
    QVERIFY(b.startHub());
    QVERIFY(b.startEcu({"--power", "boot", "--pending", "22:0:300", "-v"}));
    rememberFile(b, hx1(b, "fw.hx1", 1000));  // for hardware 12345
    MainWindow* w = b.open();
    BoxAnswerer answers;
    auto* capture = b.find<QPushButton>("pushButton_Capture");
    int ticks = 0;  // of the sequence timer; this handler runs before the readout's
    connect(MainWindowProbe::timer(w, "Sequence"), &QTimer::timeout, [&] {
        if (++ticks == 2) {
            answers.answer("Please turn the ECU off", QMessageBox::Cancel);
            capture->click();
        }
    });
    answers.onBox = [&](const QString& text) {
        if (text != "Please turn the ECU off" || ticks < 2)
            return;
        QVERIFY(b.ecu->waitFor("-> 62 FF 00", 20000, true));  // A's id is on the bus
        b.ecu->stop();
        QVERIFY(b.startEcu({"--power", "boot", "--set", "hw_id=777", "--set", "app_version=0.1.5.3"}));
    };
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    capture->click();
    QVERIFY(waitFor([&] {
        return ticks > 2 && !MainWindowProbe::timer(w, "Sequence")->isActive() &&
               b.text("label_ActionBar") == "File successfully loaded";
    }, 60000));
    QCOMPARE(b.text("label_HWID"), QString("0000777"));
    QCOMPARE(b.text("label_HWver"), QString("01.02.00.00"));
    QCOMPARE(b.text("label_FWver"), QString("00.01.05.03"));
    QVERIFY(!b.find<QPushButton>("pushButton_Update")->isEnabled());
    QVERIFY(!MainWindowProbe::updateAllowed(w));
}

// Two ECUs at 0x22, B answering 30 ms after A: nothing either answered is
// shown as the ECU's, Update is refused, and neither is erased.
void ProgrammingTest::twoEcusAtOneAddress()
{
    Bench b;
    QVERIFY(b.startHub());
    QVERIFY(b.startEcu({"--power", "boot", "-v"}));
    testbench::Process second;
    QVERIFY(second.start({"ecusim", "--bus", b.hub.url, "--power", "boot", "--set", "hw_id=777", "--answer-delay",
                          "30", "-v"}));
    QVERIFY(second.waitFor("on the bus", 20000, true));
    rememberFile(b, hx1(b, "fw.hx1", 1000));
    MainWindow* w = b.open();
    BoxAnswerer answers;
    answers.answer("Please turn the ECU off", QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Capture")->click();
    const QString twoEcus = "More than one ECU is answering";
    QVERIFY(waitFor([&] {
        return b.text("label_ActionBar") == twoEcus || b.text("label_ActionBar") == "File successfully loaded";
    }, 60000));
    auto* update = b.find<QPushButton>("pushButton_Update");
    if (b.text("label_ActionBar") != twoEcus) {
        // The readout was quicker than B: once B has answered, the run's
        // first request finds B's answers, before anything is written.
        QVERIFY(second.waitFor("-> 62 FF 06", 20000, true));
        // Answered should a run get that far, so that the case fails, not hangs.
        answers.answer("Programming succeeded. Press OK to start the application.", QMessageBox::Ok);
        update->click();
    }
    QVERIFY(waitFor([&] {
        return b.text("label_ActionBar") == twoEcus && !MainWindowProbe::timer(w, "Sequence")->isActive();
    }, 60000));
    QVERIFY(!update->isEnabled());
    update->click();
    QVERIFY(!MainWindowProbe::timer(w, "Sequence")->isActive());
    const QStringList shown = {b.text("label_HWID"), b.text("label_HWver"), b.text("label_FWID")};
    QCOMPARE(shown, (QStringList{"n.a.", "n.a.", "n.a."}));
    QVERIFY(b.find<QLabel>("label_check_HWID_compatibility")->pixmap().size() != QSize(25, 24));  // no tick
    for (const std::string& log : {b.ecu->err(), second.err()})
        QVERIFY2(log.find("02 31 10") == std::string::npos && log.find("01 34") == std::string::npos, log.c_str());
}

void ProgrammingTest::wholeRun_data()
{
    QTest::addColumn<QString>("blockLength");
    QTest::addColumn<QStringList>("faults");
    QTest::newRow("block 128, erase pending") << "128" << QStringList{"--erase-pending", "5"};
    QTest::newRow("block 1024, separation time") << "1024" << QStringList{"--fc-st", "2"};
    QTest::newRow("0x78 answers and a flow-control wait") << "256" << QStringList{"--nrc", "10:78:2", "--fc-wait", "1"};
    // The application version comes 40 ms after 7F 22 78: it is not taken
    // for the block length (01 02: 513).
    QTest::newRow("a pending identification answer")
        << "256" << QStringList{"--set", "app_version=1.2.0.0", "--pending", "22:5:40"};
}

// A bench with the ECU captured, identified and an update file loaded: the
// state in which the technician presses Update.
struct ReadyBench {
    Bench b;
    BoxAnswerer answers;
    MainWindow* w = nullptr;
    QString file;
    QByteArray conf;  // conf.dat, when not the defaults
    // Settings of the window's adapter library, set when the window opens
    // (after ecusim started, which uses the same library) and unset after.
    QList<std::pair<const char*, QByteArray>> windowEnv;
    ~ReadyBench()
    {
        for (const auto& e : windowEnv)
            qunsetenv(e.first);
    }
    // A file name with a quote comes back through hyst.dat, as the file
    // chosen last: QFileDialog reads a typed quote as a list of names.
    bool prepare(std::vector<std::string> ecuArgs, int imageSize, bool dump = true, const QString& name = "fw.hx1")
    {
        if (!b.startHub({"--pcap", b.path("bus.pcap").toStdString()}))
            return false;
        if (!conf.isEmpty()) {
            QFile c(b.path("conf.dat"));
            if (!c.open(QIODevice::WriteOnly) || c.write(conf) != conf.size())
                return false;
        }
        ecuArgs.insert(ecuArgs.begin(), {"--power", "boot"});
        if (dump) {
            ecuArgs.push_back("--dump");
            ecuArgs.push_back(b.path("dump.hex").toStdString());
        }
        if (!b.startEcu(ecuArgs))
            return false;
        file = hx1(b, "fw.hx1", imageSize);
        const bool viaHyst = name.contains('"');
        if (name != "fw.hx1") {
            QFile::rename(file, b.path(name));
            file = b.path(name);
        }
        if (viaHyst) {
            QFile h(b.path("hyst.dat"));
            if (!h.open(QIODevice::WriteOnly) || h.write(QFile::encodeName(file)) <= 0)
                return false;
        }
        for (const auto& e : windowEnv)
            qputenv(e.first, e.second);
        w = b.open();
        if (!capture(b, answers))
            return false;
        if (!viaHyst) {
            answers.chooseFile(file);
            b.find<QPushButton>("pushButton_BrowseFile")->click();
        }
        return b.find<QPushButton>("pushButton_Update")->isEnabled();
    }
    // Presses Update, answering the box with text by button; waits for the run to end.
    bool run(const QString& text, QMessageBox::StandardButton button, int limitMs = 120000)
    {
        answers.answer(text, button);
        b.find<QPushButton>("pushButton_Update")->click();
        return waitFor([&] { return answers.seen.contains(text) && !MainWindowProbe::timer(w, "Sequence")->isActive(); },
                       limitMs);
    }
};

const QString kSuccess = "Programming succeeded. Press OK to start the application.";
const QString kFailure = "WARNING! Update failed. Please verify the update file and try again.";
const QString kAborted = "Operation aborted";

void ProgrammingTest::wholeRun()
{
    QFETCH(QString, blockLength);
    QFETCH(QStringList, faults);
    ReadyBench r;
    std::vector<std::string> args = {"--set", "seed=0x1234", "--set", "block_length=" + blockLength.toStdString()};
    for (const QString& f : faults)
        args.push_back(f.toStdString());
    QVERIFY(r.prepare(args, 8192, true, "fw, \"v2\".hx1"));
    QList<int> progress;
    connect(r.b.find<QProgressBar>("progressBar"), &QProgressBar::valueChanged, [&](int v) { progress << v; });
    QVERIFY(r.run(kSuccess, QMessageBox::Ok));
    QVERIFY(idle(r.b));
    QVERIFY(MainWindowProbe::timer(r.w, "AddressClaim")->isActive());
    QVERIFY(!r.b.find<QGroupBox>("group_UpdateFile")->isEnabled());
    QVERIFY(r.b.find<QPushButton>("pushButton_Capture")->isEnabled());
    QCOMPARE(progress.first(), 1);
    QVERIFY(progress.contains(10) && progress.contains(90) && progress.contains(91) && progress.contains(100));
    QCOMPARE(progress.last(), 0);
    QVERIFY(waitFor([&] { return r.b.ecu->err().find("ECU off") != std::string::npos; }));  // reset received
    std::string summary = r.b.stopEcu();
    QVERIFY2(summary.find("1 resets") != std::string::npos, summary.c_str());
    checkMemoryMatches(r.b, r.file, summary);
    // One history line, the path with its comma and quotes read back whole.
    int blocks = 0;
    for (const auto& sector : MainWindowProbe::sectors(r.w))
        blocks += sector.second != 0;
    const auto rows = history(r.b);
    QCOMPARE(rows.size(), 1);
    QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$").match(rows[0]["time"]).hasMatch(),
             qPrintable(rows[0]["time"]));
    const QStringList got = {rows[0]["outcome"], rows[0]["file"], rows[0]["ecu_address"], rows[0]["hw_id"],
                             rows[0]["file_hw_id"], rows[0]["bytes"], rows[0]["blocks"], rows[0]["block_length"]};
    QCOMPARE(got, (QStringList{kSuccess, r.file, "0x22", "0012345", "12345", "8192", QString::number(blocks), blockLength}));
    // The line names the file by its bytes' SHA-256 and the run's bus log,
    // which python-can reads and whose frames are those canhub saw.
    QFile f(r.file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(rows[0]["file_sha256"], QString(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex()));
    QVERIFY2(rows[0]["bus_log"].startsWith("runs/") && QFile::exists(r.b.path(rows[0]["bus_log"])), qPrintable(rows[0]["bus_log"]));
    r.b.hub.p.stop();  // the pcap whole
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start("/usr/bin/python3", {TAVELIN_TRC_CHECK, r.b.path(rows[0]["bus_log"]), r.b.path("bus.pcap")});
    QVERIFY(check.waitForFinished(120000));
    QVERIFY2(check.exitCode() == 0, check.readAll().constData());
}

void ProgrammingTest::wholeRunOverABusHeldInAWarningState_data()
{
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<QString>("text");
    QTest::newRow("heavy") << QByteArray("heavy") << "BUS HEAVY";
    QTest::newRow("passive") << QByteArray("passive") << "BUS PASSV";
}

// The adapter library with the maker's conventions (every read and write
// carries the bus state, status messages announce it, CAN_Reset empties the
// queues only) reports a warning state for the whole run, in which frames
// still pass: the status shows it in red, and the ECU is programmed.
void ProgrammingTest::wholeRunOverABusHeldInAWarningState()
{
    QFETCH(QByteArray, state);
    QFETCH(QString, text);
    ReadyBench r;
    r.windowEnv = {{"TAVELIN_PCAN_MAKER", "1"}, {"TAVELIN_PCAN_BUS_STATE", state}};
    QVERIFY(r.prepare({"--set", "block_length=256"}, 8192));
    QVERIFY(waitFor([&] { return r.b.text("label_BusStatusValue") == "<font color='red'>" + text + "</font>"; }));
    QVERIFY(r.run(kSuccess, QMessageBox::Ok));
    QVERIFY(idle(r.b));
    QCOMPARE(r.b.text("label_BusStatusValue"), "<font color='red'>" + text + "</font>");
    std::string summary = r.b.stopEcu();
    checkMemoryMatches(r.b, r.file, summary);
}

void ProgrammingTest::outcomeBoxes()
{
    // A failed verification: "Checksum error" before the failure box, then the reset.
    {
        ReadyBench r;
        // An earlier run's line stays as it was, and no second header is written.
        const QByteArray earlier = historyHeader() + "2026-01-01T08:00:00+01:00,earlier run\n";
        QFile old(r.b.path("history.csv"));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(earlier) == earlier.size());
        old.close();
        QVERIFY(r.prepare({"--checksum-result", "1"}, 600));
        QString statusAtBox;
        r.answers.onBox = [&](const QString&) { statusAtBox = r.b.text("label_ActionBar"); };
        QVERIFY(r.run(kFailure, QMessageBox::Ok));
        QCOMPARE(statusAtBox, QString("Checksum error"));
        QVERIFY(idle(r.b));
        QVERIFY(waitFor([&] { return r.b.ecu->err().find("ECU off") != std::string::npos; }));
        const auto rows = history(r.b);
        QVERIFY(old.open(QIODevice::ReadOnly) && old.readAll().startsWith(earlier));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1]["outcome"], kFailure);
    }
    // Cancel in the success box: no reset.
    {
        ReadyBench r;
        QVERIFY(r.prepare({}, 600));
        QVERIFY(r.run(kSuccess, QMessageBox::Cancel));
        QVERIFY(idle(r.b));
        std::string summary = r.b.stopEcu();
        QVERIFY2(summary.find("0 resets") != std::string::npos, summary.c_str());
        checkMemoryMatches(r.b, r.file, summary);
    }
}

void ProgrammingTest::eraseErrorLeavesUpdateForARetry()
{
    ReadyBench r;
    // history.csv cannot be written (a folder of that name, which stops root
    // too): each run completes, and one line on stderr says so.
    QVERIFY(QDir(r.b.dir.path()).mkdir("history.csv"));
    StderrCapture err;
    QVERIFY(r.prepare({"--erase-result", "5", "-v"}, 600, false));
    const QString error = "Error during memory erase. Please turn off and on the ECU and try to repeat the procedure.";
    QVERIFY(r.run(error, QMessageBox::Ok));
    QVERIFY(r.b.find<QPushButton>("pushButton_Update")->isEnabled());
    QCOMPARE(r.b.text("label_ActionBar"), QString("Erasing memory..."));
    QCOMPARE(r.b.find<QProgressBar>("progressBar")->value(), 1);
    QVERIFY(r.b.find<QGroupBox>("group_UpdateFile")->isEnabled());  // given back
    QVERIFY(r.b.find<QPushButton>("pushButton_Capture")->isEnabled());
    // Update again starts at the seed request.
    const std::size_t before = r.b.ecu->err().size();
    r.answers.seen.clear();
    QVERIFY(r.run(error, QMessageBox::Ok));
    QVERIFY(r.b.ecu->err().find("<- 18DA22F9 02 27 01", before) != std::string::npos);
    QCOMPARE(err.stop().count("cannot write the flash history"), 1);
}

void ProgrammingTest::keysRejected()
{
    // One rejected key: back to the seed request, and the run goes on.
    {
        ReadyBench r;
        QVERIFY(r.prepare({"--reject-keys", "1"}, 700));
        QVERIFY(r.run(kSuccess, QMessageBox::Ok));
        checkMemoryMatches(r.b, r.file, r.b.stopEcu());
    }
    // The first seed comes after its request timed out, so it answers the
    // retry, and the retry's own seed arrives while the key is sent: that seed
    // is not the key's acceptance. The key, made from the older seed, is
    // rejected; a fresh seed follows and the run succeeds.
    {
        ReadyBench r;
        QVERIFY(r.prepare({"--late", "27:400"}, 700));
        r.answers.answer(kAborted, QMessageBox::Ok);
        r.answers.answer(kSuccess, QMessageBox::Ok);
        r.answers.seen.clear();
        r.b.find<QPushButton>("pushButton_Update")->click();
        QVERIFY(waitFor([&] { return !r.answers.seen.isEmpty() && idle(r.b); }, 120000));
        QCOMPARE(r.answers.seen, QStringList({kSuccess}));
        checkMemoryMatches(r.b, r.file, r.b.stopEcu());
    }
    // Every key rejected: the run gives up.
    {
        ReadyBench r;
        QVERIFY(r.prepare({"--reject-keys", "all"}, 700, false));
        QVERIFY(r.run(kAborted, QMessageBox::Ok));
        QVERIFY(!r.b.find<QPushButton>("pushButton_Update")->isEnabled());
        QVERIFY(r.b.find<QGroupBox>("group_UpdateFile")->isEnabled());
        QVERIFY(r.b.find<QPushButton>("pushButton_Capture")->isEnabled());
    }
}

void ProgrammingTest::transferFailures()
{
    // A transfer that fails once is sent again, same address, same bytes.
    {
        ReadyBench r;
        QVERIFY(r.prepare({"--nrc", "36:72:1"}, 2000));
        QVERIFY(r.run(kSuccess, QMessageBox::Ok));
        checkMemoryMatches(r.b, r.file, r.b.stopEcu());
    }
    // One that keeps failing aborts the run.
    {
        ReadyBench r;
        QVERIFY(r.prepare({"--nrc", "36:72"}, 2000, false));
        QVERIFY(r.run(kAborted, QMessageBox::Ok));
        QVERIFY(idle(r.b));
        const auto rows = history(r.b);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(QStringList({rows[0]["outcome"], rows[0]["bytes"], rows[0]["blocks"]}), QStringList({kAborted, "0", "0"}));
    }
}

void ProgrammingTest::busLostMidRunAborts()
{
    ReadyBench r;
    QVERIFY(r.prepare({"--set", "block_length=128"}, 16384, false));
    r.answers.answer(kAborted, QMessageBox::Ok);
    r.b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(waitFor([&] { return r.b.find<QProgressBar>("progressBar")->value() > 15; }, 60000));
    r.b.hub.p.stop();
    QVERIFY(waitFor([&] { return r.answers.seen.contains(kAborted) && !MainWindowProbe::timer(r.w, "Sequence")->isActive(); }, 60000));
    QVERIFY(idle(r.b));
    QVERIFY(MainWindowProbe::sectors(r.w).size() > 1);  // the image is still loaded
}

void ProgrammingTest::runLocksBrowseAndCapture()
{
    ReadyBench r;
    r.conf = "250\n22\n0\n";  // blocks follow each other at once
    QVERIFY(r.prepare({"--set", "block_length=128"}, 32768));
    r.answers.answer(kSuccess, QMessageBox::Ok);
    auto* update = r.b.find<QPushButton>("pushButton_Update");
    update->click();
    QVERIFY(waitFor([&] { return r.b.text("label_ActionBar") == "Downloading..."; }, 60000));
    QVERIFY(!r.b.find<QGroupBox>("group_UpdateFile")->isEnabled());
    QVERIFY(!r.b.find<QPushButton>("pushButton_Capture")->isEnabled());
    const int before = r.b.find<QProgressBar>("progressBar")->value();
    QTimer* sequence = MainWindowProbe::timer(r.w, "Sequence");
    QCOMPARE(sequence->interval(), 0);
    // Pressed during the run: the run goes on where it is, at its interval.
    update->click();
    QVERIFY(sequence->isActive());
    QCOMPARE(sequence->interval(), 0);
    QVERIFY(waitFor([&] { return r.b.find<QProgressBar>("progressBar")->value() > before; }));
    QVERIFY(waitFor([&] { return r.answers.seen.contains(kSuccess) && idle(r.b); }, 120000));
    QVERIFY(MainWindowProbe::timer(r.w, "AddressClaim")->isActive());
    checkMemoryMatches(r.b, r.file, r.b.stopEcu());
}

void ProgrammingTest::blockIntervalZero()
{
    ReadyBench r;
    r.conf = "250\n22\n0\n";
    QVERIFY(r.prepare({"--set", "block_length=128", "--erase-pending", "5"}, 8192));
    BusLog bus;
    QVERIFY(bus.observer.connect(r.b.hub.port));
    r.answers.answer(kSuccess, QMessageBox::Ok);
    r.b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(waitFor([&] {
        bus.drain();
        return r.answers.seen.contains(kSuccess) && !MainWindowProbe::timer(r.w, "Sequence")->isActive();
    }, 120000));
    // Only the block transfers follow each other at once: the erase polls
    // keep their 100 ms tick.
    QCOMPARE(bus.transfers, 8192u / 128);
    QVERIFY(bus.erasePolls.size() >= 6);
    QVERIFY2(BusLog::minGap(bus.erasePolls) >= 0.08, qPrintable(QString::number(BusLog::minGap(bus.erasePolls))));
    checkMemoryMatches(r.b, r.file, r.b.stopEcu());
}

void ProgrammingTest::recoveryAfterPowerCut_data()
{
    QTest::addColumn<QString>("cut");
    QTest::addColumn<QString>("box");
    QTest::newRow("in the middle of the transfer") << "block:16" << kAborted;
    QTest::newRow("during the erase") << "erase" << "Timeout during memory erase. Please turn the ECU off and on and retry.";
    QTest::newRow("during the checksum") << "checksum" << kAborted;
}

// The power goes in the middle of a run. The ECU, without a valid
// application now, stays in its bootloader when it is powered again: it is
// captured, identified and programmed as before.
void ProgrammingTest::recoveryAfterPowerCut()
{
    QFETCH(QString, cut);
    QFETCH(QString, box);
    ReadyBench r;
    QVERIFY(r.prepare({"--power-cut", cut.toStdString()}, 8192));
    QVERIFY(r.run(box, QMessageBox::Ok));
    QVERIFY(r.b.ecu->running());
    QVERIFY(capture(r.b, r.answers));
    QVERIFY(r.b.find<QPushButton>("pushButton_Update")->isEnabled());
    r.answers.seen.clear();
    QVERIFY(r.run(kSuccess, QMessageBox::Ok));
    checkMemoryMatches(r.b, r.file, r.b.stopEcu());
}

void ProgrammingTest::emptyImageNeverErases()
{
    Bench b;
    QVERIFY(b.startHub());
    QVERIFY(b.startEcu({"--power", "boot", "-v"}));
    QFile f(b.path("empty.hx1"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("0x0000\nCOMPATIBLE_HARDWARE_ID_VERSION = 12345\nDOWNLOAD =\n0,0,0x00,0x00\nPROGRAMMING_SCRIPT_END\n:00000001FF\n");
    f.close();
    MainWindow* w = b.open();
    BoxAnswerer answers;
    QVERIFY(capture(b, answers));
    answers.chooseFile(b.path("empty.hx1"));
    b.find<QPushButton>("pushButton_BrowseFile")->click();
    QVERIFY(b.find<QPushButton>("pushButton_Update")->isEnabled());
    answers.answer("The update file holds no data to program.", QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(answers.seen.contains("The update file holds no data to program."));
    QVERIFY(!MainWindowProbe::timer(w, "Sequence")->isActive());
    // The sequence timer never started, so the ECU heard no request of a run.
    QVERIFY(b.ecu->err().find("27 01") == std::string::npos);
    QVERIFY(b.ecu->err().find("31 10") == std::string::npos);
}

// The update file shown cannot be read any more when the next ECU is
// captured: the image cut for the ECU before is dropped, never programmed.
void ProgrammingTest::unreadableFileIsNotProgrammed()
{
    ReadyBench r;
    QVERIFY(r.prepare({"--set", "block_length=1024"}, 4096, false));
    QCOMPARE(MainWindowProbe::sectors(r.w)[1].second, 1024u);
    // Nor does a run start with blocks longer than the ECU takes.
    const QString tooLong = "The update file holds a block of 1024 bytes, longer than the ECU accepts (128 bytes).";
    MainWindowProbe::setMaxPacket(r.w, 128);
    r.answers.answer(tooLong, QMessageBox::Ok);
    r.b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(r.answers.seen.contains(tooLong));
    QVERIFY(!MainWindowProbe::timer(r.w, "Sequence")->isActive());
    // The file goes; B, the same hardware with 128-byte blocks, is captured.
    QVERIFY(QFile::rename(r.file, r.file + ".gone"));
    r.b.ecu->stop();
    QVERIFY(r.b.startEcu({"--power", "boot", "--set", "block_length=128", "-v"}));
    QVERIFY(capture(r.b, r.answers));
    QCOMPARE(r.b.text("label_ActionBar"), QString("Cannot open selected file"));
    QCOMPARE(r.b.find<QLineEdit>("lineEdit_FileName")->text(), r.file);
    QCOMPARE(MainWindowProbe::totalLength(r.w), 0u);
    QVERIFY(MainWindowProbe::sectors(r.w).empty());
    QCOMPARE(r.b.text("label_HWIDcompatibility"), QString("- - -"));
    auto* update = r.b.find<QPushButton>("pushButton_Update");
    QVERIFY(!update->isEnabled());
    update->click();
    QVERIFY(!MainWindowProbe::timer(r.w, "Sequence")->isActive());
    QVERIFY(r.b.ecu->err().find("27 01") == std::string::npos);
}

// A box of the run is never lost: another box is open when the run reaches
// its outcome, so the outcome box waits for it and is then shown, and OK
// there still restarts the ECU.
void ProgrammingTest::runBoxWaitsForTheOpenBox()
{
    ReadyBench r;
    QVERIFY(r.prepare({}, 2000));
    QTimer* sequence = MainWindowProbe::timer(r.w, "Sequence");
    auto* bar = r.b.find<QProgressBar>("progressBar");
    int ticksAfterVerdict = 0;
    connect(sequence, &QTimer::timeout, [&] { ticksAfterVerdict += bar->value() == 100; });
    r.answers.answer(kSuccess, QMessageBox::Ok);
    r.b.find<QPushButton>("pushButton_Update")->click();
    MainWindowProbe::openBox(r.w, "Another message");
    QVERIFY(waitFor([&] { return ticksAfterVerdict >= 3 || !sequence->isActive(); }, 60000));
    QVERIFY(!r.answers.seen.contains(kSuccess));
    r.answers.answer("Another message", QMessageBox::Ok);
    QVERIFY(waitFor([&] { return r.answers.seen.contains(kSuccess) && !sequence->isActive(); }, 60000));
    QVERIFY(idle(r.b));
    QVERIFY(waitFor([&] { return r.b.ecu->err().find("ECU off") != std::string::npos; }));  // reset received
    const std::string summary = r.b.stopEcu();
    QVERIFY2(summary.find("1 resets") != std::string::npos, summary.c_str());
    checkMemoryMatches(r.b, r.file, summary);
    const auto rows = history(r.b);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["outcome"], kSuccess);
}

void ProgrammingTest::closingMidRunIsRecorded()
{
    ReadyBench r;
    QVERIFY(r.prepare({"--set", "block_length=128"}, 16384, false));
    r.b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(waitFor([&] { return r.b.find<QProgressBar>("progressBar")->value() > 15; }, 60000));
    r.b.window.reset();
    const auto rows = history(r.b);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["outcome"], QString("Window closed during the run (status: Downloading...)"));
    QVERIFY(rows[0]["bytes"].toInt() > 0);
}

// The outcome is known once its box is answered: a window closed right
// after OK (before the run's last tick) records it.
void ProgrammingTest::closingAfterTheOutcomeKeepsIt()
{
    ReadyBench r;
    QVERIFY(r.prepare({"--no-answer", "11"}, 600, false));
    r.answers.answer(kSuccess, QMessageBox::Ok);
    r.b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(waitFor([&] { return r.answers.seen.contains(kSuccess) && !QApplication::activeModalWidget(); }, 120000));
    r.b.window.reset();
    const auto rows = history(r.b);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0]["outcome"], kSuccess);
}

// The file is rewritten for other hardware after it was checked: Update
// loads it again, checks it against the ECU and programs nothing.
void ProgrammingTest::changedFileIsCheckedAgain()
{
    ReadyBench r;
    QVERIFY(r.prepare({"-v"}, 1000, false));
    hx1(r.b, "fw.hx1", 1000, 777);
    r.b.find<QPushButton>("pushButton_Update")->click();
    QCOMPARE(r.b.text("label_HWIDcompatibility"), QString("777"));
    QVERIFY(!r.b.find<QPushButton>("pushButton_Update")->isEnabled());
    QVERIFY(!MainWindowProbe::timer(r.w, "Sequence")->isActive());
    QVERIFY(r.b.ecu->err().find("27 01") == std::string::npos);
}

QTEST_MAIN(ProgrammingTest)
#include "programming_test.moc"
