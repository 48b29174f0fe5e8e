// The window against the bench ECU through canhub: capture, identification
// readout and programming runs, with their faults.
#include <QAction>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QtTest>
#include <fstream>

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
                                b.text("label_ActionBar") == "File successfully loaded"; }, 60000);
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

}  // namespace

class ProgrammingTest : public QObject {
    Q_OBJECT
private slots:
    void captureCancelStopAndPowerOn();
    void readoutShowsTheIdentification();
    void readoutFailuresAndReload();
    void wholeRun_data();
    void wholeRun();
    void outcomeBoxes();
    void eraseErrorLeavesUpdateForARetry();
    void keysRejected();
    void transferFailures();
    void busLostMidRunAborts();
    void runLocksBrowseAndCapture();
    void emptyImageNeverErases();
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
                        "--set", "boot_version=0.0.0.1", "--set", "item.6=00 01"}));
    MainWindow* w = b.open();
    BoxAnswerer answers;
    QVERIFY(capture(b, answers));
    QCOMPARE(b.text("label_HWID"), QString("0012345"));
    QCOMPARE(MainWindowProbe::hwId(w), 12345u);
    QCOMPARE(b.text("label_HWver"), QString("01.02.10.99"));
    QCOMPARE(b.text("label_BOOTinterface"), QString("n.a."));
    QCOMPARE(b.text("label_BOOTver"), QString("00.00.00.01"));
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
    // An ECU without a programmed identifier and without a block length: the
    // earlier identifier stays, the block length falls back to 128; the file
    // deleted meanwhile is simply not reloaded.
    b.ecu->stop();
    QVERIFY(b.startEcu({"--power", "boot", "--set", "item.0=FF FF FF FF", "--set", "item.6=nrc 31"}));
    QFile::remove(file);
    QVERIFY(capture(b, answers));
    QCOMPARE(b.text("label_HWID"), QString("- - -"));
    QCOMPARE(MainWindowProbe::hwId(w), 12345u);
    QCOMPARE(MainWindowProbe::maxPacket(w), uint16_t(128));
    QCOMPARE(b.text("label_ActionBar"), QString("Capture OK"));
    QVERIFY(b.find<QGroupBox>("group_UpdateFile")->isEnabled());
}

void ProgrammingTest::wholeRun_data()
{
    QTest::addColumn<QString>("blockLength");
    QTest::addColumn<QStringList>("faults");
    QTest::newRow("block 128, erase pending") << "128" << QStringList{"--erase-pending", "5"};
    QTest::newRow("block 1024, separation time") << "1024" << QStringList{"--fc-st", "2"};
    QTest::newRow("0x78 answers and a flow-control wait") << "256" << QStringList{"--nrc", "10:78:2", "--fc-wait", "1"};
}

void ProgrammingTest::wholeRun()
{
    QFETCH(QString, blockLength);
    QFETCH(QStringList, faults);
    Bench b;
    QVERIFY(b.startHub());
    std::vector<std::string> args = {"--power", "boot", "--set", "seed=0x1234", "--set", "block_length=" + blockLength.toStdString(),
                                     "--dump", b.path("dump.hex").toStdString()};
    for (const QString& f : faults)
        args.push_back(f.toStdString());
    QVERIFY(b.startEcu(args));
    QString file = hx1(b, "fw.hx1", 8192);
    MainWindow* w = b.open();
    BoxAnswerer answers;
    QVERIFY(capture(b, answers));
    answers.chooseFile(file);
    b.find<QPushButton>("pushButton_BrowseFile")->click();
    QVERIFY(b.find<QPushButton>("pushButton_Update")->isEnabled());
    QList<int> progress;
    connect(b.find<QProgressBar>("progressBar"), &QProgressBar::valueChanged, [&](int v) { progress << v; });
    answers.answer("Programming succeeded. Press OK to start the application.", QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(waitFor([&] { return answers.seen.contains("Programming succeeded. Press OK to start the application.") && idle(b); }, 120000));
    QVERIFY(MainWindowProbe::timer(w, "AddressClaim")->isActive());
    QVERIFY(!MainWindowProbe::timer(w, "Sequence")->isActive());
    QVERIFY(!b.find<QGroupBox>("group_UpdateFile")->isEnabled());
    QVERIFY(b.find<QPushButton>("pushButton_Capture")->isEnabled());
    QCOMPARE(progress.first(), 1);
    QVERIFY(progress.contains(10) && progress.contains(90) && progress.contains(91) && progress.contains(100));
    QCOMPARE(progress.last(), 0);
    QVERIFY(waitFor([&] { return b.ecu->err().find("ECU off") != std::string::npos; }));  // reset received
    std::string summary = b.stopEcu();
    QVERIFY2(summary.find("1 resets") != std::string::npos, summary.c_str());
    checkMemoryMatches(b, file, summary);
}

void ProgrammingTest::outcomeBoxes()
{
    // A failed verification: "Checksum error" before the failure box, then the reset.
    {
        Bench b;
        QVERIFY(b.startHub());
        QVERIFY(b.startEcu({"--power", "boot", "--checksum-result", "1"}));
        QString file = hx1(b, "fw.hx1", 600);
        b.open();
        BoxAnswerer answers;
        QString statusAtBox;
        answers.onBox = [&](const QString&) { statusAtBox = b.text("label_ActionBar"); };
        QVERIFY(capture(b, answers));
        answers.chooseFile(file);
        b.find<QPushButton>("pushButton_BrowseFile")->click();
        answers.answer("WARNING! Update failed. Please verify the update file and try again.", QMessageBox::Ok);
        b.find<QPushButton>("pushButton_Update")->click();
        QVERIFY(waitFor([&] { return answers.seen.size() >= 2 && idle(b); }, 60000));
        QCOMPARE(answers.seen.last(), QString("WARNING! Update failed. Please verify the update file and try again."));
        QCOMPARE(statusAtBox, QString("Checksum error"));
        QVERIFY(waitFor([&] { return b.ecu->err().find("ECU off") != std::string::npos; }));
    }
    // Cancel in the success box: no reset.
    {
        Bench b;
        QVERIFY(b.startHub());
        QVERIFY(b.startEcu({"--power", "boot"}));
        QString file = hx1(b, "fw.hx1", 600);
        b.open();
        BoxAnswerer answers;
        QVERIFY(capture(b, answers));
        answers.chooseFile(file);
        b.find<QPushButton>("pushButton_BrowseFile")->click();
        answers.answer("Programming succeeded. Press OK to start the application.", QMessageBox::Cancel);
        b.find<QPushButton>("pushButton_Update")->click();
        QVERIFY(waitFor([&] { return answers.seen.size() >= 2 && idle(b); }, 60000));
        std::string summary = b.stopEcu();
        QVERIFY2(summary.find("0 resets") != std::string::npos, summary.c_str());
        QVERIFY2(summary.find("match") != std::string::npos, summary.c_str());
    }
}

void ProgrammingTest::eraseErrorLeavesUpdateForARetry()
{
    Bench b;
    QVERIFY(b.startHub());
    QVERIFY(b.startEcu({"--power", "boot", "--erase-result", "5", "-v"}));
    QString file = hx1(b, "fw.hx1", 600);
    MainWindow* w = b.open();
    BoxAnswerer answers;
    QVERIFY(capture(b, answers));
    answers.chooseFile(file);
    b.find<QPushButton>("pushButton_BrowseFile")->click();
    const QString error = "Error during memory erase. Please turn off and on the ECU and try to repeat the procedure.";
    answers.answer(error, QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(waitFor([&] { return answers.seen.contains(error) && !MainWindowProbe::timer(w, "Sequence")->isActive(); }, 60000));
    QVERIFY(b.find<QPushButton>("pushButton_Update")->isEnabled());
    QCOMPARE(b.text("label_ActionBar"), QString("Erasing memory..."));
    QCOMPARE(b.find<QProgressBar>("progressBar")->value(), 1);
    QVERIFY(b.find<QGroupBox>("group_UpdateFile")->isEnabled());  // given back
    QVERIFY(b.find<QPushButton>("pushButton_Capture")->isEnabled());
    // Update again starts at the seed request.
    const std::size_t before = b.ecu->err().size();
    answers.answer(error, QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(waitFor([&] { return b.ecu->err().size() > before && b.ecu->err().find("<- 18DA22F9 02 27 01", before) != std::string::npos; }));
    QVERIFY(waitFor([&] { return answers.seen.count(error) == 2 && !MainWindowProbe::timer(w, "Sequence")->isActive(); }, 60000));
}

void ProgrammingTest::keysRejected()
{
    // One rejected key: back to the seed request, and the run goes on.
    {
        Bench b;
        QVERIFY(b.startHub());
        QVERIFY(b.startEcu({"--power", "boot", "--reject-keys", "1", "--dump", b.path("dump.hex").toStdString()}));
        QString file = hx1(b, "fw.hx1", 700);
        b.open();
        BoxAnswerer answers;
        QVERIFY(capture(b, answers));
        answers.chooseFile(file);
        b.find<QPushButton>("pushButton_BrowseFile")->click();
        answers.answer("Programming succeeded. Press OK to start the application.", QMessageBox::Ok);
        b.find<QPushButton>("pushButton_Update")->click();
        QVERIFY(waitFor([&] { return answers.seen.size() >= 2 && idle(b); }, 60000));
        checkMemoryMatches(b, file, b.stopEcu());
    }
    // Every key rejected: the run gives up.
    {
        Bench b;
        QVERIFY(b.startHub());
        QVERIFY(b.startEcu({"--power", "boot", "--reject-keys", "all"}));
        QString file = hx1(b, "fw.hx1", 700);
        MainWindow* w = b.open();
        BoxAnswerer answers;
        QVERIFY(capture(b, answers));
        answers.chooseFile(file);
        b.find<QPushButton>("pushButton_BrowseFile")->click();
        answers.answer("Operation aborted", QMessageBox::Ok);
        b.find<QPushButton>("pushButton_Update")->click();
        QVERIFY(waitFor([&] { return answers.seen.contains("Operation aborted") && !MainWindowProbe::timer(w, "Sequence")->isActive(); }, 60000));
        QVERIFY(!b.find<QPushButton>("pushButton_Update")->isEnabled());
        QVERIFY(b.find<QGroupBox>("group_UpdateFile")->isEnabled());
        QVERIFY(b.find<QPushButton>("pushButton_Capture")->isEnabled());
    }
}

void ProgrammingTest::transferFailures()
{
    // A transfer that fails once is sent again, same address, same bytes.
    {
        Bench b;
        QVERIFY(b.startHub());
        QVERIFY(b.startEcu({"--power", "boot", "--nrc", "36:72:1", "--dump", b.path("dump.hex").toStdString()}));
        QString file = hx1(b, "fw.hx1", 2000);
        b.open();
        BoxAnswerer answers;
        QVERIFY(capture(b, answers));
        answers.chooseFile(file);
        b.find<QPushButton>("pushButton_BrowseFile")->click();
        answers.answer("Programming succeeded. Press OK to start the application.", QMessageBox::Ok);
        b.find<QPushButton>("pushButton_Update")->click();
        QVERIFY(waitFor([&] { return answers.seen.size() >= 2 && idle(b); }, 60000));
        checkMemoryMatches(b, file, b.stopEcu());
    }
    // One that keeps failing aborts the run.
    {
        Bench b;
        QVERIFY(b.startHub());
        QVERIFY(b.startEcu({"--power", "boot", "--nrc", "36:72"}));
        QString file = hx1(b, "fw.hx1", 2000);
        MainWindow* w = b.open();
        BoxAnswerer answers;
        QVERIFY(capture(b, answers));
        answers.chooseFile(file);
        b.find<QPushButton>("pushButton_BrowseFile")->click();
        answers.answer("Operation aborted", QMessageBox::Ok);
        b.find<QPushButton>("pushButton_Update")->click();
        QVERIFY(waitFor([&] { return answers.seen.contains("Operation aborted") && !MainWindowProbe::timer(w, "Sequence")->isActive(); }, 60000));
        QVERIFY(idle(b));
    }
}

void ProgrammingTest::busLostMidRunAborts()
{
    Bench b;
    QVERIFY(b.startHub());
    QVERIFY(b.startEcu({"--power", "boot", "--set", "block_length=128"}));
    QString file = hx1(b, "fw.hx1", 16384);
    MainWindow* w = b.open();
    BoxAnswerer answers;
    QVERIFY(capture(b, answers));
    answers.chooseFile(file);
    b.find<QPushButton>("pushButton_BrowseFile")->click();
    answers.answer("Operation aborted", QMessageBox::Ok);
    b.find<QPushButton>("pushButton_Update")->click();
    QVERIFY(waitFor([&] { return b.find<QProgressBar>("progressBar")->value() > 15; }, 60000));
    b.hub.p.stop();
    QVERIFY(waitFor([&] { return answers.seen.contains("Operation aborted") && !MainWindowProbe::timer(w, "Sequence")->isActive(); }, 60000));
    QVERIFY(idle(b));
    QVERIFY(MainWindowProbe::sectors(w).size() > 1);  // the image is still loaded
}

void ProgrammingTest::runLocksBrowseAndCapture()
{
    Bench b;
    QVERIFY(b.startHub());
    QVERIFY(b.startEcu({"--power", "boot", "--set", "block_length=128", "--dump", b.path("dump.hex").toStdString()}));
    QString file = hx1(b, "fw.hx1", 8192);
    MainWindow* w = b.open();
    BoxAnswerer answers;
    QVERIFY(capture(b, answers));
    answers.chooseFile(file);
    b.find<QPushButton>("pushButton_BrowseFile")->click();
    answers.answer("Programming succeeded. Press OK to start the application.", QMessageBox::Ok);
    auto* update = b.find<QPushButton>("pushButton_Update");
    update->click();
    QVERIFY(waitFor([&] { return b.text("label_ActionBar") == "Downloading..."; }, 60000));
    QVERIFY(!b.find<QGroupBox>("group_UpdateFile")->isEnabled());
    QVERIFY(!b.find<QPushButton>("pushButton_Capture")->isEnabled());
    const int before = b.find<QProgressBar>("progressBar")->value();
    update->click();  // pressed during the run: the run goes on where it is
    QVERIFY(waitFor([&] { return b.find<QProgressBar>("progressBar")->value() > before; }));
    QVERIFY(waitFor([&] { return answers.seen.size() >= 2 && idle(b); }, 120000));
    QVERIFY(MainWindowProbe::timer(w, "AddressClaim")->isActive());
    checkMemoryMatches(b, file, b.stopEcu());
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
    QTest::qWait(300);  // nothing may follow; the ECU log shows no request after the readout
    QVERIFY(b.ecu->err().find("27 01") == std::string::npos);
    QVERIFY(b.ecu->err().find("31 10") == std::string::npos);
}

QTEST_MAIN(ProgrammingTest)
#include "programming_test.moc"
